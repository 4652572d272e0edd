// Options newer than the described set: their values only as the next word,
// and --dry-run, which judges and reports as the run would and writes nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/cli.h"
#include "tests/support/elf_builder.h"

namespace {

using testcli::RunNamepatch;
using testcli::RunResult;
using testcli::ScratchDir;

TEST(Options, NewOptionsTakeTheirValueOnlyAsTheNextWord) {
  testelf::ObjectLayout layout;
  layout.symbols = {{.st_name = testelf::AddName(layout.strtab, "foo")}};
  const std::string input = testelf::BuildObject(layout).bytes;
  const std::string attached = "ERROR: write -p and its value as two words: -p acme_\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {{"-pacme_", "x.o"}, 1, "", attached},
      // Refused before any input is read: missing.o is never opened.
      {{"missing.o", "-pacme_", "x.o"}, 1, "", attached},
      {{"-gc", "foo", "-n", "bar", "x.o"},
       1,
       "",
       "ERROR: option '-g' takes no value: write -g alone, not '-gc'\n"},
      // The described options still read only their second character.
      {{"-cfoo", "foo", "-nbar", "bar", "--dry-run", "x.o"}, 0, "<foo> -> <bar> changed\n", ""},
      {{"--dry-run", "-p", "acme_", "-o", "out.o", "x.o"},
       0,
       "<foo> -> <acme_foo> changed\n",
       "namepatch: dry run: the inputs define 1 name that the prefix takes\n"},
      {{"--dry-run", "-c", "foo", "-n", "bar", "-o", "no/out.o", "x.o"},
       1,
       "",
       "ERROR: cannot create no/out.o\n"},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    dir.Write("x.o", input);
    RunResult r = RunNamepatch(c.args, dir.path());
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.err, c.err) << c.args[0];
    EXPECT_EQ(dir.List(), std::vector<std::string>{"x.o"});
    EXPECT_EQ(dir.Read("x.o"), input);
  }
}

}  // namespace
