#include "tests/support/elf_builder.h"

#include <algorithm>
#include <cstring>

#include "elf/elf_image.h"

namespace testelf {

namespace {

template <class Record>
void Append(std::string& out, const Record& record) {
  out.append(reinterpret_cast<const char*>(&record), sizeof record);
}

void AppendBe32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(v >> shift);
}

struct Placed {
  std::string name;
  uint32_t type;
  uint32_t flags;
  uint32_t entsize;
  uint32_t link;
  uint32_t info;
  std::string bytes;
  uint32_t nameOffset = 0;
  uint32_t offset = 0;
};

void Align(std::string& out, size_t alignment) {
  while (out.size() % alignment != 0) out += '\0';
}

}  // namespace

uint32_t AddName(std::string& table, const std::string& name) {
  auto offset = static_cast<uint32_t>(table.size());
  table += name;
  table += '\0';
  return offset;
}

std::string RelaBytes(const std::vector<RelaEntry>& entries) {
  std::string out;
  for (const RelaEntry& r : entries) {
    AppendBe32(out, r.r_offset);
    AppendBe32(out, r.r_info);
    AppendBe32(out, static_cast<uint32_t>(r.r_addend));
  }
  return out;
}

namespace {

template <class E>
BuiltObject BuildIn(const ObjectLayout& layout) {
  std::vector<Placed> sections;
  sections.push_back({"", 0, 0, 0, 0, 0, ""});
  for (const SectionLayout& s : layout.sections) {
    sections.push_back({s.name, s.sh_type, s.sh_flags, s.sh_entsize, s.sh_link, 0, s.bytes});
  }
  sections.resize(sections.size() + layout.emptySections, {"", 1, 0, 0, 0, 0, ""});
  const uint16_t entrySize = layout.e_shentsize ? layout.e_shentsize : sizeof(typename E::Shdr);
  const bool withStrtab = layout.withStrtab;
  const bool namesInStrtab = layout.namesInStrtab && withStrtab;
  const auto symtabIndex = static_cast<uint32_t>(sections.size());
  const uint32_t strtabIndex = symtabIndex + (layout.withSymtab ? 1 : 0);
  if (layout.withSymtab) {
    std::string symtab(sizeof(typename E::Sym), '\0');
    for (const SymbolLayout& sym : layout.symbols) {
      typename E::Sym record{};
      record.st_name = sym.st_name;
      record.st_value = sym.st_value;
      record.st_size = sym.st_size;
      record.st_info = sym.st_info;
      record.st_other = sym.st_other;
      record.st_shndx = sym.st_shndx;
      Append(symtab, record);
    }
    symtab += layout.symtabTail;
    sections.push_back(
        {".symtab", 2, 0, sizeof(typename E::Sym), withStrtab ? strtabIndex : 0, 1, symtab});
  }
  if (withStrtab) sections.push_back({".strtab", 3, 0, 0, 0, 0, layout.strtab});
  if (!namesInStrtab) sections.push_back({".shstrtab", 3, 0, 0, 0, 0, std::string(1, '\0')});
  const uint32_t namesIndex =
      namesInStrtab ? strtabIndex : static_cast<uint32_t>(sections.size() - 1);

  std::string names = sections[namesIndex].bytes;
  for (size_t i = 1; i < sections.size(); ++i) {
    if (!sections[i].name.empty()) sections[i].nameOffset = AddName(names, sections[i].name);
  }
  sections[namesIndex].bytes = names;

  BuiltObject object;
  std::string& out = object.bytes;
  out.assign(sizeof(typename E::Ehdr), '\0');
  for (size_t i = 1; i < sections.size(); ++i) {
    Align(out, 4);
    sections[i].offset = static_cast<uint32_t>(out.size());
    out += sections[i].bytes;
    if (sections[i].name.empty()) continue;
    object.sectionIndex[sections[i].name] = static_cast<uint32_t>(i);
    object.sectionOffset[sections[i].name] = sections[i].offset;
  }
  Align(out, 4);
  object.shoff = static_cast<uint32_t>(out.size());
  object.sectionCount = static_cast<uint32_t>(sections.size());
  object.shnum = layout.extendedNumbering ? 0 : static_cast<uint16_t>(sections.size());
  for (const Placed& s : sections) {
    typename E::Shdr header{};
    header.sh_name = s.nameOffset;
    header.sh_type = s.type;
    header.sh_flags = s.flags;
    header.sh_offset = s.offset;
    header.sh_size = static_cast<uint32_t>(s.bytes.size());
    header.sh_link = s.link;
    header.sh_info = s.info;
    header.sh_addralign = s.type == 0 ? 0 : 1;
    header.sh_entsize = s.entsize;
    if (layout.extendedNumbering && &s == &sections[0]) {
      header.sh_size = object.sectionCount;
      header.sh_link = namesIndex;
    }
    const size_t start = out.size();
    Append(out, header);
    out.resize(start + std::max<size_t>(entrySize, sizeof header), '\0');
  }

  typename E::Ehdr ehdr{};
  memcpy(ehdr.e_ident, "\177ELF", 4);
  ehdr.e_ident[4] = layout.eiClass;
  ehdr.e_ident[5] = layout.eiData;
  ehdr.e_ident[6] = 1;  // EV_CURRENT
  ehdr.e_type = 1;      // ET_REL
  ehdr.e_machine = layout.e_machine;
  ehdr.e_version = 1;
  ehdr.e_shoff = object.shoff;
  ehdr.e_flags = layout.e_machine == 20 ? 0x8000 : 0;  // EF_PPC_EMB
  ehdr.e_ehsize = sizeof ehdr;
  ehdr.e_shentsize = entrySize;
  ehdr.e_shnum = object.shnum;
  ehdr.e_shstrndx = layout.extendedNumbering ? 0xFFFF : static_cast<uint16_t>(namesIndex);
  out.replace(0, sizeof ehdr, reinterpret_cast<const char*>(&ehdr), sizeof ehdr);
  return object;
}

}  // namespace

// An unknown class is laid out as ELF32 and an unknown byte order as
// big-endian, for the tests of their refusal.
BuiltObject BuildObject(const ObjectLayout& layout) {
  const bool little = layout.eiData == 1;
  const ElfLayout records = layout.eiClass == 2
                                ? (little ? ElfLayout::k64Little : ElfLayout::k64Big)
                                : (little ? ElfLayout::k32Little : ElfLayout::k32Big);
  return VisitElfLayout(records, [&]<class E>(E) { return BuildIn<E>(layout); });
}

void PutBe16(std::string& bytes, uint32_t offset, uint16_t value) {
  bytes[offset] = static_cast<char>(value >> 8);
  bytes[offset + 1] = static_cast<char>(value);
}

void PutBe32(std::string& bytes, uint32_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(value >> (24 - 8 * i));
}

uint32_t GetBe32(const std::string& bytes, uint32_t offset) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = value << 8 | static_cast<uint8_t>(bytes[offset + i]);
  return value;
}

uint32_t SectionHeaderField(const BuiltObject& object, uint32_t index, uint32_t fieldOffset) {
  uint16_t entsize = static_cast<uint16_t>(static_cast<uint8_t>(object.bytes[46]) << 8 |
                                           static_cast<uint8_t>(object.bytes[47]));
  return object.shoff + index * entsize + fieldOffset;
}

}  // namespace testelf
