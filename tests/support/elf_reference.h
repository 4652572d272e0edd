// Reference forms of what the renamer does, for tests to check it against:
// renaming one pair at a time, plain readers of one field of a loaded object,
// and the one-pass steps over a loaded image rather than a symbol view.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "elf/elf_image.h"
#include "elf/elf_writer.h"
#include "rename/clash.h"
#include "rename/matching.h"
#include "rename/plan.h"

// Readers of a loaded image through a pointer, as tests hold their images.
inline const char* GetSymbolName(const ElfImage* elf, uint32_t offset) {
  return GetSymbolName(*elf, offset);
}
inline const char* GetSectionName(const ElfImage* elf, uint32_t offset) {
  return GetSectionName(*elf, offset);
}
template <class E>
const typename E::Shdr& GetSectionHeader(const ElfImage* elf, uint32_t index) {
  return GetSectionHeader<E>(*elf, index);
}
template <class E>
const typename E::Ehdr& GetElfHeader(const ElfImage* elf) {
  return GetElfHeader<E>(*elf);
}
template <class E>
const typename E::Sym* GetSymbols(const ElfImage* elf) {
  return GetSymbols<E>(*elf);
}

// The number of sections, whether the header holds it or section 0 does.
inline uint32_t GetSectionCount(const ElfImage* elf) { return elf->sectionCount; }
// The number of whole entries of .symtab; 0 without one.
inline uint32_t GetSymbolCount(const ElfImage* elf) { return elf->symbolCount; }
// sh_name of section index, which must be below the count.
uint32_t GetSectionNameOffset(const ElfImage* elf, uint32_t index);
// st_name of symbol index of .symtab, which must be below the count.
uint32_t GetSymbolNameOffset(const ElfImage* elf, uint32_t index);

// A new buffer holding the sh_size bytes of the object's .strtab, which the
// object must have, and one byte more, so that an empty table is a buffer.
std::unique_ptr<uint8_t[]> CopyStringTable(const ElfImage* elf);

// Writes newName over every symbol name in table (a copy made from elf) whose
// name in elf equals oldName, printing "<old> -> <new> changed" for each such
// symbol in index order. Does nothing when a name is none or the object has
// no .symtab or .strtab; names of unequal length are refused with a message on
// standard output and change nothing.
void RenameSymbol(const ElfImage* elf, uint8_t* table, const char* oldName, const char* newName);

// Every match of the indexed old names in elf, through its symbol view; none
// without .strtab. The overloads take the image however a test holds it.
std::vector<RenameMatch> FindRenames(const ElfImage& elf, const OldNameIndex& index);
inline std::vector<RenameMatch> FindRenames(const ElfImage* elf, const OldNameIndex& index) {
  return FindRenames(*elf, index);
}
inline std::vector<RenameMatch> FindRenames(ElfImage* elf, const OldNameIndex& index) {
  return FindRenames(*elf, index);
}

// The clash check over elf's .strtab, with the section names that lie in
// its region to be kept as they were.
RenameClash FindRenameClash(const ElfImage* elf, std::span<const RenameMatch> matches,
                            std::span<const char* const> oldNames,
                            std::span<const char* const> newNames);

// Writes the new name of each match over its symbol's name in table, in
// order; with ReportRenames, the same result as RenameSymbol once per pair.
void WriteRenames(uint8_t* table, std::span<const RenameMatch> matches,
                  std::span<const char* const> oldNames, std::span<const char* const> newNames);

// RenameElfObject on an image a test holds by pointer.
inline Result<ObjectRenames> RenameObject(const ElfImage* elf, const std::string& name,
                                          const OldNameIndex& index,
                                          std::span<const char* const> newNames, bool grow) {
  return RenameElfObject(*elf, name, index, newNames, grow);
}
