#include "elf/elf_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/cli.h"
#include "tests/support/elf_builder.h"
#include "tests/support/elf_reference.h"
#include "tests/support/loaded_images.h"

namespace {

using testelf::AddName;
using testelf::BuildObject;
using testelf::BuiltObject;
using testelf::GetBe32;
using testelf::LoadOrPrint;
using testelf::ObjectLayout;
using testelf::PutBe16;
using testelf::PutBe32;
using testelf::RelaBytes;
using testelf::SectionHeaderField;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Writes bytes to a file of a scratch directory and loads it, keeping what
// the load printed; a loaded image must hold the file's bytes unchanged.
class Loader : public testing::Test {
 protected:
  ElfImage* Load(const std::string& bytes) {
    CaptureStderr();
    ElfImage* elf = images_.Load(bytes);
    err_ = GetCapturedStderr();
    if (elf != nullptr) {
      EXPECT_EQ(ImageBytes(elf, 0, elf->length), bytes);
    }
    return elf;
  }

  // The bytes of the loaded image at offset, as the loader left them.
  static std::string ImageBytes(const ElfImage* elf, uint32_t offset, uint32_t size) {
    return std::string(reinterpret_cast<const char*>(elf->image) + offset, size);
  }

  testelf::LoadedImages images_;
  const std::string& path_ = images_.path();
  std::string err_;
};

// Every record of every layout read where it lies, at the published field
// offsets: the builder lays fields out by their own widths and order, and a
// section table of 70,000 sections is read through section 0 in each.
TEST_F(Loader, ReadsTheRecordsOfEveryLayout) {
  struct Case {
    const char* title;
    uint8_t eiClass, eiData;
    uint32_t nameAt, shoffAt;  // where symbol 1's st_name and e_shoff have their low byte
  };
  const Case cases[] = {{"ELF32 LSB", 1, 1, 16, 32},
                        {"ELF32 MSB", 1, 2, 19, 35},
                        {"ELF64 LSB", 2, 1, 24, 40},
                        {"ELF64 MSB", 2, 2, 27, 47}};
  for (const Case& c : cases) {
    for (uint32_t emptySections : {0u, 70000u}) {
      ObjectLayout layout;
      layout.eiClass = c.eiClass;
      layout.eiData = c.eiData;
      layout.e_machine = 0x1234;
      layout.emptySections = emptySections;
      layout.extendedNumbering = emptySections != 0;
      layout.sections = {{.name = ".text", .bytes = "abcd", .sh_flags = 6}};
      const uint32_t name = AddName(layout.strtab, "func_a");
      layout.symbols = {{.st_name = name,
                         .st_value = 0x11223344,
                         .st_size = 0x55667788,
                         .st_info = 0x21,
                         .st_other = 0x03,
                         .st_shndx = 0xFFF1}};
      BuiltObject object = BuildObject(layout);
      ElfImage* elf = Load(object.bytes);
      ASSERT_NE(elf, nullptr) << c.title << ": " << err_;
      const uint32_t symtab = object.sectionOffset.at(".symtab");
      EXPECT_EQ(object.bytes[symtab + c.nameAt], static_cast<char>(name)) << c.title;
      EXPECT_EQ(object.bytes[c.shoffAt], static_cast<char>(object.shoff)) << c.title;
      EXPECT_EQ(GetSectionCount(elf), object.sectionCount) << c.title;
      EXPECT_EQ(elf->symtab->index, object.sectionIndex.at(".symtab")) << c.title;
      ASSERT_EQ(GetSymbolCount(elf), 2u) << c.title;
      EXPECT_STREQ(GetSymbolName(elf, GetSymbolNameOffset(elf, 1)), "func_a") << c.title;
      EXPECT_STREQ(GetSectionName(elf, GetSectionNameOffset(elf, 1)), ".text") << c.title;
      VisitElfLayout(elf->layout, [&]<class E>(E) {
        const typename E::Ehdr& h = GetElfHeader<E>(elf);
        EXPECT_EQ(h.e_machine, 0x1234);
        EXPECT_EQ(h.e_shentsize, sizeof(typename E::Shdr));
        EXPECT_EQ(h.e_shnum, object.shnum);
        const typename E::Shdr& text = GetSectionHeader<E>(elf, 1);
        EXPECT_EQ(text.sh_flags, 6u);
        EXPECT_EQ(text.sh_offset, object.sectionOffset.at(".text"));
        const typename E::Sym& sym = GetSymbols<E>(elf)[1];
        EXPECT_EQ(sym.st_value, 0x11223344u);
        EXPECT_EQ(sym.st_size, 0x55667788u);
        EXPECT_EQ(sym.st_info, 0x21);
        EXPECT_EQ(sym.st_other, 0x03);
        EXPECT_EQ(sym.st_shndx, 0xFFF1);
      });
      images_.ReleaseLast();
    }
  }
}

TEST_F(Loader, FindsSectionHeadersSixtyFourBytesApart) {
  ObjectLayout layout;
  layout.e_shentsize = 64;
  layout.sections = {{.name = ".text", .bytes = "code"}};
  AddName(layout.strtab, "f");
  layout.symbols = {{.st_name = 1}};
  BuiltObject object = BuildObject(layout);
  std::string bytes = object.bytes;
  for (uint32_t i = 0; i < object.shnum; ++i) {
    for (uint32_t k = 40; k < 64; ++k) {
      bytes[object.shoff + i * 64 + k] = static_cast<char>(0x80 + i * 24 + k);
    }
  }
  ElfImage* elf = Load(bytes);
  ASSERT_NE(elf, nullptr) << err_;
  for (uint32_t i = 0; i < object.shnum; ++i) {
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&GetSectionHeader<Elf32BE>(elf, i)),
              elf->image + object.shoff + i * 64);
  }
  EXPECT_EQ(GetSectionHeader<Elf32BE>(elf, 1).sh_offset, object.sectionOffset.at(".text"));
  EXPECT_STREQ(GetSectionName(elf, GetSectionNameOffset(elf, 1)), ".text");
  ASSERT_TRUE(elf->symtab);
  EXPECT_STREQ(GetSymbolName(elf, GetSymbolNameOffset(elf, 1)), "f");
}

TEST_F(Loader, SymtabOfFortyBytesHoldsTwoSymbols) {
  ObjectLayout layout;
  uint32_t name = AddName(layout.strtab, "g");
  layout.symbols = {{.st_name = name, .st_value = 0x01020304}};
  layout.symtabTail = "\x11\x22\x33\x44\x55\x66\x77\x88";
  BuiltObject object = BuildObject(layout);
  ElfImage* elf = Load(object.bytes);
  ASSERT_NE(elf, nullptr) << err_;
  ASSERT_EQ(elf->symtab->sh_size, 40u);
  EXPECT_EQ(GetSymbolCount(elf), 2u);
  EXPECT_EQ(GetSymbols<Elf32BE>(elf)[1].st_value, 0x01020304u);
}

TEST_F(Loader, NullSymbolIsIndexZero) {
  ObjectLayout layout;
  AddName(layout.strtab, "h");
  layout.symbols = {{.st_name = 1}};
  ElfImage* elf = Load(BuildObject(layout).bytes);
  ASSERT_NE(elf, nullptr) << err_;
  const auto* null = GetSymbols<Elf32BE>(elf);
  ASSERT_NE(null, nullptr);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(null), elf->image + elf->symtab->sh_offset);
  EXPECT_EQ(null->st_name, 0u);
  EXPECT_EQ(null->st_value, 0u);
  EXPECT_EQ(null->st_shndx, 0);
}

TEST_F(Loader, NameOffsetZeroGivesNoneEvenWithTables) {
  ObjectLayout layout;
  AddName(layout.strtab, "h");
  layout.symbols = {{.st_name = 1}};
  ElfImage* elf = Load(BuildObject(layout).bytes);
  ASSERT_NE(elf, nullptr) << err_;
  ASSERT_TRUE(elf->sectionNames);
  ASSERT_TRUE(elf->strtab);
  EXPECT_EQ(GetSectionName(elf, 0), nullptr);
  EXPECT_EQ(GetSymbolName(elf, 0), nullptr);
  EXPECT_STREQ(GetSymbolName(elf, 1), "h");
  EXPECT_STREQ(GetSymbolName(elf, 2), "");
}

TEST_F(Loader, SectionWithHighestIndexOfEachNameWins) {
  ObjectLayout layout;
  std::string decoySymbols(32, '\0');
  PutBe32(decoySymbols, 16, 1);
  layout.sections = {
      {.name = ".symtab", .sh_type = 2, .bytes = decoySymbols, .sh_entsize = 16},
      {.name = ".strtab", .sh_type = 3, .bytes = std::string("\0decoy\0", 7)},
  };
  AddName(layout.strtab, "real");
  layout.symbols = {{.st_name = 1, .st_value = 7}};
  BuiltObject object = BuildObject(layout);
  ElfImage* elf = Load(object.bytes);
  ASSERT_NE(elf, nullptr) << err_;
  EXPECT_EQ(elf->symtab->index, object.sectionIndex.at(".symtab"));
  EXPECT_EQ(elf->strtab->index, object.sectionIndex.at(".strtab"));
  EXPECT_STREQ(GetSymbolName(elf, GetSymbolNameOffset(elf, 1)), "real");
  EXPECT_EQ(GetSymbols<Elf32BE>(elf)[1].st_value, 7u);
}

TEST_F(Loader, ComparesSectionNamesWhole) {
  ObjectLayout layout;
  layout.withSymtab = false;
  layout.withStrtab = false;
  std::string symbols(32, '\0');
  PutBe32(symbols, 16, 1);
  layout.sections = {
      {.name = ".symtab2", .sh_type = 2, .bytes = symbols, .sh_entsize = 16},
      {.name = ".strtab.1", .sh_type = 3, .bytes = std::string("\0a\0", 3)},
      {.name = ".symta", .sh_type = 2, .bytes = symbols, .sh_entsize = 16},
      {.name = ".strta", .sh_type = 3, .bytes = std::string("\0a\0", 3)},
      {.name = ".SYMTAB", .sh_type = 2, .bytes = symbols, .sh_entsize = 16},
  };
  BuiltObject object = BuildObject(layout);
  ElfImage* elf = Load(object.bytes);
  ASSERT_NE(elf, nullptr) << err_;
  EXPECT_TRUE(elf->sectionNames);
  EXPECT_FALSE(elf->symtab);
  EXPECT_FALSE(elf->strtab);
  EXPECT_EQ(GetSymbols<Elf32BE>(elf), nullptr);
  EXPECT_EQ(GetSymbolName(elf, 1), nullptr);
  EXPECT_EQ(GetSymbolCount(elf), 0u);
}

TEST_F(Loader, SectionNameOffsetZeroNeverMatches) {
  // A section whose sh_name is 0 has no name, even though the name table's
  // first byte would read as the empty name.
  ObjectLayout layout;
  layout.sections = {{.name = ".text", .bytes = "abcd"}};
  BuiltObject object = BuildObject(layout);
  std::string bytes = object.bytes;
  PutBe32(bytes, SectionHeaderField(object, 1, testelf::kShName), 0);
  ElfImage* elf = Load(bytes);
  ASSERT_NE(elf, nullptr) << err_;
  EXPECT_EQ(GetSectionName(elf, GetSectionNameOffset(elf, 1)), nullptr);
}

TEST_F(Loader, ShstrndxZeroGivesNoTables) {
  ObjectLayout layout;
  AddName(layout.strtab, "f");
  layout.symbols = {{.st_name = 1, .st_value = 0x01020304}};
  layout.sections = {{.name = ".rela.text", .sh_type = 4, .bytes = RelaBytes({{1, 2, 3}})}};
  BuiltObject object = BuildObject(layout);
  std::string bytes = object.bytes;
  PutBe16(bytes, testelf::kEShstrndx, 0);
  ElfImage* elf = Load(bytes);
  ASSERT_NE(elf, nullptr) << err_;
  EXPECT_EQ(err_, "");
  EXPECT_EQ(GetSectionCount(elf), object.shnum);
  EXPECT_FALSE(elf->sectionNames);
  EXPECT_FALSE(elf->symtab);
  EXPECT_FALSE(elf->strtab);
  EXPECT_EQ(GetSectionName(elf, 1), nullptr);
}

TEST_F(Loader, NoSectionsAtAll) {
  ObjectLayout layout;
  BuiltObject object = BuildObject(layout);
  std::string bytes = object.bytes;
  PutBe16(bytes, testelf::kEShnum, 0);
  PutBe16(bytes, testelf::kEShstrndx, 0);
  PutBe16(bytes, testelf::kEShentsize, 0);
  PutBe32(bytes, testelf::kEShoff, 0);
  ElfImage* elf = Load(bytes);
  ASSERT_NE(elf, nullptr) << err_;
  EXPECT_FALSE(elf->sectionNames);
  EXPECT_FALSE(elf->symtab);
  EXPECT_FALSE(elf->strtab);
}

TEST_F(Loader, HeaderOnlyFileLoads) {
  std::string bytes = BuildObject(ObjectLayout{}).bytes.substr(0, 52);
  PutBe16(bytes, testelf::kEShnum, 0);
  PutBe16(bytes, testelf::kEShstrndx, 0);
  PutBe32(bytes, testelf::kEShoff, 0);
  ElfImage* elf = Load(bytes);
  ASSERT_NE(elf, nullptr) << err_;
  EXPECT_FALSE(elf->symtab);
}

TEST_F(Loader, EmptyFileFailsInTheReader) {
  EXPECT_EQ(Load(""), nullptr);
  EXPECT_EQ(err_, "ERROR: cannot read file '" + path_ + "'\n");
}

TEST_F(Loader, MissingFileFailsInTheReader) {
  std::string path = images_.dir() / "missing.o";
  CaptureStderr();
  EXPECT_EQ(images_.LoadFile(path), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "ERROR: cannot open file '" + path + "'\n");
}

TEST_F(Loader, RefusalNamesTheRewrittenPath) {
  const std::string path = "/cygdrive/q/no/such/file.o";
  CaptureStderr();
  EXPECT_EQ(images_.LoadFile(path), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "ERROR: cannot open file 'q:/no/such/file.o'\n");
}

TEST_F(Loader, RefusesFilesWithoutTheMagic) {
  const std::string full = BuildObject(ObjectLayout{}).bytes;
  std::string wrongLast = full;
  wrongLast[3] = 'G';
  std::string wrongFirst = full;
  wrongFirst[0] = 0x7E;
  for (const std::string& bytes : {std::string("\x7F"),
                                   std::string("\x7F"
                                               "E"),
                                   std::string("\x7F"
                                               "EL"),
                                   std::string("ELF\x7F"),
                                   std::string("\x7F"
                                               "elf"
                                               "\x01\x02"),
                                   wrongLast, wrongFirst}) {
    EXPECT_EQ(Load(bytes), nullptr);
    EXPECT_EQ(err_, "LoadElfFile: " + path_ + " is not an ELF file\n") << bytes.size() << " bytes";
  }
}

TEST_F(Loader, RefusesUnknownClassAndByteOrder) {
  struct Case {
    uint8_t eiClass;
    uint8_t eiData;
  };
  for (Case c : {Case{0, 2}, Case{1, 0}, Case{3, 2}, Case{1, 3}, Case{2, 0}, Case{0, 1}}) {
    ObjectLayout layout;
    layout.eiClass = c.eiClass;
    layout.eiData = c.eiData;
    EXPECT_EQ(Load(BuildObject(layout).bytes), nullptr);
    EXPECT_EQ(err_,
              "LoadElfFile: " + path_ + " is not an ELF file of a known class and byte order\n")
        << int{c.eiClass} << "/" << int{c.eiData};
  }
}

// One way of damaging a good object, and what the refusal must say.
struct DamageCase {
  const char* title;
  std::function<void(const BuiltObject&, std::string&)> damage;
  std::string what;
};

// The object that the damage cases start from: every kind of table the loader
// checks, with a name in each.
ObjectLayout DamageLayout() {
  ObjectLayout layout;
  layout.sections = {
      {.name = ".text", .bytes = std::string(16, '\x60')},
      {.name = ".rela.text",
       .sh_type = 4,
       .bytes = RelaBytes({{0, 0x101, 0}, {4, 0x201, 8}}),
       .sh_entsize = 12},
      {.name = ".rela.data", .sh_type = 4, .bytes = RelaBytes({{0, 0x101, 0}}), .sh_entsize = 12},
  };
  AddName(layout.strtab, "func_a");
  AddName(layout.strtab, "func_b");
  layout.symbols = {{.st_name = 1}, {.st_name = 8}};
  return layout;
}

BuiltObject DamageBase() { return BuildObject(DamageLayout()); }

uint32_t Index(const BuiltObject& o, const char* name) { return o.sectionIndex.at(name); }

void SetField(const BuiltObject& o, std::string& b, const char* section, uint32_t field,
              uint32_t value) {
  PutBe32(b, SectionHeaderField(o, Index(o, section), field), value);
}

uint32_t Field(const BuiltObject& o, const char* section, uint32_t field) {
  return GetBe32(o.bytes, SectionHeaderField(o, Index(o, section), field));
}

const uint32_t kSymtabEntry1 = 16;  // symbol 1 within .symtab

const DamageCase kDamage[] = {
    {"header cut short", [](const BuiltObject&, std::string& b) { b.resize(51); },
     "the ELF header lies outside the file"},
    {"header of six bytes", [](const BuiltObject&, std::string& b) { b.resize(6); },
     "the ELF header lies outside the file"},
    {"section header table past the end",
     [](const BuiltObject& o, std::string& b) {
       PutBe32(b, testelf::kEShoff, static_cast<uint32_t>(o.bytes.size()) - 39);
     },
     "the section header table lies outside the file"},
    {"section header table offset wraps",
     [](const BuiltObject&, std::string& b) { PutBe32(b, testelf::kEShoff, 0xFFFFFFF0); },
     "the section header table lies outside the file"},
    {"section header count too large",
     [](const BuiltObject&, std::string& b) { PutBe16(b, testelf::kEShnum, 0xFFFF); },
     "the section header table lies outside the file"},
    {"section header table cut off",
     [](const BuiltObject&, std::string& b) { b.resize(b.size() - 1); },
     "the section header table lies outside the file"},
    {"e_shentsize below 40",
     [](const BuiltObject&, std::string& b) { PutBe16(b, testelf::kEShentsize, 39); },
     "e_shentsize 39 is below 40"},
    {"e_shentsize 0",
     [](const BuiltObject&, std::string& b) { PutBe16(b, testelf::kEShentsize, 0); },
     "e_shentsize 0 is below 40"},
    {"e_shstrndx equal to e_shnum",
     [](const BuiltObject& o, std::string& b) { PutBe16(b, testelf::kEShstrndx, o.shnum); },
     "e_shstrndx 7 is not below e_shnum 7"},
    {"e_shstrndx 0xFFFF and section 0's sh_link equal to e_shnum",
     [](const BuiltObject& o, std::string& b) {
       PutBe16(b, testelf::kEShstrndx, 0xFFFF);
       PutBe32(b, SectionHeaderField(o, 0, testelf::kShLink), o.shnum);
     },
     "e_shstrndx 7 is not below e_shnum 7"},
    {"e_shstrndx without sections",
     [](const BuiltObject&, std::string& b) { PutBe16(b, testelf::kEShnum, 0); },
     "e_shstrndx 6 is not below e_shnum 0"},
    {"section header table overlapping the header",
     [](const BuiltObject&, std::string& b) { PutBe32(b, testelf::kEShoff, 12); },
     "the section header table overlaps the ELF header"},
    {"section-name table past the end",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".shstrtab", testelf::kShOffset, static_cast<uint32_t>(o.bytes.size()));
     },
     "the section-name table lies outside the file"},
    {"section-name table size wraps",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".shstrtab", testelf::kShSize, 0xFFFFFFFF);
     },
     "the section-name table lies outside the file"},
    {"section name beyond its table",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".text", testelf::kShName, Field(o, ".shstrtab", testelf::kShSize));
     },
     "the name of section 1 is not inside the section-name table"},
    {"section name far beyond its table",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".text", testelf::kShName, 0xFFFFFFFF);
     },
     "the name of section 1 is not inside the section-name table"},
    {"section name not terminated in its table",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".shstrtab", testelf::kShSize, Field(o, ".shstrtab", testelf::kShSize) - 1);
     },
     "the name of section 6 is not inside the section-name table"},
    {".symtab past the end",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".symtab", testelf::kShSize, 0x10000);
     },
     ".symtab lies outside the file"},
    {".symtab offset wraps",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".symtab", testelf::kShOffset, 0xFFFFFFF0);
     },
     ".symtab lies outside the file"},
    {".strtab past the end",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".strtab", testelf::kShOffset, static_cast<uint32_t>(o.bytes.size()) - 2);
     },
     ".strtab lies outside the file"},
    {".rela.text past the end",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".rela.text", testelf::kShSize, 0x7FFFFFFF);
     },
     ".rela.text lies outside the file"},
    {".rela.data offset wraps",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".rela.data", testelf::kShOffset, 0xFFFFFFFC);
     },
     ".rela.data lies outside the file"},
    {"symbol name beyond .strtab",
     [](const BuiltObject& o, std::string& b) {
       PutBe32(b, o.sectionOffset.at(".symtab") + kSymtabEntry1,
               Field(o, ".strtab", testelf::kShSize));
     },
     "the name of symbol 1 is not inside .strtab"},
    {"symbol name far beyond .strtab",
     [](const BuiltObject& o, std::string& b) {
       PutBe32(b, o.sectionOffset.at(".symtab") + 2 * kSymtabEntry1, 0x80000000);
     },
     "the name of symbol 2 is not inside .strtab"},
    {"symbol name not terminated in .strtab",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".strtab", testelf::kShSize, Field(o, ".strtab", testelf::kShSize) - 1);
     },
     "the name of symbol 2 is not inside .strtab"},
    {".strtab overlapping .symtab",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".strtab", testelf::kShOffset, o.sectionOffset.at(".symtab") + 8);
     },
     ".strtab overlaps .symtab"},
    {".strtab overlapping the ELF header",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".strtab", testelf::kShOffset, 40);
     },
     ".strtab overlaps the ELF header"},
    {"section-name table overlapping the section header table",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".shstrtab", testelf::kShOffset, o.shoff);
     },
     "the section-name table overlaps the section header table"},
    {".rela.data on the section header table",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".rela.data", testelf::kShOffset, o.shoff);
     },
     ".rela.data overlaps the section header table"},
    {".rela.text overlapping .symtab",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".rela.text", testelf::kShOffset, o.sectionOffset.at(".symtab") + 4);
     },
     ".rela.text overlaps .symtab"},
    {"two .rela. sections on the same bytes",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".rela.data", testelf::kShOffset, o.sectionOffset.at(".rela.text"));
     },
     ".rela.data overlaps .rela.text"},
    {".rela.text overlapping the ELF header",
     [](const BuiltObject& o, std::string& b) {
       SetField(o, b, ".rela.text", testelf::kShOffset, 0);
     },
     ".rela.text overlaps the ELF header"},
};

TEST_F(Loader, RefusesDamagedObjectsNamingTheDamage) {
  const BuiltObject base = DamageBase();
  ASSERT_NE(Load(base.bytes), nullptr) << err_;
  ASSERT_EQ(base.shnum, 7);
  ASSERT_EQ(Index(base, ".shstrtab"), 6u);
  for (const DamageCase& c : kDamage) {
    std::string bytes = base.bytes;
    c.damage(base, bytes);
    EXPECT_EQ(Load(bytes), nullptr) << c.title;
    EXPECT_EQ(err_, "LoadElfFile: " + path_ + " is damaged: " + c.what + "\n") << c.title;
  }
}

// Section 0 holds the section count, and the section-name table's index,
// wherever the header defers to it; the header itself is left as stored.
TEST_F(Loader, ReadsExtendedSectionNumbering) {
  struct Case {
    const char* title;
    uint32_t emptySections;
    bool extended;
    uint32_t link;  // written to section 0 with e_shstrndx 0xFFFF unless extended
    bool named;
  };
  const Case cases[] = {
      {"both in section 0", 0, true, 0, true},
      {"70,007 sections", 70000, true, 0, true},
      {"only the index in section 0", 0, false, 6, true},
      {"index 0 in section 0", 0, false, 0, false},
  };
  for (const Case& c : cases) {
    ObjectLayout layout = DamageLayout();
    layout.emptySections = c.emptySections;
    layout.extendedNumbering = c.extended;
    BuiltObject object = BuildObject(layout);
    std::string bytes = object.bytes;
    if (!c.extended) {
      PutBe16(bytes, testelf::kEShstrndx, 0xFFFF);
      PutBe32(bytes, SectionHeaderField(object, 0, testelf::kShLink), c.link);
    }
    ElfImage* elf = Load(bytes);
    ASSERT_NE(elf, nullptr) << c.title << ": " << err_;
    EXPECT_EQ(GetSectionCount(elf), object.sectionCount) << c.title;
    const uint32_t names = Index(object, ".shstrtab");
    EXPECT_EQ(GetElfHeader<Elf32BE>(elf).e_shnum, object.shnum) << c.title;
    EXPECT_EQ(GetElfHeader<Elf32BE>(elf).e_shstrndx, 0xFFFF) << c.title;
    EXPECT_EQ(GetSectionHeader<Elf32BE>(elf, 0).sh_link, c.extended ? names : c.link) << c.title;
    if (!c.named) {
      EXPECT_FALSE(elf->sectionNames) << c.title;
      EXPECT_FALSE(elf->symtab) << c.title;
      continue;
    }
    EXPECT_EQ(elf->sectionNames->index, names) << c.title;
    EXPECT_EQ(elf->symtab->index, Index(object, ".symtab")) << c.title;
    EXPECT_STREQ(GetSectionName(elf, elf->symtab->sh_name), ".symtab") << c.title;
    EXPECT_STREQ(GetSymbolName(elf, GetSymbolNameOffset(elf, 2)), "func_b") << c.title;
    images_.ReleaseLast();
  }
}

const DamageCase kExtendedDamage[] = {
    {"section 0 past the end",
     [](const BuiltObject& o, std::string& b) {
       PutBe32(b, testelf::kEShoff, static_cast<uint32_t>(o.bytes.size()) - 39);
     },
     "the section header table lies outside the file"},
    {"section 0 on the ELF header",
     [](const BuiltObject&, std::string& b) { PutBe32(b, testelf::kEShoff, 12); },
     "the section header table overlaps the ELF header"},
    {"e_shentsize below 40",
     [](const BuiltObject&, std::string& b) { PutBe16(b, testelf::kEShentsize, 39); },
     "e_shentsize 39 is below 40"},
    {"count reaching past the end",
     [](const BuiltObject& o, std::string& b) {
       PutBe32(b, SectionHeaderField(o, 0, testelf::kShSize), o.sectionCount + 1);
     },
     "the section header table lies outside the file"},
    {"count whose table size exceeds 32 bits",
     [](const BuiltObject& o, std::string& b) {
       PutBe32(b, SectionHeaderField(o, 0, testelf::kShSize), 0xFFFFFFFF);
     },
     "the section header table lies outside the file"},
    {"index beyond 16 bits",
     [](const BuiltObject& o, std::string& b) {
       PutBe32(b, SectionHeaderField(o, 0, testelf::kShLink), 70001);
     },
     "e_shstrndx 70001 is not below e_shnum 7"},
    {"count below the index",
     [](const BuiltObject& o, std::string& b) {
       PutBe32(b, SectionHeaderField(o, 0, testelf::kShSize), 3);
     },
     "e_shstrndx 6 is not below e_shnum 3"},
    {"count 0",
     [](const BuiltObject& o, std::string& b) {
       PutBe32(b, SectionHeaderField(o, 0, testelf::kShSize), 0);
     },
     "e_shstrndx 65535 is not below e_shnum 0"},
};

TEST_F(Loader, RefusesDamageInExtendedNumbering) {
  ObjectLayout layout = DamageLayout();
  layout.extendedNumbering = true;
  const BuiltObject base = BuildObject(layout);
  ASSERT_NE(Load(base.bytes), nullptr) << err_;
  for (const DamageCase& c : kExtendedDamage) {
    std::string bytes = base.bytes;
    c.damage(base, bytes);
    EXPECT_EQ(Load(bytes), nullptr) << c.title;
    EXPECT_EQ(err_, "LoadElfFile: " + path_ + " is damaged: " + c.what + "\n") << c.title;
  }
}

// Damage written through the views lands in each layout's own fields; the
// checks and their messages hold in every layout, with extended numbering.
TEST_F(Loader, RefusesDamageInEveryLayout) {
  for (auto [eiClass, eiData] : testelf::kEveryLayout) {
    ObjectLayout layout = DamageLayout();
    layout.eiClass = eiClass;
    layout.eiData = eiData;
    layout.extendedNumbering = true;
    const BuiltObject base = BuildObject(layout);
    ElfImage* elf = Load(base.bytes);
    ASSERT_NE(elf, nullptr) << err_;
    VisitElfLayout(elf->layout, [&]<class E>(E) {
      using Shdr = typename E::Shdr;
      auto section = [&base](std::string& b, uint32_t index) -> Shdr& {
        return *reinterpret_cast<Shdr*>(b.data() + base.shoff + index * sizeof(Shdr));
      };
      const uint32_t symtab = base.sectionOffset.at(".symtab");
      const std::string entrySize = std::to_string(sizeof(Shdr));
      const uint64_t allOnes = sizeof(Shdr) == 64 ? ~uint64_t{0} : ~uint32_t{0};
      const DamageCase cases[] = {
          {"e_shentsize one short",
           [](const BuiltObject&, std::string& b) {
             reinterpret_cast<typename E::Ehdr*>(b.data())->e_shentsize = sizeof(Shdr) - 1;
           },
           "e_shentsize " + std::to_string(sizeof(Shdr) - 1) + " is below " + entrySize},
          {"section count of all ones",
           [&](const BuiltObject&, std::string& b) { section(b, 0).sh_size = allOnes; },
           "the section header table lies outside the file"},
          {".rela.text on .symtab",
           [&](const BuiltObject&, std::string& b) {
             section(b, Index(base, ".rela.text")).sh_offset = symtab + 4;
           },
           ".rela.text overlaps .symtab"},
          {"symbol name beyond .strtab",
           [&](const BuiltObject&, std::string& b) {
             reinterpret_cast<typename E::Sym*>(b.data() + symtab)[1].st_name = 0x10000;
           },
           "the name of symbol 1 is not inside .strtab"},
      };
      for (const DamageCase& c : cases) {
        std::string bytes = base.bytes;
        c.damage(base, bytes);
        EXPECT_EQ(Load(bytes), nullptr) << c.title;
        EXPECT_EQ(err_, "LoadElfFile: " + path_ + " is damaged: " + c.what + "\n")
            << c.title << " in layout " << static_cast<int>(elf->layout);
      }
    });
  }
}

TEST_F(Loader, OverlapMessageNamesTheLaterSectionFirstWhateverTheirNumber) {
  // Many record tables, two of them on the same bytes: the message must
  // not depend on how a sort happens to order records that start together.
  for (uint32_t count : {2u, 8u, 20u, 40u}) {
    ObjectLayout layout;
    for (uint32_t i = 0; i < count; ++i) {
      layout.sections.push_back({.name = ".rela.s" + std::to_string(i),
                                 .sh_type = 4,
                                 .bytes = RelaBytes({{i, i, 0}}),
                                 .sh_entsize = 12});
    }
    BuiltObject object = BuildObject(layout);
    for (uint32_t victim : {0u, count / 2 - 1, count - 2}) {
      std::string later = ".rela.s" + std::to_string(count - 1);
      std::string earlier = ".rela.s" + std::to_string(victim);
      std::string bytes = object.bytes;
      PutBe32(bytes, SectionHeaderField(object, object.sectionIndex.at(later), testelf::kShOffset),
              object.sectionOffset.at(earlier));
      EXPECT_EQ(Load(bytes), nullptr);
      EXPECT_EQ(err_,
                "LoadElfFile: " + path_ + " is damaged: " + later + " overlaps " + earlier + "\n")
          << count << " sections";
    }
  }
}

TEST_F(Loader, AcceptsTablesThatEndExactlyAtTheFileEnd) {
  // .strtab placed last in the file, its region ending at the last byte.
  BuiltObject base = DamageBase();
  std::string bytes = base.bytes;
  uint32_t size = Field(base, ".strtab", testelf::kShSize);
  std::string strtab = base.bytes.substr(base.sectionOffset.at(".strtab"), size);
  SetField(base, bytes, ".strtab", testelf::kShOffset, static_cast<uint32_t>(bytes.size()));
  bytes += strtab;
  ElfImage* elf = Load(bytes);
  ASSERT_NE(elf, nullptr) << err_;
  EXPECT_STREQ(GetSymbolName(elf, 1), "func_a");
  EXPECT_STREQ(GetSymbolName(elf, 8), "func_b");
}

TEST_F(Loader, AcceptsStringTableInTheTailOfSymtab) {
  // Bytes past the last whole symbol are no record, so a table there is not
  // overlapped by one.
  ObjectLayout layout;
  layout.strtab = std::string("\0ab\0", 4);
  layout.symbols = {{.st_name = 1}};
  layout.symtabTail = std::string("\0ab\0", 4);
  BuiltObject object = BuildObject(layout);
  std::string bytes = object.bytes;
  SetField(object, bytes, ".strtab", testelf::kShOffset, object.sectionOffset.at(".symtab") + 32);
  ElfImage* elf = Load(bytes);
  ASSERT_NE(elf, nullptr) << err_;
  EXPECT_STREQ(GetSymbolName(elf, 1), "ab");
}

TEST_F(Loader, EveryPrefixOfAnObjectLoadsOrIsRefusedCleanly) {
  const std::string full = DamageBase().bytes;
  for (size_t length = 0; length <= full.size(); ++length) {
    ElfImage* elf = Load(full.substr(0, length));
    if (length == full.size()) {
      EXPECT_NE(elf, nullptr) << err_;
      EXPECT_EQ(err_, "");
      continue;
    }
    EXPECT_EQ(elf, nullptr) << length;
    if (length == 0) {
      EXPECT_EQ(err_, "ERROR: cannot read file '" + path_ + "'\n");
    } else {
      const std::string prefix = "LoadElfFile: " + path_ + " is ";
      EXPECT_EQ(err_.compare(0, prefix.size(), prefix), 0) << length << ": " << err_;
      EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << length << ": " << err_;
    }
  }
}

// An archive member is loaded where it lies: the views point into the
// caller's buffer, the bytes around the member stay as they are, and
// messages use the caller's name.
TEST_F(Loader, LoadsAnObjectInPlaceInsideTheCallersBuffer) {
  const std::string object = DamageBase().bytes;
  const std::string before(60, 'H'), after =
                                         "\x7F"
                                         "ELF" +
                                         std::string(60, '\xFF');
  std::vector<uint8_t> buffer(before.size() + object.size() + after.size());
  memcpy(buffer.data(), (before + object + after).data(), buffer.size());
  uint8_t* member = buffer.data() + before.size();
  const auto length = static_cast<uint32_t>(object.size());
  std::optional<ElfImage> elf = LoadOrPrint(member, length, "lib.a(m.o)");
  ASSERT_TRUE(elf);
  EXPECT_EQ(elf->image, member);
  EXPECT_EQ(elf->length, length);
  EXPECT_STREQ(GetSymbolName(*elf, GetSymbolNameOffset(&*elf, 1)), "func_a");
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 60), before);
  EXPECT_EQ(std::string(buffer.end() - after.size(), buffer.end()), after);

  buffer[before.size()] = 'X';
  CaptureStderr();
  EXPECT_FALSE(LoadOrPrint(member, length, "lib.a(m.o)"));
  EXPECT_EQ(GetCapturedStderr(), "LoadElfFile: lib.a(m.o) is not an ELF file\n");
}

// Every prefix of an object, alone in a buffer of its exact size, so that a
// read past the end is the sanitizers' finding; and a last name whose zero
// would be the byte after the object is not inside its table.
TEST_F(Loader, NeverReadsPastTheObjectsEnd) {
  const std::string full = DamageBase().bytes;
  for (size_t length = 0; length <= full.size(); ++length) {
    std::vector<uint8_t> exact(full.begin(), full.begin() + static_cast<ptrdiff_t>(length));
    CaptureStderr();
    std::optional<ElfImage> elf = LoadOrPrint(exact.data(), static_cast<uint32_t>(length), "m");
    std::string err = GetCapturedStderr();
    EXPECT_EQ(elf.has_value(), length == full.size()) << length << ": " << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), elf ? 0 : 1) << length;
  }

  const BuiltObject base = DamageBase();
  std::string bytes = base.bytes;
  const uint32_t size = Field(base, ".strtab", testelf::kShSize);
  SetField(base, bytes, ".strtab", testelf::kShOffset, static_cast<uint32_t>(bytes.size()));
  SetField(base, bytes, ".strtab", testelf::kShSize, size - 1);
  bytes += base.bytes.substr(base.sectionOffset.at(".strtab"), size);  // ends in its zero
  std::vector<uint8_t> buffer(bytes.begin(), bytes.end());
  CaptureStderr();
  EXPECT_FALSE(LoadOrPrint(buffer.data(), static_cast<uint32_t>(bytes.size() - 1), "m"));
  EXPECT_EQ(GetCapturedStderr(),
            "LoadElfFile: m is damaged: the name of symbol 2 is not inside .strtab\n");
}

// Writes chosen values into the fields that the loader trusts least, many
// times over; every result must be a clean load or a clean refusal, and a
// load must leave every view and name inside the file.
TEST_F(Loader, RandomlyDamagedObjectsLoadOrAreRefusedCleanly) {
  const BuiltObject base = DamageBase();
  std::vector<uint32_t> fields32 = {testelf::kEShoff};
  for (uint32_t i = 0; i < base.shnum; ++i) {
    for (uint32_t f : {testelf::kShName, testelf::kShOffset, testelf::kShSize}) {
      fields32.push_back(SectionHeaderField(base, i, f));
    }
  }
  for (uint32_t k = 0; k < 3; ++k) fields32.push_back(base.sectionOffset.at(".symtab") + 16 * k);
  const std::vector<uint32_t> fields16 = {testelf::kEShentsize, testelf::kEShnum,
                                          testelf::kEShstrndx};
  const uint32_t size = static_cast<uint32_t>(base.bytes.size());
  uint64_t state = 0x9E3779B97F4A7C15u;
  auto next = [&state]() {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<uint32_t>(state >> 33);
  };
  int loaded = 0;
  std::map<std::string, int> refused;  // by the kind of damage
  for (int round = 0; round < 2000; ++round) {
    std::string bytes = base.bytes;
    int changes = 1 + static_cast<int>(next() % 3);
    for (int c = 0; c < changes; ++c) {
      const uint32_t values[] = {
          0,     1,        4,    8,        12,         16,         40,
          52,    size - 1, size, size + 1, 0x7FFFFFFF, 0xFFFFFFFF, next() % (size + 8),
          next()};
      uint32_t value = values[next() % (sizeof values / sizeof values[0])];
      if (next() % 5 == 0) {
        PutBe16(bytes, fields16[next() % fields16.size()], static_cast<uint16_t>(value % 64));
      } else {
        PutBe32(bytes, fields32[next() % fields32.size()], value);
      }
    }
    ElfImage* elf = Load(bytes);
    if (elf == nullptr) {
      // Only the header fields and tables are damaged here, never the
      // magic or the class: every refusal names the damage in one line.
      const std::string prefix = "LoadElfFile: " + path_ + " is damaged: ";
      EXPECT_EQ(err_.compare(0, prefix.size(), prefix), 0) << err_;
      EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << err_;
      EXPECT_EQ(err_.back(), '\n') << err_;
      ++refused[err_.substr(prefix.size(),
                            err_.find_first_of("0123456789", prefix.size()) - prefix.size())];
      continue;
    }
    ++loaded;
    EXPECT_EQ(err_, "");
    for (const std::optional<ElfSection>& table : {elf->sectionNames, elf->symtab, elf->strtab}) {
      if (!table) continue;
      EXPECT_LE(uint64_t{table->sh_offset} + table->sh_size, size);
    }
    for (uint32_t i = 0; i < GetSymbolCount(elf); ++i) {
      const char* name = GetSymbolName(elf, GetSymbolNameOffset(elf, i));
      if (name == nullptr) continue;
      EXPECT_LT(
          static_cast<size_t>(reinterpret_cast<const uint8_t*>(name) - elf->image) + strlen(name),
          size);
    }
    images_.ReleaseLast();
  }
  EXPECT_GT(loaded, 0);
  // The rounds reach many kinds of damage, not one over and over.
  EXPECT_GE(refused.size(), 8u);
}

}  // namespace
