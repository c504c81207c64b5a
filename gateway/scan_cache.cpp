#include "gateway/scan_cache.h"

namespace kelgate {
namespace {

// Word index of an element: word w holds element w + 1 of a word area and
// elements 16w + 1 .. 16w + 16 of a bit area.
uint32_t WordOf(const Area& area, uint32_t element) { return (element - 1) / (area.bits ? 16 : 1); }

uint32_t FirstWord(const ScanBlock& block) { return WordOf(*block.area, block.first); }

}  // namespace

uint64_t ScanCache::Key(int station, const Area& area, uint32_t word) {
  return static_cast<uint64_t>(station) << 40 | static_cast<uint64_t>(static_cast<unsigned char>(area.letter)) << 32 |
         word;
}

const ScanCache::Word* ScanCache::Find(int station, const Area& area, uint32_t word) const {
  const auto it = words_.find(Key(station, area, word));
  return it == words_.end() ? nullptr : &it->second;
}

void ScanCache::Declare(const ScanBlock& block) {
  for (uint32_t k = 0; k < block.words; ++k) words_.try_emplace(Key(block.station, *block.area, FirstWord(block) + k));
}

void ScanCache::Store(const ScanBlock& block, const std::vector<uint16_t>& words, Clock::time_point at,
                      WallClock::time_point wall) {
  for (uint32_t k = 0; k < block.words && k < words.size(); ++k) {
    Word& word = words_[Key(block.station, *block.area, FirstWord(block) + k)];
    word = Word{words[k], true, FailureKind::kNone, at, wall};
  }
}

void ScanCache::Fail(const ScanBlock& block, FailureKind failure) {
  for (uint32_t k = 0; k < block.words; ++k) {
    words_[Key(block.station, *block.area, FirstWord(block) + k)].failure = failure;
  }
}

void ScanCache::Write(int station, const Area& area, uint32_t element, const std::vector<uint16_t>& items,
                      Clock::time_point at, WallClock::time_point wall) {
  for (size_t k = 0; k < items.size(); ++k) {
    const uint32_t e = element + static_cast<uint32_t>(k);
    const auto it = words_.find(Key(station, area, WordOf(area, e)));
    if (it == words_.end()) continue;
    Word& word = it->second;
    if (area.bits) {
      // Only a word read before holds the other bits that make it whole.
      if (!word.read) continue;
      const uint16_t mask = static_cast<uint16_t>(1u << ((e - 1) % 16));
      word.value = static_cast<uint16_t>(items[k] ? word.value | mask : word.value & ~mask);
      // The word's other bits keep the age of their read.
      if (word.failure != FailureKind::kNone) continue;
    } else {
      word.value = items[k];
      word.read = true;
      word.failure = FailureKind::kNone;
    }
    word.at = at;
    word.wall = wall;
  }
}

CachedRun ScanCache::Read(int station, const Area& area, uint32_t element, uint32_t count,
                          Clock::time_point now) const {
  CachedRun run;
  if (count == 0) return run;
  const uint32_t firstWord = WordOf(area, element);
  const uint32_t lastWord = WordOf(area, element + count - 1);
  run.quality = Quality::kGood;
  bool first = true;
  for (uint32_t w = firstWord; w <= lastWord; ++w) {
    const Word* word = Find(station, area, w);
    if (word == nullptr) return CachedRun{};
    if (!word->read || word->failure != FailureKind::kNone) {
      run.quality = Quality::kBad;
      if (run.failure == FailureKind::kNone) run.failure = word->failure;
    }
    if (first || word->at < run.readAt) {
      run.readAt = word->at;
      run.readWall = word->wall;
      first = false;
    }
  }
  run.scanned = true;
  if (run.quality != Quality::kBad) run.quality = now - run.readAt > maxAge_ ? Quality::kStale : Quality::kGood;
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t e = element + k;
    const uint16_t value = Find(station, area, WordOf(area, e))->value;
    run.items.push_back(area.bits ? static_cast<uint16_t>(value >> ((e - 1) % 16) & 1) : value);
  }
  return run;
}

std::optional<Clock::duration> ScanCache::OldestAge(int station, Clock::time_point now) const {
  std::optional<Clock::duration> oldest;
  for (const auto& [key, word] : words_) {
    if (static_cast<int>(key >> 40) != station || !word.read) continue;
    if (!oldest || now - word.at > *oldest) oldest = now - word.at;
  }
  return oldest;
}

}  // namespace kelgate
