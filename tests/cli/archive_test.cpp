// Static libraries through the built namepatch: every object member renamed
// as an object given on the command line would be, the symbol index following
// its members, and an archive judged whole before any byte of it is written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
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
using testelf::AddName;
using testelf::BuildArchive;
using testelf::BuildObject;
using testelf::ObjectLayout;

using Args = std::vector<std::string>;

// A member: an object with one symbol of each name, its .text the member's
// name so that members with the same symbols differ; or raw bytes.
struct Member {
  std::string name;
  std::vector<std::string> symbols;
  std::string raw = "";
  uint32_t emptySections = 0;  // 65,280 or more takes extended numbering
  uint8_t eiClass = 1;         // the layout: ELFCLASS32 or ELFCLASS64
  uint8_t eiData = 2;          // ELFDATA2MSB or ELFDATA2LSB
};

std::string ObjectOf(const Member& member, const std::vector<std::string>& symbols) {
  if (!member.raw.empty()) return member.raw;
  ObjectLayout layout;
  layout.sections = {{.name = ".text", .bytes = member.name, .sh_flags = 6}};
  for (const std::string& name : symbols) {
    layout.symbols.push_back({.st_name = AddName(layout.strtab, name)});
  }
  layout.emptySections = member.emptySections;
  layout.extendedNumbering = member.emptySections >= 0xFF00;
  layout.eiClass = member.eiClass;
  layout.eiData = member.eiData;
  return BuildObject(layout).bytes;
}

struct Library {
  std::vector<Member> members;
  std::vector<testelf::IndexEntry> index = {};
  bool index64 = false;
  bool bsdNames = false;
};

// The library's bytes, with each member's symbols and each entry's name
// replaced by those given, where given.
std::string Lay(const Library& library, const std::vector<std::vector<std::string>>& symbols = {},
                const std::vector<std::string>& entries = {}) {
  testelf::ArchiveLayout layout;
  for (size_t m = 0; m < library.members.size(); ++m) {
    const Member& member = library.members[m];
    layout.members.push_back(
        {member.name, ObjectOf(member, symbols.empty() ? member.symbols : symbols[m])});
  }
  layout.index = library.index;
  for (size_t e = 0; e < entries.size(); ++e) layout.index[e].symbol = entries[e];
  layout.index64 = library.index64;
  layout.bsdNames = library.bsdNames;
  return BuildArchive(layout).bytes;
}

std::string Changed(const std::string& oldName, const std::string& newName) {
  return "<" + oldName + "> -> <" + newName + "> changed\n";
}

std::string FullPath(const ScratchDir& dir, const std::string& name) {
  return fs::canonical(dir.path()).string() + "/" + name;
}

struct RenameCase {
  const char* what;
  std::string list;
  Library before;
  std::vector<std::vector<std::string>> symbolsAfter;  // per member
  std::vector<std::string> entriesAfter;               // per index entry
  std::string out;
};

const Member kNotes = {"notes.txt", {}, "uart_init is not an object\n"};

TEST(Archives, MembersAreRenamedAsObjectsAndTheIndexFollowsThem) {
  const RenameCase cases[] = {
      {"members report in archive order, not in pair order; an entry follows only its member",
       "spi_init spi_boot\nuart_init uart_boot\n",
       {{{"uart.o", {"uart_init", "uart_read"}},
         kNotes,
         {"a_rather_long_member_name.o", {"spi_init"}}},
        {{"uart_init", 0}, {"uart_read", 0}, {"spi_init", 2}, {"spi_init", 0}}},
       {{"uart_boot", "uart_read"}, {}, {"spi_boot"}},
       {"uart_boot", "uart_read", "spi_boot", "spi_init"},
       Changed("uart_init", "uart_boot") + Changed("spi_init", "spi_boot")},
      {"a 64-bit index takes the new name of the later pair of one old name",
       "log_write log_print\nlog_write log_trace\n",
       {{{"log.o", {"log_write"}}, {"two.o", {"other", "log_write"}}},
        {{"log_write", 0}, {"other", 1}, {"log_write", 1}},
        true},
       {{"log_trace"}, {"other", "log_trace"}},
       {"log_trace", "other", "log_trace"},
       Changed("log_write", "log_print") + Changed("log_write", "log_trace") +
           Changed("log_write", "log_print") + Changed("log_write", "log_trace")},
      {"a swap across members",
       "alpha omega omega alpha\n",
       {{{"a.o", {"alpha"}}, {"o.o", {"omega"}}}, {{"alpha", 0}, {"omega", 1}}},
       {{"omega"}, {"alpha"}},
       {"omega", "alpha"},
       Changed("alpha", "omega") + Changed("omega", "alpha")},
      {"BSD names without an index",
       "aa bb\n",
       {{{"short.o", {"aa", "cc"}}, {"a name with spaces.o", {"aa"}}}, {}, false, true},
       {{"bb", "cc"}, {"bb"}},
       {},
       Changed("aa", "bb") + Changed("aa", "bb")},
      {"a member with extended section numbering",
       "aa bb\n",
       {{{"many.o", {"aa"}, "", 65300}}, {{"aa", 0}}},
       {{"bb"}},
       {"bb"},
       Changed("aa", "bb")},
      {"members of every layout under a 64-bit index, one with extended numbering",
       "aa bb\n",
       {{{"le32.o", {"aa"}, "", 0, 1, 1},
         {"be32.o", {"cc", "aa"}},
         {"le64.o", {"aa"}, "", 65300, 2, 1},
         {"be64.o", {"aa"}, "", 0, 2, 2}},
        {{"aa", 0}, {"cc", 1}, {"aa", 2}, {"aa", 3}},
        true},
       {{"bb"}, {"cc", "bb"}, {"bb"}, {"bb"}},
       {"bb", "cc", "bb", "bb"},
       Changed("aa", "bb") + Changed("aa", "bb") + Changed("aa", "bb") + Changed("aa", "bb")},
      {"an empty archive", "aa bb\n", {}, {}, {}, ""},
  };
  for (const RenameCase& c : cases) {
    const std::string before = Lay(c.before);
    const std::string after = Lay(c.before, c.symbolsAfter, c.entriesAfter);
    ASSERT_EQ(after.size(), before.size()) << c.what;
    for (bool toOutput : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (toOutput ? " with -o" : " in place"));
      ScratchDir dir;
      dir.Write("pairs.txt", c.list);
      dir.Write("lib.a", before);
      Args args = {"-a", "pairs.txt", "lib.a"};
      if (toOutput) args.insert(args.end(), {"-o", "out.a"});
      RunResult r = RunNamepatch(args, dir.path());
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.out, c.out);
      EXPECT_EQ(dir.Read(toOutput ? "out.a" : "lib.a"), after);
      if (toOutput) {
        EXPECT_EQ(dir.Read("lib.a"), before);
        EXPECT_EQ(dir.List(), (std::vector<std::string>{"lib.a", "out.a", "pairs.txt"}));
      } else {
        EXPECT_EQ(dir.List(), (std::vector<std::string>{"lib.a", "pairs.txt"}));
      }
    }
  }
}

TEST(Archives, ArchiveWhoseRenamesChangeNoByteIsNotRewritten) {
  const Library library = {{{"uart.o", {"uart_init"}}, kNotes}, {{"uart_init", 0}}};
  const struct {
    Args pair;
    std::string out;
  } cases[] = {
      {{"-c", "nothing", "-n", "nowhere"}, ""},
      {{"-c", "uart_init", "-n", "uart_init"}, Changed("uart_init", "uart_init")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pair[1]);
    ScratchDir dir;
    dir.Write("lib.a", Lay(library));
    const fs::file_time_type then = fs::last_write_time(dir / "lib.a") - std::chrono::hours(100);
    fs::last_write_time(dir / "lib.a", then);
    struct stat before {};
    ASSERT_EQ(stat((dir / "lib.a").c_str(), &before), 0);
    Args args = c.pair;
    args.push_back("lib.a");
    RunResult r = RunNamepatch(args, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, c.out);
    struct stat after {};
    ASSERT_EQ(stat((dir / "lib.a").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(fs::last_write_time(dir / "lib.a"), then);
    EXPECT_EQ(dir.Read("lib.a"), Lay(library));
  }
}

// .strtab "\0foobar\0": foobar at 1 and bar at 4, in its tail.
std::string TailSharing() {
  ObjectLayout layout;
  layout.strtab = std::string("\0foobar\0", 8);
  layout.symbols = {{.st_name = 1}, {.st_name = 4}};
  return BuildObject(layout).bytes;
}

std::string SymtabOutsideTheFile() {
  ObjectLayout layout;
  layout.symbols = {{.st_name = AddName(layout.strtab, "bar")}};
  testelf::BuiltObject object = BuildObject(layout);
  const uint32_t symtab = object.sectionIndex.at(".symtab");
  testelf::PutBe32(object.bytes, SectionHeaderField(object, symtab, testelf::kShOffset),
                   0xFFFFFF00);
  return object.bytes;
}

std::string UnknownByteOrder() {
  ObjectLayout layout;
  layout.eiData = 3;
  return BuildObject(layout).bytes;
}

// A library whose first member renames bar, so that a refusal of a later
// member shows that nothing of the archive is written or reported.
std::string WithBadMember(const std::string& name, const std::string& bytes) {
  return Lay({{{"good.o", {"bar"}}, {name, {}, bytes}}, {{"bar", 0}}});
}

std::string Thin() {
  std::string bytes = Lay({{{"good.o", {"bar"}}}, {{"bar", 0}}});
  return bytes.replace(0, 8, "!<thin>\n");
}

std::string Cut() {
  std::string bytes = Lay({{{"good.o", {"bar"}}}});
  bytes.resize(bytes.size() - 10);
  return bytes;
}

struct RefusalCase {
  const char* what;
  std::string bytes;
  std::string err;  // %s stands for the archive's full path
};

TEST(Archives, RefusedArchiveIsLeftWholeAfterEarlierOutputs) {
  const RefusalCase cases[] = {
      {"damaged member", WithBadMember("uart.o", SymtabOutsideTheFile()),
       "LoadElfFile: %s(uart.o) is damaged: .symtab lies outside the file\n"},
      {"member of another ELF kind",
       WithBadMember("a_rather_long_member_name.o", UnknownByteOrder()),
       "LoadElfFile: %s(a_rather_long_member_name.o) is not an ELF file of a known class and byte "
       "order\n"},
      {"member whose rename changes another name", WithBadMember("shared.o", TailSharing()),
       "ERROR: renaming <bar> would also change <foobar> in %s(shared.o)\n" + testcli::kGrowHint},
      {"thin archive", Thin(),
       "LoadElfFile: %s is a thin archive; rename its member files instead\n"},
      {"BSD index", Lay({{{"__.SYMDEF", {}, "any"}, {"good.o", {"bar"}}}, {}, false, true}),
       "LoadElfFile: %s has a symbol index that cannot be updated\n"},
      {"damaged archive", Cut(),
       "LoadElfFile: %s is damaged: member good.o reaches past the end of the file\n"},
  };
  const std::string first = ObjectOf({"first.o", {"bar"}}, {"bar"});
  const std::string last = ObjectOf({"last.o", {"bar"}}, {"bar"});
  for (const RefusalCase& c : cases) {
    for (bool toOutput : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (toOutput ? " with -o" : " in place"));
      ScratchDir dir;
      dir.Write("first.o", first);
      dir.Write("lib.a", c.bytes);
      dir.Write("last.o", last);
      Args args = {"-c", "bar", "-n", "baz", "first.o", "lib.a", "last.o"};
      if (toOutput) args.insert(args.begin(), {"-o", "out.o"});
      RunResult r = RunNamepatch(args, dir.path());
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, Changed("bar", "baz"));
      std::string err = c.err;
      err.replace(err.find("%s"), 2, FullPath(dir, "lib.a"));
      EXPECT_EQ(r.err, err);
      const std::string renamed = ObjectOf({"first.o", {}}, {"baz"});
      EXPECT_EQ(dir.Read(toOutput ? "out.o" : "first.o"), renamed);
      if (toOutput) {
        EXPECT_EQ(dir.Read("first.o"), first);
      }
      EXPECT_EQ(dir.Read("lib.a"), c.bytes);
      EXPECT_EQ(dir.Read("last.o"), last);
      std::vector<std::string> files = {"first.o", "last.o", "lib.a"};
      if (toOutput) files.push_back("out.o");
      EXPECT_EQ(dir.List(), files);
    }
  }
}

}  // namespace
