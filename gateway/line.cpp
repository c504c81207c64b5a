#include "gateway/line.h"

namespace kelgate {

uint8_t ExceptionFor(FailureKind kind) {
  switch (kind) {
    case FailureKind::kNone:
      return kNoException;
    case FailureKind::kNoResponse:
    case FailureKind::kChecksum:
    case FailureKind::kNotAttached:
      return kGatewayTargetFailed;
    case FailureKind::kRefused:
      return kIllegalAddress;
    case FailureKind::kNak:
    case FailureKind::kPlcError:
    case FailureKind::kOther:
      return kDeviceFailure;
  }
  return kDeviceFailure;
}

FailureKind RunStep(Board& board, const LineStep& step, FailureCollector& collector, std::vector<uint16_t>* words,
                    std::string* message) {
  Tag tag;
  collector.Begin();
  if (board.Parse(step.gas, step.count, step.block, &tag) != 0) {
    // The map and the station list keep the driver's parse satisfied; a
    // refusal here is an address the driver does not serve.
    *message = collector.LastMessage().empty() ? "the driver refused " + step.gas : collector.LastMessage();
    return FailureKind::kRefused;
  }
  collector.Begin();
  const int32_t result = step.write ? board.Write(tag, step.values) : board.Read(tag, words);
  const FailureKind kind = collector.End(result);
  if (kind != FailureKind::kNone) *message = collector.LastMessage();
  return kind;
}

Outcome RunPlan(Board& board, const Plan& plan, FailureCollector& collector) {
  Outcome outcome;
  outcome.reachedLine = true;
  std::vector<uint16_t> words;
  for (const LineStep& step : plan.steps) {
    const FailureKind kind = RunStep(board, step, collector, &words, &outcome.message);
    if (kind != FailureKind::kNone) {
      outcome.failure = kind;
      outcome.exception = ExceptionFor(kind);
      return outcome;
    }
  }
  if (!plan.steps.empty() && !plan.steps.front().write) outcome.items = ReadItems(plan, words);
  return outcome;
}

}  // namespace kelgate
