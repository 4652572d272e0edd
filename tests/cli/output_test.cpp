// What a run leaves at its outputs beyond their bytes: an input that does not
// change is not touched, a replaced file keeps what was attached to it and is
// as safe against a crash as one replaced with cp and mv, the list is
// indexed once however many inputs there are, an input changed during the
// run is never mixed into its output nor replaced by it, and runs on one file
// at once take their turns.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "tests/support/archive_builder.h"
#include "tests/support/cli.h"
#include "tests/support/elf_builder.h"

namespace {

namespace fs = std::filesystem;
using testcli::RunNamepatch;
using testcli::RunResult;
using testcli::ScratchDir;

std::string MakeObject(size_t textSize = 64, char code = '\x60') {
  testelf::ObjectLayout object;
  object.sections = {{.name = ".text", .bytes = std::string(textSize, code)}};
  object.symbols = {{.st_name = testelf::AddName(object.strtab, "func_a")}};
  return testelf::BuildObject(object).bytes;
}

struct stat StatOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info;
}

// Every extended attribute of path, by name.
std::map<std::string, std::string> AttributesOf(const std::string& path) {
  std::map<std::string, std::string> attributes;
  std::string names(4096, '\0');
  ssize_t length = listxattr(path.c_str(), names.data(), names.size());
  EXPECT_GE(length, 0) << path;
  for (size_t at = 0; length > 0 && at < static_cast<size_t>(length);) {
    std::string name = names.c_str() + at;
    std::string value(4096, '\0');
    ssize_t size = getxattr(path.c_str(), name.c_str(), value.data(), value.size());
    EXPECT_GE(size, 0) << name;
    value.resize(size > 0 ? static_cast<size_t>(size) : 0);
    attributes[name] = value;
    at += name.size() + 1;
  }
  return attributes;
}

std::string Command(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr) << command;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  EXPECT_EQ(pclose(pipe), 0) << command;
  return out;
}

TEST(Outputs, InputThatDoesNotChangeIsNotWrittenInPlace) {
  const std::string object = MakeObject();
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {"no symbol matches", {"-c", "func_x", "-n", "func_y"}, ""},
      {"a match writes the name already there",
       {"-c", "func_a", "-n", "func_a"},
       "<func_a> -> <func_a> changed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    dir.Write("x.o", object);
    ASSERT_EQ(link((dir / "x.o").c_str(), (dir / "y.o").c_str()), 0);
    const struct timespec past[2] = {{946684800, 0}, {946684800, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "x.o").c_str(), past, 0), 0);
    const struct stat before = StatOf(dir / "x.o");
    std::vector<std::string> args = c.args;
    args.push_back("x.o");
    RunResult r = RunNamepatch(args, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    const struct stat after = StatOf(dir / "x.o");
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);

    // With -o the output is written all the same.
    args.insert(args.begin(), {"-o", "out.o"});
    r = RunNamepatch(args, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.Read("out.o"), object);
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"out.o", "x.o", "y.o"}));
  }
}

// As root the capabilities that bypass permission bits are dropped for the
// run, so the refusal shows whoever runs the tests.
TEST(Outputs, UnchangedInputThatCouldNotBeWrittenStillStopsTheRun) {
  const std::string object = MakeObject();
  for (bool readOnlyFile : {false, true}) {
    SCOPED_TRACE(readOnlyFile ? "read-only file" : "read-only directory");
    ScratchDir dir;
    fs::create_directory(dir.path() / "ro");
    dir.Write("ro/x.o", object);
    dir.Write("y.o", object);
    ASSERT_EQ(chmod((dir / "ro/x.o").c_str(), readOnlyFile ? 0444 : 0644), 0);
    ASSERT_EQ(chmod((dir / "ro").c_str(), readOnlyFile ? 0755 : 0555), 0);
    RunResult r = RunNamepatch({"-c", "func_x", "-n", "func_y", "ro/x.o", "y.o"}, dir.path(),
                               {.honourPermissionBits = true});
    chmod((dir / "ro").c_str(), 0755);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR: cannot create " + (dir / "ro/x.o") + "\n");
    EXPECT_EQ(dir.Read("ro/x.o"), object);
  }
}

TEST(Outputs, ReplacedFileKeepsItsExtendedAttributes) {
  ScratchDir dir;
  dir.Write("x.o", MakeObject());
  const std::string path = dir / "x.o";
  const std::string origin = "vendor drop 7";
  ASSERT_EQ(setxattr(path.c_str(), "user.origin", origin.data(), origin.size(), 0), 0)
      << "the scratch file system takes no user attributes";
  Command("setfacl -m u:12345:r " + path);
  const bool asRoot = geteuid() == 0;
  if (asRoot) {
    ASSERT_EQ(setxattr(path.c_str(), "trusted.note", "n", 1, 0), 0);
  }
  std::map<std::string, std::string> before = AttributesOf(path);
  ASSERT_EQ(before.count("system.posix_acl_access"), 1u);

  // A plain user may not set trusted attributes: the rename goes ahead
  // without them, keeping the rest.
  std::vector<std::string> asPlainUser;
  if (asRoot) {
    ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    asPlainUser = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    before.erase("trusted.note");
  }
  RunResult r =
      RunNamepatch({"-c", "func_a", "-n", "func_b", "x.o"}, dir.path(), {.wrapper = asPlainUser});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "<func_a> -> <func_b> changed\n");
  EXPECT_NE(dir.Read("x.o").find("func_b"), std::string::npos);
  EXPECT_EQ(AttributesOf(path), before);
}

// Blocks reserved ahead of the writes stay "unwritten" until write-back, and
// a crash in that time leaves the replaced file reading as zeros. ext4 keeps
// a file renamed over another safe only when its blocks are written plainly.
TEST(Outputs, ReplacedFileHasNoUnwrittenExtent) {
  ScratchDir dir;
  const std::string fsType = Command("stat -f -c %T " + dir.path().string());
  if (fsType != "ext2/ext3\n") {
    GTEST_SKIP() << "cannot judge extents on " << fsType;
  }
  dir.Write("x.o", MakeObject(4 << 20));
  RunResult r = RunNamepatch({"-c", "func_a", "-n", "func_b", "x.o"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string extents = Command("filefrag -v " + (dir / "x.o"));
  EXPECT_EQ(extents.find("unwritten"), std::string::npos) << extents;
}

TEST(Outputs, ListIsIndexedOnceForAllInputs) {
  ScratchDir dir;
  dir.Write("pairs.txt", "func_a func_b\nfunc_c func_d\n");
  std::vector<std::string> args = {"-a", "pairs.txt"};
  for (const char* name : {"a.o", "b.o", "c.o", "d.o"}) {
    dir.Write(name, MakeObject());
    args.push_back(name);
  }
  RunResult r = RunNamepatch(
      args, dir.path(),
      {.wrapper = {"gdb", "-batch", "-nx", "-ex", "dprintf IndexOldNames,\"indexed the list\\n\"",
                   "-ex", "run", "--args"}});
  EXPECT_EQ(r.status, 0) << r.err;
  size_t count = 0;
  for (size_t at = 0; (at = r.out.find("indexed the list\n", at)) != std::string::npos; ++at) {
    ++count;
  }
  EXPECT_EQ(count, 1u) << r.out;
  EXPECT_EQ(dir.Read("d.o").find("func_a"), std::string::npos);
}

// The run is stopped under gdb once the renames are judged, before anything
// is written, and the input is changed there: another object of the same
// length takes its place by rename, or is written over it in place. Either
// way the other writer's file stays; with -o the old input is renamed.
TEST(Outputs, InputChangedDuringTheRunIsNeverMixedIntoTheOutput) {
  const std::string object = MakeObject();
  const std::string other = MakeObject(64, '\x4e');
  std::string renamed = object;
  renamed.replace(renamed.find("func_a"), 6, "func_b");
  const std::vector<std::string> rename = {"-c", "func_a", "-n", "func_b", "x.o"};
  const std::vector<std::string> to = {"-o", "out.o", "-c", "func_a", "-n", "func_b", "x.o"};
  struct Case {
    const char* change;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"cp other.o t.o && mv t.o x.o", rename, 1, {"other.o", "x.o"}},
      {"cat other.o > x.o", rename, 1, {"other.o", "x.o"}},
      {"cp other.o t.o && mv t.o x.o", to, 0, {"other.o", "out.o", "x.o"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    ScratchDir dir;
    dir.Write("x.o", object);
    dir.Write("other.o", other);
    RunResult r =
        RunNamepatch(c.args, dir.path(),
                     {.wrapper = {"gdb", "-batch", "-nx", "-ex", "break OpenOutputFile", "-ex",
                                  "run", "-ex", std::string("shell ") + c.change, "-ex", "continue",
                                  "-ex", "quit $_exitcode", "--args"}});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out.find("<func_a> -> <func_b> changed\n") != std::string::npos, c.status == 0);
    const std::string changed = "ERROR: " + (dir / "x.o") + " changed while it was read\n";
    EXPECT_EQ(r.err, c.status == 0 ? std::string() : changed);
    EXPECT_EQ(dir.Read("x.o"), other);
    if (c.status == 0) {
      EXPECT_EQ(dir.Read("out.o"), renamed);
    }
    EXPECT_EQ(dir.List(), c.files);
  }
}

// Two runs on one library at once, each growing other names: the later waits
// for the earlier's lock and renames the file the earlier put at the path, so
// both runs' renames stand.
TEST(Outputs, TwoRunsOnOneLibraryLoseNothing) {
  testelf::ArchiveLayout layout;
  for (int m = 0; m < 400; ++m) {
    testelf::ObjectLayout object;
    object.sections = {{.name = ".text", .bytes = std::string(256, '\x60')}};
    for (const char* name : {"func_a", "func_b", "func_c"})
      object.symbols.push_back({.st_name = testelf::AddName(object.strtab, name)});
    layout.members.push_back({std::to_string(m) + ".o", testelf::BuildObject(object).bytes});
  }
  const std::string library = testelf::BuildArchive(layout).bytes;
  for (int attempt = 0; attempt < 20; ++attempt) {
    SCOPED_TRACE(attempt);
    ScratchDir dir;
    dir.Write("lib.a", library);
    auto first = std::async(std::launch::async, [&] {
      return RunNamepatch({"-g", "-c", "func_a", "-n", "first_run_a", "lib.a"}, dir.path());
    });
    RunResult second =
        RunNamepatch({"-g", "-c", "func_b", "-n", "second_run_b", "lib.a"}, dir.path());
    EXPECT_EQ(first.get().status, 0);
    EXPECT_EQ(second.status, 0);
    const std::string result = dir.Read("lib.a");
    EXPECT_EQ(result.find("func_a"), std::string::npos);
    EXPECT_EQ(result.find("func_b"), std::string::npos);
    EXPECT_EQ(dir.List(), std::vector<std::string>{"lib.a"});
  }
}

}  // namespace
