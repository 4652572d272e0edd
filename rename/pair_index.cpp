#include "rename/pair_index.h"

namespace {

uint64_t Load64(const char* p) {
  uint64_t value;
  memcpy(&value, p, sizeof value);
  return value;
}

uint32_t Load32(const char* p) {
  uint32_t value;
  memcpy(&value, p, sizeof value);
  return value;
}

}  // namespace

uint32_t HashName(const char* name) {
  const size_t n = strlen(name);
  uint64_t a;
  uint64_t b;
  if (n >= 8) {
    a = Load64(name);
    b = Load64(name + n - 8);
    for (size_t i = 8; i + 8 < n; i += 8) a = (a ^ Load64(name + i)) * 0x9E3779B97F4A7C15ull;
  } else if (n >= 4) {
    a = Load32(name);
    b = Load32(name + n - 4);
  } else {
    a = n ? static_cast<uint8_t>(name[0]) : 0;
    b = n ? uint64_t{static_cast<uint8_t>(name[n / 2])} << 8 | static_cast<uint8_t>(name[n - 1])
          : 0;
  }
  uint64_t h = (a ^ 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
  h ^= (b + n) * 0x94D049BB133111EBull;
  h ^= h >> 31;
  h *= 0xD6E8FEB86659FD93ull;
  return static_cast<uint32_t>(h >> 32);
}

OldNameIndex IndexOldNames(std::span<const char* const> oldNames) {
  OldNameIndex index;
  index.oldNames = oldNames;
  size_t slots = 16;
  while (slots < oldNames.size() + oldNames.size() / 2) slots *= 2;
  index.mask = static_cast<uint32_t>(slots - 1);
  index.slots.assign(slots, {0, kNoPair});
  uint32_t filterBits = 10;
  while (filterBits < 22 && (size_t{1} << filterBits) < 16 * oldNames.size()) ++filterBits;
  index.filter.assign((size_t{1} << filterBits) / 64, 0);
  index.filterShift = 32 - filterBits;
  index.nextSame.assign(oldNames.size(), kNoPair);
  std::vector<uint32_t> lastSame(oldNames.size(), kNoPair);
  for (uint32_t pair = 0; pair < oldNames.size(); ++pair) {
    uint32_t hash = HashName(oldNames[pair]);
    uint32_t slot = hash & index.mask;
    while (index.slots[slot].pair != kNoPair) {
      const OldNameSlot& taken = index.slots[slot];
      if (taken.hash == hash && strcmp(oldNames[taken.pair], oldNames[pair]) == 0) break;
      slot = (slot + 1) & index.mask;
    }
    uint32_t bit = hash >> index.filterShift;
    index.filter[bit / 64] |= uint64_t{1} << (bit % 64);
    uint32_t first = index.slots[slot].pair;
    if (first == kNoPair) {
      index.slots[slot] = {hash, pair};
      lastSame[pair] = pair;
    } else {
      index.nextSame[lastSame[first]] = pair;
      lastSame[first] = pair;
    }
  }
  return index;
}
