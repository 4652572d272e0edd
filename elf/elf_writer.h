// Writing new names into an ELF object: over the old names' bytes in
// .strtab, or into a rebuilt .strtab at the object's end.
#pragma once

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "base/result.h"
#include "elf/elf_image.h"
#include "rename/plan.h"

// Finds the renames of the indexed pairs in elf, judges them and gives the
// patches that apply them; an object without .symtab or .strtab has none.
// The layout is picked once and the whole pass runs for it. Renames go in
// place when they can: a copy of .strtab with each new name over its old
// one, none when no byte changes. Otherwise, with grow, .strtab moves to the
// object's end, rebuilt: the old table with each distinct new name appended
// once and the bytes of renamed-away names that no remaining symbol or
// section name uses cleared (none when another section than .symtab links
// to .strtab, whose names are not followed); every renamed symbol's st_name
// and .strtab's sh_offset and sh_size follow, and the old region is cleared
// but for bytes another section holds. The table starts at sh_addralign when
// that is a power of two up to 4096. Fails with PlanRenames' kRenameClash
// (naming name), kFixedStringTable for a .strtab that is section 0, or
// kNoMemory for a table past 4 GiB.
Result<ObjectRenames> RenameElfObject(const ElfImage& elf, const std::string& name,
                                      const OldNameIndex& index,
                                      std::span<const char* const> newNames, bool grow);

// The section names that lie in the region of elf's .strtab, read in its
// layout E, as when the two tables are one section: a rename must leave them
// as they were. Only a name that ends inside the region can be reached; its
// bytes before the region never change. Only for an object with .strtab.
template <class E>
std::vector<TableName> ListSectionNamesInTable(const ElfImage& elf) {
  std::vector<TableName> names;
  if (!elf.sectionNames) return names;
  // The loader saw every section name end inside its own table, so only a
  // table that meets .strtab's region can hold one there.
  const ElfSection& table = *elf.sectionNames;
  const ElfSection& strtab = *elf.strtab;
  if (uint64_t{table.sh_offset} + table.sh_size <= strtab.sh_offset ||
      table.sh_offset >= uint64_t{strtab.sh_offset} + strtab.sh_size) {
    return names;
  }
  const uint8_t* original = elf.image + elf.strtab->sh_offset;
  for (uint32_t i = 0; i < elf.sectionCount; ++i) {
    const char* name = GetSectionName(elf, GetSectionHeader<E>(elf, i).sh_name);
    if (name == nullptr) continue;
    const int64_t start = reinterpret_cast<const uint8_t*>(name) - original;
    const int64_t end = start + static_cast<int64_t>(strlen(name));
    if (end < 0 || end >= elf.strtab->sh_size) continue;
    names.push_back(
        {static_cast<uint32_t>(std::max<int64_t>(start, 0)), static_cast<uint32_t>(end), name});
  }
  return names;
}
