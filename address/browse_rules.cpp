#include "address/browse_rules.h"

#include <cstdio>
#include <cstring>

const char* const kBitItems[kBitItemCount] = {
    "None", "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "B", "C", "D", "E", "F",
};

namespace {

constexpr const char* kNoBitItem = "None";

constexpr BrowseRefusal kMissingValue{"missing value!", "Error"};
constexpr BrowseRefusal kWrongElement{"Wrong address! (5 decimal digits)", "Error"};
constexpr BrowseRefusal kMissingBit{"missing Bit Number value!", "Error"};

constexpr int kElementDigits = 5;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

template <size_t N>
size_t BoundedLength(const char (&text)[N]) {
  size_t length = 0;
  while (length < N && text[length] != '\0') ++length;
  return length;
}

}  // namespace

int ListStations(const bool (&defined)[kStationSlots], StationItems& items) {
  int count = 0;
  for (int station = 0; station < kStationSlots; ++station) {
    if (defined[station]) std::snprintf(items[count++], kStationTextSize, "%02d", station);
  }
  if (count == 0) std::snprintf(items[count++], kStationTextSize, "%02d", 0);
  return count;
}

bool AreaShowsBitList(const char* areaText) {
  return areaText[0] == 'R' || areaText[0] == 'L' || areaText[0] == 'O';
}

BrowseVerdict CheckBrowseEntries(const BrowseEntries& entries, bool bitListShown) {
  if (entries.station[0] == '\0' || entries.area[0] == '\0' || entries.element[0] == '\0' ||
      entries.bit[0] == '\0') {
    return BrowseVerdict::kMissingValue;
  }
  if (BoundedLength(entries.element) != kElementDigits) return BrowseVerdict::kWrongElement;
  for (int i = 0; i < kElementDigits; ++i) {
    if (!IsDigit(entries.element[i])) return BrowseVerdict::kWrongElement;
  }
  if (bitListShown && std::strcmp(entries.bit, kNoBitItem) == 0) return BrowseVerdict::kMissingBit;
  return BrowseVerdict::kAccepted;
}

const BrowseRefusal* BrowseRefusalFor(BrowseVerdict verdict) {
  switch (verdict) {
    case BrowseVerdict::kMissingValue: return &kMissingValue;
    case BrowseVerdict::kWrongElement: return &kWrongElement;
    case BrowseVerdict::kMissingBit: return &kMissingBit;
    case BrowseVerdict::kAccepted: break;
  }
  return nullptr;
}

void* BrowseOwner(int hostVersion, void* hostWindow) {
  return hostVersion >= kOwnerHostVersion ? hostWindow : nullptr;
}

void ComposeGas(const BrowseEntries& entries, bool bitListShown, char* gas) {
  int n = 0;
  gas[n++] = entries.station[0];
  gas[n++] = entries.station[1];
  gas[n++] = entries.area[0];
  for (int i = 0; i < kElementDigits; ++i) gas[n++] = entries.element[i];
  if (bitListShown) gas[n++] = entries.bit[0];
  gas[n] = '\0';
}
