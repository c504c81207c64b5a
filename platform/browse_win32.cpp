// The address browse dialog is not built yet: request 16 yields no address.
#include "driver/handlers.h"

int32_t BrowseAddress(KelRequest*) { return kResultBrowseNone; }
