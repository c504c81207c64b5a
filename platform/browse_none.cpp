// Without a windowing system no dialog can appear: request 16 yields no address.
#include "driver/handlers.h"

int32_t BrowseAddress(KelRequest*) { return kResultBrowseNone; }
