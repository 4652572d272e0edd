// The newer options: values only as the next word, vendoring with a keep file, and --dry-run,
// which reports as the run would and writes nothing. Real objects are the real tests'.
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
      // Refused before any input is read: missing.o is never opened.
      {{"missing.o", "-pacme_", "x.o"}, "ERROR: write -p and its value as two words: -p acme_\n"},
      {{"-gc", "foo", "-n", "bar", "x.o"},
       "ERROR: option '-g' takes no value: write -g alone, not '-gc'\n"},
      // The described options still read only their second character.
      {{"-cfoo", "foo", "-nbar", "bar", "--dry-run", "x.o"}, "", 0, "<foo> -> <bar> changed\n"},
      {{"--dry-run", "-p", "acme_", "-o", "out.o", "x.o"},
       "namepatch: dry run: the inputs define 1 name that the prefix takes\n",
       0,
       "<foo> -> <acme_foo> changed\n"},
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
  testelf::ObjectLayout unknownLink = Defining({"foo", "bar"});
  // A section of a type not followed that links to .symtab (index 3).
  unknownLink.sections.push_back(
      {.name = ".llvm_addrsig", .sh_type = 0x6fff4c03, .bytes = "", .sh_link = 3});
  const struct {
    testelf::ObjectLayout layout;
    std::vector<std::string> args;
    std::string keep;
    std::vector<std::string> after;
    std::string err;
  } cases[] = {
      // Comments, blanks and a byte-order mark are no names.
      {Defining({"foo", "bar", "baz"}),
       {"--hide", "--keep", "k.txt", "x.o"},
       "\xEF\xBB\xBF# the API\n  bar\t# kept\r\n\nmissing\n",
       {"foo:2:1", "bar:0:1", "baz:2:1"},
       "WARNING: kept name 'missing' is defined by no input\n"},
      {Defining({"foo", "bar", "baz"}),
       {"--localize", "--keep", "k.txt", "x.o"},
       "bar\n",
       {"foo:0:0", "baz:0:0", "bar:0:1"},
       ""},
      {unknownLink,
       {"--localize", "--hide", "x.o"},
       "",
       {"foo:2:1", "bar:2:1"},
       "NOTE: the symbols of x.o stay global: section .llvm_addrsig refers to symbols by index\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    ScratchDir dir;
    dir.Write("x.o", testelf::BuildObject(c.layout).bytes);
    dir.Write("k.txt", c.keep);
    RunResult r = RunNamepatch(c.args, dir.path());
    EXPECT_EQ(r.status, 0);
    std::string err = r.err;
    if (const size_t at = err.find(dir.path().string() + "/"); at != std::string::npos) {
      err.erase(at, dir.path().string().size() + 1);
    }
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(Symbols(dir.Read("x.o")), c.after);
  }
}

}  // namespace
