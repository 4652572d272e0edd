// namepatch -a: every pair of a list file applied, in list order, to every
// input of the run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/cli.h"
#include "tests/support/elf_builder.h"

namespace {

using testcli::kGrowHint;
using testcli::RunNamepatch;
using testcli::RunResult;
using testcli::ScratchDir;

// An object with one symbol of each name, in order.
std::string ObjectNamed(const std::vector<std::string>& names) {
  testelf::ObjectLayout layout;
  for (const std::string& name : names) {
    layout.symbols.push_back({.st_name = testelf::AddName(layout.strtab, name)});
  }
  return testelf::BuildObject(layout).bytes;
}

struct ListCase {
  const char* what;
  std::string list;
  std::vector<std::string> before;
  std::vector<std::string> after;
  std::string out;
};

TEST(ListMode, PairsActOnTheFileAsReadNeverOnEachOther) {
  const ListCase cases[] = {
      {"a chain renames each name once",
       "a b\nb c\n",
       {"a", "b"},
       {"b", "c"},
       "<a> -> <b> changed\n<b> -> <c> changed\n"},
      {"a swap exchanges the names",
       "alpha omega omega alpha",
       {"alpha", "omega"},
       {"omega", "alpha"},
       "<alpha> -> <omega> changed\n<omega> -> <alpha> changed\n"},
      {"the later of two pairs wins",
       "func_a func_b\r\nfunc_a func_c\r\n",
       {"func_a"},
       {"func_c"},
       "<func_a> -> <func_b> changed\n<func_a> -> <func_c> changed\n"},
      {"reports come in list order",
       "zz yy\naa bb\n",
       {"aa", "zz"},
       {"bb", "yy"},
       "<zz> -> <yy> changed\n<aa> -> <bb> changed\n"},
      {"an unmatched pair does nothing", "nope none\n", {"aa"}, {"aa"}, ""},
      {"an empty list changes nothing", "", {"aa"}, {"aa"}, ""},
      {"a byte-order mark and comments are no names",
       "\xEF\xBB\xBF# renames\r\naa bb#cc dd\n",
       {"aa", "cc"},
       {"bb", "cc"},
       "<aa> -> <bb> changed\n"},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    dir.Write("pairs.txt", c.list);
    dir.Write("x.o", ObjectNamed(c.before));
    RunResult r = RunNamepatch({"-a", "pairs.txt", "x.o"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(dir.Read("x.o"), ObjectNamed(c.after));
  }
}

TEST(ListMode, EveryInputGetsTheWholeList) {
  ScratchDir dir;
  dir.Write("pairs.txt", "aa bb cc dd\n");
  dir.Write("x.o", ObjectNamed({"aa", "cc"}));
  dir.Write("y.o", ObjectNamed({"cc", "ee"}));
  RunResult r = RunNamepatch({"x.o", "-a", "pairs.txt", "y.o"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "<aa> -> <bb> changed\n<cc> -> <dd> changed\n<cc> -> <dd> changed\n");
  EXPECT_EQ(dir.Read("x.o"), ObjectNamed({"bb", "dd"}));
  EXPECT_EQ(dir.Read("y.o"), ObjectNamed({"dd", "ee"}));
}

TEST(ListMode, IgnoresTheSinglePairOptions) {
  ScratchDir dir;
  dir.Write("pairs.txt", "aa bb\n");
  dir.Write("x.o", ObjectNamed({"aa", "long"}));
  RunResult r = RunNamepatch({"-c", "long", "-n", "x", "-a", "pairs.txt", "x.o"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "<aa> -> <bb> changed\n");
  EXPECT_EQ(dir.Read("x.o"), ObjectNamed({"bb", "long"}));
}

struct BadListCase {
  const char* what;
  std::string list;  // none: the list file is missing
  bool exists;
  std::string err;  // %s stands for the list path as given
};

TEST(ListMode, ABadListStopsTheRunBeforeAnyInputIsTouched) {
  const BadListCase cases[] = {
      {"missing list", "", false, "ERROR: cannot open file '%s'\n"},
      {"odd token count", "aa bb cc", true, "ERROR: no new name for 'cc' in list file '%s'\n"},
      {"name too long", "aa bb " + std::string(1024, 'n') + " x", true,
       "ERROR: name longer than 1023 bytes in list file '%s'\n"},
      {"unequal pair", "aa bb ccc dd", true,
       "ERROR: newsymbol's string length must equal oldsymbol's it.\n --- ccc\n +++ dd\n" +
           kGrowHint},
      {"UTF-16", std::string("\xFE\xFF\0a\0a\0 \0b", 10), true,
       "ERROR: list file '%s' is UTF-16 text; save it as UTF-8 or ASCII\n"},
  };
  for (const BadListCase& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    if (c.exists) dir.Write("pairs.txt", c.list);
    const std::string input = ObjectNamed({"aa"});
    dir.Write("x.o", input);
    // A missing input too: the list is judged before any input is read.
    RunResult r = RunNamepatch({"-a", "./pairs.txt", "x.o", "missing.o"}, dir.path());
    std::string err = c.err;
    if (size_t at = err.find("%s"); at != std::string::npos) err.replace(at, 2, "./pairs.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(dir.Read("x.o"), input);
  }
}

TEST(ListMode, WithoutInputsTheListIsStillRead) {
  ScratchDir dir;
  dir.Write("pairs.txt", "aa b\n");
  RunResult r = RunNamepatch({"-a", "pairs.txt"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.err,
      "ERROR: newsymbol's string length must equal oldsymbol's it.\n --- aa\n +++ b\n" + kGrowHint);
  dir.Write("pairs.txt", "aa bb\n");
  r = RunNamepatch({"-a", "pairs.txt"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
}

TEST(ListMode, SharedNameBytesAreJudgedAfterTheWholeList) {
  // "bar" is stored as the tail of "foobar".
  testelf::ObjectLayout layout;
  uint32_t foobar = testelf::AddName(layout.strtab, "foobar");
  layout.symbols = {{.st_name = foobar}, {.st_name = foobar + 3}};
  const std::string input = testelf::BuildObject(layout).bytes;

  ScratchDir dir;
  dir.Write("x.o", input);
  dir.Write("alone.txt", "bar baz\n");
  RunResult r = RunNamepatch({"-a", "alone.txt", "x.o"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ERROR: renaming <bar> would also change <foobar> in " + (dir / "x.o") + "\n" +
                       kGrowHint);
  EXPECT_EQ(dir.Read("x.o"), input);

  // Together the two pairs ask for exactly what the shared bytes give.
  dir.Write("both.txt", "bar qux\nfoobar fooqux\n");
  r = RunNamepatch({"-a", "both.txt", "x.o"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "<bar> -> <qux> changed\n<foobar> -> <fooqux> changed\n");
  std::string expected = input;
  expected.replace(expected.find("foobar"), 6, "fooqux");
  EXPECT_EQ(dir.Read("x.o"), expected);
}

}  // namespace
