// Command-line tests of single-pair runs: the built namepatch in a scratch
// directory, with its exit status, standard output, standard error and the
// bytes of every file compared exactly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/cli.h"
#include "tests/support/elf_builder.h"

namespace {

namespace fs = std::filesystem;
using testcli::kGrowHint;
using testcli::RunLimits;
using testcli::RunNamepatch;
using testcli::RunResult;
using testcli::ScratchDir;
using testelf::AddName;
using testelf::BuildObject;
using testelf::ObjectLayout;

using Args = std::vector<std::string>;
using Files = std::map<std::string, std::string>;

// In every class and byte order; a dynamic symbol table naming the symbol too
// (placed before .strtab) is never touched.
class SinglePair : public testing::TestWithParam<std::pair<uint8_t, uint8_t>> {};
INSTANTIATE_TEST_SUITE_P(Layouts, SinglePair, testing::ValuesIn(testelf::kEveryLayout));

TEST_P(SinglePair, RenamesEveryMatchingSymbolInPlace) {
  testelf::ObjectLayout layout;
  std::tie(layout.eiClass, layout.eiData) = GetParam();
  layout.sections = {{.name = ".dynsym", .sh_type = 11, .bytes = std::string(48, '\1')},
                     {.name = ".dynstr", .sh_type = 3, .bytes = std::string("\0func_a\0", 8)}};
  uint32_t name = testelf::AddName(layout.strtab, "func_a");
  layout.symbols = {{.st_name = name}};
  std::string input = testelf::BuildObject(layout).bytes;
  ScratchDir dir;
  dir.Write("x.o", input);
  testcli::RunResult r = RunNamepatch({"-c", "func_a", "-n", "func_b", "x.o"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "<func_a> -> <func_b> changed\n");
  EXPECT_EQ(r.err, "");
  std::string expected = input;
  expected.replace(expected.rfind("func_a"), 6, "func_b");
  EXPECT_EQ(dir.Read("x.o"), expected);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"x.o"});
}

// An object with one symbol per name, each name stored on its own; text
// makes objects with the same names differ.
std::string Object(const std::vector<std::string>& names, const std::string& text = "code") {
  ObjectLayout layout;
  layout.sections = {{.name = ".text", .sh_type = 1, .bytes = text, .sh_flags = 6}};
  for (const std::string& name : names)
    layout.symbols.push_back({.st_name = AddName(layout.strtab, name)});
  return BuildObject(layout).bytes;
}

// Every file and directory below dir, by relative path: a file's bytes, a
// link's target, a directory's mark. A stray temporary file shows up here.
Files Snapshot(const fs::path& dir) {
  Files files;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it) {
    std::string name = it->path().lexically_relative(dir).string();
    if (it->is_symlink()) {
      files[name] = "link to " + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      files[name] = "directory";
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      files[name] = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
  return files;
}

// A scratch directory laid out with files, where namepatch runs.
class Cli : public testing::Test {
 protected:
  void Lay(const Files& files) {
    for (const auto& [name, bytes] : files) {
      fs::create_directories((dir_.path() / name).parent_path());
      dir_.Write(name, bytes);
    }
  }

  RunResult Run(const Args& args, const RunLimits& limits = {}) {
    return RunNamepatch(args, dir_.path(), limits);
  }

  // The full path that namepatch gives a file of the scratch directory.
  std::string Full(const std::string& name) const {
    return fs::canonical(dir_.path()).string() + "/" + name;
  }

  Files Now() const { return Snapshot(dir_.path()); }

  ScratchDir dir_;
};

std::string Changed(const std::string& oldName, const std::string& newName) {
  return "<" + oldName + "> -> <" + newName + "> changed\n";
}

std::string Describe(const Args& args) {
  std::string text = "namepatch";
  for (const std::string& a : args) text += " '" + a + "'";
  return text;
}

TEST_F(Cli, NoArgumentsPrintsTheUsage) {
  Lay({{"x.o", Object({"foo"})}});
  const Files before = Now();
  RunResult r = Run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = r.err.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(r.err.substr(start, end - start));
  }
  EXPECT_EQ(start, r.err.size()) << "standard error ends with a line end";
  ASSERT_EQ(lines.size(), 4u) << r.err;
  const std::regex banner(
      "Velkorin kVQ Relabeler \\(Build (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "([ 1-2][0-9]|3[01]| [1-9]) [0-9]{4} ([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]\\)");
  EXPECT_TRUE(std::regex_match(lines[0], banner)) << lines[0];
  EXPECT_NE(lines[1], "");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3],
            "usage: namepatch [-c old_symbol][-n new_symbol][-a list_file][-o output_elfname]"
            "[elf_files ...] ");
  EXPECT_EQ(Now(), before);
}

// --help and --version answer on standard output, before any input is
// touched; output that cannot be written fails.
TEST_F(Cli, HelpAndVersionPrintAndExit) {
  Lay({{"x.o", Object({"foo"})}});
  const Files before = Now();
  // The help opens with the usage line.
  const std::string help =
      "usage: namepatch [-c old_symbol][-n new_symbol][-a list_file][-o output_elfname]"
      "[elf_files ...] \n";
  const std::string version = "namepatch " NAMEPATCH_VERSION "\nMIT License";
  const struct {
    Args args, wrapper;
    int status;
    std::string out, err;
  } cases[] = {
      {{"-c", "foo", "-n", "bar", "x.o", "--help"}, {}, 0, help, ""},
      {{"--version", "-x"}, {}, 0, version, ""},
      {{"--help"},
       {"sh", "-c", "exec \"$@\" >/dev/full", "sh"},
       1,
       "",
       "ERROR: cannot write standard output\n"},
  };
  for (const auto& c : cases) {
    RunResult r = Run(c.args, {.wrapper = c.wrapper});
    EXPECT_EQ(std::tie(r.status, r.err), std::tie(c.status, c.err)) << Describe(c.args);
    EXPECT_TRUE(r.out.starts_with(c.out) && (r.out.empty() == c.out.empty())) << r.out;
  }
  EXPECT_EQ(Now(), before);
}

struct ErrorCase {
  Args args;
  std::string err;
};

// Runs namepatch with args in dir, expecting status 1, the message err alone
// and every file of dir as it was.
void ExpectRefusedLeavingFiles(const ScratchDir& dir, const Args& args, const std::string& err) {
  const Files before = Snapshot(dir.path());
  RunResult r = RunNamepatch(args, dir.path());
  EXPECT_EQ(r.status, 1) << Describe(args);
  EXPECT_EQ(r.out, "") << Describe(args);
  EXPECT_EQ(r.err, err) << Describe(args);
  EXPECT_EQ(Snapshot(dir.path()), before) << Describe(args);
}

// Runs each case on a fresh x.o holding foo and bar.
void ExpectRefusals(const std::vector<ErrorCase>& cases) {
  for (const ErrorCase& c : cases) {
    ScratchDir dir;
    dir.Write("x.o", Object({"foo", "bar"}));
    ExpectRefusedLeavingFiles(dir, c.args, c.err);
  }
}

TEST(CliOptions, UnknownOptionsStopTheRunBeforeAnythingIsWritten) {
  const Args rename = {"-c", "foo", "-n", "baz"};
  auto with = [&rename](Args more) {
    Args args = rename;
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  ExpectRefusals({
      {{"-x", "x.o"}, "WARNING: unknown option '-x'\n"},
      {{"--", "x.o"}, "WARNING: unknown option '--'\n"},
      {{"-", "x.o"}, "WARNING: unknown option '-'\n"},
      {{"-C", "x.o"}, "WARNING: unknown option '-C'\n"},
      {{"-N", "foo", "x.o"}, "WARNING: unknown option '-N'\n"},
      {{"-1"}, "WARNING: unknown option '-1'\n"},
      {{"-xcno"}, "WARNING: unknown option '-xcno'\n"},
      {{"--output", "x.o"}, "WARNING: unknown option '--output'\n"},
      {{"--helpx", "x.o"}, "WARNING: unknown option '--helpx'\n"},
      {{"--Version", "x.o"}, "WARNING: unknown option '--Version'\n"},
      {with({"x.o", "-x"}), "WARNING: unknown option '-x'\n"},
      {with({"x.o", "--"}), "WARNING: unknown option '--'\n"},
      {with({"x.o", "-"}), "WARNING: unknown option '-'\n"},
      {with({"x.o", "-C"}), "WARNING: unknown option '-C'\n"},
      {with({"-o", "out.o", "x.o", "-O", "other.o"}), "WARNING: unknown option '-O'\n"},
      // Operands are registered as they are met: the first fault in
      // argument order is the one reported.
      {with({"-x", "x.o", "./x.o"}), "WARNING: unknown option '-x'\n"},
      {with({"x.o", "./x.o", "-x"}), "ERROR: duplicate filename './x.o'.\n"},
      {{"-x", "-c"}, "WARNING: unknown option '-x'\n"},
  });
}

TEST(CliOptions, OptionWithoutValueIsRefused) {
  ExpectRefusals({
      {{"-c"}, "ERROR: option '-c' needs a value\n"},
      {{"-c", "foo", "-n"}, "ERROR: option '-n' needs a value\n"},
      {{"-c", "foo", "-n", "baz", "x.o", "-o"}, "ERROR: option '-o' needs a value\n"},
      {{"x.o", "-a"}, "ERROR: option '-a' needs a value\n"},
      {{"-cfoo"}, "ERROR: option '-cfoo' needs a value\n"},
      {{"-c", "foo", "-n", "baz", "x.o", "-output"}, "ERROR: option '-output' needs a value\n"},
      // Nothing is read: the missing file is never opened.
      {{"-c", "foo", "-n", "baz", "missing.o", "-n"}, "ERROR: option '-n' needs a value\n"},
      {{"-c", "-n", "-n"}, "ERROR: option '-n' needs a value\n"},
  });
}

TEST(CliOptions, ModeErrorsComeInOrder) {
  const std::string unequal =
      "ERROR: newsymbol's string length must equal oldsymbol's it.\n" + kGrowHint;
  ExpectRefusals({
      {{"x.o"}, "ERROR: set oldsymbol.\n"},
      {{"-n", "baz", "x.o"}, "ERROR: set oldsymbol.\n"},
      {{"-c", "foo", "x.o"}, "ERROR: set newsymbol.\n"},
      {{"-c", "foo", "-o", "out.o", "x.o"}, "ERROR: set newsymbol.\n"},
      // A value that looks like an option is a value: -c takes "-c".
      {{"-c", "-c"}, "ERROR: set newsymbol.\n"},
      {{"-n", "-c", "x.o"}, "ERROR: set oldsymbol.\n"},
      {{"-c", "foo", "-n", "ba", "x.o"}, unequal},
      {{"-c", "foo", "-n", "bazz"}, unequal},
      {{"-c", "", "-n", "x", "x.o"}, unequal},
      // With -g, wherever it stands, only a name's own length is judged.
      {{"-g", "-c", "", "-n", "x", "x.o"}, "ERROR: a name must be 1 to 1023 bytes long, not 0\n"},
      {{"-c", "foo", "-g", "-n", std::string(1024, 'b'), "missing.o"},
       "ERROR: a name must be 1 to 1023 bytes long, not 1024\n"},
      // Mode errors come before any input is read.
      {{"missing.o"}, "ERROR: set oldsymbol.\n"},
      {{"-c", "foo", "-n", "ba", "missing.o"}, unequal},
      // Registry errors come before mode errors.
      {{"x.o", "x.o"}, "ERROR: duplicate filename 'x.o'.\n"},
  });
}

// -p refusals come before any input is read (missing.o is never opened); a
// name that the prefix takes past 1023 bytes stops the run once x.o is read.
TEST(CliOptions, PrefixRefusalsWriteNothing) {
  const std::string combined = "ERROR: option '-p' cannot be combined with ";
  const std::string spaced = "ERROR: the prefix of option '-p' contains whitespace\n";
  ExpectRefusals({
      {{"-p", "acme_", "-a", "list.txt", "missing.o"}, combined + "'-a'\n"},
      {{"-c", "foo", "-g", "-p", "acme_", "missing.o"}, combined + "'-c'\n"},
      {{"-p", "acme_", "-n", "baz"}, combined + "'-n'\n"},
      {{"-p", "", "missing.o"}, "ERROR: option '-p' needs a prefix that is not empty\n"},
      {{"-p", "ac me", "missing.o"}, spaced},
      {{"-p", "acme\r", "x.o"}, spaced},
      {{"-p", std::string(1021, 'p'), "x.o"},
       "ERROR: the prefix makes <foo> longer than 1023 bytes\n"},
  });
}

// A run that renames: the arguments, the lines it prints, and which of x.o's
// names end up how (x.o holds foo, bar, -n and qux).
struct ParseCase {
  Args args;
  std::string out;
  std::vector<std::string> namesAfter;  // empty: x.o unchanged
  std::string output = "x.o";           // where the renamed object goes
};

TEST_F(Cli, OptionsAreParsedAsThePartSays) {
  const std::vector<std::string> names = {"foo", "bar", "-n", "qux"};
  const ParseCase cases[] = {
      {{"-c", "bar", "-n", "baz", "x.o"}, Changed("bar", "baz"), {"foo", "baz", "-n", "qux"}},
      // Only the second character of an option counts.
      {{"-cfoo", "bar", "-n", "baz", "x.o"}, Changed("bar", "baz"), {"foo", "baz", "-n", "qux"}},
      {{"-cx", "bar", "-nzzz", "baz", "x.o"}, Changed("bar", "baz"), {"foo", "baz", "-n", "qux"}},
      // The word after an option is its value, whatever it looks like.
      {{"-c", "-n", "-n", "-m", "x.o"}, Changed("-n", "-m"), {"foo", "bar", "-m", "qux"}},
      // The last value wins.
      {{"-c", "foo", "-c", "bar", "-n", "baz", "x.o"},
       Changed("bar", "baz"),
       {"foo", "baz", "-n", "qux"}},
      {{"-c", "qux", "-n", "aaa", "-n", "zzz", "x.o"},
       Changed("qux", "zzz"),
       {"foo", "bar", "-n", "zzz"}},
      {{"-o", "first.o", "-o", "out.o", "-c", "foo", "-n", "oof", "x.o"},
       Changed("foo", "oof"),
       {"oof", "bar", "-n", "qux"},
       "out.o"},
      // The input named as its own output, as written and otherwise.
      {{"-o", "x.o", "-c", "foo", "-n", "oof", "x.o"},
       Changed("foo", "oof"),
       {"oof", "bar", "-n", "qux"}},
      {{"-o", "./x.o", "-c", "foo", "-n", "oof", "x.o"},
       Changed("foo", "oof"),
       {"oof", "bar", "-n", "qux"}},
      // Options apply wherever they stand among the operands.
      {{"x.o", "-n", "baz", "-c", "bar"}, Changed("bar", "baz"), {"foo", "baz", "-n", "qux"}},
      // No match: written back byte for byte.
      {{"-c", "nope", "-n", "none", "x.o"}, "", {}},
      {{"-c", "FOO", "-n", "foo", "x.o"}, "", {}},
      {{"-c", "fo", "-n", "of", "x.o"}, "", {}},
      {{"-c", "", "-n", "", "x.o"}, "", {}},
  };
  for (const ParseCase& c : cases) {
    ScratchDir dir;
    const std::string input = Object(names);
    dir.Write("x.o", input);
    RunResult r = RunNamepatch(c.args, dir.path());
    EXPECT_EQ(r.status, 0) << Describe(c.args);
    EXPECT_EQ(r.out, c.out) << Describe(c.args);
    EXPECT_EQ(r.err, "") << Describe(c.args);
    Files expected = {{"x.o", input}};
    expected[c.output] = c.namesAfter.empty() ? input : Object(c.namesAfter);
    EXPECT_EQ(Snapshot(dir.path()), expected) << Describe(c.args);
  }
}

TEST_F(Cli, NoOperandsReadsAndWritesNothing) {
  Lay({{"x.o", Object({"foo"})}});
  const Files before = Now();
  for (const Args& args :
       {Args{"-c", "foo", "-n", "bar"}, Args{"-c", "foo", "-n", "bar", "-o", "out.o"},
        Args{"-o", "x.o", "-n", "bar", "-c", "foo"}}) {
    RunResult r = Run(args);
    EXPECT_EQ(r.status, 0) << Describe(args);
    EXPECT_EQ(r.out, "") << Describe(args);
    EXPECT_EQ(r.err, "") << Describe(args);
    EXPECT_EQ(Now(), before) << Describe(args);
  }
}

TEST_F(Cli, EveryInputIsRewrittenAtItsOwnPath) {
  Lay({{"a.o", Object({"foo", "bar"}, "A")},
       {"sub/b.o", Object({"bar", "foo", "foo"}, "B")},
       {"c.o", Object({"qux"})}});
  RunResult r = Run({"-c", "foo", "-n", "oof", "a.o", "sub/b.o", "c.o"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Changed("foo", "oof") + Changed("foo", "oof") + Changed("foo", "oof"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Now(), (Files{{"a.o", Object({"oof", "bar"}, "A")},
                          {"sub", "directory"},
                          {"sub/b.o", Object({"bar", "oof", "oof"}, "B")},
                          {"c.o", Object({"qux"})}}));
}

TEST_F(Cli, OneOutputForTwoInputsKeepsTheSecondsResult) {
  Lay({{"a.o", Object({"foo"}, "A")}, {"b.o", Object({"bar", "foo"}, "B")}, {"out.o", "old"}});
  RunResult r = Run({"a.o", "-o", "out.o", "b.o", "-c", "foo", "-n", "oof"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Changed("foo", "oof") + Changed("foo", "oof"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Now(), (Files{{"a.o", Object({"foo"}, "A")},
                          {"b.o", Object({"bar", "foo"}, "B")},
                          {"out.o", Object({"bar", "oof"}, "B")}}));
}

TEST_F(Cli, OutputToNullDeviceForEveryInput) {
  Lay({{"a.o", Object({"foo"}, "A")}, {"b.o", Object({"foo"}, "B")}});
  const Files before = Now();
  RunResult r = Run({"-c", "foo", "-n", "oof", "-o", "/dev/null", "a.o", "b.o"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Changed("foo", "oof") + Changed("foo", "oof"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Now(), before);
}

TEST_F(Cli, MissingInputStopsTheRunAfterEarlierOutputs) {
  Lay({{"a.o", Object({"foo"}, "A")}, {"c.o", Object({"foo"}, "C")}});
  RunResult r = Run({"-c", "foo", "-n", "oof", "a.o", "missing.o", "c.o"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, Changed("foo", "oof"));
  const std::string cannot = "ERROR: cannot open file '" + Full("missing.o") + "'\n";
  EXPECT_EQ(r.err, cannot + cannot);
  EXPECT_EQ(Now(), (Files{{"a.o", Object({"oof"}, "A")}, {"c.o", Object({"foo"}, "C")}}));
}

// An input that the loader refuses: the run stops with the loader's (or the
// reader's) message, the input is left as it was and its output unopened.
struct RefusedInput {
  const char* title;
  std::string bytes;
  std::string what;  // the message after the path, or the whole message with %s
};

std::vector<RefusedInput> RefusedInputs() {
  ObjectLayout noClass;
  noClass.eiClass = 3;
  ObjectLayout noOrder;
  noOrder.eiData = 0;
  std::string damaged = Object({"foo"});
  testelf::PutBe16(damaged, testelf::kEShentsize, 20);
  std::string cut = Object({"foo"});
  cut.resize(cut.size() - 8);
  return {
      {"text file", "hello, world\n", " is not an ELF file\n"},
      {"three bytes",
       "\x7F"
       "EL",
       " is not an ELF file\n"},
      {"unknown class", BuildObject(noClass).bytes,
       " is not an ELF file of a known class and byte order\n"},
      {"unknown byte order", BuildObject(noOrder).bytes,
       " is not an ELF file of a known class and byte order\n"},
      {"e_shentsize 20", damaged, " is damaged: e_shentsize 20 is below 40\n"},
      {"cut short", cut, " is damaged: the section header table lies outside the file\n"},
  };
}

TEST_F(Cli, RefusedInputIsLeftAloneAndItsOutputUnopened) {
  for (const RefusedInput& c : RefusedInputs()) {
    for (bool withOutput : {false, true}) {
      SCOPED_TRACE(std::string(c.title) + (withOutput ? " with -o" : " in place"));
      ScratchDir dir;
      dir.Write("good.o", Object({"foo"}, "G"));
      dir.Write("bad.o", c.bytes);
      dir.Write("after.o", Object({"foo"}, "A"));
      Args args = {"-c", "foo", "-n", "oof", "good.o", "bad.o", "after.o"};
      if (withOutput) args.insert(args.begin(), {"-o", "out.o"});
      RunResult r = RunNamepatch(args, dir.path());
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, Changed("foo", "oof"));
      EXPECT_EQ(r.err, "LoadElfFile: " + fs::canonical(dir.path()).string() + "/bad.o" + c.what);
      Files expected = {{"bad.o", c.bytes}, {"after.o", Object({"foo"}, "A")}};
      if (withOutput) {
        expected["good.o"] = Object({"foo"}, "G");
        expected["out.o"] = Object({"oof"}, "G");
      } else {
        expected["good.o"] = Object({"oof"}, "G");
      }
      EXPECT_EQ(Snapshot(dir.path()), expected);
    }
  }
}

TEST_F(Cli, LargeObjectIsCopiedWholeAroundTheEditedTable) {
  // .strtab moved into the middle of a 3 MiB section, so that megabytes of
  // the file stand before and after the edited region.
  const std::string names = std::string("\0func_a\0other\0", 14);
  std::string data(3 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  const uint32_t at = (1 << 20) + 13;
  data.replace(at, names.size(), names);
  ObjectLayout layout;
  layout.sections = {{.name = ".data", .bytes = data}};
  layout.strtab = names;
  layout.symbols = {{.st_name = 1}, {.st_name = 8}};
  testelf::BuiltObject object = BuildObject(layout);
  std::string input = object.bytes;
  const uint32_t strtab = object.sectionIndex.at(".strtab");
  const uint32_t moved = object.sectionOffset.at(".data") + at;
  testelf::PutBe32(input, testelf::SectionHeaderField(object, strtab, testelf::kShOffset), moved);
  std::string renamed = input;
  renamed.replace(moved + 1, 6, "func_b");
  Lay({{"x.o", input}});
  RunResult r = Run({"-c", "func_a", "-n", "func_b", "-o", "out.o", "x.o"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Changed("func_a", "func_b"));
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(Now() == (Files{{"x.o", input}, {"out.o", renamed}})) << "out.o differs";
  r = Run({"-c", "func_a", "-n", "func_b", "x.o"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Now() == (Files{{"x.o", renamed}, {"out.o", renamed}})) << "x.o differs";
}

TEST_F(Cli, RefusedOnlyInputCreatesNoOutput) {
  Lay({{"bad.o", "not an object"}});
  RunResult r = Run({"-c", "foo", "-n", "oof", "-o", "out.o", "bad.o"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "LoadElfFile: " + Full("bad.o") + " is not an ELF file\n");
  EXPECT_EQ(Now(), (Files{{"bad.o", "not an object"}}));
}

TEST_F(Cli, EmptyInputCannotBeReadAndIsReportedTwice) {
  Lay({{"empty.o", ""}});
  RunResult r = Run({"-c", "foo", "-n", "oof", "empty.o"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  const std::string cannot = "ERROR: cannot read file '" + Full("empty.o") + "'\n";
  EXPECT_EQ(r.err, cannot + cannot);
  EXPECT_EQ(Now(), (Files{{"empty.o", ""}}));
}

TEST_F(Cli, InputWithoutAMatchComesOutByteForByte) {
  const std::string input =
      Object({"foo", "foobar", "Bar", "ba"}, std::string("\0\r\n\x1a\xff", 5));
  Lay({{"x.o", input}});
  for (const Args& args : {Args{"-c", "bar", "-n", "baz", "x.o"},
                           Args{"-c", "bar", "-n", "baz", "-o", "out.o", "x.o"}}) {
    RunResult r = Run(args);
    EXPECT_EQ(r.status, 0) << Describe(args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(Now(), (Files{{"x.o", input}, {"out.o", input}}));
}

TEST_F(Cli, ObjectsWithoutNameTablesAreWrittenUnchanged) {
  ObjectLayout noSymtab;
  noSymtab.strtab += std::string("foo\0", 4);
  noSymtab.withSymtab = false;
  ObjectLayout noStrtab;
  noStrtab.symbols = {{.st_name = 1}};
  noStrtab.withStrtab = false;
  std::string noNames = Object({"foo"});
  testelf::PutBe16(noNames, testelf::kEShstrndx, 0);
  std::string noSections = Object({"foo"});
  testelf::PutBe16(noSections, testelf::kEShnum, 0);
  testelf::PutBe16(noSections, testelf::kEShstrndx, 0);
  const std::pair<const char*, std::string> objects[] = {
      {"no .symtab", BuildObject(noSymtab).bytes},
      {"no .strtab", BuildObject(noStrtab).bytes},
      {"no section-name table", noNames},
      {"no sections", noSections},
  };
  for (const auto& [title, bytes] : objects) {
    SCOPED_TRACE(title);
    ScratchDir dir;
    dir.Write("x.o", bytes);
    dir.Write("y.o", Object({"foo"}));
    RunResult r = RunNamepatch({"-c", "foo", "-n", "oof", "x.o", "y.o"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, Changed("foo", "oof"));  // y.o's, after x.o went through
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Snapshot(dir.path()), (Files{{"x.o", bytes}, {"y.o", Object({"oof"})}}));
    r = RunNamepatch({"-c", "foo", "-n", "oof", "-o", "out.o", "x.o"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(dir.Read("out.o"), bytes);
  }
}

// .strtab "\0foobar\0": symbol foobar at 1 and bar at 4, in its tail.
std::string TailSharing() {
  ObjectLayout layout;
  layout.strtab = std::string("\0foobar\0", 8);
  layout.symbols = {{.st_name = 1}, {.st_name = 4}};
  return BuildObject(layout).bytes;
}

std::string WithStrtab(const std::string& object, const std::string& from, const std::string& to) {
  std::string bytes = object;
  size_t at = bytes.find(from);
  EXPECT_NE(at, std::string::npos);
  bytes.replace(at, from.size(), to);
  return bytes;
}

TEST_F(Cli, RenameThatWouldChangeAnotherNameIsRefused) {
  const std::string shared = TailSharing();
  struct Case {
    const char* title;
    std::string bytes;
    Args pair;
    std::string err;  // with %s for the full path
  };
  const Case cases[] = {
      {"tail renamed",
       shared,
       {"-c", "bar", "-n", "baz"},
       "ERROR: renaming <bar> would also change <foobar> in %s\n" + kGrowHint},
      {"whole renamed",
       shared,
       {"-c", "foobar", "-n", "fooqux"},
       "ERROR: renaming <foobar> would also change <bar> in %s\n" + kGrowHint},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    ScratchDir dir;
    dir.Write("first.o", Object({"bar", "foobar"}));
    dir.Write("x.o", c.bytes);
    Args args = c.pair;
    args.insert(args.end(), {"first.o", "x.o", "last.o"});
    dir.Write("last.o", Object({"bar", "foobar"}, "L"));
    RunResult r = RunNamepatch(args, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, Changed(c.pair[1], c.pair[3]));  // first.o's only
    std::string err = c.err;
    err.replace(err.find("%s"), 2, fs::canonical(dir.path()).string() + "/x.o");
    EXPECT_EQ(r.err, err);
    Files expected = {{"x.o", c.bytes}, {"last.o", Object({"bar", "foobar"}, "L")}};
    expected["first.o"] =
        c.pair[1] == "bar" ? Object({"baz", "foobar"}) : Object({"bar", "fooqux"});
    EXPECT_EQ(Snapshot(dir.path()), expected);
  }
}

TEST_F(Cli, RenamesThatKeepEveryNameGoAhead) {
  const std::string shared = TailSharing();
  Lay({{"x.o", shared}});
  RunResult r = Run({"-c", "foobar", "-n", "zoobar", "x.o"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Changed("foobar", "zoobar"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Now(), (Files{{"x.o", WithStrtab(shared, std::string("\0foobar\0", 8),
                                             std::string("\0zoobar\0", 8))}}));
  // Old equal to new changes no byte and is reported all the same.
  r = Run({"-c", "bar", "-n", "bar", "x.o"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Changed("bar", "bar"));
}

TEST_F(Cli, SectionNameSharingStrtabIsProtected) {
  // With the section names in .strtab, a symbol named "text" can be stored
  // as the tail of the section name ".text".
  ObjectLayout layout;
  layout.namesInStrtab = true;
  layout.sections = {{.name = ".text", .bytes = "code"}};
  const uint32_t text =
      static_cast<uint32_t>(layout.strtab.size());  // .text is the first name added
  layout.symbols = {{.st_name = text + 1}};
  const std::string input = BuildObject(layout).bytes;
  ASSERT_EQ(input.substr(BuildObject(layout).sectionOffset.at(".strtab") + text, 6),
            std::string(".text\0", 6));
  Lay({{"x.o", input}});
  RunResult r = Run({"-c", "text", "-n", "txet", "x.o"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ERROR: renaming <text> would also change <.text> in " + Full("x.o") + "\n" +
                       kGrowHint);
  EXPECT_EQ(Now(), (Files{{"x.o", input}}));
}

TEST_F(Cli, RefusedInputsBeforeTheFirstOutputWriteNothing) {
  // Every refusal of an input comes before its output is opened, so a run
  // that ends there leaves no temporary file and no new output.
  Lay({{"x.o", TailSharing()}});
  const Files before = Now();
  RunResult r = Run({"-c", "bar", "-n", "baz", "-o", "new.o", "x.o"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Now(), before);
}

TEST_F(Cli, OutputThatCannotBeCreatedIsReported) {
  const std::string input = Object({"foo"});
  struct Case {
    Args output;
    std::string shown;
  };
  const Case cases[] = {
      {{"-o", "nodir/out.o"}, "nodir/out.o"},
      {{"-o", "sub"}, "sub"},
      {{"-o", "sub/"}, "sub/"},
      {{"-o", ""}, ""},
      {{"-o", "/cygdrive/q/nodir/out.o"}, "q:/nodir/out.o"},
      {{"-o", "//q/out.o"}, "q:/out.o"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    dir.Write("x.o", input);
    fs::create_directory(dir.path() / "sub");
    Args args = {"-c", "foo", "-n", "oof"};
    args.insert(args.end(), c.output.begin(), c.output.end());
    args.push_back("x.o");
    ExpectRefusedLeavingFiles(dir, args, "ERROR: cannot create " + c.shown + "\n");
  }
}

TEST_F(Cli, FailedWriteOfASmallObjectLeavesTheOutputAsItWas) {
  // Small enough to sit in the stream's buffer: the failure surfaces when
  // the output is flushed and closed, not in a write.
  const std::string input = Object({"foo"});
  ASSERT_LT(input.size(), 4096u);
  for (bool inPlace : {true, false}) {
    SCOPED_TRACE(inPlace ? "in place" : "-o over an existing file");
    ScratchDir dir;
    dir.Write("x.o", input);
    dir.Write("out.o", "old contents");
    const Files before = Snapshot(dir.path());
    Args args = {"-c", "foo", "-n", "oof", "x.o"};
    if (!inPlace) args.insert(args.begin(), {"-o", "out.o"});
    RunResult r = RunNamepatch(args, dir.path(), {.fileSizeLimit = 64});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR: ins. disk space\n");
    EXPECT_EQ(Snapshot(dir.path()), before);
  }
}

TEST_F(Cli, FullDeviceAsOutputReportsDiskSpace) {
  Lay({{"x.o", Object({"foo"})}});
  const Files before = Now();
  RunResult r = Run({"-c", "foo", "-n", "oof", "-o", "/dev/full", "x.o"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ERROR: ins. disk space\n");
  EXPECT_EQ(Now(), before);
}

TEST_F(Cli, ReplacedOutputKeepsPermissionBitsAndLinks) {
  Lay({{"real/x.o", Object({"foo"})}});
  ASSERT_EQ(chmod((dir_ / "real/x.o").c_str(), 0751), 0);
  fs::create_symlink("real/x.o", dir_.path() / "link.o");
  RunResult r = Run({"-c", "foo", "-n", "oof", "link.o"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Changed("foo", "oof"));
  EXPECT_EQ(Now(), (Files{{"real", "directory"},
                          {"real/x.o", Object({"oof"})},
                          {"link.o", "link to real/x.o"}}));
  struct stat info {};
  ASSERT_EQ(stat((dir_ / "real/x.o").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0751u);
}

TEST_F(Cli, LinkToNothingAsOutputGetsItsFileWholeOrNotAtAll) {
  const std::string input = Object({"foo"});
  struct Case {
    const char* title;
    std::vector<std::pair<std::string, std::string>> links;  // link, what it holds
    std::string made;                                        // the file that the chain names
  };
  const Case cases[] = {
      {"relative link", {{"out.o", "sub/target.o"}}, "sub/target.o"},
      {"link in a directory", {{"sub/out.o", "target.o"}}, "sub/target.o"},
      {"chain of links",
       {{"out.o", "sub/next.o"}, {"sub/next.o", "../sub/target.o"}},
       "sub/target.o"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    ScratchDir dir;
    dir.Write("x.o", input);
    fs::create_directory(dir.path() / "sub");
    for (const auto& [link, to] : c.links) fs::create_symlink(to, dir.path() / link);
    const Files before = Snapshot(dir.path());
    const Args args = {"-c", "foo", "-n", "oof", "-o", c.links[0].first, "x.o"};
    // A write that fails leaves the link pointing at nothing.
    RunResult r = RunNamepatch(args, dir.path(), {.fileSizeLimit = 64});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR: ins. disk space\n");
    EXPECT_EQ(Snapshot(dir.path()), before);
    // One that succeeds makes the file the link names.
    r = RunNamepatch(args, dir.path(), {.umask = 027});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, Changed("foo", "oof"));
    Files expected = before;
    expected[c.made] = Object({"oof"});
    EXPECT_EQ(Snapshot(dir.path()), expected);
    struct stat info {};
    ASSERT_EQ(stat((dir / c.made).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
  }
}

TEST_F(Cli, LoopOfLinksAsOutputCannotBeCreated) {
  Lay({{"x.o", Object({"foo"})}});
  fs::create_symlink("b.o", dir_.path() / "a.o");
  fs::create_symlink("a.o", dir_.path() / "b.o");
  const Files before = Now();
  RunResult r = Run({"-c", "foo", "-n", "oof", "-o", "a.o", "x.o"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ERROR: cannot create a.o\n");
  EXPECT_EQ(Now(), before);
}

TEST_F(Cli, DuplicateOperandsAreFoundAfterResolution) {
  const std::string input = Object({"foo"});
  const ErrorCase cases[] = {
      {{"-c", "foo", "-n", "oof", "x.o", "./x.o"}, "ERROR: duplicate filename './x.o'.\n"},
      {{"-c", "foo", "-n", "oof", "x.o", "sub/../x.o"},
       "ERROR: duplicate filename 'sub/../x.o'.\n"},
      {{"-c", "foo", "-n", "oof", "x.o", "y.o", ".//x.o"}, "ERROR: duplicate filename './/x.o'.\n"},
      {{"-c", "foo", "-n", "oof", "c:/x.o", "/cygdrive/c/x.o"},
       "ERROR: duplicate filename 'c:/x.o'.\n"},
      {{"-c", "foo", "-n", "oof", "//c/x.o", "c:/./x.o"},
       "ERROR: duplicate filename 'c:/./x.o'.\n"},
  };
  for (const ErrorCase& c : cases) {
    ScratchDir dir;
    dir.Write("x.o", input);
    dir.Write("y.o", input);
    fs::create_directory(dir.path() / "c:");
    dir.Write("c:/x.o", input);
    ExpectRefusedLeavingFiles(dir, c.args, c.err);
  }
}

TEST_F(Cli, OperandsDifferingInCaseAreTwoInputs) {
  Lay({{"x.o", Object({"foo"}, "lower")}, {"X.o", Object({"foo"}, "upper")}});
  RunResult r = Run({"-c", "foo", "-n", "oof", "x.o", "X.o"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Changed("foo", "oof") + Changed("foo", "oof"));
  EXPECT_EQ(Now(), (Files{{"x.o", Object({"oof"}, "lower")}, {"X.o", Object({"oof"}, "upper")}}));
}

TEST_F(Cli, OverlongOperandIsAnInvalidPathname) {
  Lay({{"x.o", Object({"foo"})}});
  const Files before = Now();
  const std::string operand = std::string(300, 'p') + ".o";
  RunResult r = Run({"-c", "foo", "-n", "oof", "x.o", operand});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ERROR: invalid pathname '" + operand + "'.\n");
  EXPECT_EQ(Now(), before);
  const std::string cygdrive = "/cygdrive/c/" + operand;
  r = Run({"-c", "foo", "-n", "oof", cygdrive});
  EXPECT_EQ(r.err, "ERROR: invalid pathname 'c:/" + operand + "'.\n");
}

TEST_F(Cli, UnixPathNotationsAreRewrittenToDriveLetters) {
  const std::string input = Object({"foo"});
  const std::string renamed = Object({"oof"});
  struct Case {
    Args operands;
    Files after;  // besides the input's directory
  };
  const Case cases[] = {
      {{"/cygdrive/c/x.o"}, {{"c:/x.o", renamed}}},
      {{"//c/x.o"}, {{"c:/x.o", renamed}}},
      {{"/CYGDRIVE/c/x.o"}, {{"c:/x.o", renamed}}},
      {{"-o", "//c/out.o", "c:/x.o"}, {{"c:/x.o", input}, {"c:/out.o", renamed}}},
      {{"-o", "/cygdrive/c/out.o", "//c/x.o"}, {{"c:/x.o", input}, {"c:/out.o", renamed}}},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "c:");
    dir.Write("c:/x.o", input);
    Args args = {"-c", "foo", "-n", "oof"};
    args.insert(args.end(), c.operands.begin(), c.operands.end());
    RunResult r = RunNamepatch(args, dir.path());
    EXPECT_EQ(r.status, 0) << Describe(args) << r.err;
    EXPECT_EQ(r.out, Changed("foo", "oof")) << Describe(args);
    EXPECT_EQ(r.err, "") << Describe(args);
    Files expected = c.after;
    expected["c:"] = "directory";
    EXPECT_EQ(Snapshot(dir.path()), expected) << Describe(args);
  }
}

TEST_F(Cli, MessagesShowTheRewrittenFullPath) {
  RunResult r = Run({"-c", "foo", "-n", "oof", "/cygdrive/c/missing.o"});
  EXPECT_EQ(r.status, 1);
  const std::string cannot = "ERROR: cannot open file '" + Full("c:/missing.o") + "'\n";
  EXPECT_EQ(r.err, cannot + cannot);
  Lay({{"c:/bad.o", "text"}});
  r = Run({"-c", "foo", "-n", "oof", "//c/bad.o"});
  EXPECT_EQ(r.err, "LoadElfFile: " + Full("c:/bad.o") + " is not an ELF file\n");
}

}  // namespace
