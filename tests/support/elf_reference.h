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
inline uint32_t GetSectionCount(const ElfImage* elf) { return elf->sectionCount; }
inline uint32_t GetSymbolCount(const ElfImage* elf) { return elf->symbolCount; }
// Indexes must be below the counts.
uint32_t GetSectionNameOffset(const ElfImage* elf, uint32_t index);
uint32_t GetSymbolNameOffset(const ElfImage* elf, uint32_t index);

// A copy of the object's .strtab, which it must have, with one byte more so
// that an empty table is a buffer.
std::unique_ptr<uint8_t[]> CopyStringTable(const ElfImage* elf);

// Writes newName over every symbol name in table (a copy made from elf) whose
// name in elf equals oldName, printing "<old> -> <new> changed" for each such
// symbol in index order. Names of unequal length are refused with a message
// on standard output and change nothing.
void RenameSymbol(const ElfImage* elf, uint8_t* table, const char* oldName, const char* newName);

// None without .strtab. The overloads take the image however a test holds it.
std::vector<RenameMatch> FindRenames(const ElfImage& elf, const OldNameIndex& index);
inline std::vector<RenameMatch> FindRenames(const ElfImage* elf, const OldNameIndex& index) {
  return FindRenames(*elf, index);
}
inline std::vector<RenameMatch> FindRenames(ElfImage* elf, const OldNameIndex& index) {
  return FindRenames(*elf, index);
}

// The clash check over elf's .strtab, keeping the section names in it.
RenameClash FindRenameClash(const ElfImage* elf, std::span<const RenameMatch> matches,
                            std::span<const char* const> oldNames,
                            std::span<const char* const> newNames);

// With ReportRenames, the same result as RenameSymbol once per pair.
void WriteRenames(uint8_t* table, std::span<const RenameMatch> matches,
                  std::span<const char* const> oldNames, std::span<const char* const> newNames);

inline Result<ObjectRenames> RenameObject(const ElfImage* elf, const std::string& name,
                                          const OldNameIndex& index,
                                          std::span<const char* const> newNames, bool grow) {
  return RenameElfObject(*elf, name, index, newNames, grow);
}
