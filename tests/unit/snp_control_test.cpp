// SNP control exchanges on the fake line: the PLC's ACK/NAK, PLC Short Status
// and Change Privilege Level.
#include <gtest/gtest.h>

#include <cstring>

#include "snp/mailbox.h"
#include "tests/support/fake_line.h"

namespace {

constexpr const char* kShortStatusRequest =
    "1B 4D 00*7 C0 10 3A 00 00 10 3E 00 00 01 01 00 00*5 E8 03 01 00*5 17 00*4 A6";
constexpr const char* kChangePrivilegeRequest =
    "1B 4D 00*7 C0 10 3A 00 00 10 0A 00 00 01 01 21 04 00*12 17 00*4 AE";

struct Exchange {
  const char* name;
  int (*run)(DriverContext*);
  const char* request;
  const char* noAck;
  const char* noReply;
  const char* badBcc;
  const char* errorNack;
  const char* illegal;
};

const Exchange kExchanges[] = {
    {"short status", SnpShortStatus, kShortStatusRequest, "KELG1: Ack not received for PLC Short Status request!",
     "KELG1:Could not read PLC Short Status!", "KELG1:BCC Error in PLC Short Status!",
     "KELG1: Error Nack received for PLC Short Status!", "KELG1: Illegal reply for PLC Short Status!"},
    {"change privilege", SnpChangePrivilege, kChangePrivilegeRequest,
     "KELG1: Ack not received for Change privilage Level!", "KELG1: Could not read Change Priv. Level response!",
     "KELG1: BCC Error in Change Priv. Level Response!", "KELG1:Error Nack received for Change Priv. Level response!",
     "KELG1: Illegal reply for Change Priv. Level response!"},
};

TEST(SnpControl, DoneReplyIsAcknowledged) {
  for (const Exchange& x : kExchanges) {
    SCOPED_TRACE(x.name);
    FakeBoard board;
    board.line.Expect(x.request).Reply(peer::kAck + peer::MailboxReply(0xD4));
    board.line.Expect("06 00");
    board.clock.Advance(77);
    EXPECT_EQ(x.run(&board.context), 1);
    EXPECT_EQ(board.context.lastAckTick, board.clock.Tick());
    EXPECT_TRUE(board.log.Lines().empty());
  }
}

TEST(SnpControl, FailuresAnswerAndLog) {
  for (const Exchange& x : kExchanges) {
    struct Case {
      const char* name;
      Bytes peer;                 // after the request
      const char* driverAnswer;   // the driver's ACK/NAK, if any
      std::vector<LogLine> log;
    } const cases[] = {
        {"NAK with any second byte", Hex("15 02"), nullptr, {{32, "KelG1 : A NAK message received."}, {8, x.noAck}}},
        {"06 01 is illegal", Hex("06 01"), nullptr,
         {{8, "KelG1:Illegal message was received for Ack/Nak msg. GAS=01R000105"}, {8, x.noAck}}},
        {"one byte only", Hex("06"), nullptr, {{8, "KELG1: Could not read Ack / NAk message "}, {8, x.noAck}}},
        {"no reply", peer::kAck, nullptr, {{8, x.noReply}}},
        {"short reply", peer::kAck + Hex("1B 4D 00*30"), nullptr, {{8, x.noReply}}},
        {"reply BCC wrong", peer::kAck + Hex("1B 4D 00*7 D4 00*24 17 00*4 00"), "15 00", {{8, x.badBcc}}},
        {"error nack", peer::kAck + peer::MailboxReply(0xD1, {}, 0, 0x05, 0x0A), "06 00",
         {{8, x.errorNack}, {8, "KELG1: Major ERRCODE = 5, Minor ERRCODE = a"}}},
        {"text reply is illegal here", peer::kAck + peer::MailboxReply(0x94, {}, 16), "06 00", {{32, x.illegal}}},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << x.name << ": " << c.name);
      FakeBoard board;
      std::memcpy(board.context.gasText, "01R000105", 9);
      board.line.Expect(x.request).Reply(c.peer);
      if (c.driverAnswer != nullptr) board.line.Expect(c.driverAnswer);
      EXPECT_EQ(x.run(&board.context), 0);
      EXPECT_EQ(board.log.Lines(), c.log);
      EXPECT_EQ(board.context.lastAckTick, c.driverAnswer != nullptr ? board.clock.Tick() : 0u);
    }
  }
}

}  // namespace
