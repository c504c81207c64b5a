// Request 16: the address browse dialog. One dialog at a time for the whole
// process; its state lives here, between the request and the window.
#include <atomic>

#include "address/browse.h"
#include "address/browse_rules.h"
#include "address/gas.h"
#include "platform/browse_dialog.h"
#include "platform/host_log.h"

namespace {

// Filled anew for each dialog; read by the dialog and, after OK, by the GAS
// composition.
struct BrowseState {
  bool stationDefined[kStationSlots];
  StationItems stationItems;
  int stationCount;
  bool bitListShown;
  BrowseEntries entries;
};

BrowseState g_state;

// Taken by the request that shows the dialog and given back when the dialog
// ends, so a second request meanwhile (from another thread) gets no dialog.
std::atomic<bool> g_dialogTaken{false};

class BrowseModel final : public BrowseDialogModel {
 public:
  int ItemCount(BrowseList list) const override {
    switch (list) {
      case BrowseList::kStation: return g_state.stationCount;
      case BrowseList::kArea: return kAreaCount;
      case BrowseList::kBit: return kBitItemCount;
    }
    return 0;
  }

  const char* Item(BrowseList list, int index) const override {
    if (index < 0 || index >= ItemCount(list)) return "";
    switch (list) {
      case BrowseList::kStation: return g_state.stationItems[index];
      case BrowseList::kArea: return kAreaTable[index].description;
      case BrowseList::kBit: return kBitItems[index];
    }
    return "";
  }

  bool AreaChosen(const char* areaText) override {
    g_state.bitListShown = AreaShowsBitList(areaText);
    return g_state.bitListShown;
  }

  const BrowseRefusal* Confirm(const BrowseEntries& entries) override {
    g_state.entries = entries;
    // Every text ends within its field, whatever the window code read.
    BrowseEntries& kept = g_state.entries;
    kept.station[sizeof kept.station - 1] = '\0';
    kept.area[sizeof kept.area - 1] = '\0';
    kept.element[sizeof kept.element - 1] = '\0';
    kept.bit[sizeof kept.bit - 1] = '\0';
    return BrowseRefusalFor(CheckBrowseEntries(g_state.entries, g_state.bitListShown));
  }
};

BrowseModel g_model;

int32_t ShowDialog(const KelRequest* request, BrowseRecord* record, BrowseDialogRunner dialog,
                   BoardStations stationsOf) {
  g_state = BrowseState{};
  stationsOf(request->board, g_state.stationDefined);
  g_state.stationCount = ListStations(g_state.stationDefined, g_state.stationItems);
  void* owner = BrowseOwner(HostVersion(), record->ownerWindow);
  if (dialog(g_model, owner) != kBrowseDialogOk) return kResultBrowseNone;
  // The dialog ends with OK only for entries it accepted.
  if (CheckBrowseEntries(g_state.entries, g_state.bitListShown) != BrowseVerdict::kAccepted) {
    return kResultBrowseNone;
  }
  ComposeGas(g_state.entries, g_state.bitListShown, record->gasBuffer);
  return 0;
}

}  // namespace

int32_t ServeBrowseAddress(KelRequest* request, BoardStations stationsOf) {
  if (request == nullptr || request->params == nullptr) return kResultBrowseNone;
  auto* record = static_cast<BrowseRecord*>(request->params);
  if (record->gasBuffer == nullptr) return kResultBrowseNone;
  // Where no dialog can appear, nothing is read and nothing is said.
  BrowseDialogRunner dialog = BrowseDialog();
  if (dialog == nullptr) return kResultBrowseNone;
  if (g_dialogTaken.exchange(true)) return kResultBrowseNone;
  const int32_t result = ShowDialog(request, record, dialog, stationsOf);
  g_dialogTaken.store(false);
  return result;
}
