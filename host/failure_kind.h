// Tells the driver's failures apart by its messages: the request results say
// only "failed" or "not attached", while the messages the driver hands to the
// host's err say why (no answer, a bad checksum, a NAK, an error status from
// the PLC, a request the driver refused).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

enum class FailureKind { kNone, kNoResponse, kChecksum, kNak, kPlcError, kNotAttached, kRefused, kOther };

// "no response", "checksum error", "NAK", "PLC error status", "not attached",
// "refused", "other"; "" for kNone.
const char* FailureKindName(FailureKind kind);

// One message of the driver; kNone for a message that reports no failure.
FailureKind ClassifyMessage(int level, const char* text);

// Collects the driver's messages (through KalSetErrSink) while one request
// runs and tells its failure kind: the most specific kind among the messages,
// kNotAttached for result 2, kOther for a failure no message explains.
// Only one collector is active in a process at a time; it installs itself as
// the err sink while it lives.
class FailureCollector {
 public:
  FailureCollector();
  ~FailureCollector();
  FailureCollector(const FailureCollector&) = delete;
  FailureCollector& operator=(const FailureCollector&) = delete;

  void Begin();
  FailureKind End(int32_t result);
  // The last message that reported a failure (or, failing that, the last
  // message) since Begin.
  const std::string& LastMessage() const { return lastMessage_; }
  // The last message of the most specific kind since Begin: the one that
  // tells the cause ("" when no message reported a failure).
  const std::string& CauseMessage() const { return causeMessage_; }
  // Echo every message to standard error as "[level] text".
  void SetEcho(bool echo) { echo_ = echo; }
  // Also hands every message, as it comes, to `observer` (empty: to no one).
  void SetObserver(std::function<void(int level, const char* text)> observer) { observer_ = std::move(observer); }

 private:
  static void Sink(void* user, int level, const char* text);

  FailureKind worst_ = FailureKind::kNone;
  std::string lastMessage_;
  std::string causeMessage_;
  bool lastIsFailure_ = false;
  bool echo_ = false;
  std::function<void(int, const char*)> observer_;
};
