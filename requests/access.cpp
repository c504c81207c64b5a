#include "requests/access.h"

namespace {

struct AreaSelectors {
  char area;
  uint8_t wordSelector;  // BuildWordAccess
  uint8_t bitSelector;   // BuildBitAccess; 0 where never applied
};

constexpr AreaSelectors kSelectors[] = {
    {'R', 8, 8},   {'L', 10, 10}, {'O', 12, 12}, {'F', 8, 0},   {'I', 16, 70},
    {'Q', 18, 72}, {'T', 20, 74}, {'M', 22, 76}, {'G', 56, 86}, {'A', 24, 78},
    {'B', 26, 80}, {'C', 28, 82}, {'D', 30, 84},
};

const AreaSelectors* Find(int32_t area) {
  for (const AreaSelectors& entry : kSelectors) {
    if (entry.area == area) return &entry;
  }
  return nullptr;
}

bool IsRegister(int32_t area) { return area == 'R' || area == 'L' || area == 'O'; }

}  // namespace

bool IsWordSelector(uint8_t selector) { return selector == 8 || selector == 10 || selector == 12; }

bool IsByteSelector(uint8_t selector) {
  return (selector >= 16 && selector <= 30 && selector % 2 == 0) || selector == 56;
}

bool IsBitSelector(uint8_t selector) { return selector >= 70 && selector <= 86 && selector % 2 == 0; }

void BuildWordAccess(const TagRecord* tag, AccessDescriptor* access) {
  const AreaSelectors* entry = Find(tag->area);
  access->selector = entry ? entry->wordSelector : 0;
  access->bit = kNoBit;
  if (IsRegister(tag->area)) {
    access->mode = kModeWord;
    access->index = static_cast<uint16_t>(tag->element);
    access->length = static_cast<uint16_t>(tag->count);
  } else {
    // Area F counts %R registers, two per value; the discrete areas count
    // bytes, two per 16-bit element.
    access->mode = tag->area == 'F' ? kModeDoubleWord : kModeWord;
    access->index = static_cast<uint16_t>(2 * tag->element);
    access->length = static_cast<uint16_t>(2 * tag->count);
  }
}

void BuildBitAccess(const TagRecord* tag, AccessDescriptor* access) {
  const AreaSelectors* entry = Find(tag->area);
  access->bit = static_cast<uint16_t>(tag->bit);
  access->length = 1;
  if (IsRegister(tag->area)) {
    access->selector = entry->wordSelector;
    access->mode = kModeWord;
    access->index = static_cast<uint16_t>(tag->element);
  } else {
    access->selector = entry ? entry->bitSelector : 0;
    access->mode = kModeBit;
    access->index = static_cast<uint16_t>(16 * tag->element + tag->bit);
  }
}
