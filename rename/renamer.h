// Renaming symbols by writing new names, of the old names' lengths, over a
// copy of an object's .strtab.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

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

// Every match of the pairs' old names in elf, in the order that RenameSymbol
// called once per pair, in pair order, would rename them: by pair, then by
// symbol index. One pass over the symbols, whatever the number of pairs.
std::vector<RenameMatch> FindRenames(const ElfImage* elf, std::span<const char* const> oldNames);

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
