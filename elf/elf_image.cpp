#include "elf/elf_image.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

// A byte range of the file, for the bounds and overlap checks. The label is
// a literal or a section name in the image, so that checking an object that
// is whole allocates nothing for messages it never prints.
struct Region {
  uint64_t begin;
  uint64_t end;
  const char* label;
};

// A section header's values as the file states them, not yet checked.
struct RawSection {
  uint32_t index;
  uint32_t name;
  uint64_t offset;
  uint64_t size;
};

bool Inside(const ElfImage& elf, uint64_t offset, uint64_t size) {
  return offset <= elf.length && size <= elf.length - offset;
}

bool Overlap(const Region& a, const Region& b) {
  return a.begin < a.end && b.begin < b.end && a.begin < b.end && b.begin < a.end;
}

// Only for a section already found inside the file, so the sum cannot wrap.
Region SectionRegion(const RawSection& section, uint32_t entrySize, const char* label) {
  uint64_t size = entrySize ? section.size / entrySize * entrySize : section.size;
  return {section.offset, section.offset + size, label};
}

// Only for a section already found inside the file.
ElfSection Resolve(const RawSection& section) {
  return {section.index, section.name, static_cast<uint32_t>(section.offset),
          static_cast<uint32_t>(section.size)};
}

template <class E>
RawSection ReadSection(const ElfImage& elf, uint32_t index) {
  const typename E::Shdr& s = GetSectionHeader<E>(elf, index);
  return {index, s.sh_name, s.sh_offset, s.sh_size};
}

bool IsRelaSection(const ElfImage& elf, const RawSection& section) {
  const char* name = GetSectionName(elf, section.name);
  return name != nullptr && strncmp(name, ".rela.", 6) == 0;
}

// A name of a string table is usable when it starts inside the table and
// its terminating zero lies inside it too: when it starts at or before the
// table's last zero byte. That one place, found once, judges every name.
// Returns one past the place; 0 for a table without any zero byte.
uint32_t NameLimit(const ElfImage& elf, const ElfSection& table) {
  const uint8_t* bytes = elf.image + table.sh_offset;
  uint32_t limit = table.sh_size;
  while (limit > 0 && bytes[limit - 1] != 0) --limit;
  return limit;
}

// Checks the header and the section header table before anything is read
// through them, and resolves the section count and table into elf and the
// section-name table's index into namesIndex. With 65,280 sections or more
// the header holds e_shnum 0 and e_shstrndx SHN_XINDEX, and section 0's
// sh_size and sh_link hold the real values; section 0 is checked first on
// its own. Returns what is wrong, or an empty string; a message shows the
// resolved values.
template <class E>
std::string CheckSectionTable(ElfImage& elf, uint32_t* namesIndex) {
  const typename E::Ehdr& h = GetElfHeader<E>(elf);
  const uint64_t shoff = h.e_shoff;
  const uint32_t entrySize = h.e_shentsize;
  uint64_t count = h.e_shnum;
  uint32_t index = h.e_shstrndx;
  if (count != 0 || shoff != 0) {
    if (entrySize < sizeof(typename E::Shdr)) {
      return "e_shentsize " + std::to_string(entrySize) + " is below " +
             std::to_string(sizeof(typename E::Shdr));
    }
    if (count == 0) {
      if (!Inside(elf, shoff, entrySize)) return "the section header table lies outside the file";
      if (shoff < sizeof(typename E::Ehdr)) {
        return "the section header table overlaps the ELF header";
      }
      elf.shoff = static_cast<uint32_t>(shoff);
      elf.shentsize = entrySize;
      count = GetSectionHeader<E>(elf, 0).sh_size;
    }
    // Every entry takes at least one byte, so a larger count cannot fit, and
    // the product below cannot wrap.
    if (count > elf.length || !Inside(elf, shoff, count * entrySize)) {
      return "the section header table lies outside the file";
    }
    if (count != 0 && shoff < sizeof(typename E::Ehdr)) {
      return "the section header table overlaps the ELF header";
    }
    elf.shoff = static_cast<uint32_t>(shoff);
    elf.shentsize = entrySize;
  }
  if (index == SHN_XINDEX && count != 0) index = GetSectionHeader<E>(elf, 0).sh_link;
  if (index != 0 && index >= count) {
    return "e_shstrndx " + std::to_string(index) + " is not below e_shnum " + std::to_string(count);
  }
  elf.sectionCount = static_cast<uint32_t>(count);
  *namesIndex = index;
  return "";
}

// Checks the section-name table and every section name in it, and resolves
// the table into elf.
template <class E>
std::string CheckSectionNames(ElfImage& elf, uint32_t namesIndex) {
  if (namesIndex == 0) return "";
  const RawSection names = ReadSection<E>(elf, namesIndex);
  if (!Inside(elf, names.offset, names.size)) return "the section-name table lies outside the file";
  elf.sectionNames = Resolve(names);
  const uint32_t limit = NameLimit(elf, *elf.sectionNames);
  for (uint32_t i = 0; i < elf.sectionCount; ++i) {
    uint32_t offset = GetSectionHeader<E>(elf, i).sh_name;
    if (offset != 0 && offset >= limit) {
      return "the name of section " + std::to_string(i) + " is not inside the section-name table";
    }
  }
  return "";
}

// Checks that .symtab, .strtab and every .rela. section lie inside the file,
// that no two record tables share a byte, and that neither string table
// shares a byte with a record table: a name is never also a record.
template <class E>
std::string CheckTableRegions(const ElfImage& elf, const std::optional<RawSection>& symtab,
                              const std::optional<RawSection>& strtab) {
  // Room for the usual tables up front: a library's members would otherwise
  // each regrow the list a few times.
  std::vector<Region> records;
  records.reserve(16);
  records.push_back({0, sizeof(typename E::Ehdr), "the ELF header"});
  records.push_back({elf.shoff, elf.shoff + uint64_t{elf.sectionCount} * elf.shentsize,
                     "the section header table"});
  // The string tables: at most the section-name table and .strtab.
  std::array<Region, 2> tableSlots;
  size_t tableCount = 0;
  if (elf.sectionNames) {
    const ElfSection& names = *elf.sectionNames;
    tableSlots[tableCount++] = {names.sh_offset, uint64_t{names.sh_offset} + names.sh_size,
                                "the section-name table"};
  }
  if (symtab) {
    if (!Inside(elf, symtab->offset, symtab->size)) return ".symtab lies outside the file";
    records.push_back(SectionRegion(*symtab, sizeof(typename E::Sym), ".symtab"));
  }
  if (strtab) {
    if (!Inside(elf, strtab->offset, strtab->size)) return ".strtab lies outside the file";
    tableSlots[tableCount++] = SectionRegion(*strtab, 0, ".strtab");
  }
  for (uint32_t i = 0; i < elf.sectionCount; ++i) {
    const RawSection section = ReadSection<E>(elf, i);
    if (!IsRelaSection(elf, section)) continue;
    const char* name = GetSectionName(elf, section.name);
    if (!Inside(elf, section.offset, section.size)) {
      return std::string(name) + " lies outside the file";
    }
    records.push_back(SectionRegion(section, sizeof(typename E::Rela), name));
  }

  for (const Region& table : std::span(tableSlots.data(), tableCount)) {
    for (const Region& record : records) {
      if (Overlap(table, record)) return std::string(table.label) + " overlaps " + record.label;
    }
  }
  // Stable, so that of two records starting together the later-listed one is
  // named as overlapping the earlier, however many records there are.
  std::stable_sort(records.begin(), records.end(),
                   [](const Region& a, const Region& b) { return a.begin < b.begin; });
  const Region* last = nullptr;
  for (const Region& record : records) {
    if (record.begin == record.end) continue;
    if (last != nullptr && record.begin < last->end) {
      return std::string(record.label) + " overlaps " + last->label;
    }
    if (last == nullptr || record.end > last->end) last = &record;
  }
  return "";
}

template <class E>
std::string CheckSymbolNames(const ElfImage& elf) {
  if (!elf.strtab) return "";
  const uint32_t limit = NameLimit(elf, *elf.strtab);
  const typename E::Sym* symbols = GetSymbols<E>(elf);
  for (uint32_t i = 0; i < elf.symbolCount; ++i) {
    uint32_t offset = symbols[i].st_name;
    if (offset != 0 && offset >= limit) {
      return "the name of symbol " + std::to_string(i) + " is not inside .strtab";
    }
  }
  return "";
}

// Each check runs before the read that it makes safe, so that nothing is
// ever read outside the object. Every name is judged against its table's last
// zero byte, never against a zero after the object: an archive member is
// followed by the next member's bytes.
template <class E>
std::string LoadRecords(ElfImage& elf) {
  if (elf.length < sizeof(typename E::Ehdr)) return "the ELF header lies outside the file";
  uint32_t namesIndex = 0;
  std::string damage = CheckSectionTable<E>(elf, &namesIndex);
  if (damage.empty()) damage = CheckSectionNames<E>(elf, namesIndex);
  if (!damage.empty()) return damage;

  // Whole-name comparison; a later section of the same name wins.
  std::optional<RawSection> symtab;
  std::optional<RawSection> strtab;
  for (uint32_t i = 0; i < elf.sectionCount; ++i) {
    const RawSection section = ReadSection<E>(elf, i);
    const char* sectionName = GetSectionName(elf, section.name);
    if (sectionName == nullptr) continue;
    if (strcmp(sectionName, ".symtab") == 0) {
      symtab = section;
    } else if (strcmp(sectionName, ".strtab") == 0) {
      strtab = section;
    } else if (strncmp(sectionName, ".gnu.lto_", 9) == 0) {
      elf.gccLtoSections = true;
    }
  }
  damage = CheckTableRegions<E>(elf, symtab, strtab);
  if (!damage.empty()) return damage;
  if (symtab) {
    elf.symtab = Resolve(*symtab);
    elf.symbolCount = elf.symtab->sh_size / sizeof(typename E::Sym);
  }
  if (strtab) elf.strtab = Resolve(*strtab);
  return CheckSymbolNames<E>(elf);
}

}  // namespace

bool IsElfObject(const uint8_t* bytes, uint32_t length) {
  return length >= 4 && memcmp(bytes, "\177ELF", 4) == 0;
}

bool IsLinkedElf(const ElfImage& elf) {
  const uint16_t type = VisitElfLayout(
      elf.layout, [&elf]<class E>(E) -> uint16_t { return GetElfHeader<E>(elf).e_type; });
  return type == ET_EXEC || type == ET_DYN;
}

GccLto FindGccLto(const ElfImage& elf) {
  if (!elf.gccLtoSections) return GccLto::kNone;
  if (!elf.symtab) return GccLto::kFat;
  return VisitElfSymbols(elf, [](const auto& symbols) {
    for (uint32_t i = 0; i < symbols.Count(); ++i) {
      const char* name = symbols.NameAt(symbols.NameOffset(i));
      if (name != nullptr && strcmp(name, "__gnu_lto_slim") == 0) return GccLto::kSlim;
    }
    return GccLto::kFat;
  });
}

Result<ElfImage> LoadElfImage(const uint8_t* image, uint32_t length, const std::string& name) {
  ElfImage elf{};
  elf.image = image;
  elf.length = length;
  if (!IsElfObject(image, length)) return Error{Fault::kNotElf, name};
  const bool known = length >= 6 && (image[4] == ELFCLASS32 || image[4] == ELFCLASS64) &&
                     (image[5] == ELFDATA2LSB || image[5] == ELFDATA2MSB);
  if (!known) return Error{Fault::kUnknownElfLayout, name};
  const bool is64 = image[4] == ELFCLASS64;
  const bool big = image[5] == ELFDATA2MSB;
  elf.layout = is64 ? (big ? ElfLayout::k64Big : ElfLayout::k64Little)
                    : (big ? ElfLayout::k32Big : ElfLayout::k32Little);
  std::string damage =
      VisitElfLayout(elf.layout, [&elf]<class E>(E) { return LoadRecords<E>(elf); });
  if (!damage.empty()) return Error{Fault::kDamaged, name, std::move(damage)};
  return elf;
}
