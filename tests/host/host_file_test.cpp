#include "host/host_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "tests/support/cli.h"

namespace {

using testcli::ScratchDir;
using testing::ExitedWithCode;
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
    std::string path = c.before;
    NormalizeHostPath(path.data());
    EXPECT_EQ(path.c_str(), c.after) << c.before;
    NormalizeHostPath(path.data());
    EXPECT_EQ(path.c_str(), c.after) << "second rewrite of " << c.before;
  }
}

TEST(NormalizeHostPath, NoneIsLeftAlone) { NormalizeHostPath(nullptr); }

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

// Reads path with ReadWholeFile, giving the bytes (without the extra zero)
// and what was printed on standard error.
struct ReadResult {
  bool ok = false;
  std::string bytes;
  uint32_t length = 0;
  bool zeroAfter = false;
  std::string err;
};

ReadResult Read(std::string& path) {
  ReadResult r;
  CaptureStderr();
  uint8_t* buffer = ReadWholeFile(path.data(), &r.length);
  r.err = GetCapturedStderr();
  if (buffer != nullptr) {
    r.ok = true;
    r.bytes.assign(reinterpret_cast<const char*>(buffer), r.length);
    r.zeroAfter = buffer[r.length] == 0;
    free(buffer);
  }
  return r;
}

TEST(ReadWholeFile, EmptyFileCannotBeRead) {
  ScratchDir dir;
  dir.Write("empty.o", "");
  std::string path = dir / "empty.o";
  ReadResult r = Read(path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, "ERROR: cannot read file '" + path + "'\n");
}

TEST(ReadWholeFile, OneByteFileGivesTwoBytes) {
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

TEST(ReadWholeFile, KeepsZeroCarriageReturnAndLineFeedBytes) {
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

TEST(ReadWholeFile, ReadsAFileLargerThanAStreamBuffer) {
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

TEST(ReadWholeFile, ReadsAFileOfSeveralMegabytes) {
  // Large enough for the buffer laid out in huge pages.
  std::string stored(5 << 20, '\0');
  for (size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<char>(i * 13 + i / 65536);
  ScratchDir dir;
  dir.Write("huge.o", stored);
  std::string path = dir / "huge.o";
  ReadResult r = Read(path);
  ASSERT_TRUE(r.ok) << r.err;
  EXPECT_EQ(r.length, stored.size());
  EXPECT_TRUE(r.bytes == stored);
  EXPECT_TRUE(r.zeroAfter);
}

TEST(ReadWholeFile, MissingFileCannotBeOpened) {
  ScratchDir dir;
  std::string path = dir / "missing.o";
  ReadResult r = Read(path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, "ERROR: cannot open file '" + path + "'\n");
}

TEST(ReadWholeFile, RewritesCygdrivePathInCallersStringAndMessage) {
  ScratchDir dir;
  CurrentDirectory cwd(dir.path());
  std::string path = "/cygdrive/c/missing.o";
  ReadResult r = Read(path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(path.c_str(), std::string("c:/missing.o"));
  EXPECT_EQ(r.err, "ERROR: cannot open file 'c:/missing.o'\n");
}

TEST(ReadWholeFile, ReadsThroughRewrittenPath) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "c:");
  dir.Write("c:/a.o", "bytes");
  CurrentDirectory cwd(dir.path());
  for (std::string path : {"/cygdrive/c/a.o", "//c/a.o"}) {
    ReadResult r = Read(path);
    EXPECT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.bytes, "bytes");
    EXPECT_EQ(path.c_str(), std::string("c:/a.o"));
  }
}

TEST(OpenHostFile, CreatesTheRewrittenPath) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "c:");
  CurrentDirectory cwd(dir.path());
  std::string path = "//c/out.o";
  FILE* stream = OpenHostFile(path.data(), "wb");
  ASSERT_NE(stream, nullptr);
  fclose(stream);
  EXPECT_EQ(path.c_str(), std::string("c:/out.o"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "c:" / "out.o"));
}

TEST(OpenHostFile, FailsSilently) {
  ScratchDir dir;
  std::string path = dir / "no/such/dir.o";
  CaptureStderr();
  EXPECT_EQ(OpenHostFile(path.data(), "rb"), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(WriteChecked, SizeZeroWritesNothingWhateverTheBlock) {
  FILE* stream = tmpfile();
  ASSERT_NE(stream, nullptr);
  WriteChecked(stream, nullptr, 0);
  EXPECT_EQ(ftell(stream), 0);
  WriteChecked(stream, "abc", 3);
  WriteChecked(stream, nullptr, 0);
  EXPECT_EQ(ftell(stream), 3);
  rewind(stream);
  char back[4] = {};
  EXPECT_EQ(fread(back, 1, 4, stream), 3u);
  EXPECT_STREQ(back, "abc");
  fclose(stream);
}

TEST(WriteChecked, SizeZeroSucceedsOnAFullDevice) {
  FILE* stream = fopen("/dev/full", "wb");
  ASSERT_NE(stream, nullptr);
  setvbuf(stream, nullptr, _IONBF, 0);
  WriteChecked(stream, nullptr, 0);
  fclose(stream);
}

TEST(WriteCheckedDeathTest, FullDiskEndsTheProcess) {
  // A block larger than the stream's buffer reaches the device at once.
  EXPECT_EXIT(
      {
        FILE* stream = fopen("/dev/full", "wb");
        std::vector<char> block(1 << 20, 'x');
        WriteChecked(stream, block.data(), static_cast<uint32_t>(block.size()));
        fclose(stream);
        exit(0);
      },
      ExitedWithCode(1), testing::Eq("ERROR: ins. disk space\n"));
}

TEST(WriteCheckedDeathTest, FullDiskEndsTheProcessForAnUnbufferedStream) {
  EXPECT_EXIT(
      {
        FILE* stream = fopen("/dev/full", "wb");
        setvbuf(stream, nullptr, _IONBF, 0);
        WriteChecked(stream, "x", 1);
        exit(0);
      },
      ExitedWithCode(1), testing::Eq("ERROR: ins. disk space\n"));
}

// ResolveFullPath, given the text before and the full path expected after
// (relative results are put after the current directory).
std::string Resolve(const std::string& path, bool* ok) {
  char full[kMaxPath];
  *ok = ResolveFullPath(path.c_str(), full);
  return *ok ? std::string(full) : std::string();
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
