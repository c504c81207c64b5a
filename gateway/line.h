// The driver calls of one request on the serial line, and what came of them.
// Only the scan engine's line thread runs them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gateway/plan.h"
#include "host/driver_module.h"
#include "host/failure_kind.h"

namespace kelgate {

// The exception that answers a failure of the driver: the station did not
// answer or could not be attached → 0x0B; the PLC answered with an error or
// a NAK → 0x04; the driver refused the address → 0x02.
uint8_t ExceptionFor(FailureKind kind);

struct Outcome {
  uint8_t exception = kNoException;
  std::vector<uint16_t> items;  // a read's registers, or bits as 0/1
  FailureKind failure = FailureKind::kNone;
  std::string message;  // the driver's message that explains the failure
  bool expired = false; // the deadline passed before the line was free
  bool reachedLine = false;
};

// One driver call: parses the step's tag and reads (into *words) or writes
// it. The failure's kind, kNone when it succeeded; *message says why.
FailureKind RunStep(Board& board, const LineStep& step, FailureCollector& collector, std::vector<uint16_t>* words,
                    std::string* message);

// Every driver call of the plan, stopping at the first failure.
Outcome RunPlan(Board& board, const Plan& plan, FailureCollector& collector);

}  // namespace kelgate
