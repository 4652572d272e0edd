#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "driver/messages.h"
#include "rename/pair_index.h"
#include "tests/support/cli.h"
#include "tests/support/elf_builder.h"
#include "tests/support/elf_reference.h"
#include "tests/support/loaded_images.h"

namespace {

using testelf::AddName;
using testelf::BuildObject;
using testelf::BuiltObject;
using testelf::ObjectLayout;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Loads objects built from descriptions and holds what the renamer needs.
class Renamer : public testing::Test {
 protected:
  ElfImage* Load(const std::string& bytes) { return images_.Load(bytes); }

  ElfImage* Load(const ObjectLayout& layout) { return Load(BuildObject(layout).bytes); }

  uint8_t* Copy(const ElfImage* elf) {
    tables_.push_back(CopyStringTable(elf));
    return tables_.back().get();
  }

  // Runs RenameSymbol and gives what it printed.
  static std::string Rename(const ElfImage* elf, uint8_t* table, const char* oldName,
                            const char* newName) {
    CaptureStdout();
    RenameSymbol(elf, table, oldName, newName);
    return GetCapturedStdout();
  }

  static std::string Table(const ElfImage* elf, const uint8_t* table) {
    return std::string(reinterpret_cast<const char*>(table), elf->strtab->sh_size);
  }

  static std::string OriginalTable(const ElfImage* elf) {
    return std::string(reinterpret_cast<const char*>(elf->image) + elf->strtab->sh_offset,
                       elf->strtab->sh_size);
  }

  // The name at offset in a table copy.
  static std::string NameIn(const uint8_t* table, uint32_t offset) {
    return reinterpret_cast<const char*>(table) + offset;
  }

  testelf::LoadedImages images_;
  std::vector<std::unique_ptr<uint8_t[]>> tables_;
};

// .strtab "\0foobar\0": A at 1 reads foobar, B at 4 reads bar.
ObjectLayout TailSharing() {
  ObjectLayout layout;
  layout.strtab = std::string("\0foobar\0", 8);
  layout.symbols = {{.st_name = 1}, {.st_name = 4}};
  return layout;
}

std::string Changed(const std::string& oldName, const std::string& newName) {
  return "<" + oldName + "> -> <" + newName + "> changed\n";
}

TEST_F(Renamer, CopyStringTableEqualsTheRegion) {
  ObjectLayout layout = TailSharing();
  ElfImage* elf = Load(layout);
  ASSERT_NE(elf, nullptr);
  uint8_t* table = Copy(elf);
  ASSERT_NE(table, nullptr);
  EXPECT_NE(table, elf->image + elf->strtab->sh_offset);
  EXPECT_EQ(Table(elf, table), layout.strtab);
}

TEST_F(Renamer, CopyOfAnEmptyTableIsABuffer) {
  ObjectLayout layout;
  layout.strtab = "";
  ElfImage* elf = Load(layout);
  ASSERT_NE(elf, nullptr);
  ASSERT_EQ(elf->strtab->sh_size, 0u);
  EXPECT_NE(Copy(elf), nullptr);
}

TEST_F(Renamer, RenamingTheTailNameRewritesItsBytesOnly) {
  ElfImage* elf = Load(TailSharing());
  ASSERT_NE(elf, nullptr);
  uint8_t* table = Copy(elf);
  EXPECT_EQ(Rename(elf, table, "bar", "baz"), Changed("bar", "baz"));
  EXPECT_EQ(Table(elf, table), std::string("\0foobaz\0", 8));
  EXPECT_EQ(NameIn(table, 1), "foobaz");
  EXPECT_EQ(NameIn(table, 4), "baz");
}

TEST_F(Renamer, RenamingTheLongNameRewritesTheTailName) {
  ElfImage* elf = Load(TailSharing());
  ASSERT_NE(elf, nullptr);
  uint8_t* table = Copy(elf);
  EXPECT_EQ(Rename(elf, table, "foobar", "fooqux"), Changed("foobar", "fooqux"));
  EXPECT_EQ(Table(elf, table), std::string("\0fooqux\0", 8));
  EXPECT_EQ(NameIn(table, 4), "qux");
}

TEST_F(Renamer, MatchesWholeNamesOnly) {
  ElfImage* elf = Load(TailSharing());
  ASSERT_NE(elf, nullptr);
  uint8_t* table = Copy(elf);
  for (const char* name : {"foo", "ooba", "oobar", "foobar2", "Bar", "FOOBAR", "ar", "r"}) {
    std::string same(name);
    for (char& c : same) c = c == 'z' ? 'y' : 'z';
    EXPECT_EQ(Rename(elf, table, name, same.c_str()), "") << name;
  }
  EXPECT_EQ(Table(elf, table), OriginalTable(elf));
}

TEST_F(Renamer, SymbolsSharingANameEachGetAReportLine) {
  ObjectLayout layout;
  uint32_t name = AddName(layout.strtab, "twin");
  AddName(layout.strtab, "other");
  layout.symbols = {{.st_name = name}, {.st_name = name + 5}, {.st_name = name}};
  ElfImage* elf = Load(layout);
  ASSERT_NE(elf, nullptr);
  uint8_t* table = Copy(elf);
  EXPECT_EQ(Rename(elf, table, "twin", "pair"), Changed("twin", "pair") + Changed("twin", "pair"));
  std::string expected = layout.strtab;
  expected.replace(name, 4, "pair");
  EXPECT_EQ(Table(elf, table), expected);
}

TEST_F(Renamer, LaterPairsMatchTheImageNotTheCopy) {
  ObjectLayout layout;
  uint32_t a = AddName(layout.strtab, "a");
  uint32_t b = AddName(layout.strtab, "b");
  layout.symbols = {{.st_name = a}, {.st_name = b}};
  ElfImage* elf = Load(layout);
  ASSERT_NE(elf, nullptr);
  uint8_t* table = Copy(elf);
  std::string out = Rename(elf, table, "a", "b");
  out += Rename(elf, table, "b", "c");
  EXPECT_EQ(out, Changed("a", "b") + Changed("b", "c"));
  EXPECT_EQ(NameIn(table, a), "b");
  EXPECT_EQ(NameIn(table, b), "c");
  // The image itself keeps the file's names.
  EXPECT_STREQ(GetSymbolName(elf, a), "a");
  EXPECT_STREQ(GetSymbolName(elf, b), "b");
}

TEST_F(Renamer, TwoPairsWithTheSameOldNameBothReportAndTheLaterWins) {
  ObjectLayout layout;
  uint32_t a = AddName(layout.strtab, "abc");
  layout.symbols = {{.st_name = a}};
  ElfImage* elf = Load(layout);
  ASSERT_NE(elf, nullptr);
  uint8_t* table = Copy(elf);
  std::string out = Rename(elf, table, "abc", "xyz");
  out += Rename(elf, table, "abc", "uvw");
  EXPECT_EQ(out, Changed("abc", "xyz") + Changed("abc", "uvw"));
  EXPECT_EQ(NameIn(table, a), "uvw");
}

TEST_F(Renamer, OldEqualToNewReportsAndKeepsTheTable) {
  ElfImage* elf = Load(TailSharing());
  ASSERT_NE(elf, nullptr);
  uint8_t* table = Copy(elf);
  EXPECT_EQ(Rename(elf, table, "bar", "bar"), Changed("bar", "bar"));
  EXPECT_EQ(Table(elf, table), OriginalTable(elf));
}

TEST_F(Renamer, EmptyNamesMatchSymbolsPointingAtAZeroByte) {
  ObjectLayout layout;
  uint32_t x = AddName(layout.strtab, "x");
  // st_name 0 never matches; x + 1 is x's terminating zero: the empty name.
  layout.symbols = {{.st_name = 0}, {.st_name = x}, {.st_name = x + 1}};
  ElfImage* elf = Load(layout);
  ASSERT_NE(elf, nullptr);
  uint8_t* table = Copy(elf);
  EXPECT_EQ(Rename(elf, table, "", ""), Changed("", ""));
  EXPECT_EQ(Table(elf, table), OriginalTable(elf));
}

TEST_F(Renamer, TrailingBytesOfSymtabAreNoSymbol) {
  ObjectLayout layout;
  uint32_t real = AddName(layout.strtab, "real");
  uint32_t ghost = AddName(layout.strtab, "ghost");
  layout.symbols = {{.st_name = real}};
  // Twelve trailing bytes whose first four read as ghost's offset in either
  // byte order, were they taken for a symbol.
  std::string tail(12, '\0');
  tail[0] = tail[3] = static_cast<char>(ghost);
  layout.symtabTail = tail;
  ElfImage* elf = Load(layout);
  ASSERT_NE(elf, nullptr);
  ASSERT_EQ(elf->symtab->sh_size, 44u);
  EXPECT_EQ(GetSymbolCount(elf), 2u);
  uint8_t* table = Copy(elf);
  EXPECT_EQ(Rename(elf, table, "ghost", "guest"), "");
  EXPECT_EQ(Table(elf, table), OriginalTable(elf));
}

TEST_F(Renamer, NoneNamesChangeAndPrintNothing) {
  ElfImage* elf = Load(TailSharing());
  ASSERT_NE(elf, nullptr);
  uint8_t* table = Copy(elf);
  EXPECT_EQ(Rename(elf, table, nullptr, "bar"), "");
  EXPECT_EQ(Rename(elf, table, "bar", nullptr), "");
  EXPECT_EQ(Rename(elf, table, nullptr, nullptr), "");
  EXPECT_EQ(Table(elf, table), OriginalTable(elf));
}

TEST_F(Renamer, UnequalLengthsAreRefusedOnStandardOutput) {
  ElfImage* elf = Load(TailSharing());
  ASSERT_NE(elf, nullptr);
  uint8_t* table = Copy(elf);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Rename(elf, table, "bar", "bazz"),
            "ERROR: The newsym length is not equal with the oldsym length\n --- bar\n +++ bazz\n");
  EXPECT_EQ(Rename(elf, table, "foobar", ""),
            "ERROR: The newsym length is not equal with the oldsym length\n --- foobar\n +++ \n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(Table(elf, table), OriginalTable(elf));
}

TEST_F(Renamer, NoMatchPrintsNothingAndKeepsTheTable) {
  ElfImage* elf = Load(TailSharing());
  ASSERT_NE(elf, nullptr);
  uint8_t* table = Copy(elf);
  EXPECT_EQ(Rename(elf, table, "absent", "nobody"), "");
  EXPECT_EQ(Table(elf, table), OriginalTable(elf));
}

TEST_F(Renamer, SectionNamesInStrtabAreNeverMatched) {
  ObjectLayout layout;
  layout.namesInStrtab = true;
  layout.sections = {{.name = ".text", .bytes = "code"}};
  ElfImage* elf = Load(layout);
  ASSERT_NE(elf, nullptr);
  ASSERT_EQ(elf->sectionNames, elf->strtab);
  uint8_t* table = Copy(elf);
  EXPECT_EQ(Rename(elf, table, ".text", ".tex2"), "");
  EXPECT_EQ(Rename(elf, table, ".symtab", ".symta2"), "");
  EXPECT_EQ(Table(elf, table), OriginalTable(elf));
}

TEST_F(Renamer, ObjectsWithoutTablesAreLeftAlone) {
  ObjectLayout noStrtab = TailSharing();
  noStrtab.withStrtab = false;
  ObjectLayout noSymtab = TailSharing();
  noSymtab.withSymtab = false;
  for (const ObjectLayout& layout : {noStrtab, noSymtab}) {
    ElfImage* elf = Load(layout);
    ASSERT_NE(elf, nullptr);
    uint8_t table[8] = {'s', 'e', 'n', 't', 'r', 'y', '!', '\0'};
    EXPECT_EQ(Rename(elf, table, "bar", "baz"), "");
    EXPECT_EQ(Rename(elf, table, "", ""), "");
    EXPECT_STREQ(reinterpret_cast<const char*>(table), "sentry!");
  }
}

// FindRenames, WriteRenames and ReportRenames: the one-pass form of RenameSymbol per pair.
struct Pairs {
  std::vector<const char*> oldNames;
  std::vector<const char*> newNames;
};

TEST_F(Renamer, FindRenamesOrdersByPairThenSymbol) {
  ObjectLayout layout;
  uint32_t a = AddName(layout.strtab, "a");
  uint32_t b = AddName(layout.strtab, "b");
  layout.symbols = {{.st_name = b}, {.st_name = a}, {.st_name = b}, {.st_name = 0}};
  ElfImage* elf = Load(layout);
  ASSERT_NE(elf, nullptr);
  const std::vector<const char*> oldNames = {"b", "zz", "a", "b"};
  std::vector<RenameMatch> matches = FindRenames(elf, IndexOldNames(oldNames));
  std::vector<std::pair<uint32_t, uint32_t>> got;
  for (const RenameMatch& m : matches) got.emplace_back(m.pair, m.symbol);
  EXPECT_EQ(got,
            (std::vector<std::pair<uint32_t, uint32_t>>{{0, 1}, {0, 3}, {2, 2}, {3, 1}, {3, 3}}));
  EXPECT_TRUE(FindRenames(elf, IndexOldNames({})).empty());
}

// Symbols are read in the object's own class and byte order.
class RenamerInEveryLayout : public Renamer,
                             public testing::WithParamInterface<std::pair<uint8_t, uint8_t>> {
 protected:
  ObjectLayout InLayout(ObjectLayout layout) {
    std::tie(layout.eiClass, layout.eiData) = GetParam();
    return layout;
  }
};
INSTANTIATE_TEST_SUITE_P(Layouts, RenamerInEveryLayout, testing::ValuesIn(testelf::kEveryLayout));

TEST_P(RenamerInEveryLayout, IndexedRenamesGiveWhatRenameSymbolPerPairGives) {
  ObjectLayout layout;
  std::vector<uint32_t> at;
  for (const char* name : {"alpha", "omega", "beta", "", "gamma", "alpha"})
    at.push_back(AddName(layout.strtab, name));
  for (uint32_t offset : at) layout.symbols.push_back({.st_name = offset});
  layout.symbols.push_back({.st_name = at[0]});
  layout.symbols.push_back({.st_name = at[2] + 1});  // "eta"
  ElfImage* elf = Load(InLayout(layout));
  ASSERT_NE(elf, nullptr);
  const Pairs pairs = {{"alpha", "omega", "eta", "beta", "alpha", "nope", "", "gamma"},
                       {"omega", "alpha", "ETA", "BETA", "ALPHA", "NOPE", "", "delta"}};
  uint8_t* perPair = Copy(elf);
  std::string expectedOut;
  for (size_t i = 0; i < pairs.oldNames.size(); ++i) {
    expectedOut += Rename(elf, perPair, pairs.oldNames[i], pairs.newNames[i]);
  }
  uint8_t* onePass = Copy(elf);
  std::vector<RenameMatch> matches = FindRenames(elf, IndexOldNames(pairs.oldNames));
  CaptureStdout();
  WriteRenames(onePass, matches, pairs.oldNames, pairs.newNames);
  ReportRenames(matches, pairs.oldNames, pairs.newNames);
  EXPECT_EQ(GetCapturedStdout(), expectedOut);
  EXPECT_EQ(Table(elf, onePass), Table(elf, perPair));
  EXPECT_EQ(Table(elf, onePass), std::string("\0ALPHA\0alpha\0BETA\0\0delta\0ALPHA\0", 31));
}

// FindRenameClash for a single pair.
RenameClash Clash(const ElfImage* elf, const Pairs& pairs) {
  std::vector<RenameMatch> matches = FindRenames(elf, IndexOldNames(pairs.oldNames));
  return FindRenameClash(elf, matches, pairs.oldNames, pairs.newNames);
}

std::string Describe(const RenameClash& clash) {
  if (clash.victim == nullptr && clash.writerOld == nullptr) return "none";
  return std::string("writer ") + (clash.writerOld ? clash.writerOld : "(none)") + ", victim " +
         (clash.victim ? clash.victim : "(none)");
}

struct ClashCase {
  Pairs pairs;
  std::string expected;
};

TEST_P(RenamerInEveryLayout, FindRenameClashJudgesTailSharingNames) {
  ElfImage* elf = Load(InLayout(TailSharing()));
  ASSERT_NE(elf, nullptr);
  const ClashCase cases[] = {
      {{{"bar"}, {"baz"}}, "writer bar, victim foobar"},
      {{{"foobar"}, {"fooqux"}}, "writer foobar, victim bar"},
      {{{"foobar"}, {"zoobar"}}, "none"},
      {{{"foobar"}, {"foobaR"}}, "writer foobar, victim bar"},
      {{{"foobar", "bar"}, {"fooqux", "qux"}}, "none"},
      {{{"bar", "foobar"}, {"qux", "fooqux"}}, "none"},
      {{{"foobar", "bar"}, {"fooqux", "quy"}}, "writer bar, victim foobar"},
      {{{"bar"}, {"bar"}}, "none"},
      {{{"foobar"}, {"foobar"}}, "none"},
      {{{"absent"}, {"nobody"}}, "none"},
      {{{}, {}}, "none"},
  };
  for (const ClashCase& c : cases) {
    std::string pairs;
    for (size_t i = 0; i < c.pairs.oldNames.size(); ++i) {
      pairs += std::string(c.pairs.oldNames[i]) + "->" + c.pairs.newNames[i] + " ";
    }
    EXPECT_EQ(Describe(Clash(elf, c.pairs)), c.expected) << pairs;
  }
}

TEST_F(Renamer, FindRenameClashLeavesSymbolsWithoutNamesAlone) {
  ObjectLayout layout = TailSharing();
  layout.symbols.push_back({.st_name = 0});
  ElfImage* elf = Load(layout);
  ASSERT_NE(elf, nullptr);
  EXPECT_EQ(Describe(Clash(elf, {{"foobar"}, {"zoobar"}})), "none");
}

TEST_F(Renamer, FindRenameClashProtectsSectionNamesSharingStrtab) {
  ObjectLayout layout;
  layout.namesInStrtab = true;
  layout.sections = {{.name = ".text", .bytes = "code"}, {.name = ".data", .bytes = "data"}};
  BuiltObject object = BuildObject(layout);
  ElfImage* elf = Load(object.bytes);
  ASSERT_NE(elf, nullptr);
  ASSERT_EQ(elf->sectionNames, elf->strtab);
  // Symbols whose names are stored inside the section names: "text" is the
  // tail of ".text", and ".data" is the very bytes of that section's name.
  uint32_t text = GetSectionNameOffset(elf, 1);
  uint32_t data = GetSectionNameOffset(elf, 2);
  ASSERT_STREQ(GetSymbolName(elf, text), ".text");
  ASSERT_STREQ(GetSymbolName(elf, data), ".data");
  // Point two symbols at those names after the fact: the builder lays out the
  // section names after the symbols are described.
  layout.symbols = {{.st_name = text + 1}, {.st_name = data}};
  object = BuildObject(layout);
  elf = Load(object.bytes);
  ASSERT_NE(elf, nullptr);
  ASSERT_STREQ(GetSymbolName(elf, GetSymbolNameOffset(elf, 1)), "text");
  EXPECT_EQ(Describe(Clash(elf, {{"text"}, {"txet"}})), "writer text, victim .text");
  EXPECT_EQ(Describe(Clash(elf, {{".data"}, {".DATA"}})), "writer .data, victim .data");
  EXPECT_EQ(Describe(Clash(elf, {{"text"}, {"text"}})), "none");
}

TEST_F(Renamer, FindRenameClashIgnoresSectionNamesOfTheirOwnTable) {
  ObjectLayout layout;
  layout.sections = {{.name = ".text", .bytes = "code"}};
  uint32_t text = AddName(layout.strtab, ".text");
  layout.symbols = {{.st_name = text}, {.st_name = text + 1}};
  ElfImage* elf = Load(layout);
  ASSERT_NE(elf, nullptr);
  ASSERT_NE(elf->sectionNames, elf->strtab);
  EXPECT_EQ(Describe(Clash(elf, {{".text", "text"}, {".TEXT", "TEXT"}})), "none");
}

// Growth clears the renamed-away name, unless a section other than .symtab
// reads names from .strtab, whose names it cannot follow.
TEST_F(Renamer, GrowthKeepsEveryNameForAnotherReaderOfStrtab) {
  for (uint32_t link : {0u, 3u}) {  // .strtab is section 3
    ObjectLayout layout;
    layout.sections = {{.name = ".other", .sh_type = 2, .bytes = "", .sh_link = link}};
    const uint32_t name = AddName(layout.strtab, "alpha");
    layout.symbols = {{.st_name = name}};
    const ElfImage* elf = Load(layout);
    ASSERT_NE(elf, nullptr);
    const char* oldNames[] = {"alpha"};
    const char* newNames[] = {"alphabet"};
    Result<ObjectRenames> renames =
        RenameObject(elf, "x.o", IndexOldNames(oldNames), newNames, true);
    ASSERT_TRUE(renames);
    ASSERT_TRUE(renames->grew);
    ASSERT_FALSE(renames->patches.empty());
    const char* table = reinterpret_cast<const char*>(renames->patches.back().bytes.data());
    EXPECT_EQ(std::string(table + name), link ? "alpha" : "") << "sh_link " << link;
  }
}

// Renames on objects damaged at random must never reach outside the image or
// the copy; run under a sanitizer this proves it, and it must not crash here.
TEST_F(Renamer, RandomlyDamagedObjectsAreRenamedSafely) {
  ObjectLayout layout;
  layout.namesInStrtab = true;
  layout.sections = {{.name = ".text", .bytes = "code"}};
  layout.strtab = std::string("\0foobar\0bar\0", 12);
  layout.symbols = {{.st_name = 1}, {.st_name = 4}, {.st_name = 8}, {.st_name = 9}};
  const BuiltObject base = BuildObject(layout);
  std::vector<uint32_t> fields;
  for (uint32_t k = 1; k <= 4; ++k) fields.push_back(base.sectionOffset.at(".symtab") + 16 * k);
  for (uint32_t i = 0; i < base.shnum; ++i) {
    for (uint32_t f : {testelf::kShName, testelf::kShOffset, testelf::kShSize}) {
      fields.push_back(testelf::SectionHeaderField(base, i, f));
    }
  }
  uint64_t state = 12345;
  auto next = [&state]() {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<uint32_t>(state >> 33);
  };
  const Pairs pairs = {{"foobar", "bar", "ar", "", "text"}, {"fooqux", "qux", "qx", "", "txet"}};
  int renamed = 0;
  for (int round = 0; round < 1500; ++round) {
    std::string bytes = base.bytes;
    for (int c = 0; c < 2; ++c) {
      const uint32_t values[] = {0, 1, 2, 4, 7, 8, 11, 12, 16, 0xFFFFFFFF, next() % 256, next()};
      testelf::PutBe32(bytes, fields[next() % fields.size()], values[next() % 12]);
    }
    testing::internal::CaptureStderr();
    ElfImage* elf = Load(bytes);
    testing::internal::GetCapturedStderr();
    if (elf == nullptr || !elf->strtab || !elf->symtab) continue;
    ++renamed;
    std::vector<RenameMatch> matches = FindRenames(elf, IndexOldNames(pairs.oldNames));
    FindRenameClash(elf, matches, pairs.oldNames, pairs.newNames);
    uint8_t* table = Copy(elf);
    CaptureStdout();
    WriteRenames(table, matches, pairs.oldNames, pairs.newNames);
    for (size_t i = 0; i < pairs.oldNames.size(); ++i) {
      RenameSymbol(elf, table, pairs.oldNames[i], pairs.newNames[i]);
    }
    GetCapturedStdout();
  }
  EXPECT_GT(renamed, 0);
}

// The plain reading of the shared-name-bytes rule, for comparison: play every
// write on a scratch copy of .strtab, then read every symbol name and every
// section name whose bytes lie in .strtab back from it.
std::string PlainClash(const ElfImage* elf, const Pairs& pairs) {
  const ElfSection* strtab = &*elf->strtab;
  const char* original = reinterpret_cast<const char*>(elf->image) + strtab->sh_offset;
  std::string edited(original, strtab->sh_size);
  const uint32_t count = GetSymbolCount(elf);
  std::vector<int> lastPair(count, -1);
  for (size_t p = 0; p < pairs.oldNames.size(); ++p) {
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t offset = GetSymbolNameOffset(elf, i);
      if (offset == 0 || strcmp(GetSymbolName(elf, offset), pairs.oldNames[p]) != 0) continue;
      memcpy(edited.data() + offset, pairs.newNames[p], strlen(pairs.newNames[p]) + 1);
      lastPair[i] = static_cast<int>(p);
    }
  }
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t offset = GetSymbolNameOffset(elf, i);
    if (offset == 0) continue;
    const char* name = GetSymbolName(elf, offset);
    std::string expected = lastPair[i] < 0 ? name : pairs.newNames[lastPair[i]];
    if (edited.compare(offset, expected.size() + 1, expected.c_str(), expected.size() + 1) != 0) {
      return std::string("victim ") + name;
    }
  }
  if (!elf->sectionNames) return "none";
  for (uint32_t i = 0; i < GetSectionCount(elf); ++i) {
    const char* name = GetSectionName(elf, GetSectionNameOffset(elf, i));
    if (name == nullptr) continue;
    int64_t start = name - original;
    for (int64_t k = 0; k <= static_cast<int64_t>(strlen(name)); ++k) {
      int64_t at = start + k;
      if (at >= 0 && at < strtab->sh_size && edited[static_cast<size_t>(at)] != original[at]) {
        return std::string("victim ") + name;
      }
    }
  }
  return "none";
}

// Tables full of shared tails, symbols at every kind of offset, section
// names sharing .strtab or not, and pairs of names that are and are not
// stored: the clash check must judge every case as the plain rule does.
TEST_F(Renamer, FindRenameClashAgreesWithThePlainRule) {
  uint64_t state = 2024;
  auto next = [&state](uint32_t below) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<uint32_t>(state >> 33) % below;
  };
  auto word = [&next](size_t length, const char* letters) {
    std::string w;
    for (size_t k = 0; k < length; ++k) w += letters[next(static_cast<uint32_t>(strlen(letters)))];
    return w;
  };
  int clashes = 0;
  int rounds = 0;
  for (int round = 0; round < 1500; ++round) {
    ObjectLayout layout;
    layout.namesInStrtab = next(2) == 0;
    for (uint32_t n = next(3); n > 0; --n) {
      layout.sections.push_back({.name = ".t" + word(1 + next(2), "ab"), .bytes = "code"});
    }
    for (uint32_t n = 1 + next(5); n > 0; --n) AddName(layout.strtab, word(1 + next(5), "ab"));
    // The table as laid out, section names included when they share it.
    ElfImage* bare = Load(layout);
    ASSERT_NE(bare, nullptr);
    const std::string table = OriginalTable(bare);
    for (uint32_t n = 1 + next(8); n > 0; --n)
      layout.symbols.push_back({.st_name = next(static_cast<uint32_t>(table.size()))});
    // Sometimes the extra sections' names start inside the symbols' names
    // too, as a linker sharing one table for both may store them.
    BuiltObject object = BuildObject(layout);
    if (layout.namesInStrtab) {
      for (uint32_t i = 1; i <= layout.sections.size(); ++i) {
        if (next(2) != 0) continue;
        uint32_t name = 1 + next(static_cast<uint32_t>(table.size()) - 1);
        testelf::PutBe32(object.bytes, testelf::SectionHeaderField(object, i, testelf::kShName),
                         name);
      }
    }
    ElfImage* elf = Load(object.bytes);
    ASSERT_NE(elf, nullptr);
    // Old names: stored names (from any offset) or absent ones; new names
    // of the same length, sometimes equal to the old.
    std::vector<std::string> olds;
    std::vector<std::string> news;
    for (uint32_t n = 1 + next(3); n > 0; --n) {
      std::string old =
          next(4) == 0 ? word(1 + next(4), "ab")
                       : std::string(table.c_str() + next(static_cast<uint32_t>(table.size())));
      olds.push_back(old);
      news.push_back(next(5) == 0 ? old : word(old.size(), "abc"));
    }
    Pairs pairs;
    for (size_t k = 0; k < olds.size(); ++k) {
      pairs.oldNames.push_back(olds[k].c_str());
      pairs.newNames.push_back(news[k].c_str());
    }
    const RenameClash clash = Clash(elf, pairs);
    const std::string plain = PlainClash(elf, pairs);
    const std::string got = clash.victim ? std::string("victim ") + clash.victim : "none";
    std::string description = "table";
    for (char c : table) description += c ? std::string(1, c) : std::string("|");
    for (size_t k = 0; k < olds.size(); ++k) description += " " + olds[k] + "->" + news[k];
    ASSERT_EQ(got, plain) << description;
    if (clash.victim != nullptr) {
      ++clashes;
      ASSERT_NE(clash.writerOld, nullptr) << description;
    }
    ++rounds;
  }
  EXPECT_GT(clashes, rounds / 10);
  EXPECT_LT(clashes, rounds * 9 / 10);
}

}  // namespace
