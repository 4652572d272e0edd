// Finding the symbols that a run's pairs rename, in any object format. A
// format hands over its symbols as a view with these members, which the
// matching passes are templates over, so a whole pass runs for one layout:
//   uint32_t Count() const;                  the number of symbols
//   uint32_t NameOffset(uint32_t i) const;   where symbol i's name lies in the
//                                            string table; 0 for no name
//   const char* NameAt(uint32_t offset) const;  the name at offset; none for 0
//   bool IsNonLocal(uint32_t i) const;       other objects may see symbol i
//   bool IsDefined(uint32_t i) const;        symbol i is not an import
//   bool IsStrongDefinition(uint32_t i) const;  no other strong definition of
//                                            its name may stand beside it
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "rename/pair_index.h"

// A symbol whose name equals the old name of a pair; offset is where its
// name lies in the string table, where the new name goes.
struct RenameMatch {
  uint32_t pair;
  uint32_t symbol;
  uint32_t offset;
};

// Lists of at most this many pairs are matched without the index.
constexpr size_t kDirectPairs = 4;

// found, made in symbol order, put in the order of one pass per pair: by
// pair, then by symbol. The sort costs what the object's own matches do,
// however long the list of pairs is.
std::vector<RenameMatch> OrderMatchesByPair(std::vector<RenameMatch>&& found, size_t pairs);

// Every match of the indexed old names among symbols, in the order that one
// pass per pair, in pair order, would find them: by pair, then by symbol
// index. One pass over the symbols, whatever the number of pairs.
template <class Symbols>
std::vector<RenameMatch> FindRenames(const Symbols& symbols, const OldNameIndex& index) {
  std::vector<RenameMatch> found;
  const size_t pairs = index.oldNames.size();
  const uint32_t count = symbols.Count();
  if (pairs == 0) return found;
  if (pairs <= kDirectPairs) {
    // A first byte that differs turns most names away for less than hashing
    // them would cost.
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t offset = symbols.NameOffset(i);
      const char* name = symbols.NameAt(offset);
      if (name == nullptr) continue;
      for (uint32_t pair = 0; pair < pairs; ++pair) {
        const char* oldName = index.oldNames[pair];
        if (name[0] == oldName[0] && strcmp(name, oldName) == 0) found.push_back({pair, i, offset});
      }
    }
  } else {
    // Names are hashed a batch at a time, and each stage of the batch's
    // lookups is done for all of them before the next: the filter's bits,
    // the slots of the names it lets through and their candidates' old names
    // are each fetched for the whole batch, so that the cache misses of a
    // batch overlap instead of following one another.
    constexpr uint32_t kBatch = 32;
    const char* names[kBatch];
    uint32_t offsets[kBatch];
    uint32_t hashes[kBatch];
    uint32_t symbolOf[kBatch];
    uint32_t candidates[kBatch];
    for (uint32_t base = 0; base < count; base += kBatch) {
      const uint32_t n = std::min(kBatch, count - base);
      uint32_t kept = 0;
      for (uint32_t j = 0; j < n; ++j) {
        const uint32_t offset = symbols.NameOffset(base + j);
        const char* name = symbols.NameAt(offset);
        if (name == nullptr) continue;
        const uint32_t hash = HashName(name);
        names[kept] = name;
        offsets[kept] = offset;
        hashes[kept] = hash;
        symbolOf[kept] = base + j;
        kept += PassesFilter(index, hash);
      }
      for (uint32_t j = 0; j < kept; ++j) PrefetchForRead(&index.slots[hashes[j] & index.mask]);
      for (uint32_t j = 0; j < kept; ++j) {
        candidates[j] = FindSlotOfHash(index, hashes[j]);
        if (candidates[j] != kNoPair) PrefetchForRead(index.oldNames[candidates[j]]);
      }
      for (uint32_t j = 0; j < kept; ++j) {
        if (candidates[j] == kNoPair) continue;
        // A hash that another old name shares is settled by the full lookup.
        uint32_t pair = strcmp(index.oldNames[candidates[j]], names[j]) == 0
                            ? candidates[j]
                            : LookUpOldName(index, names[j], hashes[j]);
        for (; pair != kNoPair; pair = index.nextSame[pair]) {
          found.push_back({pair, symbolOf[j], offsets[j]});
        }
      }
    }
  }
  if (index.nonLocalOnly) {
    std::erase_if(found,
                  [&symbols](const RenameMatch& m) { return !symbols.IsNonLocal(m.symbol); });
  }
  return OrderMatchesByPair(std::move(found), pairs);
}
