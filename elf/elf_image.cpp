#include "elf/elf_image.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/host_file.h"

static_assert(std::endian::native == std::endian::little,
              "the loader converts big-endian records for a little-endian host");

namespace {

constexpr uint8_t kClass32 = 1;
constexpr uint8_t kDataBigEndian = 2;
constexpr uint16_t kExtendedIndex = 0xFFFF;  // SHN_XINDEX

// A byte range of the file, for the bounds and overlap checks.
struct Region {
  uint64_t begin;
  uint64_t end;
  std::string label;
};

bool Inside(const ElfImage* elf, uint64_t offset, uint64_t size) {
  return offset <= elf->length && size <= elf->length - offset;
}

bool Overlap(const Region& a, const Region& b) {
  return a.begin < a.end && b.begin < b.end && a.begin < b.end && b.begin < a.end;
}

Region SectionRegion(const Elf32_Shdr* section, uint32_t entrySize, std::string label) {
  uint64_t size = entrySize ? section->sh_size / entrySize * entrySize : section->sh_size;
  return {section->sh_offset, uint64_t{section->sh_offset} + size, std::move(label)};
}

bool IsRelaSection(const ElfImage* elf, const Elf32_Shdr* section) {
  const char* name = GetSectionName(elf, section->sh_name);
  return name != nullptr && strncmp(name, ".rela.", 6) == 0;
}

// A name of a string table is usable when it starts inside the table and
// its terminating zero lies inside it too: when it starts at or before the
// table's last zero byte. That one place, found once, judges every name.
// Returns one past the place; 0 for a table without any zero byte.
uint32_t NameLimit(const ElfImage* elf, const Elf32_Shdr* table) {
  const uint8_t* bytes = elf->image + table->sh_offset;
  uint32_t limit = table->sh_size;
  while (limit > 0 && bytes[limit - 1] != 0) --limit;
  return limit;
}

uint32_t ReadBe32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// Checks the header and the section header table before anything is read
// through them, and resolves the section count into elf and the
// section-name table's index into namesIndex. With 65,280 sections or more
// the header holds e_shnum 0 and e_shstrndx SHN_XINDEX, and section 0's
// sh_size and sh_link hold the real values; section 0 is read here before
// it is converted, so it is checked first on its own. Returns what is wrong,
// or an empty string; a message shows the resolved values.
std::string CheckSectionTable(ElfImage* elf, uint32_t* namesIndex) {
  const Elf32_Ehdr* h = elf->header;
  uint32_t count = h->e_shnum;
  uint32_t index = h->e_shstrndx;
  if (count != 0 || h->e_shoff != 0) {
    if (h->e_shentsize < sizeof(Elf32_Shdr)) {
      return "e_shentsize " + std::to_string(h->e_shentsize) + " is below 40";
    }
    if (count == 0) {
      if (!Inside(elf, h->e_shoff, h->e_shentsize)) {
        return "the section header table lies outside the file";
      }
      if (h->e_shoff < sizeof(Elf32_Ehdr)) {
        return "the section header table overlaps the ELF header";
      }
      count = ReadBe32(elf->image + h->e_shoff + offsetof(Elf32_Shdr, sh_size));
    }
    uint64_t size = uint64_t{count} * h->e_shentsize;
    if (!Inside(elf, h->e_shoff, size)) return "the section header table lies outside the file";
    if (count != 0 && h->e_shoff < sizeof(Elf32_Ehdr)) {
      return "the section header table overlaps the ELF header";
    }
  }
  if (index == kExtendedIndex && count != 0) {
    index = ReadBe32(elf->image + h->e_shoff + offsetof(Elf32_Shdr, sh_link));
  }
  if (index != 0 && index >= count) {
    return "e_shstrndx " + std::to_string(index) + " is not below e_shnum " + std::to_string(count);
  }
  elf->sectionCount = count;
  *namesIndex = index;
  return "";
}

// Checks the section-name table and every section name in it.
std::string CheckSectionNames(const ElfImage* elf) {
  const Elf32_Shdr* names = elf->sectionNameHeader;
  if (names == nullptr) return "";
  if (!Inside(elf, names->sh_offset, names->sh_size)) {
    return "the section-name table lies outside the file";
  }
  const uint32_t limit = NameLimit(elf, names);
  for (uint32_t i = 0; i < elf->sectionCount; ++i) {
    uint32_t offset = GetSectionHeader(elf, static_cast<int32_t>(i))->sh_name;
    if (offset != 0 && offset >= limit) {
      return "the name of section " + std::to_string(i) + " is not inside the section-name table";
    }
  }
  return "";
}

// Checks that .symtab, .strtab and every .rela. section lie inside the file,
// that no two converted records share a byte, and that neither string table
// shares a byte with a converted record: a string table copied from the
// loaded image must hold the file's own bytes.
std::string CheckTableRegions(const ElfImage* elf) {
  const Elf32_Ehdr* h = elf->header;
  std::vector<Region> converted;
  converted.push_back({0, sizeof(Elf32_Ehdr), "the ELF header"});
  converted.push_back({h->e_shoff, h->e_shoff + uint64_t{elf->sectionCount} * h->e_shentsize,
                       "the section header table"});
  std::vector<Region> tables;
  if (elf->sectionNameHeader) {
    tables.push_back(SectionRegion(elf->sectionNameHeader, 0, "the section-name table"));
  }
  if (elf->symtabHeader) {
    if (!Inside(elf, elf->symtabHeader->sh_offset, elf->symtabHeader->sh_size)) {
      return ".symtab lies outside the file";
    }
    converted.push_back(SectionRegion(elf->symtabHeader, sizeof(Elf32_Sym), ".symtab"));
  }
  if (elf->strtabHeader) {
    if (!Inside(elf, elf->strtabHeader->sh_offset, elf->strtabHeader->sh_size)) {
      return ".strtab lies outside the file";
    }
    tables.push_back(SectionRegion(elf->strtabHeader, 0, ".strtab"));
  }
  for (uint32_t i = 0; i < elf->sectionCount; ++i) {
    const Elf32_Shdr* section = GetSectionHeader(elf, static_cast<int32_t>(i));
    if (!IsRelaSection(elf, section)) continue;
    std::string name = GetSectionName(elf, section->sh_name);
    if (!Inside(elf, section->sh_offset, section->sh_size)) return name + " lies outside the file";
    converted.push_back(SectionRegion(section, sizeof(Elf32_Rela), name));
  }

  for (const Region& table : tables) {
    for (const Region& record : converted) {
      if (Overlap(table, record)) return table.label + " overlaps " + record.label;
    }
  }
  // Stable, so that of two records starting together the later-listed one is
  // named as overlapping the earlier, however many records there are.
  std::stable_sort(converted.begin(), converted.end(),
                   [](const Region& a, const Region& b) { return a.begin < b.begin; });
  const Region* last = nullptr;
  for (const Region& record : converted) {
    if (record.begin == record.end) continue;
    if (last != nullptr && record.begin < last->end) {
      return record.label + " overlaps " + last->label;
    }
    if (last == nullptr || record.end > last->end) last = &record;
  }
  return "";
}

std::string CheckSymbolNames(const ElfImage* elf) {
  if (elf->strtabHeader == nullptr) return "";
  const uint32_t limit = NameLimit(elf, elf->strtabHeader);
  const uint32_t count = GetSymbolCount(elf);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t offset = GetSymbol(elf, static_cast<int32_t>(i))->st_name;
    if (offset != 0 && offset >= limit) {
      return "the name of symbol " + std::to_string(i) + " is not inside .strtab";
    }
  }
  return "";
}

ElfImage* Refuse(ElfImage* elf, const char* name, const std::string& what) {
  fprintf(stderr, "LoadElfFile: %s is damaged: %s\n", name, what.c_str());
  delete elf;
  return nullptr;
}

}  // namespace

uint16_t Swap16(uint16_t value) { return static_cast<uint16_t>(value << 8 | value >> 8); }

uint32_t Swap32(uint32_t value) {
  return value << 24 | (value & 0xFF00) << 8 | (value >> 8 & 0xFF00) | value >> 24;
}

Elf32_Ehdr* SwapElfHeader(Elf32_Ehdr* h) {
  h->e_type = Swap16(h->e_type);
  h->e_machine = Swap16(h->e_machine);
  h->e_version = Swap32(h->e_version);
  h->e_entry = Swap32(h->e_entry);
  h->e_phoff = Swap32(h->e_phoff);
  h->e_shoff = Swap32(h->e_shoff);
  h->e_flags = Swap32(h->e_flags);
  h->e_ehsize = Swap16(h->e_ehsize);
  h->e_phentsize = Swap16(h->e_phentsize);
  h->e_phnum = Swap16(h->e_phnum);
  h->e_shentsize = Swap16(h->e_shentsize);
  h->e_shnum = Swap16(h->e_shnum);
  h->e_shstrndx = Swap16(h->e_shstrndx);
  return h;
}

Elf32_Shdr* SwapSectionHeader(Elf32_Shdr* s) {
  s->sh_name = Swap32(s->sh_name);
  s->sh_type = Swap32(s->sh_type);
  s->sh_flags = Swap32(s->sh_flags);
  s->sh_addr = Swap32(s->sh_addr);
  s->sh_offset = Swap32(s->sh_offset);
  s->sh_size = Swap32(s->sh_size);
  s->sh_link = Swap32(s->sh_link);
  s->sh_info = Swap32(s->sh_info);
  s->sh_addralign = Swap32(s->sh_addralign);
  s->sh_entsize = Swap32(s->sh_entsize);
  return s;
}

Elf32_Sym* SwapSymbol(Elf32_Sym* s) {
  s->st_name = Swap32(s->st_name);
  s->st_value = Swap32(s->st_value);
  s->st_size = Swap32(s->st_size);
  s->st_shndx = Swap16(s->st_shndx);
  return s;
}

Elf32_Rela* SwapRela(Elf32_Rela* r) {
  r->r_offset = Swap32(r->r_offset);
  r->r_info = Swap32(r->r_info);
  r->r_addend = static_cast<int32_t>(Swap32(static_cast<uint32_t>(r->r_addend)));
  return r;
}

void SwapSymbolTable(ElfImage* elf) {
  uint32_t count = GetSymbolCount(elf);
  for (uint32_t i = 0; i < count; ++i) SwapSymbol(GetSymbol(elf, static_cast<int32_t>(i)));
}

void SwapRelaSection(ElfImage* elf, const Elf32_Shdr* section) {
  uint32_t count = section->sh_size / sizeof(Elf32_Rela);
  auto* entries = reinterpret_cast<Elf32_Rela*>(elf->image + section->sh_offset);
  for (uint32_t i = 0; i < count; ++i) SwapRela(&entries[i]);
}

Elf32_Shdr* GetSectionHeader(const ElfImage* elf, int32_t index) {
  const Elf32_Ehdr* h = elf->header;
  return reinterpret_cast<Elf32_Shdr*>(elf->image + h->e_shoff +
                                       static_cast<uint32_t>(index) * h->e_shentsize);
}

const char* GetSectionName(const ElfImage* elf, uint32_t offset) {
  if (offset == 0 || elf->sectionNameHeader == nullptr) return nullptr;
  return reinterpret_cast<const char*>(elf->image + elf->sectionNameHeader->sh_offset + offset);
}

Elf32_Sym* GetSymbol(const ElfImage* elf, int32_t index) {
  if (elf->symtabHeader == nullptr) return nullptr;
  return reinterpret_cast<Elf32_Sym*>(elf->image + elf->symtabHeader->sh_offset +
                                      static_cast<uint32_t>(index) * sizeof(Elf32_Sym));
}

const char* GetSymbolName(const ElfImage* elf, uint32_t offset) {
  if (offset == 0 || elf->strtabHeader == nullptr) return nullptr;
  return reinterpret_cast<const char*>(elf->image + elf->strtabHeader->sh_offset + offset);
}

uint32_t GetSymbolCount(const ElfImage* elf) {
  return elf->symtabHeader ? elf->symtabHeader->sh_size / sizeof(Elf32_Sym) : 0;
}

uint32_t GetSectionCount(const ElfImage* elf) { return elf->sectionCount; }

// Each check runs before the conversion or read that it makes safe, so that
// nothing is ever read or converted outside the object, and the converted
// records cannot disturb one another. Every name is judged against its
// table's last zero byte, never against a zero after the object: an archive
// member is followed by the next member's bytes.
ElfImage* LoadElfImage(uint8_t* image, uint32_t length, const char* name) {
  ElfImage* elf = new (std::nothrow) ElfImage{};
  if (elf == nullptr) {
    fprintf(stderr, "LoadElfFile: ins. memory\n");
    return nullptr;
  }
  elf->image = image;
  elf->length = length;
  if (length < 4 || memcmp(image,
                           "\x7F"
                           "ELF",
                           4) != 0) {
    fprintf(stderr, "LoadElfFile: %s is not an ELF file\n", name);
    delete elf;
    return nullptr;
  }
  if (length < 6 || image[4] != kClass32 || image[5] != kDataBigEndian) {
    fprintf(stderr, "LoadElfFile: %s is not a big-endian ELF32 file\n", name);
    delete elf;
    return nullptr;
  }
  if (length < sizeof(Elf32_Ehdr)) {
    return Refuse(elf, name, "the ELF header lies outside the file");
  }

  elf->header = SwapElfHeader(reinterpret_cast<Elf32_Ehdr*>(image));
  uint32_t namesIndex = 0;
  std::string damage = CheckSectionTable(elf, &namesIndex);
  if (!damage.empty()) return Refuse(elf, name, damage);
  const uint32_t count = elf->sectionCount;
  for (uint32_t i = 0; i < count; ++i) {
    SwapSectionHeader(GetSectionHeader(elf, static_cast<int32_t>(i)));
  }
  if (namesIndex != 0) {
    elf->sectionNameHeader = GetSectionHeader(elf, static_cast<int32_t>(namesIndex));
  }
  damage = CheckSectionNames(elf);
  if (!damage.empty()) return Refuse(elf, name, damage);

  // Whole-name comparison; a later section of the same name wins.
  for (uint32_t i = 0; i < count; ++i) {
    Elf32_Shdr* section = GetSectionHeader(elf, static_cast<int32_t>(i));
    const char* sectionName = GetSectionName(elf, section->sh_name);
    if (sectionName == nullptr) continue;
    if (strcmp(sectionName, ".symtab") == 0) {
      elf->symtabHeader = section;
    } else if (strcmp(sectionName, ".strtab") == 0) {
      elf->strtabHeader = section;
    }
  }
  damage = CheckTableRegions(elf);
  if (!damage.empty()) return Refuse(elf, name, damage);

  SwapSymbolTable(elf);
  damage = CheckSymbolNames(elf);
  if (!damage.empty()) return Refuse(elf, name, damage);
  for (uint32_t i = 0; i < count; ++i) {
    const Elf32_Shdr* section = GetSectionHeader(elf, static_cast<int32_t>(i));
    if (IsRelaSection(elf, section)) SwapRelaSection(elf, section);
  }
  return elf;
}

ElfImage* LoadElfFile(char* path) {
  uint32_t length = 0;
  uint8_t* image = ReadWholeFile(path, &length);
  if (image == nullptr) return nullptr;
  ElfImage* elf = LoadElfImage(image, length, path);
  if (elf == nullptr) free(image);
  return elf;
}
