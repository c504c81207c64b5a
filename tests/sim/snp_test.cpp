// The simulator's answers to the driver's SNP frames, byte for byte, on a
// virtual clock.
#include <gtest/gtest.h>

#include "sim/bcc.h"
#include "tests/sim/harness.h"

namespace simtest {
namespace {

using plcsim::Area;
using plcsim::Protocol;
using plcsim::StationConfig;

const std::vector<StationConfig> kNetwork{
    {1, "ABC", Protocol::Snp}, {2, "PLCB", Protocol::Snp}, {3, "XYZ", Protocol::Snpx}};

// The bytes 1B 4D, seven 00, type at 9, ETB at 34 and a good BCC.
void ExpectMailboxReply(const Bytes& reply, uint8_t type) {
  ASSERT_EQ(reply.size(), 40u) << ToHex(reply);
  EXPECT_EQ(reply[0], 0x1B);
  EXPECT_EQ(reply[1], 'M');
  EXPECT_EQ(reply[9], type) << ToHex(reply);
  EXPECT_EQ(reply[34], 0x17);
  EXPECT_TRUE(MailboxBccOk(reply)) << ToHex(reply);
}

// Attaches station 0 of a point-to-point line and drops the response.
Line AttachedLine(plcsim::EngineConfig config = {}) {
  Line line(plcsim::PointToPoint(), config);
  EXPECT_EQ(line.Exchange(Attach("")).size(), 24u);
  return line;
}

TEST(SnpAttach, OnlyTheStationWithTheSnpIdAnswers) {
  Line line(kNetwork);
  const Bytes response =
      line.Exchange(Hex("1B 41 41 42 43 00 00 00 00 00 30 41 30 30 30 20 20 20 17 00 00 00 31 31"));
  ASSERT_EQ(response.size(), 24u);
  EXPECT_EQ(response[0], 0x1B);
  EXPECT_TRUE(AttachBccOk(response)) << ToHex(response);
  EXPECT_TRUE(line.Plc(1).attached);
  EXPECT_FALSE(line.Plc(2).attached);

  EXPECT_EQ(line.Exchange(Attach("PLCB")).size(), 24u);
  EXPECT_FALSE(line.Plc(1).attached) << "attaching another station detaches the first";
  EXPECT_TRUE(line.Plc(2).attached);

  EXPECT_EQ(ToHex(line.Exchange(Attach("XYZ"))), "") << "an SNPX station does not answer an SNP attach";
  EXPECT_EQ(ToHex(line.Exchange(Attach("NOBODY"))), "");
  EXPECT_FALSE(line.Plc(2).attached);
}

TEST(SnpAttach, SevenBytesOfTheIdAreCompared) {
  Line line({{1, "PLCNAME1", Protocol::Snp}});
  EXPECT_EQ(line.Exchange(Attach("PLCNAME1")).size(), 24u);
  EXPECT_EQ(line.Exchange(Attach("PLCNAMEX")).size(), 24u) << "the eighth character is never sent";
  EXPECT_EQ(line.Exchange(Attach("PLCNAM")).size(), 0u);
}

TEST(SnpAttach, PointToPointStationAnswersTheEmptyId) {
  Line line;
  const Bytes response =
      line.Exchange(Hex("1B 41 00 00 00 00 00 00 00 00 30 41 30 30 30 20 20 20 17 00 00 00 31 41"));
  EXPECT_EQ(response.size(), 24u);
  EXPECT_TRUE(AttachBccOk(response));
  EXPECT_EQ(line.Exchange(Attach("ABC")).size(), 0u);
}

TEST(SnpAttach, AWrongBccIsNotAnswered) {
  Line line;
  Bytes wrong = Attach("");
  wrong[23] = '0';
  EXPECT_EQ(line.Exchange(wrong).size(), 0u);
  Bytes lower = Attach("");  // BCC 1A
  lower[23] = 'a';
  EXPECT_EQ(line.Exchange(lower).size(), 0u);
  EXPECT_FALSE(line.Plc(0).attached);
}

TEST(SnpTiming, EveryFrameWaitsTheTurnaround) {
  for (int turnaround : {5, 20}) {
    plcsim::EngineConfig config;
    config.turnaround = Millis(turnaround);
    Line line(plcsim::PointToPoint(), config);
    line.Send(Attach(""));
    const plcsim::TimePoint sent = line.now;
    std::vector<Sent> frames = line.RunFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].at - sent, Millis(turnaround));

    line.Send(ReadRequest(0x08, 0, 1));
    const plcsim::TimePoint asked = line.now;
    frames = line.RunFrames();
    ASSERT_EQ(frames.size(), 2u);  // ACK, then the reply
    EXPECT_EQ(frames[0].at - asked, Millis(turnaround));
    EXPECT_EQ(frames[1].at - frames[0].at, Millis(turnaround));
  }
}

TEST(SnpMailbox, AStationThatIsNotAttachedStaysSilent) {
  Line line(kNetwork);
  EXPECT_EQ(line.Exchange(ReadRequest(0x08, 0, 1)).size(), 0u);
  EXPECT_EQ(line.Exchange(ShortStatus()).size(), 0u);
}

TEST(SnpControl, ShortStatusAndChangePrivilegeAreAcknowledgedAndDone) {
  Line line = AttachedLine();
  const char* requests[] = {
      "1B 4D 00 00 00 00 00 00 00 C0 10 3A 00 00 10 3E 00 00 01 01 00 00 00 00 00 00 E8 03 01 00 00 00 00 00 17 00 "
      "00 00 00 A6",
      "1B 4D 00 00 00 00 00 00 00 C0 10 3A 00 00 10 0A 00 00 01 01 21 04 00 00 00 00 00 00 00 00 00 00 00 00 17 00 "
      "00 00 00 AE",
  };
  for (const char* request : requests) {
    Bytes out = line.Exchange(Hex(request));
    EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
    ExpectMailboxReply(out, 0xD4);
    EXPECT_EQ(line.Exchange(kAck).size(), 0u);
  }
  EXPECT_EQ(line.Plc(0).stats.shortStatus, 1);
  EXPECT_EQ(line.Plc(0).stats.changePrivilege, 1);
  EXPECT_EQ(line.Plc(0).privilege, 4);
}

TEST(SnpRead, OneRegisterComesInTheMailboxReply) {
  Line line = AttachedLine();
  line.Plc(0).memory.SetWord(Area::R, 0, 0xBEEF);
  Bytes out = line.Exchange(Hex("1B 4D 00 00 00 00 00 00 00 C0 10 3A 00 00 10 0A 00 00 01 01 04 08 00 00 01 00 00 00 "
                                "00 00 00 00 00 00 17 00 00 00 00 37"));
  EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
  ExpectMailboxReply(out, 0xD4);
  EXPECT_EQ(out[22], 0xEF);
  EXPECT_EQ(out[23], 0xBE);
  EXPECT_EQ(line.Exchange(kAck).size(), 0u);
  EXPECT_EQ(line.Plc(0).stats.acksReceived, 1);
}

struct ShortReadCase {
  const char* name;
  uint8_t selector;
  uint16_t index;
  uint16_t length;
  std::size_t bytes;
};

TEST(SnpRead, UpToSixBytesComeInTheMailboxReply) {
  const ShortReadCase cases[] = {
      {"3 registers", 0x08, 10, 3, 6},      {"%AI word", 0x0A, 0, 1, 2},       {"%AQ word", 0x0C, 7, 1, 2},
      {"6 bytes of %M", 0x16, 4, 6, 6},     {"2 bytes of %G", 0x38, 0, 2, 2},  {"one bit of %I", 0x46, 37, 1, 1},
      {"one bit of %S", 0x54, 5, 1, 1},
  };
  for (const ShortReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    Line line = AttachedLine();
    const auto segment = plcsim::DecodeSelector(c.selector);
    const std::vector<uint8_t> expected = line.Plc(0).memory.Read(*segment, c.index, c.length);
    ASSERT_EQ(expected.size(), c.bytes);
    Bytes out = line.Exchange(ReadRequest(c.selector, c.index, c.length));
    EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
    ExpectMailboxReply(out, 0xD4);
    EXPECT_EQ(Bytes(out.begin() + 22, out.begin() + 22 + static_cast<std::ptrdiff_t>(c.bytes)), expected);
  }
}

// Reads through text buffers, acknowledging each, and returns their data.
Bytes ReadTextBuffers(Line& line, std::size_t announced, std::vector<std::size_t>* lengths = nullptr) {
  Bytes data;
  for (std::size_t length = announced; length != 0;) {
    Bytes text = line.Exchange(kAck);
    if (text.size() != length) {
      ADD_FAILURE() << "text buffer of " << text.size() << " bytes, announced " << length;
      return data;
    }
    EXPECT_EQ(text[1], 'T');
    EXPECT_EQ(text[length - 6], 0x17);
    EXPECT_TRUE(TextBccOk(text));
    if (lengths) lengths->push_back(length);
    data.insert(data.end(), text.begin() + 2, text.end() - 6);
    length = static_cast<std::size_t>(text[length - 4] | text[length - 3] << 8);
  }
  EXPECT_EQ(line.Exchange(kAck).size(), 0u) << "nothing follows the last text buffer";
  return data;
}

TEST(SnpRead, LongerDataFollowsInChainedTextBuffers) {
  Line line = AttachedLine();
  Bytes out = line.Exchange(ReadRequest(0x08, 100, 300));  // %R101..%R400, 600 bytes
  EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
  ExpectMailboxReply(out, 0x94);
  const std::size_t announced = static_cast<std::size_t>(out[36] | out[37] << 8);
  EXPECT_EQ(announced, 256u + 8);
  EXPECT_EQ(line.Run(Millis(500)).size(), 0u) << "no text buffer before the driver's ACK";
  std::vector<std::size_t> lengths;
  const Bytes data = ReadTextBuffers(line, announced, &lengths);
  EXPECT_EQ(lengths, (std::vector<std::size_t>{264, 264, 96}));
  ASSERT_EQ(data.size(), 600u);
  for (std::size_t k = 0; k < 300; ++k) {
    EXPECT_EQ(data[2 * k] | data[2 * k + 1] << 8, static_cast<int>(101 + k)) << k;
  }
}

TEST(SnpRead, ClockWordsHoldTheTimeOfEachRead) {
  plcsim::EngineConfig config;
  config.clockWords = {{Area::R, 0}, {Area::R, 2}};
  Line line = AttachedLine(config);
  // Two reads 5 s apart; the virtual clock starts at 3,600,000 ms (61056
  // modulo 65536), so its 16 bits wrap in between.
  std::vector<int> clocks;
  for (int read = 0; read < 2; ++read) {
    const auto ms = std::chrono::duration_cast<Millis>(line.now.time_since_epoch()).count();
    Bytes out = line.Exchange(ReadRequest(0x08, 0, 3));
    Take(out, 2);
    ExpectMailboxReply(out, 0xD4);
    EXPECT_EQ(out[22] | out[23] << 8, ms % 65536);
    EXPECT_EQ(out[24] | out[25] << 8, 2) << "%R2 is no clock word";
    EXPECT_EQ(out[26] | out[27] << 8, ms % 65536);
    clocks.push_back(out[22] | out[23] << 8);
    line.Exchange(kAck);
    line.Run(Millis(4800));
  }
  EXPECT_EQ((clocks[1] - clocks[0] + 65536) % 65536, 5000);
}

TEST(SnpRead, TextBufferSizeIsConfigurable) {
  plcsim::EngineConfig config;
  config.textBufferData = 1000;
  Line line = AttachedLine(config);
  Bytes out = line.Exchange(ReadRequest(0x16, 0, 1000));  // 1000 bytes of %M
  Take(out, 2);
  ExpectMailboxReply(out, 0x94);
  std::vector<std::size_t> lengths;
  const Bytes data = ReadTextBuffers(line, static_cast<std::size_t>(out[36] | out[37] << 8), &lengths);
  EXPECT_EQ(lengths, (std::vector<std::size_t>{1008}));
  EXPECT_EQ(data, line.Plc(0).memory.Read({Area::M, plcsim::Unit::Byte}, 0, 1000));
}

TEST(SnpRead, ANakOfTheDriverEndsTheTextBuffers) {
  Line line = AttachedLine();
  line.Exchange(ReadRequest(0x08, 0, 300));
  EXPECT_EQ(line.Exchange(kAck).size(), 264u);
  EXPECT_EQ(line.Exchange(Hex("15 00")).size(), 0u);
  EXPECT_EQ(line.Run(Millis(3000)).size(), 0u);
  EXPECT_EQ(line.Plc(0).stats.naksReceived, 1);
  EXPECT_EQ(line.Plc(0).awaiting, plcsim::Awaiting::Nothing);
}

TEST(SnpRead, AMissingAckEndsTheExchangeAfterTheReplyTimeout) {
  Line line = AttachedLine();
  line.Exchange(ReadRequest(0x08, 0, 300));
  EXPECT_EQ(line.Plc(0).awaiting, plcsim::Awaiting::Ack);
  line.Run(Millis(2100));
  EXPECT_EQ(line.Plc(0).awaiting, plcsim::Awaiting::Nothing);
  EXPECT_EQ(line.Plc(0).stats.timeouts, 1);
  EXPECT_EQ(line.Exchange(kAck).size(), 0u) << "a late ACK is noise";
  Bytes out = line.Exchange(ReadRequest(0x08, 0, 1));
  EXPECT_EQ(out.size(), 42u) << "the station serves the next request";
}

TEST(SnpRead, ANewRequestReplacesAnUnfinishedExchange) {
  Line line = AttachedLine();
  line.Exchange(ReadRequest(0x08, 0, 300));
  Bytes out = line.Exchange(ReadRequest(0x08, 4, 1));  // no ACK for the 0x94 reply
  EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
  ExpectMailboxReply(out, 0xD4);
  EXPECT_EQ(out[22], 5);
}

TEST(SnpWrite, UpToEightBytesTravelInTheMailbox) {
  Line line = AttachedLine();
  Bytes out = line.Exchange(WriteRequest(0x08, 9, 4, Hex("34 12 78 56 BC 9A F0 DE")));
  EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
  ExpectMailboxReply(out, 0xD4);
  EXPECT_EQ(line.Exchange(kAck).size(), 0u);
  const plcsim::PlcMemory& memory = line.Plc(0).memory;
  EXPECT_EQ(memory.Word(Area::R, 8), 9);  // untouched neighbour
  EXPECT_EQ(memory.Word(Area::R, 9), 0x1234);
  EXPECT_EQ(memory.Word(Area::R, 12), 0xDEF0);
  EXPECT_EQ(memory.Word(Area::R, 13), 14);
  EXPECT_EQ(line.Plc(0).stats.writes, 1);
}

TEST(SnpWrite, TenBytesTravelInATextBufferAfterAnAnnouncingMailbox) {
  Line line = AttachedLine();
  const Bytes mailbox = WriteWithText(0x08, 0, 5, 10);
  EXPECT_EQ(mailbox[20], 10);
  EXPECT_EQ(mailbox[36], 18);
  EXPECT_EQ(ToHex(line.Exchange(mailbox)), "06 00");
  Bytes out = line.Exchange(Hex("1B 54 01 02 03 04 05 06 07 08 09 0A 17 00 00 00 00 90"));
  EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
  ExpectMailboxReply(out, 0xD4);
  EXPECT_EQ(line.Exchange(kAck).size(), 0u);
  const plcsim::PlcMemory& memory = line.Plc(0).memory;
  EXPECT_EQ(memory.Word(Area::R, 0), 0x0201);
  EXPECT_EQ(memory.Word(Area::R, 4), 0x0A09);
  EXPECT_EQ(memory.Word(Area::R, 5), 6);
}

TEST(SnpWrite, ALongWriteOfADiscreteAreaByBytes) {
  Line line = AttachedLine();
  Bytes data(40);
  for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<uint8_t>(0xA0 + k);
  EXPECT_EQ(ToHex(line.Exchange(WriteWithText(0x38, 6, 40, 40))), "06 00");  // %G bytes 6..45
  Bytes out = line.Exchange(TextBuffer(data));
  EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
  ExpectMailboxReply(out, 0xD4);
  EXPECT_EQ(line.Plc(0).memory.Read({Area::G, plcsim::Unit::Byte}, 6, 40), data);
}

struct BitWriteCase {
  const char* name;
  uint8_t selector;
  uint16_t index;
  uint8_t data;
  bool value;
};

TEST(SnpWrite, OneBitTakesItsValueAtItsPlaceInTheDataByte) {
  const BitWriteCase cases[] = {
      {"%M20 set by 0x08", 0x4C, 19, 0x08, true},   {"%M20 cleared by 0x00", 0x4C, 19, 0x00, false},
      {"%M20 cleared by 0xF7", 0x4C, 19, 0xF7, false}, {"%Q1 set by 0x01", 0x48, 0, 0x01, true},
      {"%T12 set by 0x08", 0x4A, 11, 0x08, true},  {"%G16 set by 0x80", 0x56, 15, 0x80, true},
  };
  for (const BitWriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    Line line = AttachedLine();
    const auto segment = *plcsim::DecodeSelector(c.selector);
    plcsim::PlcMemory& memory = line.Plc(0).memory;
    memory.SetWord(segment.area, c.index / 16, c.value ? 0x0000 : 0xFFFF);
    Bytes out = line.Exchange(WriteRequest(c.selector, c.index, 1, {c.data}));
    EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
    ExpectMailboxReply(out, 0xD4);
    const uint16_t others = c.value ? 0x0000 : 0xFFFF;
    const uint16_t mask = static_cast<uint16_t>(1u << (c.index % 16));
    EXPECT_EQ(memory.Word(segment.area, c.index / 16), c.value ? (others | mask) : (others & ~mask));
  }
}

TEST(SnpMailbox, AWrongBccIsAnsweredWithNak) {
  Line line = AttachedLine();
  Bytes request = ReadRequest(0x08, 0, 1);
  request[39] ^= 0x01;
  EXPECT_EQ(ToHex(line.Exchange(request)), "15 00");
  EXPECT_EQ(line.Plc(0).stats.bccErrors, 1);
  Bytes text = WriteWithText(0x08, 0, 5, 10);
  EXPECT_EQ(ToHex(line.Exchange(text)), "06 00");
  Bytes buffer = TextBuffer(Hex("01 02 03 04 05 06 07 08 09 0A"));
  buffer.back() ^= 0x80;
  EXPECT_EQ(ToHex(line.Exchange(buffer)), "15 00");
  EXPECT_EQ(line.Plc(0).memory.Word(Area::R, 0), 1) << "nothing written";
}

TEST(SnpMailbox, AnUnknownMailboxTypeIsASequenceError) {
  Line line = AttachedLine();
  Bytes request = ReadRequest(0x08, 0, 1);
  request[9] = 0x55;
  request[39] = plcsim::Bcc(std::span(request).first(39));
  EXPECT_EQ(ToHex(line.Exchange(request)), "15 02");
}

struct ErrorCase {
  const char* name;
  Bytes request;
  Bytes text;  // for a write with a text buffer
  uint8_t minor;
};

TEST(SnpErrors, BadRequestsAreAnsweredWithAnErrorNack) {
  Bytes eleven(11, 0x55);
  const ErrorCase cases[] = {
      {"read past the end of %R", ReadRequest(0x08, 16383, 2), {}, plcsim::kMinorOutOfRange},
      {"read past the end of %S bits", ReadRequest(0x54, 128, 1), {}, plcsim::kMinorOutOfRange},
      {"index beyond every area", ReadRequest(0x0A, 65535, 1), {}, plcsim::kMinorOutOfRange},
      {"unknown selector", ReadRequest(0x63, 0, 1), {}, plcsim::kMinorBadSelector},
      {"zero length", ReadRequest(0x08, 0, 0), {}, plcsim::kMinorBadLength},
      {"write past the end of %AQ", WriteRequest(0x0C, 4095, 2, Hex("01 00 02 00")), {}, plcsim::kMinorOutOfRange},
      {"ten bytes in the mailbox", WriteRequest(0x08, 0, 5, Hex("01 02 03 04 05 06 07 08")), {},
       plcsim::kMinorBadLength},
      {"text buffer length disagrees with the data", WriteWithText(0x08, 0, 6, 11), TextBuffer(eleven),
       plcsim::kMinorBadLength},
      {"text write past the end", WriteWithText(0x08, 16380, 5, 10), TextBuffer(Bytes(10, 1)),
       plcsim::kMinorOutOfRange},
      {"unknown request code", Mailbox(0x42, Bytes(13, 0)), {}, plcsim::kMinorUnknownRequest},
      {"privilege level 7", ChangePrivilege(7), {}, plcsim::kMinorPrivilege},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    Line line = AttachedLine();
    Bytes out = line.Exchange(c.request);
    EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
    if (!c.text.empty()) {
      EXPECT_EQ(out.size(), 0u);
      out = line.Exchange(c.text);
      EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
    }
    ExpectMailboxReply(out, 0xD1);
    EXPECT_EQ(out[20], plcsim::kMajorRequestError);
    EXPECT_EQ(out[21], c.minor);
    EXPECT_EQ(line.Exchange(kAck).size(), 0u);
    EXPECT_EQ(line.Plc(0).stats.errors, 1);
    EXPECT_EQ(line.Plc(0).memory.Word(Area::R, 0), 1) << "nothing written";
  }
}

TEST(SnpErrors, WritesNeedPrivilegeLevelTwo) {
  Line line = AttachedLine();
  line.Exchange(ChangePrivilege(1));
  line.Exchange(kAck);
  Bytes out = line.Exchange(WriteRequest(0x08, 0, 1, Hex("34 12")));
  Take(out, 2);
  ExpectMailboxReply(out, 0xD1);
  EXPECT_EQ(out[21], plcsim::kMinorPrivilege);
  line.Exchange(kAck);
  EXPECT_EQ(line.Plc(0).memory.Word(Area::R, 0), 1);
  line.Exchange(Attach(""));  // a new attach grants level 2 again
  out = line.Exchange(WriteRequest(0x08, 0, 1, Hex("34 12")));
  Take(out, 2);
  ExpectMailboxReply(out, 0xD4);
  EXPECT_EQ(line.Plc(0).memory.Word(Area::R, 0), 0x1234);
}

TEST(SnpAttach, TheAttachmentLapsesOnASilentLine) {
  Line line = AttachedLine();
  line.Run(Millis(9000));
  EXPECT_EQ(line.Exchange(ReadRequest(0x08, 0, 1)).size(), 42u);
  line.Exchange(kAck);
  line.Run(Millis(10000));
  EXPECT_FALSE(line.Plc(0).attached);
  EXPECT_EQ(line.Exchange(ReadRequest(0x08, 0, 1)).size(), 0u);
}

}  // namespace
}  // namespace simtest
