// Request 16 apart from any window: the dialog's rules, and the request with
// a scripted dialog in place of the system's that plays the user through the
// same model the Win32 dialog uses. The dialog under Wine is tested in
// tests/dialog.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "address/browse_rules.h"
#include "address/gas.h"
#include "driver/host_interface.h"
#include "host_api/kalvro.h"
#include "platform/browse_dialog.h"
#include "tests/support/log_capture.h"
#include "tests/support/network_file_fixture.h"

namespace {

BrowseEntries Entries(const char* station, const char* area, const char* element, const char* bit) {
  BrowseEntries entries{};
  std::snprintf(entries.station, sizeof entries.station, "%s", station);
  std::snprintf(entries.area, sizeof entries.area, "%s", area);
  std::snprintf(entries.element, sizeof entries.element, "%s", element);
  std::snprintf(entries.bit, sizeof entries.bit, "%s", bit);
  return entries;
}

TEST(BrowseRules, EntriesAreJudgedInTheDialogsOrder) {
  const struct {
    const char* station;
    const char* area;
    const char* element;
    const char* bit;
    bool bitListShown;
    BrowseVerdict verdict;
  } cases[] = {
      {"01", "R:", "00010", "5", true, BrowseVerdict::kAccepted},
      {"01", "M:", "00017", "None", false, BrowseVerdict::kAccepted},
      {"17", "F:", "99999", "None", false, BrowseVerdict::kAccepted},
      {"", "R:", "00010", "5", true, BrowseVerdict::kMissingValue},
      {"01", "", "00010", "5", true, BrowseVerdict::kMissingValue},
      {"01", "R:", "", "5", true, BrowseVerdict::kMissingValue},
      {"01", "R:", "00010", "", true, BrowseVerdict::kMissingValue},
      // An empty field is reported before a bad element.
      {"", "R:", "12a", "None", true, BrowseVerdict::kMissingValue},
      {"01", "R:", "1234", "5", true, BrowseVerdict::kWrongElement},
      {"01", "R:", "123456", "5", true, BrowseVerdict::kWrongElement},
      {"01", "R:", "12a45", "5", true, BrowseVerdict::kWrongElement},
      {"01", "R:", " 1234", "5", true, BrowseVerdict::kWrongElement},
      {"01", "M:", "0001-", "None", false, BrowseVerdict::kWrongElement},
      // A bad element is reported before a missing bit.
      {"01", "R:", "1234", "None", true, BrowseVerdict::kWrongElement},
      {"01", "R:", "00010", "None", true, BrowseVerdict::kMissingBit},
      {"01", "L:", "00001", "None", true, BrowseVerdict::kMissingBit},
      {"01", "R:", "00010", "F", true, BrowseVerdict::kAccepted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.station) + "|" + c.area + "|" + c.element + "|" + c.bit);
    EXPECT_EQ(CheckBrowseEntries(Entries(c.station, c.area, c.element, c.bit), c.bitListShown), c.verdict);
  }
}

TEST(BrowseRules, RefusalsAreErrorBoxesWithFixedTexts) {
  const struct {
    BrowseVerdict verdict;
    const char* text;
  } cases[] = {
      {BrowseVerdict::kMissingValue, "missing value!"},
      {BrowseVerdict::kWrongElement, "Wrong address! (5 decimal digits)"},
      {BrowseVerdict::kMissingBit, "missing Bit Number value!"},
  };
  for (const auto& c : cases) {
    const BrowseRefusal* refusal = BrowseRefusalFor(c.verdict);
    ASSERT_NE(refusal, nullptr);
    EXPECT_STREQ(refusal->text, c.text);
    EXPECT_STREQ(refusal->caption, "Error");
  }
  EXPECT_EQ(BrowseRefusalFor(BrowseVerdict::kAccepted), nullptr);
}

TEST(BrowseRules, ComposedGasHasTheBitDigitOnlyWhileTheBitListShows) {
  const struct {
    BrowseEntries entries;
    bool bitListShown;
    const char* gas;
  } cases[] = {
      {Entries("01", "R:", "00010", "5"), true, "01R000105"},
      {Entries("64", "O:", "00001", "F"), true, "64O00001F"},
      {Entries("01", "M:", "00017", "None"), false, "01M00017"},
      // The list was hidden again after a register area: no bit digit.
      {Entries("02", "M:", "00017", "7"), false, "02M00017"},
      {Entries("00", "F:", "00003", "None"), false, "00F00003"},
  };
  for (const auto& c : cases) {
    char gas[16];
    std::memset(gas, '#', sizeof gas);
    ComposeGas(c.entries, c.bitListShown, gas);
    EXPECT_STREQ(gas, c.gas);
    // Nothing is written past the terminating NUL.
    const size_t written = std::strlen(c.gas) + 1;
    EXPECT_LE(written, static_cast<size_t>(kBrowseGasSize));
    for (size_t i = written; i < sizeof gas; ++i) EXPECT_EQ(gas[i], '#') << c.gas << " at " << i;
  }
}

TEST(BrowseRules, TheBitListShowsForTheRegisterAreasOnly) {
  for (const AreaInfo& area : kAreaTable) {
    const bool shows = area.letter == 'R' || area.letter == 'L' || area.letter == 'O';
    EXPECT_EQ(AreaShowsBitList(area.description), shows) << area.description;
  }
  EXPECT_FALSE(AreaShowsBitList(""));
}

TEST(BrowseRules, StationBoxListsTheDefinedStationsOrElseZero) {
  const struct {
    std::vector<int> defined;
    std::vector<std::string> items;
  } cases[] = {
      {{}, {"00"}},
      {{17, 1, 2}, {"01", "02", "17"}},
      {{64}, {"64"}},
  };
  for (const auto& c : cases) {
    bool defined[kStationSlots] = {};
    for (int station : c.defined) defined[station] = true;
    StationItems items;
    const int count = ListStations(defined, items);
    ASSERT_EQ(count, static_cast<int>(c.items.size()));
    for (int i = 0; i < count; ++i) EXPECT_EQ(items[i], c.items[i]);
  }
  bool all[kStationSlots];
  std::fill(std::begin(all), std::end(all), true);
  StationItems items;
  ASSERT_EQ(ListStations(all, items), kStationSlots);
  EXPECT_STREQ(items[0], "00");
  EXPECT_STREQ(items[64], "64");
}

// A scripted dialog: while one is alive, request 16 runs it instead of the
// system's dialog.
class ScriptedDialog {
 public:
  using Script = std::function<int(BrowseDialogModel& model, void* owner)>;
  explicit ScriptedDialog(Script script) {
    script_ = std::move(script);
    runs_ = 0;
    SetBrowseDialog(&Run);
  }
  ~ScriptedDialog() {
    SetBrowseDialog(nullptr);
    script_ = nullptr;
  }
  ScriptedDialog(const ScriptedDialog&) = delete;
  ScriptedDialog& operator=(const ScriptedDialog&) = delete;
  int Runs() const { return runs_; }

 private:
  static int Run(BrowseDialogModel& model, void* owner) {
    ++runs_;
    return script_(model, owner);
  }
  static inline Script script_;
  static inline int runs_ = 0;
};

std::vector<std::string> Items(const BrowseDialogModel& model, BrowseList list) {
  std::vector<std::string> items;
  for (int i = 0; i < model.ItemCount(list); ++i) items.push_back(model.Item(list, i));
  return items;
}

// The user picks an area, then fills the fields and presses OK; the dialog
// ends with OK only for accepted entries.
int ChooseAndConfirm(BrowseDialogModel& model, const char* area, const BrowseEntries& entries) {
  model.AreaChosen(area);
  return model.Confirm(entries) == nullptr ? kBrowseDialogOk : kBrowseDialogCancel;
}

struct BrowseCall {
  int32_t result;
  std::string gas;
};

BrowseCall Browse(int32_t board, void* owner = nullptr) {
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  buffer[sizeof buffer - 1] = '\0';
  BrowseRecord record{buffer, owner};
  KelRequest request{nullptr, kRequestBrowseAddress, board, 0, &record};
  const int32_t result = KelMain(&request);
  return {result, buffer};
}

// The dialog offers the stations of the board's network file, read as on
// load (its messages included), or station 0 alone without one.
TEST(BrowseRequest, TheDialogOffersTheBoardsStationsTheAreasAndTheBits) {
  NetworkFile file(881, "01PLCA\n02PLCB*\n17PLCQ\n");
  const struct {
    int32_t board;
    std::vector<std::string> stations;
    std::vector<LogLine> log;
  } cases[] = {
      {881, {"01", "02", "17"}, {}},
      {882, {"00"}, {{32, "KelG1 : File kelG1882.int not found, Peer To Peer Mode"}}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> stations, areas, bits;
    ScriptedDialog dialog([&](BrowseDialogModel& model, void*) {
      stations = Items(model, BrowseList::kStation);
      areas = Items(model, BrowseList::kArea);
      bits = Items(model, BrowseList::kBit);
      return ChooseAndConfirm(model, areas[0].c_str(), Entries("01", "R:", "00010", "5"));
    });
    LogCapture log;
    const BrowseCall call = Browse(c.board);
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(call.gas, "01R000105");
    EXPECT_EQ(stations, c.stations);
    EXPECT_EQ(log.Lines(), c.log);
    ASSERT_EQ(areas.size(), 13u);
    EXPECT_EQ(areas.front(), "R:  Register table (%R).");
    EXPECT_EQ(areas.back(), "D:  System Fault (%S, Digital read-only gate).");
    EXPECT_EQ(bits, (std::vector<std::string>{"None", "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "B",
                                              "C", "D", "E", "F"}));
  }
}

// Requests one after another: only OK with accepted entries writes the
// buffer, every other end leaves it alone, and whatever the end, the next
// request shows the dialog again, once.
TEST(BrowseRequest, OnlyOkWithAcceptedEntriesWritesTheBufferAndEveryEndFreesTheDialog) {
  LogCapture quiet;
  const std::string untouched(15, '#');
  const struct {
    int end;  // what the dialog returns after the user confirmed the entries
    const char* area;
    BrowseEntries entries;
    int32_t result;
    std::string gas;
  } cases[] = {
      {kBrowseDialogOk, "I:  Discrete Input table (%I, Digital gate).", Entries("00", "I:", "00001", "None"), 0,
       "00I00001"},
      {kBrowseDialogCancel, "R:  Register table (%R).", Entries("00", "R:", "00010", "5"), 53, untouched},
      {kBrowseDialogFailed, "R:  Register table (%R).", Entries("00", "R:", "00010", "5"), 53, untouched},
      {0, "R:  Register table (%R).", Entries("00", "R:", "00010", "5"), 53, untouched},
      // An OK the entries do not justify.
      {kBrowseDialogOk, "R:  Register table (%R).", Entries("00", "R:", "1234", "5"), 53, untouched},
      {kBrowseDialogOk, "G:  Genius Seamless (%G).", Entries("00", "G:", "00002", "None"), 0, "00G00002"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    ScriptedDialog dialog([&](BrowseDialogModel& model, void*) {
      model.AreaChosen(c.area);
      model.Confirm(c.entries);
      return c.end;
    });
    const BrowseCall call = Browse(882);
    EXPECT_EQ(call.result, c.result);
    EXPECT_EQ(call.gas, c.gas);
    EXPECT_EQ(dialog.Runs(), 1);
  }
}

TEST(BrowseRequest, ASecondRequestWhileTheDialogIsOpenGetsNone) {
  LogCapture quiet;
  BrowseCall inner{};
  ScriptedDialog dialog([&](BrowseDialogModel& model, void*) {
    inner = Browse(882);
    return ChooseAndConfirm(model, "T:  Discrete Temporary table (%T, Digital gate).",
                            Entries("00", "T:", "00005", "None"));
  });
  const BrowseCall outer = Browse(882);
  EXPECT_EQ(inner.result, 53);
  EXPECT_EQ(inner.gas, std::string(15, '#'));
  EXPECT_EQ(outer.result, 0);
  EXPECT_EQ(outer.gas, "00T00005");
  EXPECT_EQ(dialog.Runs(), 1);
}

TEST(BrowseRequest, TheHostWindowOwnsTheDialogFromHostVersion820On) {
  LogCapture quiet;
  int hostWindow = 0;
  const struct {
    int version;  // negative: the host library refuses the registration
    bool owned;
  } cases[] = {{0, false}, {819, false}, {820, true}, {-1, false}, {830, true}};
  for (const auto& c : cases) {
    void* owner = &owner;
    ScriptedDialog dialog([&](BrowseDialogModel&, void* given) {
      owner = given;
      return kBrowseDialogCancel;
    });
    KalSetHostVersion(c.version);
    EXPECT_EQ(Browse(882, &hostWindow).result, 53);
    KalSetHostVersion(830);
    EXPECT_EQ(owner, c.owned ? &hostWindow : nullptr) << c.version;
  }
}

TEST(BrowseRequest, MissingRecordOrBufferShowsNoDialog) {
  ScriptedDialog dialog([](BrowseDialogModel&, void*) { return kBrowseDialogOk; });
  KelRequest noRecord{nullptr, kRequestBrowseAddress, 882, 0, nullptr};
  EXPECT_EQ(KelMain(&noRecord), 53);
  BrowseRecord record{nullptr, nullptr};
  KelRequest noBuffer{nullptr, kRequestBrowseAddress, 882, 0, &record};
  EXPECT_EQ(KelMain(&noBuffer), 53);
  EXPECT_EQ(dialog.Runs(), 0);
}

TEST(BrowseRequest, WithoutADialogNothingIsReadAndNothingIsSaid) {
  if (NativeBrowseDialog() != nullptr) GTEST_SKIP() << "this system shows the dialog";
  LogCapture log;
  const BrowseCall call = Browse(882);
  EXPECT_EQ(call.result, 53);
  EXPECT_EQ(call.gas, std::string(15, '#'));
  EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
