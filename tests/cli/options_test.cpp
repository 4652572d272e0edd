// The newer options: values as the next word, vendoring with a keep file, and --dry-run.
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

// An object defining each name, a global function.
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

TEST(Options, RefusalsAndDryRunsWriteNothing) {
  const std::string input = testelf::BuildObject(Defining({"foo"})).bytes;
  const struct {
    std::vector<std::string> args;
    std::string err;
    int status = 1;
    std::string out = {};
  } cases[] = {
      // Refused before missing.o is opened.
      {{"missing.o", "-pacme_", "x.o"}, "ERROR: write -p and its value as two words: -p acme_\n"},
      {{"-gc", "foo", "-n", "bar", "x.o"},
       "ERROR: option '-g' takes no value: write -g alone, not '-gc'\n"},
      {{"--dry-run", "-p", "acme_", "-o", "out.o", "x.o"},
       "namepatch: dry run: the inputs define 1 name that the prefix takes\n",
       0,
       "<foo> -> <acme_foo> changed\n"},
      {{"--keep", "k.txt", "x.o"}, "ERROR: option '--keep' needs '-p', '--hide' or '--localize'\n"},
      {{"--clashes", "-p", "acme_", "x.o"},
       "ERROR: option '--clashes' cannot be combined with '-p'\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    ScratchDir dir;
    dir.Write("x.o", input);
    dir.Write("k.txt", "foo\n");
    RunResult r = RunNamepatch(c.args, dir.path());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"k.txt", "x.o"}));
    EXPECT_EQ(dir.Read("x.o"), input);
  }
}

// Hidden is st_other 2; local is binding 0, global 1; locals come first.
TEST(Options, HideAndLocalizeFollowTheKeepFileOrLeaveTheObjectAsItWas) {
  testelf::ObjectLayout layout = Defining({"foo", "bar", "baz"});
  const std::string plain = testelf::BuildObject(layout).bytes;
  // A section of a type not followed that links to .symtab (index 3).
  layout.sections.push_back(
      {.name = ".llvm_addrsig", .sh_type = 0x6fff4c03, .bytes = "", .sh_link = 3});
  const struct {
    std::vector<std::string> args;
    std::string keep;
    std::vector<std::string> after;
    std::string err = "";
  } cases[] = {
      // Comments, blanks and a byte-order mark are no names.
      {{"--hide", "--keep", "k.txt", "x.o"},
       "\xEF\xBB\xBF# the API\n  bar\t# kept\r\n\nmissing\n",
       {"foo:2:1", "bar:0:1", "baz:2:1"},
       "WARNING: kept name 'missing' is defined by no input\n"},
      {{"--localize", "--keep", "k.txt", "x.o"}, "bar\n", {"foo:0:0", "baz:0:0", "bar:0:1"}},
      {{"--localize", "--hide", "y.o"},
       "",
       {"foo:2:1", "bar:2:1", "baz:2:1"},
       "NOTE: the symbols of %s/y.o stay global: section .llvm_addrsig refers to symbols by "
       "index\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    ScratchDir dir;
    dir.Write("x.o", plain);
    dir.Write("y.o", testelf::BuildObject(layout).bytes);
    dir.Write("k.txt", c.keep);
    RunResult r = RunNamepatch(c.args, dir.path());
    EXPECT_EQ(r.status, 0);
    std::string err = c.err;
    if (size_t at = err.find("%s"); at != std::string::npos)
      err.replace(at, 2, dir.path().string());
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(Symbols(dir.Read(c.args.back())), c.after);
  }
}

}  // namespace
