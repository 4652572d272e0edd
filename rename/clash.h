// The clash rule: renames written over a string table's bytes must change
// no name that nobody asked to change. Names can share bytes (an assembler
// stores "init" as the tail of "board_init"), so a write over one name may
// reach into another; the rule plays out what each name would read.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "rename/matching.h"

// A name that the renames would change without being asked to: writing the
// new name for writerOld would change victim, the original name of another
// symbol or of a section. Both are none when every name comes out as asked.
struct RenameClash {
  const char* writerOld;
  const char* victim;
};

// A name in the table that belongs to no symbol (a section's), which must
// come out as it was: its bytes [offset, end], end being its terminating
// zero. A name starting before the table has offset 0.
struct TableName {
  uint32_t offset;
  uint32_t end;
  const char* name;
};

// One match's write: the new name over the table bytes [offset, end], end
// being the old name's terminating zero. Later orders win.
struct NameWrite {
  uint32_t end;
  uint32_t order;
  uint32_t offset;
  uint32_t pair;
};

// The writes of a set of matches, and the table's bytes they can reach.
struct NameWrites {
  std::vector<NameWrite> writes;  // by end, then in match order
  std::vector<uint64_t> marked;   // every stored string a write reaches into, from its start
  size_t next = 0;                // where the last search for an end stopped
};

// The writes of matches over table: one per distinct offset, the last match
// there deciding what the name reads.
NameWrites PlanNameWrites(std::span<const uint8_t> table, std::span<const RenameMatch> matches,
                          std::span<const char* const> oldNames);

// Whether a name starting at offset may come out changed.
inline bool IsMarked(const NameWrites& writes, uint32_t offset) {
  return writes.marked[offset / 64] >> (offset % 64) & 1;
}

// Judges the table name [offset, end] against the writes that end where it
// ends: the only ones that can reach it, since a name ends at its first zero.
// A symbol's name (renamed set) must come out as the new name of its own
// last write, if it has one, and any other name as it was. Returns the old
// name of the write that spoils it, or none. Names are best judged in table
// order, for which each search gallops on from where the last one stopped.
const char* JudgeTableName(NameWrites& writes, const uint8_t* table, uint32_t offset, uint32_t end,
                           bool renamed, std::span<const char* const> oldNames,
                           std::span<const char* const> newNames);

// Judges the matches as a whole, before anything is written: every symbol
// name in table must come out as the new name of its last matching pair or
// as it was, and every one of otherNames as it was.
template <class Symbols>
RenameClash FindRenameClash(const Symbols& symbols, std::span<const uint8_t> table,
                            std::span<const TableName> otherNames,
                            std::span<const RenameMatch> matches,
                            std::span<const char* const> oldNames,
                            std::span<const char* const> newNames) {
  if (matches.empty()) return {nullptr, nullptr};
  NameWrites writes = PlanNameWrites(table, matches, oldNames);
  const uint32_t count = symbols.Count();
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t offset = symbols.NameOffset(i);
    if (offset == 0 || !IsMarked(writes, offset)) continue;
    const char* name = symbols.NameAt(offset);
    const uint32_t end = offset + static_cast<uint32_t>(strlen(name));
    if (const char* culprit =
            JudgeTableName(writes, table.data(), offset, end, true, oldNames, newNames)) {
      return {culprit, name};
    }
  }
  for (const TableName& other : otherNames) {
    if (const char* culprit = JudgeTableName(writes, table.data(), other.offset, other.end, false,
                                             oldNames, newNames)) {
      return {culprit, other.name};
    }
  }
  return {nullptr, nullptr};
}
