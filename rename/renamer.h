// Renaming symbols by writing new names, of the old names' lengths, over a
// copy of an object's .strtab.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "elf/archive.h"
#include "elf/elf_image.h"

// A new buffer holding the sh_size bytes of the object's .strtab, which the
// object must have. No memory prints "ERROR: ins. memory" and ends the process.
uint8_t* CopyStringTable(const ElfImage* elf);

// Writes newName over every symbol name in table (a copy made from elf) whose
// name in elf equals oldName, printing "<old> -> <new> changed" for each such
// symbol in index order. Does nothing when a name is none or the object has
// no .symtab or .strtab; names of unequal length are refused with a message on
// standard output and change nothing.
void RenameSymbol(const ElfImage* elf, uint8_t* table, const char* oldName, const char* newName);

// A symbol whose name equals the old name of a pair; offset is its st_name,
// where the new name goes.
struct RenameMatch {
  uint32_t pair;
  uint32_t symbol;
  uint32_t offset;
};

struct OldNameSlot {
  uint32_t hash;
  uint32_t pair;  // UINT32_MAX for an empty slot
};

// The old names of a run's pairs, indexed once for every object of the run:
// an open-addressing table from each distinct old name to its first pair,
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
};

// Indexes oldNames, which must outlive the index.
OldNameIndex IndexOldNames(std::span<const char* const> oldNames);

// Every match of the indexed old names in elf, in the order that RenameSymbol
// called once per pair, in pair order, would rename them: by pair, then by
// symbol index. One pass over the symbols, whatever the number of pairs.
std::vector<RenameMatch> FindRenames(const ElfImage* elf, const OldNameIndex& index);

// Writes the new name of each match over its symbol's name in table, in
// order; with ReportRenames, the same result as RenameSymbol once per pair.
void WriteRenames(uint8_t* table, std::span<const RenameMatch> matches,
                  std::span<const char* const> oldNames, std::span<const char* const> newNames);

// Prints "<old> -> <new> changed" for each match, in order.
void ReportRenames(std::span<const RenameMatch> matches, std::span<const char* const> oldNames,
                   std::span<const char* const> newNames);

// A name that the renames would change without being asked to: writing the
// new name for writerOld would change victim, the original name of another
// symbol or of a section. Both are none when every name comes out as asked.
struct RenameClash {
  const char* writerOld;
  const char* victim;
};

// Judges the matches as a whole, before anything is written: every symbol
// name must come out as the new name of its last matching pair or as it was,
// and every section name that shares .strtab's bytes as it was.
RenameClash FindRenameClash(const ElfImage* elf, std::span<const RenameMatch> matches,
                            std::span<const char* const> oldNames,
                            std::span<const char* const> newNames);

// The renames of one object, judged and applied.
struct ObjectRenames {
  std::vector<RenameMatch> matches;
  uint8_t* table;  // the edited copy of .strtab; none when no byte of it changes
};

// Finds the renames of the indexed pairs in elf and applies them to a copy
// of its .strtab; an object without .symtab or .strtab has none. Renames
// that would change a name nobody asked for print "ERROR: renaming <a> would
// also change <b> in <name>" and end the process with status 1.
ObjectRenames RenameObject(const ElfImage* elf, const char* name, const OldNameIndex& index,
                           std::span<const char* const> newNames);

// A new name for an entry of an archive's symbol index.
struct IndexRename {
  uint32_t nameOffset;  // where the entry's name lies in the archive's bytes
  const char* newName;  // of the old name's length
};

// The entries of archive's symbol index whose member renamed symbols of the
// entry's name (memberMatches[m] holds member m's matches, in FindRenames'
// order), each with the name those symbols now carry.
std::vector<IndexRename> FindIndexRenames(const Archive* archive,
                                          std::span<const std::vector<RenameMatch>> memberMatches,
                                          const OldNameIndex& index,
                                          std::span<const char* const> newNames);
