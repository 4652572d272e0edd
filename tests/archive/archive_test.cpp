#include "archive/archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/messages.h"
#include "tests/support/archive_builder.h"

namespace {

using testelf::ArchiveLayout;
using testelf::BuildArchive;
using testelf::BuiltArchive;
using testelf::MemberHeader;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Loads bytes from a buffer of exactly their size, so that the sanitizers
// catch any read past the end, and checks that no byte changed. A refusal is
// printed as the tool prints it.
class ArchiveLoader : public testing::Test {
 protected:
  const Archive* Load(const std::string& bytes) {
    archive_.reset();
    buffer_ = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), buffer_.get());
    CaptureStderr();
    Result<Archive> archive =
        LoadArchive("lib.a", buffer_.get(), static_cast<uint32_t>(bytes.size()));
    if (archive) {
      archive_ = std::move(*archive);
    } else {
      PrintError(archive.error());
    }
    err_ = GetCapturedStderr();
    EXPECT_EQ(std::string(buffer_.get(), buffer_.get() + bytes.size()), bytes);
    return archive_ ? &*archive_ : nullptr;
  }

  std::string NameAt(uint32_t offset) const {
    return reinterpret_cast<const char*>(buffer_.get() + offset);
  }

  std::unique_ptr<uint8_t[]> buffer_;
  std::optional<Archive> archive_;
  std::string err_;
};

// Two long names, an odd-sized member padded and an odd-sized last member
// without its pad.
ArchiveLayout GnuLayout() {
  ArchiveLayout layout;
  layout.members = {{"uart.o", "abc"},
                    {"a_rather_long_name.o", "xy"},
                    {"another_long_one.o", ""},
                    {"odd_last.o", "12345"}};
  layout.index = {{"uart_init", 0}, {"uart_poll", 0}, {"odd", 3}};
  layout.padLast = false;
  return layout;
}

TEST_F(ArchiveLoader, WalksMembersResolvingGnuAndBsdNames) {
  for (bool bsd : {false, true}) {
    ArchiveLayout layout = GnuLayout();
    layout.members.push_back({"name with space", "z"});
    layout.members.push_back({"exactly16chars.o", "q"});
    layout.bsdNames = bsd;
    if (bsd) layout.index.clear();
    const BuiltArchive built = BuildArchive(layout);
    const Archive* archive = Load(built.bytes);
    ASSERT_NE(archive, nullptr) << err_;
    EXPECT_EQ(err_, "");
    EXPECT_EQ(archive->bytes, buffer_.get());
    EXPECT_EQ(archive->length, built.bytes.size());
    const size_t special = bsd ? 0 : 2;
    ASSERT_EQ(archive->members.size(), special + layout.members.size()) << bsd;
    if (!bsd) {
      EXPECT_EQ(archive->members[0].name, "/");
      EXPECT_EQ(archive->members[0].header, built.indexHeader);
      EXPECT_EQ(archive->members[1].name, "//");
      EXPECT_EQ(archive->members[1].header, built.longNamesHeader);
      EXPECT_TRUE(archive->members[0].special && archive->members[1].special);
    }
    for (size_t i = 0; i < layout.members.size(); ++i) {
      const ArchiveMember& m = archive->members[special + i];
      EXPECT_EQ(m.name, layout.members[i].name) << bsd;
      EXPECT_EQ(m.header, built.headers[i]) << m.name;
      EXPECT_EQ(m.offset, built.data[i]) << m.name;
      EXPECT_EQ(m.size, layout.members[i].bytes.size()) << m.name;
      EXPECT_FALSE(m.special) << m.name;
    }
  }
}

TEST_F(ArchiveLoader, EmptyArchiveHasNoMembers) {
  const Archive* archive = Load("!<arch>\n");
  ASSERT_NE(archive, nullptr) << err_;
  EXPECT_TRUE(archive->members.empty() && archive->symbols.empty());
}

TEST_F(ArchiveLoader, ResolvesIndexEntriesToMembersInBothWidths) {
  for (bool wide : {false, true}) {
    ArchiveLayout layout = GnuLayout();
    layout.index64 = wide;
    const Archive* archive = Load(BuildArchive(layout).bytes);
    ASSERT_NE(archive, nullptr) << err_;
    EXPECT_EQ(archive->members[0].name, wide ? "/SYM64/" : "/");
    ASSERT_EQ(archive->symbols.size(), layout.index.size());
    for (size_t i = 0; i < layout.index.size(); ++i) {
      EXPECT_EQ(archive->symbols[i].member, layout.index[i].member + 2) << wide;
      EXPECT_EQ(NameAt(archive->symbols[i].nameOffset), layout.index[i].symbol) << wide;
    }
  }
}

struct RefusalCase {
  const char* title;
  std::function<std::string()> bytes;
  std::string err;  // after "LoadElfFile: lib.a "
};

// A small archive whose offsets the cases name: the index header at 8 (data
// from 68), the long-name table at 100, uart.o at 182 and
// a_rather_long_name.o at 246, ending at 308.
BuiltArchive Base(bool wide = false) {
  ArchiveLayout layout;
  layout.members = {{"uart.o", "abc"}, {"a_rather_long_name.o", "xy"}};
  layout.index = {{"uart_init", 0}, {"uart_poll", 0}};
  layout.index64 = wide;
  return BuildArchive(layout);
}

// Base with MSVC's second linker member after the index: its header at 100,
// its data from 160 (two member offsets from 164, two symbol indices at 176,
// the names from 180 to 200).
BuiltArchive MsvcBase() {
  ArchiveLayout layout;
  layout.members = {{"uart.o", "abc"}, {"a_rather_long_name.o", "xy"}};
  layout.index = {{"uart_poll", 1}, {"uart_init", 0}};
  layout.msvc = true;
  return BuildArchive(layout);
}

std::string Put(std::string bytes, size_t offset, const std::string& text) {
  return bytes.replace(offset, text.size(), text);
}

std::string SetSize(uint32_t header, const std::string& size) {
  return Put(Base().bytes, header + testelf::kArSize, size + std::string(10 - size.size(), ' '));
}

std::string Bsd(const std::vector<testelf::MemberLayout>& members) {
  ArchiveLayout layout;
  layout.members = members;
  layout.bsdNames = true;
  return BuildArchive(layout).bytes;
}

const char kIndexUnusable[] = "has a symbol index that cannot be updated\n";
const char kNotObject[] = ", which is not the header of an object member\n";

const RefusalCase kRefusals[] = {
    {"second linker member count past its room",
     [] { return Put(MsvcBase().bytes, 160, std::string("\xFF\xFF\0\0", 4)); },
     "is damaged: the second linker member names 65535 members but has no room for them\n"},
    {"second linker member offset inside a member",
     [] { return Put(MsvcBase().bytes, 164, std::string("\x1B\x01\0\0", 4)); },
     std::string("is damaged: member 0 of the second linker member points at offset 283") +
         kNotObject},
    {"second linker symbol count past its room",
     [] { return Put(MsvcBase().bytes, 172, std::string("\xFF\xFF\0\0", 4)); },
     "is damaged: the second linker member names 65535 symbols but has room for fewer\n"},
    {"second linker symbol of member 0",
     [] { return Put(MsvcBase().bytes, 176, std::string("\0\0", 2)); },
     "is damaged: symbol 0 of the second linker member names member 0 of 2\n"},
    {"second linker names cut short", [] { return Put(MsvcBase().bytes, 199, "x"); },
     "is damaged: the second linker member names 2 symbols but ends after 1\n"},
    {"thin", [] { return "!<thin>\n" + MemberHeader("uart.o/", "0"); },
     "is a thin archive; rename its member files instead\n"},
    {"no magic", [] { return std::string("!<arch>"); },
     "is damaged: it does not start with \"!<arch>\\n\"\n"},
    {"BSD index",
     [] {
       return Bsd({{"uart.o", "ab"}, {"__.SYMDEF", "0000"}});
     },
     kIndexUnusable},
    {"sorted BSD index, long form",
     [] {
       return Bsd({{"__.SYMDEF SORTED", "0000"}});
     },
     kIndexUnusable},
    {"64-bit BSD index",
     [] {
       return Bsd({{"__.SYMDEF_64", ""}});
     },
     kIndexUnusable},
    {"header cut short", [] { return Base().bytes.substr(0, 182 + 59); },
     "is damaged: the member header at offset 182 is cut short\n"},
    {"header end missing", [] { return Put(Base().bytes, 182 + testelf::kArEnd, "`x"); },
     "is damaged: the member header at offset 182 does not end with \"`\\n\"\n"},
    {"size with letters", [] { return SetSize(182, "3x"); },
     "is damaged: the size of member uart.o is not a decimal number\n"},
    {"size with leading blank", [] { return SetSize(182, " 3"); },
     "is damaged: the size of member uart.o is not a decimal number\n"},
    {"size empty", [] { return SetSize(182, ""); },
     "is damaged: the size of member uart.o is not a decimal number\n"},
    {"size past the end", [] { return SetSize(246, "3"); },
     "is damaged: member a_rather_long_name.o reaches past the end of the file\n"},
    {"size of ten digits", [] { return SetSize(182, "9999999999"); },
     "is damaged: member uart.o reaches past the end of the file\n"},
    {"long name outside its table", [] { return Put(Base().bytes, 246, "/22"); },
     "is damaged: the long name of the member at offset 246 lies outside the long-name table\n"},
    {"long name without its end", [] { return Put(Base().bytes, 181, "x"); },
     "is damaged: the long name of the member at offset 246 runs past the end of the long-name "
     "table\n"},
    {"long name without a table", [] { return Put(Base().bytes, 100, "xx"); },
     "is damaged: the member at offset 246 has a long name but no long-name table precedes it\n"},
    {"BSD name longer than the member",
     [] { return "!<arch>\n" + MemberHeader("#1/12", "8") + std::string("uart.o\0\0", 8); },
     "is damaged: the name of the member at offset 8 is longer than the member\n"},
    {"BSD name length not a number", [] { return "!<arch>\n" + MemberHeader("#1/", "0"); },
     "is damaged: the name length of the member at offset 8 is not a decimal number\n"},
    {"BSD size not a number", [] { return "!<arch>\n" + MemberHeader("#1/8", "x"); },
     "is damaged: the size of the member at offset 8 is not a decimal number\n"},
    {"index without its count",
     [] { return "!<arch>\n" + MemberHeader("/", "2") + std::string(2, '\0'); },
     "is damaged: the symbol index is too short to hold its count\n"},
    {"index count past its offsets",
     [] { return Put(Base().bytes, 68, std::string("\0\0\0\x08", 4)); },
     "is damaged: the symbol index names 8 symbols but has room for 7 offsets\n"},
    {"index names cut short", [] { return Put(Base().bytes, 99, "x"); },
     "is damaged: the symbol index names 2 symbols but ends after 1\n"},
    {"index offset inside a member",
     [] { return Put(Base().bytes, 76, std::string("\0\0\0\xB7", 4)); },
     std::string("is damaged: entry 1 of the symbol index points at offset 183") + kNotObject},
    {"index offset at the long-name table",
     [] { return Put(Base().bytes, 72, std::string("\0\0\0\x64", 4)); },
     std::string("is damaged: entry 0 of the symbol index points at offset 100") + kNotObject},
    {"64-bit index count beyond any file",
     [] { return Put(Base(true).bytes, 68, std::string(8, '\xFF')); },
     "is damaged: the 64-bit symbol index names 18446744073709551615 symbols but has room for 4 "
     "offsets\n"},
    {"64-bit index offset past 4 GiB that would wrap onto a member",
     [] { return Put(Base(true).bytes, 76, std::string("\0\0\0\x01\0\0\0\xC2", 8)); },
     std::string("is damaged: entry 0 of the 64-bit symbol index points at offset 4294967490") +
         kNotObject},
};

TEST_F(ArchiveLoader, RefusesWithOneMessageNamingWhatIsWrong) {
  ASSERT_NE(Load(Base().bytes), nullptr) << err_;
  ASSERT_EQ(archive_->members[3].header, 246u);
  ASSERT_EQ(archive_->length, 308u);
  ASSERT_NE(Load(Base(true).bytes), nullptr) << err_;
  ASSERT_EQ(archive_->members[2].header, 194u);
  ASSERT_NE(Load(MsvcBase().bytes), nullptr) << err_;
  ASSERT_EQ(archive_->members[3].header, 282u);
  for (const RefusalCase& c : kRefusals) {
    EXPECT_EQ(Load(c.bytes()), nullptr) << c.title;
    EXPECT_EQ(err_, "LoadElfFile: lib.a " + c.err) << c.title;
  }
}

// Every prefix of an archive, and every byte of it set to values that mean
// something in a header, loads with everything inside the buffer or is
// refused with one line.
TEST_F(ArchiveLoader, CutOrChangedArchivesLoadOrAreRefusedCleanly) {
  ArchiveLayout bsd = GnuLayout();
  bsd.bsdNames = true;
  bsd.index.clear();
  std::vector<std::string> inputs;
  for (const std::string& full : {BuildArchive(GnuLayout()).bytes, BuildArchive(bsd).bytes}) {
    for (size_t length = 0; length < full.size(); ++length) {
      inputs.push_back(full.substr(0, length));
    }
    for (size_t i = 0; i < full.size(); ++i) {
      for (char value : {'\0', ' ', '/', '#', '1', '9', '\n', '`', '\xFF'}) {
        inputs.push_back(Put(full, i, std::string(1, value)));
      }
    }
  }
  int loaded = 0;
  for (const std::string& bytes : inputs) {
    const Archive* archive = Load(bytes);
    if (archive == nullptr) {
      EXPECT_EQ(err_.rfind("LoadElfFile: lib.a ", 0), 0u) << err_;
      EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << err_;
      continue;
    }
    ++loaded;
    EXPECT_EQ(err_, "");
    for (const ArchiveMember& m : archive->members) {
      EXPECT_LE(uint64_t{m.offset} + m.size, bytes.size());
    }
    for (const ArchiveSymbol& s : archive->symbols) {
      ASSERT_LT(s.member, archive->members.size());
      EXPECT_FALSE(archive->members[s.member].special);
      EXPECT_NE(memchr(buffer_.get() + s.nameOffset, 0, bytes.size() - s.nameOffset), nullptr);
    }
  }
  EXPECT_GT(loaded, 100);
}

}  // namespace
