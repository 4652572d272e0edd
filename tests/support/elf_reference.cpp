#include "tests/support/elf_reference.h"

#include <cstdio>
#include <cstring>

uint32_t GetSectionNameOffset(const ElfImage* elf, uint32_t index) {
  return VisitElfLayout(
      elf->layout, [&]<class E>(E) -> uint32_t { return GetSectionHeader<E>(elf, index).sh_name; });
}

uint32_t GetSymbolNameOffset(const ElfImage* elf, uint32_t index) {
  return VisitElfLayout(elf->layout,
                        [&]<class E>(E) -> uint32_t { return GetSymbols<E>(elf)[index].st_name; });
}

std::unique_ptr<uint8_t[]> CopyStringTable(const ElfImage* elf) {
  auto table = std::make_unique<uint8_t[]>(size_t{elf->strtab->sh_size} + 1);
  memcpy(table.get(), elf->image + elf->strtab->sh_offset, elf->strtab->sh_size);
  return table;
}

void RenameSymbol(const ElfImage* elf, uint8_t* table, const char* oldName, const char* newName) {
  if (oldName == nullptr || newName == nullptr) return;
  const size_t length = strlen(oldName);
  if (strlen(newName) != length) {
    printf("ERROR: The newsym length is not equal with the oldsym length\n --- %s\n +++ %s\n",
           oldName, newName);
    return;
  }
  if (!elf->strtab) return;
  for (uint32_t i = 0; i < GetSymbolCount(elf); ++i) {
    const uint32_t offset = GetSymbolNameOffset(elf, i);
    // The loaded image, never the copy: one pair never sees another's result.
    if (offset == 0 || strcmp(GetSymbolName(elf, offset), oldName) != 0) continue;
    memcpy(table + offset, newName, length + 1);
    printf("<%s> -> <%s> changed\n", oldName, newName);
  }
}

std::vector<RenameMatch> FindRenames(const ElfImage& elf, const OldNameIndex& index) {
  if (!elf.strtab) return {};
  return VisitElfSymbols(elf, [&](const auto& symbols) { return FindRenames(symbols, index); });
}

RenameClash FindRenameClash(const ElfImage* elf, std::span<const RenameMatch> matches,
                            std::span<const char* const> oldNames,
                            std::span<const char* const> newNames) {
  if (matches.empty()) return {nullptr, nullptr};
  const std::span<const uint8_t> table(elf->image + elf->strtab->sh_offset, elf->strtab->sh_size);
  const std::vector<TableName> sectionNames =
      VisitElfLayout(elf->layout, [elf]<class E>(E) { return ListSectionNamesInTable<E>(*elf); });
  return VisitElfSymbols(*elf, [&](const auto& symbols) {
    return FindRenameClash(symbols, table, sectionNames, matches, oldNames, newNames);
  });
}

void WriteRenames(uint8_t* table, std::span<const RenameMatch> matches,
                  std::span<const char* const> oldNames, std::span<const char* const> newNames) {
  for (const RenameMatch& m : matches)
    memcpy(table + m.offset, newNames[m.pair], strlen(oldNames[m.pair]) + 1);
}
