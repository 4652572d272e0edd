#include "rename/pair_index.h"

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
