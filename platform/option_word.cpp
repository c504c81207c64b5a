#include "platform/option_word.h"

DtrControl DtrControlFor(uint16_t options) {
  if (options & kOptionDtrEnable) return DtrControl::kEnable;
  if (options & kOptionDtrHandshake) return DtrControl::kHandshake;
  return DtrControl::kDisable;
}

RtsControl RtsControlFor(uint16_t options) {
  if (options & kOptionRtsEnable) return RtsControl::kEnable;
  if (options & kOptionRtsHandshake) return RtsControl::kHandshake;
  if (options & kOptionRtsToggle) return RtsControl::kToggle;
  return RtsControl::kDisable;
}
