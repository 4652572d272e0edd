#include "tests/support/elf_builder.h"

namespace testelf {

namespace {

void AppendBe16(std::string& out, uint16_t v) {
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v);
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

BuiltObject BuildObject(const ObjectLayout& layout) {
  std::vector<Placed> sections;
  sections.push_back({"", 0, 0, 0, 0, 0, ""});
  for (const SectionLayout& s : layout.sections) {
    sections.push_back({s.name, s.sh_type, s.sh_flags, s.sh_entsize, 0, 0, s.bytes});
  }
  sections.resize(sections.size() + layout.emptySections, {"", 1, 0, 0, 0, 0, ""});
  const bool withStrtab = layout.withStrtab;
  const bool namesInStrtab = layout.namesInStrtab && withStrtab;
  const auto symtabIndex = static_cast<uint32_t>(sections.size());
  const uint32_t strtabIndex = symtabIndex + (layout.withSymtab ? 1 : 0);
  if (layout.withSymtab) {
    std::string symtab(16, '\0');
    for (const SymbolLayout& sym : layout.symbols) {
      AppendBe32(symtab, sym.st_name);
      AppendBe32(symtab, sym.st_value);
      AppendBe32(symtab, sym.st_size);
      symtab += static_cast<char>(sym.st_info);
      symtab += static_cast<char>(sym.st_other);
      AppendBe16(symtab, sym.st_shndx);
    }
    symtab += layout.symtabTail;
    sections.push_back({".symtab", 2, 0, 16, withStrtab ? strtabIndex : 0, 1, symtab});
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
  out.assign(52, '\0');
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
    std::string header;
    AppendBe32(header, s.nameOffset);
    AppendBe32(header, s.type);
    AppendBe32(header, s.flags);
    AppendBe32(header, 0);
    AppendBe32(header, s.offset);
    AppendBe32(header, static_cast<uint32_t>(s.bytes.size()));
    AppendBe32(header, s.link);
    AppendBe32(header, s.info);
    AppendBe32(header, s.type == 0 ? 0 : 1);
    AppendBe32(header, s.entsize);
    header.resize(layout.e_shentsize > 40 ? layout.e_shentsize : 40, '\0');
    out += header;
  }
  if (layout.extendedNumbering) {
    PutBe32(out, object.shoff + kShSize, object.sectionCount);
    PutBe32(out, object.shoff + kShLink, namesIndex);
  }

  std::string ehdr =
      "\x7F"
      "ELF";
  ehdr += static_cast<char>(layout.eiClass);
  ehdr += static_cast<char>(layout.eiData);
  ehdr += '\x01';  // EV_CURRENT
  ehdr.resize(16, '\0');
  AppendBe16(ehdr, 1);   // ET_REL
  AppendBe16(ehdr, 20);  // EM_PPC
  AppendBe32(ehdr, 1);
  AppendBe32(ehdr, 0);
  AppendBe32(ehdr, 0);
  AppendBe32(ehdr, object.shoff);
  AppendBe32(ehdr, 0x8000);  // EF_PPC_EMB
  AppendBe16(ehdr, 52);
  AppendBe16(ehdr, 0);
  AppendBe16(ehdr, 0);
  AppendBe16(ehdr, layout.e_shentsize);
  AppendBe16(ehdr, object.shnum);
  AppendBe16(ehdr, layout.extendedNumbering ? 0xFFFF : static_cast<uint16_t>(namesIndex));
  out.replace(0, 52, ehdr);
  return object;
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
