// Writes the fuzzer's seed corpus into the directory given: small valid
// objects laid out by the test builder, one for each shape of table the
// loader and the renamer treat differently, and archives of such objects.
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/archive_builder.h"
#include "tests/support/coff_builder.h"
#include "tests/support/elf_builder.h"

namespace {

using testelf::AddName;
using testelf::ObjectLayout;

ObjectLayout Plain() {
  ObjectLayout object;
  object.sections = {{.name = ".text", .bytes = std::string(16, '\x60')}};
  uint32_t a = AddName(object.strtab, "func_a");
  uint32_t b = AddName(object.strtab, "counter");
  object.symbols = {{.st_name = a}, {.st_name = b, .st_info = 0x11}, {.st_name = 0}};
  return object;
}

// bar is stored as the tail of foobar, and two symbols share one name.
ObjectLayout SharedTail() {
  ObjectLayout object;
  uint32_t foobar = AddName(object.strtab, "foobar");
  object.symbols = {{.st_name = foobar}, {.st_name = foobar + 3}, {.st_name = foobar}};
  return object;
}

ObjectLayout NamesInStrtab() {
  ObjectLayout object = Plain();
  object.namesInStrtab = true;
  uint32_t tail = AddName(object.strtab, "xtext");  // .text's name ends in its tail
  object.symbols.push_back({.st_name = tail + 1});
  return object;
}

ObjectLayout WithRelocations() {
  ObjectLayout object = Plain();
  object.sections.push_back({.name = ".rela.text",
                             .sh_type = 4,
                             .bytes = testelf::RelaBytes({{4, 0x0102, -8}, {8, 0x0201, 0}}),
                             .sh_entsize = 12});
  object.sections.push_back({.name = ".rel.data", .sh_type = 9, .bytes = std::string(8, '\1')});
  return object;
}

ObjectLayout Unusual() {
  ObjectLayout object = SharedTail();
  object.e_shentsize = 64;
  object.symtabTail = "tail";
  return object;
}

// Many symbols share one name stored as the tail of a long string: the
// shape whose clash check must not cost writes times the string's length.
ObjectLayout ManyDuplicates() {
  ObjectLayout object;
  uint32_t longName = AddName(object.strtab, std::string(1000, 'a'));
  object.symbols.assign(200, {.st_name = longName + 990});
  object.symbols.push_back({.st_name = longName});
  return object;
}

ObjectLayout WithoutStrtab() {
  ObjectLayout object = Plain();
  object.withStrtab = false;
  return object;
}

ObjectLayout WithoutSymtab() {
  ObjectLayout object = Plain();
  object.withSymtab = false;
  return object;
}

// The object in the class and byte order given.
ObjectLayout In(ObjectLayout object, uint8_t eiClass, uint8_t eiData) {
  object.eiClass = eiClass;
  object.eiData = eiData;
  return object;
}

// Object members under GNU long names, a member that is not an object, and
// an index whose entries name the members' symbols, one of them in a member
// that does not hold it.
std::string Library(bool index64) {
  testelf::ArchiveLayout layout;
  layout.members = {{"plain_member_object.o", testelf::BuildObject(Plain()).bytes},
                    {"shared.o", testelf::BuildObject(SharedTail()).bytes},
                    {"notes.txt", "func_a\n"},
                    {"names_in_the_string_table.o", testelf::BuildObject(NamesInStrtab()).bytes}};
  layout.index = {{"func_a", 0}, {"counter", 0}, {"foobar", 1}, {"func_a", 3}, {"foobar", 3}};
  layout.index64 = index64;
  return testelf::BuildArchive(layout).bytes;
}

// A member of each layout other than big-endian ELF32, under one index.
std::string MixedLibrary() {
  testelf::ArchiveLayout layout;
  layout.members = {{"le32.o", testelf::BuildObject(In(Plain(), 1, 1)).bytes},
                    {"le64.o", testelf::BuildObject(In(SharedTail(), 2, 1)).bytes},
                    {"be64.o", testelf::BuildObject(In(Plain(), 2, 2)).bytes}};
  layout.index = {{"func_a", 0}, {"foobar", 1}, {"counter", 2}};
  return testelf::BuildArchive(layout).bytes;
}

// A COFF object with a short, a long and a tail-sharing name, a COMDAT
// section named after its symbol, and a static with an auxiliary record.
std::string Coff(bool bigobj, uint16_t machine = 0x8664) {
  testcoff::ObjectLayout object;
  object.bigobj = bigobj;
  object.machine = machine;
  object.sections = {{".text", std::string(8, '\xC3')},
                     {".rdata$.refptr.counter_var", std::string(8, '\0'), 0x40001040}};
  object.symbols = {{"_start"},
                    {"a_long_symbol_name"},
                    {".rdata$.refptr.counter_var", 2, 3, 1},
                    {".refptr.counter_var", 2},
                    {"counter_var", 0},
                    {"static", 1, 3, 1}};
  testcoff::Built built = testcoff::BuildCoff(object);
  object.symbols.push_back({"symbol_name", 1, 2, 0, 0, built.nameOffsets[1] + 7});
  return testcoff::BuildCoff(object).bytes;
}

// COFF members in MSVC's form: both linker members, a long name.
std::string CoffLibrary() {
  testelf::ArchiveLayout layout;
  layout.members = {{"plain_coff_member.obj", Coff(false)},
                    {"big.obj", Coff(true)},
                    {"i386.obj", Coff(false, 0x14C)}};
  layout.index = {{"_start", 0}, {"a_long_symbol_name", 1}, {"_start", 2}};
  layout.msvc = true;
  return testelf::BuildArchive(layout).bytes;
}

// An object GCC built with -flto, slim: LTO sections and the marker symbol.
ObjectLayout GccLtoSlim() {
  ObjectLayout object;
  object.sections = {{.name = ".gnu.lto_.decls.0", .bytes = "decls"}};
  object.symbols = {{.st_name = AddName(object.strtab, "__gnu_lto_slim"), .st_info = 0x11}};
  return object;
}

// A member of each other format that is told by its header, beside text and
// ELF; COFF members are coff.lib's.
std::string ForeignLibrary() {
  testelf::ArchiveLayout layout;
  layout.members = {
      {"import.o", std::string("\0\0\xFF\xFF\0\0\x64\x86\0\0\0\0\4\0\0\0", 16) + "\0\0\0\0f\0x\0"},
      {"macho.o", "\xCF\xFA\xED\xFE" + std::string(28, '\0')},
      {"bitcode.o",
       std::string("\xDE\xC0\x17\x0B\0\0\0\0\x14\0\0\0\4\0\0\0", 16) + "\0\0\0\0BC\xC0\xDE"},
      {"notes.txt", "text\n"},
      {"slim.o", testelf::BuildObject(GccLtoSlim()).bytes}};
  return testelf::BuildArchive(layout).bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_seeds <directory>\n");
    return 1;
  }
  const std::pair<const char*, ObjectLayout> seeds[] = {
      {"plain.o", Plain()},
      {"shared-tail.o", SharedTail()},
      {"names-in-strtab.o", NamesInStrtab()},
      {"relocations.o", WithRelocations()},
      {"unusual-sizes.o", Unusual()},
      {"many-duplicates.o", ManyDuplicates()},
      {"without-strtab.o", WithoutStrtab()},
      {"without-symtab.o", WithoutSymtab()},
      {"plain-le32.o", In(Plain(), 1, 1)},
      {"names-in-strtab-le64.o", In(NamesInStrtab(), 2, 1)},
      {"relocations-be64.o", In(WithRelocations(), 2, 2)},
      {"unusual-sizes-le32.o", In(Unusual(), 1, 1)},
      {"gcc-lto-slim.o", GccLtoSlim()},
  };
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& [name, object] : seeds)
    files.emplace_back(name, testelf::BuildObject(object).bytes);
  files.emplace_back("library.a", Library(false));
  files.emplace_back("library64.a", Library(true));
  files.emplace_back("mixed.a", MixedLibrary());
  files.emplace_back("coff.obj", Coff(false));
  files.emplace_back("bigobj.obj", Coff(true));
  files.emplace_back("coff.lib", CoffLibrary());
  files.emplace_back("foreign.a", ForeignLibrary());
  for (const auto& [name, bytes] : files) {
    std::ofstream out(std::string(argv[1]) + "/" + name, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) {
      fprintf(stderr, "cannot write %s\n", name.c_str());
      return 1;
    }
  }
  return 0;
}
