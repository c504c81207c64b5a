#include "exchange/access.h"

#include "address/gas.h"
#include "exchange/frame.h"

namespace {

// The one source of the segment selectors: every selector predicate below
// reads this table.
struct AreaSelectors {
  char area;
  uint8_t wordSelector;  // BuildWordAccess: words of a register area, bytes of a discrete one
  uint8_t bitSelector;   // BuildBitAccess of a discrete area; 0 for the register areas
};

constexpr AreaSelectors kSelectors[] = {
    {'R', kSelectorR, 0}, {'L', kSelectorAI, 0}, {'O', kSelectorAQ, 0}, {'F', kSelectorR, 0}, {'I', 16, 70},
    {'Q', 18, 72},        {'T', 20, 74},         {'M', 22, 76},         {'G', 56, 86},        {'A', 24, 78},
    {'B', 26, 80},        {'C', 28, 82},         {'D', 30, 84},
};

const AreaSelectors* Find(int32_t area) {
  for (const AreaSelectors& entry : kSelectors) {
    if (entry.area == area) return &entry;
  }
  return nullptr;
}

bool IsDiscreteArea(int32_t area) { return !IsRegisterArea(area) && area != 'F'; }

}  // namespace

bool IsWordSelector(uint8_t selector) {
  for (const AreaSelectors& entry : kSelectors) {
    if (IsRegisterArea(entry.area) && entry.wordSelector == selector) return true;
  }
  return false;
}

bool IsByteSelector(uint8_t selector) {
  for (const AreaSelectors& entry : kSelectors) {
    if (IsDiscreteArea(entry.area) && entry.wordSelector == selector) return true;
  }
  return false;
}

bool IsBitSelector(uint8_t selector) {
  for (const AreaSelectors& entry : kSelectors) {
    if (entry.bitSelector != 0 && entry.bitSelector == selector) return true;
  }
  return false;
}

void BuildWordAccess(const TagRecord* tag, AccessDescriptor* access) {
  const AreaSelectors* entry = Find(tag->area);
  access->selector = entry ? entry->wordSelector : 0;
  access->bit = kNoBit;
  if (IsRegisterArea(tag->area)) {
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
  if (IsRegisterArea(tag->area)) {
    access->selector = entry->wordSelector;
    access->mode = kModeWord;
    access->index = static_cast<uint16_t>(tag->element);
  } else {
    access->selector = entry ? entry->bitSelector : 0;
    access->mode = kModeBit;
    access->index = static_cast<uint16_t>(16 * tag->element + tag->bit);
  }
}

void UnpackReadData(const AccessDescriptor* access, uint16_t* values, const uint8_t* data) {
  auto word = [data](uint32_t k) { return ReadLe16(data + 2 * k); };
  switch (access->mode) {
    case kModeBit:
      values[0] = static_cast<uint16_t>((data[0] >> (access->bit % 8)) & 1);
      break;
    case kModeWord:
      if (IsWordSelector(access->selector)) {
        if (access->length == 1 && access->bit != kNoBit) {
          values[0] = static_cast<uint16_t>((word(0) >> (access->bit & 15)) & 1);
        } else {
          for (uint32_t k = 0; k < access->length; ++k) values[k] = word(k);
        }
      } else {
        for (uint32_t k = 0; k < access->length / 2u; ++k) values[k] = word(k);
      }
      break;
    case kModeDoubleWord:
      for (uint32_t k = 0; k < access->length; ++k) values[k] = word(k);
      break;
    default:
      break;
  }
}

uint16_t WriteDataLength(const AccessDescriptor* access) {
  if (access->mode == kModeBit) return 1;
  if (access->mode == kModeDoubleWord) return static_cast<uint16_t>(static_cast<uint16_t>(4 * access->length) / 2);
  // The byte selectors count bytes already.
  if (access->mode == kModeWord && IsByteSelector(access->selector)) return access->length;
  return static_cast<uint16_t>(2 * access->length);
}
