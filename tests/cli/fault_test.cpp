// Failing writes and unusual outputs: whatever goes wrong, nothing that stood
// at the output path is lost and no temporary file survives.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/cli.h"
#include "tests/support/elf_builder.h"

namespace {

namespace fs = std::filesystem;
using testcli::RunLimits;
using testcli::RunNamepatch;
using testcli::RunResult;
using testcli::ScratchDir;

const std::vector<std::string> kRename = {"-c", "func_a", "-n", "func_b"};
const char kReport[] = "<func_a> -> <func_b> changed\n";

// An object of about 64 KiB, so that a small file-size limit cuts its write
// short, and a copy of it after the rename.
struct Sample {
  std::string input;
  std::string renamed;
};

Sample MakeSample() {
  testelf::ObjectLayout object;
  object.sections = {{.name = ".text", .bytes = std::string(64 * 1024, '\x60')}};
  object.symbols = {{.st_name = testelf::AddName(object.strtab, "func_a")}};
  Sample sample;
  sample.input = testelf::BuildObject(object).bytes;
  sample.renamed = sample.input;
  sample.renamed.replace(sample.renamed.find("func_a"), 6, "func_b");
  return sample;
}

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode;
}

TEST(FaultInjection, ShortWriteLeavesWhatStoodAtTheOutput) {
  const Sample sample = MakeSample();
  struct Case {
    const char* name;
    std::vector<std::string> files;  // every file of the directory before the run
    std::vector<std::string> operands;
  };
  const Case cases[] = {
      {"in place", {"x.o"}, {"x.o"}},
      {"existing -o", {"out.o", "x.o"}, {"-o", "out.o", "x.o"}},
      {"new -o", {"x.o"}, {"-o", "out.o", "x.o"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    for (const std::string& file : c.files) dir.Write(file, sample.input);
    RunResult r = RunNamepatch(With(kRename, c.operands), dir.path(), {.fileSizeLimit = 4096});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");  // a rename is reported only once its output stands
    EXPECT_EQ(r.err, "ERROR: ins. disk space\n");
    EXPECT_EQ(dir.List(), c.files);
    for (const std::string& file : c.files) EXPECT_EQ(dir.Read(file), sample.input) << file;
  }
}

TEST(FaultInjection, FullDeviceReportsDiskSpace) {
  const Sample sample = MakeSample();
  ScratchDir dir;
  dir.Write("x.o", sample.input);
  RunResult r = RunNamepatch(With(kRename, {"-o", "/dev/full", "x.o"}), dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ERROR: ins. disk space\n");
  EXPECT_EQ(dir.Read("x.o"), sample.input);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"x.o"});
  EXPECT_TRUE(S_ISCHR(ModeOf("/dev/full")));
}

TEST(FaultInjection, NullDeviceIsWrittenAndStaysADevice) {
  const Sample sample = MakeSample();
  ScratchDir dir;
  dir.Write("x.o", sample.input);
  RunResult r = RunNamepatch(With(kRename, {"-o", "/dev/null", "x.o"}), dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kReport);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(dir.Read("x.o"), sample.input);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"x.o"});
  EXPECT_TRUE(S_ISCHR(ModeOf("/dev/null")));
}

TEST(FaultInjection, ExistingOutputKeepsItsPermissionBits) {
  const Sample sample = MakeSample();
  for (mode_t mode : {0640, 0755, 0600, 0604}) {
    SCOPED_TRACE(mode);
    for (bool inPlace : {true, false}) {
      ScratchDir dir;
      dir.Write("x.o", sample.input);
      dir.Write("out.o", "old");
      std::string target = dir / (inPlace ? "x.o" : "out.o");
      ASSERT_EQ(chmod(target.c_str(), mode), 0);
      std::vector<std::string> operands = {"x.o"};
      if (!inPlace) operands = {"-o", "out.o", "x.o"};
      RunResult r = RunNamepatch(With(kRename, operands), dir.path(), {.umask = 077});
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(dir.Read(inPlace ? "x.o" : "out.o"), sample.renamed);
      EXPECT_EQ(ModeOf(target) & 07777, mode);
    }
  }
}

TEST(FaultInjection, NewOutputGetsTheModeTheUmaskAllows) {
  const Sample sample = MakeSample();
  for (int mask : {022, 027, 077}) {
    SCOPED_TRACE(mask);
    ScratchDir dir;
    dir.Write("x.o", sample.input);
    RunResult r = RunNamepatch(With(kRename, {"-o", "new.o", "x.o"}), dir.path(), {.umask = mask});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.Read("new.o"), sample.renamed);
    EXPECT_EQ(ModeOf(dir / "new.o") & 07777, static_cast<mode_t>(0666 & ~mask));
  }
}

TEST(FaultInjection, SymbolicLinkOutputStaysALinkToTheReplacedFile) {
  const Sample sample = MakeSample();
  for (bool inPlace : {true, false}) {
    SCOPED_TRACE(inPlace ? "in place through a link" : "-o through a link");
    ScratchDir dir;
    fs::create_directory(dir.path() / "real");
    dir.Write("x.o", sample.input);
    dir.Write("real/target.o", inPlace ? sample.input : "old");
    fs::create_symlink("real/target.o", dir.path() / "link.o");
    std::vector<std::string> operands = {"link.o"};
    if (!inPlace) operands = {"-o", "link.o", "x.o"};
    RunResult r = RunNamepatch(With(kRename, operands), dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kReport);
    EXPECT_TRUE(fs::is_symlink(dir.path() / "link.o"));
    EXPECT_EQ(fs::read_symlink(dir.path() / "link.o"), "real/target.o");
    EXPECT_EQ(dir.Read("real/target.o"), sample.renamed);
    EXPECT_EQ(dir.Read("x.o"), sample.input);
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"link.o", "real", "x.o"}));
    std::vector<std::string> inReal;
    for (const auto& entry : fs::directory_iterator(dir.path() / "real")) {
      inReal.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(inReal, std::vector<std::string>{"target.o"});
  }
}

// As root the capabilities that bypass permission bits are dropped for the
// run, so these hold whoever runs the tests.
TEST(FaultInjection, OutputThatMayNotBeWrittenCannotBeCreated) {
  const Sample sample = MakeSample();
  struct Case {
    const char* name;
    std::vector<std::string> operands;
    std::string shown;  // the path the message names, relative to the directory
    mode_t outMode;     // of ro/out.o, which exists in every case
  };
  const Case cases[] = {
      {"new -o in a read-only directory", {"-o", "ro/new.o", "x.o"}, "ro/new.o", 0644},
      {"existing -o in a read-only directory", {"-o", "ro/out.o", "x.o"}, "ro/out.o", 0644},
      {"in place in a read-only directory", {"ro/out.o"}, "", 0644},
      {"read-only existing -o", {"-o", "ro/out.o", "x.o"}, "ro/out.o", 0444},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    fs::create_directory(dir.path() / "ro");
    dir.Write("x.o", sample.input);
    dir.Write("ro/out.o", sample.input);
    ASSERT_EQ(chmod((dir / "ro/out.o").c_str(), c.outMode), 0);
    bool readOnlyDir = c.outMode != 0444;
    ASSERT_EQ(chmod((dir / "ro").c_str(), readOnlyDir ? 0555 : 0755), 0);
    // The scratch directory is private to its owner; namepatch runs as that
    // owner, only without the override.
    RunResult r =
        RunNamepatch(With(kRename, c.operands), dir.path(), {.honourPermissionBits = true});
    std::string shown = c.shown.empty() ? dir / "ro/out.o" : c.shown;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR: cannot create " + shown + "\n");
    chmod((dir / "ro").c_str(), 0755);
    EXPECT_EQ(dir.Read("ro/out.o"), sample.input);
    std::vector<std::string> inRo;
    for (const auto& entry : fs::directory_iterator(dir.path() / "ro")) {
      inRo.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(inRo, std::vector<std::string>{"out.o"});
  }
}

// The cross C library's members, renamed in one run with a long list and
// stopped at random moments by each terminating signal: the run ends as the
// signal's, no temporary file is left and every object is as it was or fully
// renamed.
TEST(FaultInjection, InterruptedRunLeavesWholeObjectsAndNoTemporaryFile) {
  ScratchDir original, work;
  // Every name with the case of its letters turned: a name stored inside
  // another turns with it, so no rename is refused.
  const std::string unpack =
      "cd " + original.path().string() +
      " && powerpc-linux-gnu-ar x /usr/powerpc-linux-gnu/lib/libc.a"
      " && powerpc-linux-gnu-nm -aj *.o 2>/dev/null | sed 'h;y/" +
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ/" +
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz/;H;x;y/\\n/ /' >" + (work / "list");
  ASSERT_EQ(system(unpack.c_str()), 0);
  // Every sixteenth member keeps a run short. A tree is made of links to the
  // extracted members, which a run replaces and never writes through.
  const std::vector<std::string> all = original.List();
  std::vector<std::string> members;
  for (size_t m = 0; m < all.size(); m += 16) members.push_back(all[m]);
  const std::vector<std::string> args = With({"-a", work / "list"}, members);
  auto plant = [&](const ScratchDir& dir) {
    for (const std::string& member : members) fs::create_hard_link(original / member, dir / member);
  };

  ScratchDir renamed;
  plant(renamed);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(RunNamepatch(args, renamed.path()).status, 0);
  const auto runTime = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  std::vector<std::string> before, after;
  for (const std::string& member : members) {
    before.push_back(original.Read(member));
    after.push_back(renamed.Read(member));
  }
  ASSERT_NE(before, after);

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> moment(0, static_cast<int>(runTime.count()));
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    for (int run = 0; run < 8; ++run) {
      const int delay = moment(random);
      SCOPED_TRACE("signal " + std::to_string(signal) + " after " + std::to_string(delay) + "us");
      ScratchDir dir;
      plant(dir);
      RunResult r =
          RunNamepatch(args, dir.path(), {.signal = signal, .signalAfterMicroseconds = delay});
      ASSERT_EQ(dir.List(), members);
      const bool finished = r.status == 0;
      EXPECT_TRUE(finished || r.status == 128 + signal) << r.status;
      for (size_t m = 0; m < members.size(); ++m) {
        const std::string bytes = dir.Read(members[m]);
        EXPECT_TRUE(bytes == after[m] || (!finished && bytes == before[m])) << members[m];
      }
    }
  }
}

}  // namespace
