#include "host/failure_kind.h"

#include <gtest/gtest.h>

#include "host_api/kalvro.h"

namespace {

struct MessageCase {
  int level;
  const char* text;
  FailureKind kind;
};

// The driver's messages as its host receives them, formatted.
constexpr MessageCase kMessages[] = {
    {8, "KELG1: Could not read Ack / NAk message ", FailureKind::kNoResponse},
    {8, "KELG1: Could not read slave response", FailureKind::kNoResponse},
    {8, "kelg1:Could not read slave response. GAS=01R00001", FailureKind::kNoResponse},
    {8, "KELG1:Could not read PLC Short Status!", FailureKind::kNoResponse},
    {8, "KELG1: Could not read Change Priv. Level response!", FailureKind::kNoResponse},
    {8, "kelg1:Could not read Text Buffer Message", FailureKind::kNoResponse},
    {8, "KELG1: Failed to receive Attach response. PLC=3, retry=1", FailureKind::kNoResponse},
    {8, "KELG1: Ack not received for PLC Short Status request!", FailureKind::kNoResponse},
    {8, "KELG1: Ack not received for Change privilage Level!", FailureKind::kNoResponse},
    {8, "KELG1: No ack received after Mailbox w/h textbuffer", FailureKind::kNoResponse},
    {32, "kelg1: Fail returned from SnpxGetResponse", FailureKind::kNoResponse},
    {32, "kelg1: FAIL returned from SnpxGetResponse", FailureKind::kNoResponse},
    {8, "KELG1: BCC Error in slave response", FailureKind::kChecksum},
    {8, " KELG1: BCC Error in Text Buffer from the PLC", FailureKind::kChecksum},
    {8, "KELG1: BCC Error in Attach Response Message", FailureKind::kChecksum},
    {8, "KELG1:BCC Error in PLC Short Status!", FailureKind::kChecksum},
    {8, "kelg1:BCC Error in slave response", FailureKind::kChecksum},
    {8, "kelg1: BCC check failed SnpxGetResponse", FailureKind::kChecksum},
    {32, "KelG1 : A NAK message received.", FailureKind::kNak},
    {8, "KELG1:Error Nack received for read!", FailureKind::kPlcError},
    {8, "KELG1:Error Nack received for Write! ", FailureKind::kPlcError},
    {8, "KELG1: Error Nack received for PLC Short Status!", FailureKind::kPlcError},
    {8, "KELG1: Major ERRCODE = 5, Minor ERRCODE = 2", FailureKind::kPlcError},
    {32, "kelG1: SNPX Error Code 0x0C05 from Station PLCC", FailureKind::kPlcError},
    {8, "kelg1: ErrorStatusCode 0x0C05 on write with follow on request", FailureKind::kPlcError},
    {32, "KELG1:Block write not allowed. GAS= 01R00001", FailureKind::kRefused},
    {8, "kelg1: Parse error Plc Address out of range 0-64 (65)", FailureKind::kRefused},
    {8, "kelg1: Parse error Plc Address (9) not defined in init file", FailureKind::kRefused},
    {32, "KelG1: Board number 9 out of range", FailureKind::kRefused},
    {8, "KELG1:Illegal response for read received from PLC!", FailureKind::kOther},
    {32, "KELG1: Illegal reply from PLC for Write!", FailureKind::kOther},
    {8, "KelG1:Illegal message was received for Ack/Nak msg. GAS=01R00001", FailureKind::kOther},
    {8, "KELG1:Sequence Error. Text Buffer message Expected.", FailureKind::kOther},
    {32, "KELG1: Stuck in 'While' loop reading Text buffers. Exiting.", FailureKind::kOther},
    {8, "KELG1: PLC 3: Short Status Request failed!", FailureKind::kOther},
    {32, "KelG1: Read failed. Plc 3. RC=1. GAS= 03R00001", FailureKind::kOther},
    {32, "KELG1: Fail to open pts/7", FailureKind::kOther},
    {32, "KelG1: Line 4 in file kelG101.int is illegal !", FailureKind::kOther},
    {32, "KELG1: Driver for pts/7 loaded successfully", FailureKind::kNone},
    {32, "KELG1: PLC 0. Warm Start ", FailureKind::kNone},
    {32, "KelG1 : File kelG101.int not found, Peer To Peer Mode", FailureKind::kNone},
    {32, "KelG1: Attach response Wait Time is 200 mSec", FailureKind::kNone},
    {32, "KelG1: Attach Wait Time is set to 200 mSec", FailureKind::kNone},
};

TEST(FailureKind, ClassifiesEachDriverMessage) {
  for (const MessageCase& message : kMessages) {
    EXPECT_EQ(ClassifyMessage(message.level, message.text), message.kind) << message.text;
  }
}

TEST(FailureKind, NamesEveryKind) {
  EXPECT_STREQ(FailureKindName(FailureKind::kNoResponse), "no response");
  EXPECT_STREQ(FailureKindName(FailureKind::kChecksum), "checksum error");
  EXPECT_STREQ(FailureKindName(FailureKind::kNak), "NAK");
  EXPECT_STREQ(FailureKindName(FailureKind::kPlcError), "PLC error status");
  EXPECT_STREQ(FailureKindName(FailureKind::kNotAttached), "not attached");
  EXPECT_STREQ(FailureKindName(FailureKind::kRefused), "refused");
  EXPECT_STREQ(FailureKindName(FailureKind::kOther), "other");
}

struct RequestCase {
  std::vector<const char*> messages;
  int32_t result;
  FailureKind kind;
  const char* last;
};

TEST(FailureCollector, TellsTheMostSpecificCauseOfEachRequest) {
  const RequestCase cases[] = {
      {{}, 0, FailureKind::kNone, ""},
      // A try that failed and a retry that succeeded: the request succeeded.
      {{"KELG1: BCC Error in slave response"}, 0, FailureKind::kNone, "KELG1: BCC Error in slave response"},
      {{"kelg1: BCC check failed SnpxGetResponse", "kelg1: Fail returned from SnpxGetResponse",
        "KelG1: Read failed. Plc 3. RC=1. GAS= 03R00001"},
       1, FailureKind::kChecksum, "KelG1: Read failed. Plc 3. RC=1. GAS= 03R00001"},
      {{"KELG1:Error Nack received for read!", "KELG1: Major ERRCODE = 5, Minor ERRCODE = 2"},
       1, FailureKind::kPlcError, "KELG1: Major ERRCODE = 5, Minor ERRCODE = 2"},
      {{"KELG1: Failed to receive Attach response. PLC=3, retry=2"}, 2, FailureKind::kNotAttached,
       "KELG1: Failed to receive Attach response. PLC=3, retry=2"},
      {{}, 1, FailureKind::kOther, ""},
      {{"KELG1: Driver for pts/7 loaded successfully"}, 1, FailureKind::kOther,
       "KELG1: Driver for pts/7 loaded successfully"},
  };
  FailureCollector collector;
  for (const RequestCase& request : cases) {
    collector.Begin();
    for (const char* text : request.messages) err(8, "%s", text);
    EXPECT_EQ(collector.End(request.result), request.kind) << request.last;
    EXPECT_EQ(collector.LastMessage(), request.last);
  }
}

}  // namespace
