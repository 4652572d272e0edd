#include <gtest/gtest.h>

#include "tests/support/cli.h"
#include "tests/support/elf_builder.h"

namespace {

using testcli::RunNamepatch;
using testcli::ScratchDir;

TEST(SinglePair, RenamesEveryMatchingSymbolInPlace) {
  testelf::ObjectSpec spec;
  uint32_t name = testelf::AddName(spec.strtab, "func_a");
  spec.symbols = {{.st_name = name}};
  std::string input = testelf::BuildObject(spec).bytes;
  ScratchDir dir;
  dir.Write("x.o", input);
  testcli::RunResult r = RunNamepatch({"-c", "func_a", "-n", "func_b", "x.o"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "<func_a> -> <func_b> changed\n");
  EXPECT_EQ(r.err, "");
  std::string expected = input;
  expected.replace(expected.find("func_a"), 6, "func_b");
  EXPECT_EQ(dir.Read("x.o"), expected);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"x.o"});
}

}  // namespace
