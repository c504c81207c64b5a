#include "host/failure_kind.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "host_api/kalvro.h"

namespace {

// A piece of a driver message and the failure it reports. The driver writes
// its prefix in several cases ("KELG1:", "kelg1:", "KelG1 :"), so only the
// part after it is matched, without regard to case.
struct MessagePattern {
  const char* piece;
  FailureKind kind;
};

constexpr MessagePattern kPatterns[] = {
    // Nothing, or not all of it, came back in time.
    {"could not read", FailureKind::kNoResponse},
    {"failed to receive attach response", FailureKind::kNoResponse},
    {"ack not received for", FailureKind::kNoResponse},
    {"no ack received after mailbox", FailureKind::kNoResponse},
    {"returned from snpxgetresponse", FailureKind::kNoResponse},
    // Something came back with a wrong block check.
    {"bcc error", FailureKind::kChecksum},
    {"bcc check failed", FailureKind::kChecksum},
    // The PLC answered the request with a NAK.
    {"a nak message received", FailureKind::kNak},
    // The PLC answered with an error status.
    {"error nack received", FailureKind::kPlcError},
    {"major errcode", FailureKind::kPlcError},
    {"snpx error code", FailureKind::kPlcError},
    {"errorstatuscode", FailureKind::kPlcError},
    // The driver refused the request before anything was sent.
    {"block write not allowed", FailureKind::kRefused},
    {"parse error", FailureKind::kRefused},
    {"out of range", FailureKind::kRefused},
    // The driver gave up on a reply it could not make sense of.
    {"stuck in", FailureKind::kOther},
    // Messages that report no failure.
    {"loaded successfully", FailureKind::kNone},
    {"warm start", FailureKind::kNone},
    {"peer to peer mode", FailureKind::kNone},
    {"wait time is", FailureKind::kNone},
};

bool Contains(const std::string& lowered, const char* piece) { return lowered.find(piece) != std::string::npos; }

// How much a kind says about the cause: a checksum error on one try says
// more than the "no response" the same failure leaves behind in a summary,
// and any named cause says more than "other".
int Specificity(FailureKind kind) {
  switch (kind) {
    case FailureKind::kNone: return 0;
    case FailureKind::kOther: return 1;
    case FailureKind::kNoResponse: return 2;
    case FailureKind::kChecksum: return 3;
    case FailureKind::kNak: return 4;
    case FailureKind::kPlcError: return 5;
    case FailureKind::kNotAttached: return 6;
    case FailureKind::kRefused: return 7;
  }
  return 0;
}

FailureCollector* g_active = nullptr;

// The level of the driver's messages about faults on the line, in the
// protocols and in addresses.
constexpr int kFaultLevel = 8;

}  // namespace

const char* FailureKindName(FailureKind kind) {
  switch (kind) {
    case FailureKind::kNone: return "";
    case FailureKind::kNoResponse: return "no response";
    case FailureKind::kChecksum: return "checksum error";
    case FailureKind::kNak: return "NAK";
    case FailureKind::kPlcError: return "PLC error status";
    case FailureKind::kNotAttached: return "not attached";
    case FailureKind::kRefused: return "refused";
    case FailureKind::kOther: return "other";
  }
  return "other";
}

FailureKind ClassifyMessage(int level, const char* text) {
  if (text == nullptr) return FailureKind::kNone;
  std::string lowered(text);
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const MessagePattern& pattern : kPatterns) {
    if (Contains(lowered, pattern.piece)) return pattern.kind;
  }
  // Anything else the driver reports as a fault, or as a failure or an
  // illegal reply, is a failure without a named cause; other information is not.
  if (level == kFaultLevel || Contains(lowered, "fail") || Contains(lowered, "illegal") || Contains(lowered, "invalid") ||
      Contains(lowered, "error")) {
    return FailureKind::kOther;
  }
  return FailureKind::kNone;
}

FailureCollector::FailureCollector() {
  g_active = this;
  KalSetErrSink(&FailureCollector::Sink, this);
}

FailureCollector::~FailureCollector() {
  // A collector made later has the sink now; it keeps it.
  if (g_active != this) return;
  KalSetErrSink(nullptr, nullptr);
  g_active = nullptr;
}

void FailureCollector::Begin() {
  worst_ = FailureKind::kNone;
  lastMessage_.clear();
  causeMessage_.clear();
  lastIsFailure_ = false;
}

FailureKind FailureCollector::End(int32_t result) {
  if (result == 0) return FailureKind::kNone;
  if (result == 2) return FailureKind::kNotAttached;
  return worst_ == FailureKind::kNone ? FailureKind::kOther : worst_;
}

void FailureCollector::Sink(void* user, int level, const char* text) {
  auto* self = static_cast<FailureCollector*>(user);
  if (self == nullptr || text == nullptr) return;
  if (self->echo_) {
    std::fprintf(stderr, "[%d] %s\n", level, text);
    std::fflush(stderr);
  }
  if (self->observer_) self->observer_(level, text);
  const FailureKind kind = ClassifyMessage(level, text);
  if (kind != FailureKind::kNone || !self->lastIsFailure_) {
    self->lastMessage_ = text;
    self->lastIsFailure_ = kind != FailureKind::kNone;
  }
  if (kind != FailureKind::kNone && Specificity(kind) >= Specificity(self->worst_)) {
    self->worst_ = kind;
    self->causeMessage_ = text;
  }
}
