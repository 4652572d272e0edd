#include "elf/elf_image.h"

#include <gtest/gtest.h>

#include "tests/support/cli.h"
#include "tests/support/elf_builder.h"

namespace {

using testelf::AddName;
using testelf::BuildObject;
using testelf::ObjectSpec;

TEST(LoadElfFile, ConvertsSymbolsToHostOrder) {
  ObjectSpec spec;
  uint32_t name = AddName(spec.strtab, "func_a");
  spec.symbols = {{.st_name = name, .st_value = 0x11223344, .st_shndx = 3}};
  testcli::ScratchDir dir;
  dir.Write("a.o", BuildObject(spec).bytes);
  std::string path = dir / "a.o";
  ElfImage* elf = LoadElfFile(path.data());
  ASSERT_NE(elf, nullptr);
  ASSERT_EQ(GetSymbolCount(elf), 2u);
  const Elf32_Sym* sym = GetSymbol(elf, 1);
  EXPECT_EQ(sym->st_value, 0x11223344u);
  EXPECT_EQ(sym->st_shndx, 3);
  EXPECT_STREQ(GetSymbolName(elf, sym->st_name), "func_a");
}

}  // namespace
