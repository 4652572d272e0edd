// Lays out ELF relocatable objects (big-endian ELF32 unless asked otherwise)
// from a readable description, so that a test states exactly which sections,
// names and symbols it is about.
//
//   ObjectLayout layout;
//   layout.strtab = std::string("\0foobar\0", 8);
//   layout.symbols = {{.st_name = 1}, {.st_name = 4}};
//   BuiltObject object = BuildObject(layout);
//
// The sections are laid out in this order after the ELF header: the extra
// sections, the empty ones, .symtab, .strtab, .shstrtab, then the section
// header table.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testelf {

struct SymbolLayout {
  uint32_t st_name = 0;
  uint32_t st_value = 0;
  uint32_t st_size = 0;
  uint8_t st_info = 0x12;  // global function
  uint8_t st_other = 0;
  uint16_t st_shndx = 1;
};

struct RelaEntry {
  uint32_t r_offset = 0;
  uint32_t r_info = 0;
  int32_t r_addend = 0;
};

struct SectionLayout {
  std::string name;
  uint32_t sh_type = 1;  // SHT_PROGBITS
  std::string bytes;
  uint32_t sh_flags = 0;
  uint32_t sh_entsize = 0;
  uint32_t sh_link = 0;
};

// (eiClass, eiData) of every layout: big- and little-endian ELF32 and ELF64.
inline constexpr std::pair<uint8_t, uint8_t> kEveryLayout[] = {{1, 2}, {1, 1}, {2, 1}, {2, 2}};

struct ObjectLayout {
  // Sections placed before .symtab, e.g. .text or .rela.text.
  std::vector<SectionLayout> sections;
  // Unnamed sections without bytes after those, to reach a section count.
  uint32_t emptySections = 0;
  // e_shnum 0 and e_shstrndx 0xFFFF, the real values in section 0's sh_size
  // and sh_link, as for 65,280 sections or more.
  bool extendedNumbering = false;
  // .strtab's bytes as stored; the null name at offset 0 is the caller's.
  std::string strtab = std::string(1, '\0');
  // Entries of .symtab after the null symbol, which is always added.
  std::vector<SymbolLayout> symbols;
  bool withSymtab = true;
  bool withStrtab = true;
  // Section names go into .strtab instead of a .shstrtab of their own.
  bool namesInStrtab = false;
  // Bytes of .symtab after its last whole entry.
  std::string symtabTail;
  uint16_t e_shentsize = 0;  // 0: the size of the layout's section header
  uint16_t e_machine = 20;   // EM_PPC
  // The records' layout; any other value is written, over ELF32 or big-endian.
  uint8_t eiClass = 1;  // ELFCLASS32, or 2 for ELFCLASS64
  uint8_t eiData = 2;   // ELFDATA2MSB, or 1 for ELFDATA2LSB
};

struct BuiltObject {
  std::string bytes;
  uint32_t shoff = 0;
  uint16_t shnum = 0;                             // e_shnum as written
  uint32_t sectionCount = 0;                      // with section 0
  std::map<std::string, uint32_t> sectionIndex;   // by name
  std::map<std::string, uint32_t> sectionOffset;  // sh_offset by name
};

// Lays the object out. Section names are stored in the section-name table in
// section order, after the caller's bytes when they share .strtab.
BuiltObject BuildObject(const ObjectLayout& layout);

// The stored bytes of relocation entries, for a .rela. section's bytes.
std::string RelaBytes(const std::vector<RelaEntry>& entries);

// Appends name and its zero to table and returns the offset it starts at.
uint32_t AddName(std::string& table, const std::string& name);

// Big-endian field access on built bytes, for tests that damage an object.
void PutBe16(std::string& bytes, uint32_t offset, uint16_t value);
void PutBe32(std::string& bytes, uint32_t offset, uint32_t value);
uint32_t GetBe32(const std::string& bytes, uint32_t offset);

// The byte offset of field fieldOffset in section header index of object.
uint32_t SectionHeaderField(const BuiltObject& object, uint32_t index, uint32_t fieldOffset);

// Field offsets within the records, for PutBe32 and SectionHeaderField.
constexpr uint32_t kShName = 0, kShOffset = 16, kShSize = 20, kShLink = 24;
constexpr uint32_t kEShoff = 32, kEShentsize = 46, kEShnum = 48, kEShstrndx = 50;

}  // namespace testelf
