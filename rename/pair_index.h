// The old names of a run's pairs, indexed once for every object of the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

// The longest name a pair may hold, in bytes.
constexpr size_t kMaxNameLength = 1023;

// No pair: an empty slot, or the end of a chain.
constexpr uint32_t kNoPair = UINT32_MAX;

struct OldNameSlot {
  uint32_t hash;
  uint32_t pair;  // kNoPair for an empty slot
};

// An open-addressing table from each distinct old name to its first pair,
// with later pairs of the same old name chained in pair order. Slots are
// small so that the table of a long list stays in cache.
struct OldNameIndex {
  std::span<const char* const> oldNames;
  // One bit per hash prefix, set for the old names' hashes: most symbols
  // match no pair and are turned away by this small table alone.
  std::vector<uint64_t> filter;
  uint32_t filterShift;
  std::vector<OldNameSlot> slots;
  std::vector<uint32_t> nextSame;
  uint32_t mask;
  // Set for a prefix run: only symbols that other objects may see match.
  bool nonLocalOnly = false;
};

// Indexes oldNames, which must outlive the index.
OldNameIndex IndexOldNames(std::span<const char* const> oldNames);

// The hash the index files a zero-terminated name under, inline since every
// symbol of every object is hashed. Words are read only inside the name's
// own bytes, which a name at the very end of a file has to be.
inline uint64_t LoadUnaligned64(const char* p) {
  uint64_t value;
  memcpy(&value, p, sizeof value);
  return value;
}

inline uint32_t LoadUnaligned32(const char* p) {
  uint32_t value;
  memcpy(&value, p, sizeof value);
  return value;
}

inline uint32_t HashName(const char* name) {
  const size_t n = strlen(name);
  uint64_t a;
  uint64_t b;
  if (n >= 8) {
    a = LoadUnaligned64(name);
    b = LoadUnaligned64(name + n - 8);
    for (size_t i = 8; i + 8 < n; i += 8)
      a = (a ^ LoadUnaligned64(name + i)) * 0x9E3779B97F4A7C15ull;
  } else if (n >= 4) {
    a = LoadUnaligned32(name);
    b = LoadUnaligned32(name + n - 4);
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

// Whether hash passes the index's filter: only then may a name of that
// hash be an old name.
inline bool PassesFilter(const OldNameIndex& index, uint32_t hash) {
  const uint32_t bit = hash >> index.filterShift;
  return index.filter[bit / 64] >> (bit % 64) & 1;
}

// The pair of the first slot on hash's probe path that holds hash; kNoPair
// when none does. Its old name may still differ from the probed one.
inline uint32_t FindSlotOfHash(const OldNameIndex& index, uint32_t hash) {
  for (uint32_t slot = hash & index.mask;; slot = (slot + 1) & index.mask) {
    const OldNameSlot& entry = index.slots[slot];
    if (entry.pair == kNoPair || entry.hash == hash) return entry.pair;
  }
}

// Asks for the cache line at address ahead of its use, where the compiler
// can.
inline void PrefetchForRead(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// The first pair whose old name is name, whose hash is hash; kNoPair when
// none is. The later pairs of that old name follow through nextSame.
inline uint32_t LookUpOldName(const OldNameIndex& index, const char* name, uint32_t hash) {
  if (!PassesFilter(index, hash)) return kNoPair;
  for (uint32_t slot = hash & index.mask;; slot = (slot + 1) & index.mask) {
    const OldNameSlot& entry = index.slots[slot];
    if (entry.pair == kNoPair) return kNoPair;
    if (entry.hash == hash && strcmp(index.oldNames[entry.pair], name) == 0) return entry.pair;
  }
}
