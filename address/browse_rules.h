// The rules of the address browse dialog, apart from any window: what its
// lists hold, when the bit list shows, which entries it refuses with which
// message box, who owns it, and the GAS it composes.
#pragma once

#include "context/driver_context.h"
#include "platform/browse_dialog.h"

// The bit list: "None" and the sixteen hexadecimal digits.
constexpr int kBitItemCount = 17;
extern const char* const kBitItems[kBitItemCount];

// The station box's items, "%02d" texts.
constexpr int kStationTextSize = 3;
using StationItems = char[kStationSlots][kStationTextSize];

// Lists the defined stations in ascending order, or the single item "00"
// when none is defined; returns the number of items.
int ListStations(const bool (&defined)[kStationSlots], StationItems& items);

// The bit list shows for the register areas R, L and O.
bool AreaShowsBitList(const char* areaText);

enum class BrowseVerdict { kAccepted, kMissingValue, kWrongElement, kMissingBit };

// Judges the entries of OK in the dialog's order: every field filled, the
// element five decimal digits, a bit chosen when the bit list shows.
BrowseVerdict CheckBrowseEntries(const BrowseEntries& entries, bool bitListShown);
// The message box of a refusal; nullptr for accepted entries.
const BrowseRefusal* BrowseRefusalFor(BrowseVerdict verdict);

// Hosts from this version on pass a window to own the dialog.
constexpr int kOwnerHostVersion = 820;
void* BrowseOwner(int hostVersion, void* hostWindow);

// The buffer the composed GAS needs: nine characters and a NUL.
constexpr int kBrowseGasSize = 10;

// Writes the GAS of accepted entries: station, area letter, five element
// digits, and the bit digit only while the bit list shows; NUL-terminated.
void ComposeGas(const BrowseEntries& entries, bool bitListShown, char* gas);
