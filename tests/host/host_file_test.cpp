#include "host/host_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/cli.h"

namespace {

using testcli::ScratchDir;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct PathCase {
  std::string before;
  std::string after;
};

const PathCase kPathRewrites[] = {
    {"/cygdrive/c/src/a.o", "c:/src/a.o"},
    {"/CygDrive/D/obj/b.o", "D:/obj/b.o"},
    {"/cygdrive/c", "c:"},
    {"/cygdrive/", "//"},
    {"/cygdrive", "/cygdrive"},
    {"//c/src/a.o", "c:/src/a.o"},
    {"//", "//"},
    {"//server/share/a.o", "s:erver/share/a.o"},
    {"///a.o", "/:a.o"},
    {"c:/src/a.o", "c:/src/a.o"},
    {"src/a.o", "src/a.o"},
    {"/usr/a.o", "/usr/a.o"},
    {"\\\\c\\src\\a.o", "\\\\c\\src\\a.o"},
    {"/cygdrivex/c/a.o", "/cygdrivex/c/a.o"},
};

TEST(NormalizeHostPath, RewritesUnixNotationsToDriveLetters) {
  for (const PathCase& c : kPathRewrites) {
    std::string path = NormalizeHostPath(c.before);
    EXPECT_EQ(path, c.after) << c.before;
    EXPECT_EQ(NormalizeHostPath(path), c.after) << "second rewrite of " << c.before;
  }
}

// Changes the current directory for one test and restores it afterwards.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::filesystem::path& dir)
      : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~CurrentDirectory() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

// Reads path with ReadInputFile, giving the bytes (without the extra zero),
// the error when it fails, and what was printed on standard error.
struct ReadResult {
  bool ok = false;
  std::string bytes;
  uint32_t length = 0;
  bool zeroAfter = false;
  Error error{};
  std::string err;
};

ReadResult Read(const std::string& path) {
  ReadResult r;
  FileBuffer buffer;
  CaptureStderr();
  Result<InputSource> input = ReadInputFile(path, buffer);
  r.err = GetCapturedStderr();
  r.ok = static_cast<bool>(input);
  if (!r.ok) {
    r.error = input.error();
    return r;
  }
  r.length = input->length;
  r.bytes.assign(reinterpret_cast<const char*>(buffer.bytes.get()), r.length);
  r.zeroAfter = buffer.bytes.get()[r.length] == 0;
  return r;
}

void ExpectError(const ReadResult& r, Fault fault, const std::string& subject) {
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.fault, fault);
  EXPECT_EQ(r.error.subject, subject);
  EXPECT_EQ(r.err, "");
}

TEST(ReadInputFile, EmptyFileCannotBeRead) {
  ScratchDir dir;
  dir.Write("empty.o", "");
  std::string path = dir / "empty.o";
  ExpectError(Read(path), Fault::kCannotRead, path);
}

TEST(ReadInputFile, OneByteFileGivesTwoBytes) {
  ScratchDir dir;
  dir.Write("one.o", "x");
  std::string path = dir / "one.o";
  ReadResult r = Read(path);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.length, 1u);
  EXPECT_EQ(r.bytes, "x");
  EXPECT_TRUE(r.zeroAfter);
  EXPECT_EQ(r.err, "");
}

TEST(ReadInputFile, KeepsZeroCarriageReturnAndLineFeedBytes) {
  const std::string stored("\0a\r\nb\0\n\r\r\n\0", 12);
  ScratchDir dir;
  dir.Write("bin.o", stored);
  std::string path = dir / "bin.o";
  ReadResult r = Read(path);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.length, stored.size());
  EXPECT_EQ(r.bytes, stored);
  EXPECT_TRUE(r.zeroAfter);
  EXPECT_EQ(r.err, "");
}

TEST(ReadInputFile, ReadsAFileLargerThanAStreamBuffer) {
  std::string stored;
  for (int i = 0; i < 300000; ++i) stored += static_cast<char>(i * 7);
  ScratchDir dir;
  dir.Write("big.o", stored);
  std::string path = dir / "big.o";
  ReadResult r = Read(path);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, stored);
  EXPECT_TRUE(r.zeroAfter);
}

TEST(ReadInputFile, ReadsAFileOfSeveralMegabytes) {
  // Large enough for the buffer laid out in huge pages.
  std::string stored(5 << 20, '\0');
  for (size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<char>(i * 13 + i / 65536);
  ScratchDir dir;
  dir.Write("huge.o", stored);
  std::string path = dir / "huge.o";
  ReadResult r = Read(path);
  ASSERT_TRUE(r.ok) << static_cast<int>(r.error.fault);
  EXPECT_EQ(r.length, stored.size());
  EXPECT_TRUE(r.bytes == stored);
  EXPECT_TRUE(r.zeroAfter);
}

TEST(ReadInputFile, MissingFileCannotBeOpened) {
  ScratchDir dir;
  std::string path = dir / "missing.o";
  ExpectError(Read(path), Fault::kCannotOpen, path);
}

TEST(ReadInputFile, NamesTheRewrittenCygdrivePathInItsError) {
  ScratchDir dir;
  CurrentDirectory cwd(dir.path());
  ExpectError(Read("/cygdrive/c/missing.o"), Fault::kCannotOpen, "c:/missing.o");
}

TEST(ReadInputFile, ReadsThroughRewrittenPath) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "c:");
  dir.Write("c:/a.o", "bytes");
  CurrentDirectory cwd(dir.path());
  for (std::string path : {"/cygdrive/c/a.o", "//c/a.o"}) {
    ReadResult r = Read(path);
    EXPECT_TRUE(r.ok) << path;
    EXPECT_EQ(r.bytes, "bytes");
  }
}

TEST(OpenHostFile, CreatesTheRewrittenPath) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "c:");
  CurrentDirectory cwd(dir.path());
  EXPECT_NE(OpenHostFile("//c/out.o", "wb"), nullptr);
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "c:" / "out.o"));
}

TEST(OpenHostFile, FailsSilently) {
  ScratchDir dir;
  std::string path = dir / "no/such/dir.o";
  CaptureStderr();
  EXPECT_EQ(OpenHostFile(path, "rb"), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(WriteChecked, SizeZeroWritesNothingWhateverTheBlock) {
  HostStream owned(tmpfile());
  FILE* stream = owned.get();
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(WriteChecked(stream, nullptr, 0));
  EXPECT_EQ(ftell(stream), 0);
  EXPECT_TRUE(WriteChecked(stream, "abc", 3));
  EXPECT_TRUE(WriteChecked(stream, nullptr, 0));
  EXPECT_EQ(ftell(stream), 3);
  rewind(stream);
  char back[4] = {};
  EXPECT_EQ(fread(back, 1, 4, stream), 3u);
  EXPECT_STREQ(back, "abc");
}

TEST(WriteChecked, SizeZeroSucceedsOnAFullDevice) {
  HostStream stream(fopen("/dev/full", "wb"));
  ASSERT_NE(stream, nullptr);
  setvbuf(stream.get(), nullptr, _IONBF, 0);
  EXPECT_TRUE(WriteChecked(stream.get(), nullptr, 0));
}

// A full disk is an error, reported silently.
void ExpectDiskFull(FILE* stream, const void* block, size_t size) {
  CaptureStderr();
  Status written = WriteChecked(stream, block, size);
  EXPECT_EQ(GetCapturedStderr(), "");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().fault, Fault::kNoDiskSpace);
}

TEST(WriteChecked, FullDiskIsAnError) {
  // A block larger than the stream's buffer reaches the device at once.
  HostStream stream(fopen("/dev/full", "wb"));
  ASSERT_NE(stream, nullptr);
  std::vector<char> block(1 << 20, 'x');
  ExpectDiskFull(stream.get(), block.data(), block.size());
}

TEST(WriteChecked, FullDiskIsAnErrorForAnUnbufferedStream) {
  HostStream stream(fopen("/dev/full", "wb"));
  ASSERT_NE(stream, nullptr);
  setvbuf(stream.get(), nullptr, _IONBF, 0);
  ExpectDiskFull(stream.get(), "x", 1);
}

// An output that goes uncommitted, given up at once or after a failed write,
// leaves no temporary file and what stood at its path as it was.
TEST(OutputFile, UncommittedLeavesNoTraceAndTargetUntouched) {
  for (auto [stored, inputChanged] :
       {std::pair{false, false}, std::pair{true, false}, std::pair{true, true}}) {
    SCOPED_TRACE(testing::Message() << stored << inputChanged);
    ScratchDir dir;
    const std::string path = dir / "out.o";
    if (stored) dir.Write("out.o", "old");
    {
      Result<OutputFile> output = OpenOutputFile(path);
      ASSERT_TRUE(output);
      EXPECT_EQ(dir.List().size(), stored ? 2u : 1u);
      if (inputChanged) {
        FileBuffer buffer;
        Result<InputSource> input = ReadInputFile(path, buffer);
        ASSERT_TRUE(input);
        dir.Write("out.o", "older");
        Status written = WritePatchedFile(*output, *input, path, {}, buffer);
        ASSERT_FALSE(written);
        EXPECT_EQ(written.error().fault, Fault::kChangedWhileRead);
        EXPECT_EQ(written.error().subject, path);
      }
    }
    EXPECT_EQ(dir.List(), stored ? std::vector<std::string>{"out.o"} : std::vector<std::string>{});
    if (stored) {
      EXPECT_EQ(dir.Read("out.o"), inputChanged ? "older" : "old");
    }
  }
}

TEST(OutputFile, MovedFromRemovesNothing) {
  ScratchDir dir;
  dir.Write("out.o", "old");
  Result<OutputFile> opened = OpenOutputFile(dir / "out.o");
  ASSERT_TRUE(opened);
  OutputFile output;
  {
    OutputFile taken = std::move(*opened);
    output = std::move(taken);
  }
  ASSERT_TRUE(WriteChecked(output.stream.get(), "new", 3));
  ASSERT_TRUE(CommitOutputFile(output));
  EXPECT_EQ(dir.List(), std::vector<std::string>{"out.o"});
  EXPECT_EQ(dir.Read("out.o"), "new");
}

// ResolveFullPath, given the text before and the full path expected after
// (relative results are put after the current directory).
std::string Resolve(const std::string& path, bool* ok) {
  std::optional<std::string> full = ResolveFullPath(path);
  *ok = full.has_value();
  return full.value_or("");
}

void ExpectResolved(std::span<const PathCase> cases) {
  for (const PathCase& c : cases) {
    bool ok = false;
    EXPECT_EQ(Resolve(c.before, &ok), c.after) << c.before;
    EXPECT_TRUE(ok) << c.before;
  }
}

const PathCase kAbsoluteResolutions[] = {
    {"/", "/"},
    {"/a/b.o", "/a/b.o"},
    {"/a/./b.o", "/a/b.o"},
    {"/./a/././b.o/.", "/a/b.o"},
    {"/a//b.o", "/a/b.o"},
    {"//a///b.o", "/a/b.o"},
    {"/a/b/", "/a/b"},
    {"/a/b/../c.o", "/a/c.o"},
    {"/a/b/c/../../d.o", "/a/d.o"},
    {"/a/..", "/"},
    {"/..", "/"},
    {"/../../a.o", "/a.o"},
    {"/a/../../../b/./../c.o", "/c.o"},
    {"/a/.../b.o", "/a/.../b.o"},
    {"/a/..b/c.o", "/a/..b/c.o"},
    {"/A/B.o", "/A/B.o"},
    {"/a\\..\\b.o", "/a\\..\\b.o"},
};

TEST(ResolveFullPath, ResolvesAbsolutePathsLexically) { ExpectResolved(kAbsoluteResolutions); }

TEST(ResolveFullPath, MakesRelativePathsAbsoluteAgainstCurrentDirectory) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "sub");
  CurrentDirectory cwd(dir.path() / "sub");
  const std::string here = std::filesystem::current_path().string();
  const std::string parent = std::filesystem::current_path().parent_path().string();
  const PathCase cases[] = {
      {"a.o", here + "/a.o"},
      {"./a.o", here + "/a.o"},
      {"x/../a.o", here + "/a.o"},
      {"x//y/./a.o", here + "/x/y/a.o"},
      {"q:/src/a.o", here + "/q:/src/a.o"},
      {"c:", here + "/c:"},
      {".", here},
      {"", here},
      {"..", parent},
      {"../sub/a.o", here + "/a.o"},
      {"no/such/dir/a.o", here + "/no/such/dir/a.o"},
  };
  ExpectResolved(cases);
}

TEST(ResolveFullPath, DoesNotFollowLinks) {
  ScratchDir dir;
  std::filesystem::create_directories(dir.path() / "real" / "deep");
  std::filesystem::create_directory_symlink(dir.path() / "real" / "deep", dir.path() / "link");
  bool ok = false;
  std::string base = dir.path().string();
  EXPECT_EQ(Resolve(base + "/link/../a.o", &ok), base + "/a.o");
  EXPECT_TRUE(ok);
}

TEST(ResolveFullPath, AcceptsAtMost259Characters) {
  bool ok = false;
  std::string longest = "/" + std::string(258, 'a');
  EXPECT_EQ(Resolve(longest, &ok), longest);
  EXPECT_TRUE(ok);

  Resolve("/" + std::string(259, 'a'), &ok);
  EXPECT_FALSE(ok);
  Resolve("/" + std::string(2000, 'a'), &ok);
  EXPECT_FALSE(ok);
}

TEST(ResolveFullPath, LimitAppliesToTheResolvedPath) {
  bool ok = false;
  std::string longest = "/" + std::string(258, 'a');
  // Longer as written, short enough once resolved.
  EXPECT_EQ(Resolve(longest + "/./b/..//.", &ok), longest);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Resolve("/" + std::string(300, 'b') + "/../a.o", &ok), "/a.o");
  EXPECT_TRUE(ok);
  // Short as written, too long once made absolute.
  ScratchDir dir;
  CurrentDirectory cwd(dir.path());
  size_t room = 259 - std::filesystem::current_path().string().size() - 1;
  EXPECT_NE(Resolve(std::string(room, 'r'), &ok), "");
  EXPECT_TRUE(ok);
  Resolve(std::string(room + 1, 'r'), &ok);
  EXPECT_FALSE(ok);
}

}  // namespace
