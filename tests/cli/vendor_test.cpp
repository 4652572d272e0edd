// The vendoring options at the command line: the combinations refused, the
// keep file as read, and objects that hiding and localizing must leave as
// they were. Real toolchains' objects are the real vendor test's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "elf/elf_image.h"
#include "tests/support/cli.h"
#include "tests/support/elf_builder.h"

namespace {

using testcli::RunNamepatch;
using testcli::RunResult;
using testcli::ScratchDir;

// An object defining each name, a global function, then the extra sections.
testelf::ObjectLayout Defining(const std::vector<std::string>& names) {
  testelf::ObjectLayout layout;
  layout.sections.push_back({.name = ".text", .bytes = std::string(16, '\0')});
  for (const std::string& name : names) {
    layout.symbols.push_back({.st_name = testelf::AddName(layout.strtab, name)});
  }
  return layout;
}

// The st_other and binding of each symbol after the null one, as "name:other:binding".
std::vector<std::string> Symbols(const std::string& bytes) {
  const auto* image = reinterpret_cast<const uint8_t*>(bytes.data());
  Result<ElfImage> elf = LoadElfImage(image, static_cast<uint32_t>(bytes.size()), "x.o");
  std::vector<std::string> symbols;
  if (!elf) return {"unloadable"};
  const auto* table = GetSymbols<Elf32BE>(*elf);
  for (uint32_t i = 1; i < elf->symbolCount; ++i) {
    symbols.push_back(std::string(GetSymbolName(*elf, table[i].st_name)) + ":" +
                      std::to_string(table[i].st_other) + ":" +
                      std::to_string(table[i].st_info >> 4));
  }
  return symbols;
}

TEST(Vendor, RefusedCombinationsWriteNothing) {
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--keep", "k.txt", "x.o"}, "ERROR: option '--keep' needs '-p', '--hide' or '--localize'\n"},
      {{"--clashes", "-p", "acme_", "x.o"},
       "ERROR: option '--clashes' cannot be combined with '-p'\n"},
      {{"x.o", "-o", "y.o", "--clashes"},
       "ERROR: option '--clashes' cannot be combined with '-o'\n"},
      {{"--hide", "-a", "k.txt", "x.o"}, "ERROR: option '--hide' cannot be combined with '-a'\n"},
      {{"--localize", "-c", "foo", "-n", "bar", "x.o"},
       "ERROR: option '--localize' cannot be combined with '-c'\n"},
      {{"x.o", "--keep"}, "ERROR: option '--keep' needs a value\n"},
      {{"--hide", "--keep", "absent.txt", "x.o"}, "ERROR: cannot open file 'absent.txt'\n"},
      {{"--hidden", "x.o"}, "WARNING: unknown option '--hidden'\n"},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    const std::string object = testelf::BuildObject(Defining({"foo"})).bytes;
    dir.Write("x.o", object);
    dir.Write("k.txt", "foo\n");
    RunResult r = RunNamepatch(c.args, dir.path());
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.out + r.err, c.err);
    EXPECT_EQ(dir.Read("x.o"), object);
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"k.txt", "x.o"}));
  }
}

// Hidden is st_other 2; local is binding 0, global 1.
TEST(Vendor, EditsFollowTheKeepFileOrLeaveTheObjectAsItWas) {
  testelf::ObjectLayout unknownLink = Defining({"foo", "bar"});
  // A section of a type not followed that links to .symtab (index 3).
  unknownLink.sections.push_back({.name = ".llvm_addrsig",
                                  .sh_type = 0x6fff4c03,
                                  .bytes = "",
                                  .sh_flags = 0,
                                  .sh_entsize = 0,
                                  .sh_link = 3});
  const struct {
    const char* what;
    testelf::ObjectLayout layout;
    std::vector<std::string> args;
    std::string keep;
    std::vector<std::string> after;
    std::string err;
  } cases[] = {
      {"hide all but the kept names, comments, blanks and a byte-order mark skipped",
       Defining({"foo", "bar", "baz"}),
       {"--hide", "--keep", "k.txt", "x.o"},
       "\xEF\xBB\xBF# the API\n  bar\t# kept\r\n\nmissing\n",
       {"foo:2:1", "bar:0:1", "baz:2:1"},
       "WARNING: kept name 'missing' is defined by no input\n"},
      {"localize moves the locals first",
       Defining({"foo", "bar", "baz"}),
       {"--localize", "--keep", "k.txt", "x.o"},
       "bar\n",
       {"foo:0:0", "baz:0:0", "bar:0:1"},
       ""},
      {"a section that refers to symbols by index keeps them global, hidden still",
       unknownLink,
       {"--localize", "--hide", "x.o"},
       "",
       {"foo:2:1", "bar:2:1"},
       "NOTE: the symbols of x.o stay global: section .llvm_addrsig refers to symbols by index\n"},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    dir.Write("x.o", testelf::BuildObject(c.layout).bytes);
    dir.Write("k.txt", c.keep);
    RunResult r = RunNamepatch(c.args, dir.path());
    EXPECT_EQ(r.status, 0) << c.what;
    std::string err = r.err;
    if (const size_t at = err.find(dir.path().string() + "/"); at != std::string::npos) {
      err.erase(at, dir.path().string().size() + 1);
    }
    EXPECT_EQ(err, c.err) << c.what;
    EXPECT_EQ(Symbols(dir.Read("x.o")), c.after) << c.what;
  }
}

}  // namespace
