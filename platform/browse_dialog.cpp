#include "platform/browse_dialog.h"

namespace {
BrowseDialogRunner g_runner = nullptr;
}  // namespace

BrowseDialogRunner BrowseDialog() { return g_runner ? g_runner : NativeBrowseDialog(); }
void SetBrowseDialog(BrowseDialogRunner runner) { g_runner = runner; }
