// The try loop both protocols share, and the frame builders that refuse what
// does not fit their buffer.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "exchange/retry.h"
#include "snp/snp_write.h"
#include "snpx/snpx_frames.h"
#include "tests/support/fake_line.h"

namespace {

using Kind = FakeLine::Kind;

TEST(RunTries, AttachesPausesAndResults) {
  struct Case {
    const char* name;
    bool startsAttached;
    bool purge;
    std::vector<int32_t> attaches;  // results of the attach calls, in order
    std::vector<int32_t> tries;     // results of the try calls, in order
    int32_t result;
    std::vector<uint32_t> sleeps;
  } const cases[] = {
      {"attached: one try", true, false, {}, {kProtocolOk}, kProtocolOk, {}},
      {"not attached: attach, then try", false, false, {kProtocolOk}, {kProtocolOk}, kProtocolOk, {}},
      {"failed try: pause and attach before the next", true, false, {kProtocolOk}, {kProtocolFailed, kProtocolOk},
       kProtocolOk, {20}},
      {"three failed tries: the last try's result", true, false, {kProtocolOk, kProtocolOk},
       {kProtocolFailed, kProtocolFailed, kProtocolFailed}, kProtocolFailed, {20, 20}},
      {"no attach ever: not attached, no try", false, false,
       {kProtocolNotAttached, kProtocolNotAttached, kProtocolNotAttached}, {}, kProtocolNotAttached, {20, 20}},
      {"attach's own failure is the result", false, true, {kProtocolFailed, kProtocolFailed, kProtocolFailed}, {},
       kProtocolFailed, {20, 20}},
      {"last attach fails after a failed try", true, false, {kProtocolOk, kProtocolNotAttached},
       {kProtocolFailed, kProtocolFailed}, kProtocolNotAttached, {20, 20}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBoard board;
    if (c.startsAttached) board.Attached(1);
    size_t attaches = 0;
    size_t tries = 0;
    const RetryPlan plan{3, 20, c.purge};
    const int32_t result = RunTries(
        &board.context, 1, plan,
        [&] {
          const int32_t r = attaches < c.attaches.size() ? c.attaches[attaches] : kProtocolOk;
          ++attaches;
          // A successful attach attaches the station, as the protocols' attaches do.
          if (r == kProtocolOk) board.context.attachedStation = 1;
          return r;
        },
        [&] { return tries < c.tries.size() ? c.tries[tries++] : (++tries, kProtocolFailed); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(attaches, c.attaches.size());
    EXPECT_EQ(tries, c.tries.size());
    EXPECT_EQ(board.clock.Sleeps(), c.sleeps);
    EXPECT_EQ(board.line.Count(Kind::kPurge), c.purge ? static_cast<int>(c.sleeps.size()) : 0);
  }
}

TEST(FrameBuilders, RefuseDataThatDoesNotFit) {
  std::array<uint8_t, kSnpxBufferSize> frame;
  const std::vector<uint8_t> data(kSnpxMaxData + 1, 0x11);
  frame.fill(0xA5);
  EXPECT_EQ(BuildSnpxDataFrame(std::span<const uint8_t>(data.data(), kSnpxMaxData + 1), frame), 0);
  EXPECT_EQ(frame[0], 0xA5);
  EXPECT_EQ(BuildSnpxDataFrame(std::span<const uint8_t>(data.data(), kSnpxMaxData), frame), kSnpxMaxData + 8);
  EXPECT_EQ(frame[kSnpxMaxData + 2], 0x17);

  std::array<uint8_t, kTextBufferSize> text;
  const std::vector<uint8_t> big(kTextMaxData + 1, 0x22);
  text.fill(0xA5);
  EXPECT_EQ(BuildTextBuffer(text, std::span<const uint8_t>(big.data(), kTextMaxData + 1), 0, 0), 0);
  EXPECT_EQ(text[0], 0xA5);
  EXPECT_EQ(BuildTextBuffer(text, std::span<const uint8_t>(big.data(), kTextMaxData), 0, 0), kTextBufferSize);
  EXPECT_EQ(text[kTextBufferSize - 8 + 2], 0x17);

  FakeBoard board;
  EXPECT_FALSE(SnpSendTextBuffer(&board.context, big, 0, 0));
  EXPECT_EQ(board.line.Count(Kind::kWrite), 0);
}

}  // namespace
