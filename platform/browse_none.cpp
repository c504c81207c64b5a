// Without a windowing system no dialog can appear: request 16 yields no address.
#include "platform/browse_dialog.h"

BrowseDialogRunner NativeBrowseDialog() { return nullptr; }
