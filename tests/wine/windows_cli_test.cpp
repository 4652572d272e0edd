// Command-line tests of the Windows build, run under wine against the
// namepatch.exe that the build names. Drive Z: is the Linux root there.
// The Windows runtime writes standard output and standard error in text mode,
// so every line of a report or message ends in CR LF.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/cli.h"
#include "tests/support/elf_builder.h"

namespace {

using testcli::RunNamepatch;
using testcli::RunResult;
using testcli::ScratchDir;

// Points RunNamepatch at the Windows binary and the program that runs it.
class WineEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    setenv("NAMEPATCH_BIN", NAMEPATCH_WINE_EXE, 1);
    setenv("NAMEPATCH_RUNNER", NAMEPATCH_WINE, 1);
  }
};
testing::Environment* const kWine = testing::AddGlobalTestEnvironment(new WineEnvironment);

// The directory as Linux names it, links resolved, as wine sees it too.
std::string LinuxPath(const ScratchDir& dir) { return std::filesystem::canonical(dir.path()); }

// The same directory as a Windows full path under drive Z:.
std::string WindowsPath(const ScratchDir& dir) {
  std::string path = "Z:" + LinuxPath(dir);
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string Crlf(const std::string& text) {
  std::string lines;
  for (char c : text) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  return lines;
}

// An object naming func_a and bar_x, with CR and LF bytes in a section so
// that a text-mode write would show, big-endian ELF32 unless asked otherwise.
std::string SampleObject(uint8_t eiClass = 1, uint8_t eiData = 2) {
  testelf::ObjectLayout layout;
  layout.eiClass = eiClass;
  layout.eiData = eiData;
  layout.sections = {{.name = ".data", .bytes = std::string("\r\n\n\x1a\r", 5)}};
  layout.symbols = {{.st_name = testelf::AddName(layout.strtab, "func_a")},
                    {.st_name = testelf::AddName(layout.strtab, "bar_x")}};
  return testelf::BuildObject(layout).bytes;
}

std::string Renamed(std::string object, const std::string& from, const std::string& to) {
  object.replace(object.find(from), from.size(), to);
  return object;
}

const std::string kInput = SampleObject();
const std::string kRenamed = Renamed(kInput, "func_a", "func_b");
const std::string kReport = Crlf("<func_a> -> <func_b> changed\n");

struct OutputCase {
  std::vector<std::string> where;   // operand and -o, "@" standing for the directory
  std::string result;               // the file that holds the renamed object
  std::vector<std::string> files;   // every file afterwards
  uint8_t eiClass = 1, eiData = 2;  // the object's layout
};

TEST(WindowsHost, RenamesInPlaceOrToOutputThroughEveryPathNotation) {
  const OutputCase kCases[] = {
      {{"x.o"}, "x.o", {"x.o"}},
      {{"x.o", "-o", "out.o"}, "out.o", {"out.o", "x.o"}},
      {{"/cygdrive/z@/x.o"}, "x.o", {"x.o"}},
      {{"//z@/x.o"}, "x.o", {"x.o"}},
      {{"/CygDrive/Z@/x.o", "-o", "//z@/out.o"}, "out.o", {"out.o", "x.o"}},
      {{"//z@/x.o", "-o", "/cygdrive/z@/out.o"}, "out.o", {"out.o", "x.o"}},
      // An Arm-like little-endian ELF32 object and an x86-64-like ELF64 one.
      {{"x.o"}, "x.o", {"x.o"}, 1, 1},
      {{"x.o", "-o", "out.o"}, "out.o", {"out.o", "x.o"}, 2, 1},
  };
  for (const OutputCase& c : kCases) {
    const std::string input = SampleObject(c.eiClass, c.eiData);
    ScratchDir dir;
    dir.Write("x.o", input);
    // An output that exists already is replaced whole.
    if (c.result == "out.o") dir.Write("out.o", "old");
    std::vector<std::string> args = {"-c", "func_a", "-n", "func_b"};
    for (std::string word : c.where) {
      if (size_t at = word.find('@'); at != std::string::npos) word.replace(at, 1, LinuxPath(dir));
      args.push_back(word);
    }
    RunResult r = RunNamepatch(args, dir.path());
    SCOPED_TRACE(args.back());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kReport);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir.Read(c.result), Renamed(input, "func_a", "func_b"));
    if (c.result != "x.o") {
      EXPECT_EQ(dir.Read("x.o"), input);
    }
    EXPECT_EQ(dir.List(), c.files);
  }
}

TEST(WindowsHost, MessagesShowTheWindowsFullPath) {
  ScratchDir dir;
  std::string full = WindowsPath(dir);
  // Full paths of exactly 259 and of 260 characters.
  std::string longest = std::string(259 - full.size() - 1, 'n');
  struct Case {
    std::string operand;
    std::string err;
  };
  const Case kCases[] = {
      {"missing.o", "ERROR: cannot open file '" + full + "\\missing.o'\n"},
      {"sub/../missing.o", "ERROR: cannot open file '" + full + "\\missing.o'\n"},
      // The drive letter is kept as written: z:, not Z:.
      {"/cygdrive/z" + LinuxPath(dir) + "/missing.o",
       "ERROR: cannot open file 'z" + full.substr(1) + "\\missing.o'\n"},
      // An empty operand is the current directory, which is no file.
      {"", "ERROR: cannot open file '" + full + "'\n"},
      {longest, "ERROR: cannot open file '" + full + "\\" + longest + "'\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.operand);
    RunResult r = RunNamepatch({"-c", "func_a", "-n", "func_b", c.operand}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // The reader's message comes twice, as on Linux.
    EXPECT_EQ(r.err, Crlf(c.err + c.err));
  }
  RunResult r = RunNamepatch({"-c", "func_a", "-n", "func_b", longest + "n"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, Crlf("ERROR: invalid pathname '" + longest + "n'.\n"));
  EXPECT_TRUE(dir.List().empty());
}

TEST(WindowsHost, DuplicatesAreFoundAfterResolution) {
  ScratchDir dir;
  dir.Write("x.o", kInput);
  std::string windowsDrive = "Z:" + LinuxPath(dir) + "/x.o";
  const std::vector<std::string> kSecond = {".\\x.o", "sub\\..\\x.o", "x.o.", windowsDrive,
                                            "//Z" + LinuxPath(dir) + "/x.o"};
  for (const std::string& second : kSecond) {
    SCOPED_TRACE(second);
    RunResult r = RunNamepatch({"-c", "func_a", "-n", "func_b", "x.o", second}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // The message shows the operand as rewritten: //Z/... as Z:/...
    std::string shown = second[0] == '/' ? windowsDrive : second;
    EXPECT_EQ(r.err, Crlf("ERROR: duplicate filename '" + shown + "'.\n"));
    EXPECT_EQ(dir.Read("x.o"), kInput);
  }
  EXPECT_EQ(dir.List(), std::vector<std::string>{"x.o"});
}

TEST(WindowsHost, ListWithCrLfLineEndsRenamesEveryPair) {
  ScratchDir dir;
  dir.Write("x.o", kInput);
  dir.Write("pairs.txt", "func_a func_b\r\nbar_x bar_y\r\n");
  RunResult r = RunNamepatch({"-a", "pairs.txt", "x.o"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Crlf("<func_a> -> <func_b> changed\n<bar_x> -> <bar_y> changed\n"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(dir.Read("x.o"), Renamed(kRenamed, "bar_x", "bar_y"));
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"pairs.txt", "x.o"}));
}

TEST(WindowsHost, OutputsThatCannotBeReplacedAreWrittenThroughOrRefused) {
  ScratchDir dir;
  dir.Write("x.o", kInput);
  dir.Write("kept.o", "read-only");
  chmod((dir / "kept.o").c_str(), 0444);
  std::filesystem::create_directory(dir.path() / "folder");
  struct Case {
    std::string output;
    int status;
    std::string out;
    std::string err;
  };
  const Case kCases[] = {
      // A device is written to, never replaced.
      {"NUL", 0, kReport, ""},
      {"kept.o", 1, "", "ERROR: cannot create kept.o\n"},
      {"folder", 1, "", "ERROR: cannot create folder\n"},
      {"absent\\out.o", 1, "", "ERROR: cannot create absent\\out.o\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.output);
    RunResult r = RunNamepatch({"-c", "func_a", "-n", "func_b", "-o", c.output, "x.o"}, dir.path());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, Crlf(c.err));
    EXPECT_EQ(dir.Read("x.o"), kInput);
    EXPECT_EQ(dir.Read("kept.o"), "read-only");
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"folder", "kept.o", "x.o"}));
  }
}

TEST(WindowsHost, OutputThatIsALinkStaysALink) {
  ScratchDir dir;
  dir.Write("x.o", kInput);
  std::filesystem::create_symlink("x.o", dir.path() / "link.o");
  RunResult r = RunNamepatch({"-c", "func_a", "-n", "func_b", "link.o"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kReport);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / "link.o"));
  EXPECT_EQ(dir.Read("x.o"), kRenamed);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"link.o", "x.o"}));
}

// What Windows itself shows of a file's attributes, through wine's attrib.
std::string AttributesOf(const std::string& windowsPath) {
  std::string command = std::string(NAMEPATCH_WINE) + " cmd /c attrib \"" + windowsPath + "\"";
  std::string shown;
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  char chunk[512];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) shown.append(chunk, n);
  EXPECT_EQ(pclose(pipe), 0) << command;
  return shown.substr(0, shown.find(windowsPath));
}

// The attributes stay with the file in place, whether it is replaced or, left
// unchanged by its renames, not written at all.
TEST(WindowsHost, ReplacedOrUntouchedFileKeepsItsAttributes) {
  ScratchDir dir;
  dir.Write("x.o", kInput);
  const std::string path = WindowsPath(dir) + "\\x.o";
  std::string command = std::string(NAMEPATCH_WINE) + " cmd /c attrib +h \"" + path + "\"";
  ASSERT_EQ(system(command.c_str()), 0);
  const std::string before = AttributesOf(path);
  ASSERT_NE(before.find('H'), std::string::npos) << before;
  for (const char* run : {"replaced", "left unchanged"}) {
    SCOPED_TRACE(run);
    RunResult r = RunNamepatch({"-c", "func_a", "-n", "func_b", "x.o"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(AttributesOf(path), before);
  }
  EXPECT_EQ(dir.Read("x.o"), kRenamed);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"x.o"});
}

// Wine turns SIGINT into Ctrl-C for the program; stopped by it at random
// moments, a run over many objects leaves no temporary file and every object
// as it was or renamed. Interrupted later than wine's own start, whose SIGINT
// ends wine with status 0 or as the signal's with nothing changed, a run ends
// with the low byte of STATUS_CONTROL_C_EXIT (0xC000013A).
TEST(WindowsHost, InterruptedRunLeavesWholeObjectsAndNoTemporaryFile) {
  std::vector<std::string> args = {"-c", "func_a", "-n", "func_b"};
  std::vector<std::string> names;
  for (int i = 100; i < 400; ++i) names.push_back(std::to_string(i) + ".o");
  args.insert(args.end(), names.begin(), names.end());
  auto plant = [&](const ScratchDir& dir) {
    for (const std::string& name : names) dir.Write(name, kInput);
  };
  ScratchDir whole;
  plant(whole);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(RunNamepatch(args, whole.path()).status, 0);
  const auto runTime = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> moment(static_cast<int>(runTime.count() / 4),
                                            static_cast<int>(runTime.count()));
  for (int run = 0; run < 6; ++run) {
    const int delay = moment(random);
    SCOPED_TRACE("SIGINT after " + std::to_string(delay) + "us");
    ScratchDir dir;
    plant(dir);
    RunResult r =
        RunNamepatch(args, dir.path(), {.signal = SIGINT, .signalAfterMicroseconds = delay});
    ASSERT_EQ(dir.List(), names);
    size_t renamed = 0;
    for (const std::string& name : names) {
      const std::string bytes = dir.Read(name);
      EXPECT_TRUE(bytes == kInput || bytes == kRenamed) << name;
      renamed += bytes == kRenamed;
    }
    const bool unstarted = renamed == 0 && (r.status == 0 || r.status == 128 + SIGINT);
    EXPECT_TRUE(r.status == 0x3a || unstarted || (r.status == 0 && renamed == names.size()))
        << r.status << ", " << renamed << " renamed";
  }
}

}  // namespace
