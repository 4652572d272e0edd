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
  // Set for a -p run: only symbols that IsNonLocalSymbol accepts match.
  bool nonLocalOnly = false;
};

// Whether a symbol of st_info is one that a -p run renames: of any binding
// but local, and neither a section nor a file symbol.
bool IsNonLocalSymbol(uint8_t st_info);

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

// bytes in place of the replaced bytes at offset: an edit in place when the
// two sizes agree, an insertion when nothing is replaced.
struct BytePatch {
  uint32_t offset;
  uint32_t replaced;
  std::vector<uint8_t> bytes;
};

// The renames of one object, judged and applied.
struct ObjectRenames {
  std::vector<RenameMatch> matches;
  uint8_t* table;  // the edited copy of .strtab; none when no byte of it changes
  // With growth, when the renames cannot be written in place: the object's
  // patches in offset order, the last inserting the new .strtab at its end.
  std::vector<BytePatch> grown;
};

// Finds the renames of the indexed pairs in elf and applies them to a copy
// of its .strtab; an object without .symtab or .strtab has none. Renames
// that would change a name nobody asked for print "ERROR: renaming <a> would
// also change <b> in <name>" and a hint at growth, and end the process with
// status 1; without grow every pair's names must be of equal length. With
// grow, renames that cannot all be written in place are applied with
// GrowStringTable instead, and no rename is refused; but a .strtab that is
// section 0 prints "ERROR: .strtab of <name> is section 0, which cannot
// move" and ends the process with status 1.
ObjectRenames RenameObject(const ElfImage* elf, const char* name, const OldNameIndex& index,
                           std::span<const char* const> newNames, bool grow);

// The patches that move elf's .strtab to the object's end, rebuilt for the
// matches (any lengths): a copy of the old table with each distinct new name
// appended once and the bytes of renamed-away names that no remaining symbol
// or section name uses cleared (none when another section than .symtab
// links to .strtab, whose names are not followed); every renamed symbol's st_name points at its
// new name, .strtab's sh_offset and sh_size at the new table, and the old
// region is cleared, except bytes another section holds. Nothing else moves.
// The table starts at sh_addralign when that is a power of two up to 4096.
std::vector<BytePatch> GrowStringTable(const ElfImage* elf, std::span<const RenameMatch> matches,
                                       std::span<const char* const> newNames);

// A new name for an entry of an archive's symbol index.
struct IndexRename {
  uint32_t nameOffset;  // where the entry's name lies in the archive's bytes
  const char* newName;  // of the old name's length, unless members grew
};

// The entries of archive's symbol index whose member renamed symbols of the
// entry's name (memberMatches[m] holds member m's matches, in FindRenames'
// order), each with the name those symbols now carry.
std::vector<IndexRename> FindIndexRenames(const Archive* archive,
                                          std::span<const std::vector<RenameMatch>> memberMatches,
                                          const OldNameIndex& index,
                                          std::span<const char* const> newNames);

// The archive patches of member, whose object renames grew (grown, in the
// object's offsets): moved to the archive's offsets, the insertion at the
// object's end taking the member's padding and giving it a new one where the
// new end is odd, and the header's size field following.
std::vector<BytePatch> GrowMember(const Archive* archive, const ArchiveMember& member,
                                  std::vector<BytePatch>&& grown);

// Rebuilds every symbol index member of archive for an output in which
// patches (in offset order, the index's own excluded) move members: each
// entry keeps its place, takes its rename's new name (entries in index
// order) and the new offset of its member's header. The index is padded to
// an even size ("/") or to 8 bytes ("/SYM64/") and its header's size field
// follows. Returns the index's patches, in offset order; patches are not
// changed. A member offset past 4 GiB in "/" is left to the write to refuse.
std::vector<BytePatch> RebuildIndexes(const Archive* archive, std::span<const IndexRename> entries,
                                      std::span<const BytePatch> patches);
