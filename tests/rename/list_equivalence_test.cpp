// The indexed renames of a list against the plain renamer applied pair by
// pair, and the clash check against playing every write on a scratch table,
// on random objects and lists full of repeated, chained and swapped names.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "driver/messages.h"
#include "rename/pair_index.h"
#include "tests/support/elf_builder.h"
#include "tests/support/elf_reference.h"
#include "tests/support/loaded_images.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Few short names, so that lists repeat, chain and swap them, and tails of
// each other ("ab" ends "cab"), so that names share bytes.
const char* const kVocabulary[] = {"a", "b", "ab", "ba", "cab", "abc", "bca", "xy", "yx", "xyz"};

struct RandomCase {
  testelf::ObjectLayout layout;
  std::vector<std::string> oldNames;
  std::vector<std::string> newNames;
};

std::string Pick(std::mt19937& rng) { return kVocabulary[rng() % std::size(kVocabulary)]; }

// A name of the same length as name, from the vocabulary when one fits.
std::string SameLength(std::mt19937& rng, const std::string& name) {
  std::vector<std::string> fits;
  for (const char* word : kVocabulary) {
    if (strlen(word) == name.size()) fits.push_back(word);
  }
  return fits[rng() % fits.size()];
}

// An object of up to 8 stored names and 11 symbols, or scale times as many.
RandomCase MakeCase(std::mt19937& rng, int scale = 1) {
  RandomCase c;
  c.layout.namesInStrtab = rng() % 4 == 0;
  std::vector<uint32_t> offsets;
  for (int i = 0, n = scale * (1 + static_cast<int>(rng() % 8)); i < n; ++i) {
    std::string name = Pick(rng);
    uint32_t at = testelf::AddName(c.layout.strtab, name);
    offsets.push_back(at);
    // Point into the middle of the name too: a stored tail.
    if (name.size() > 1)
      offsets.push_back(at + 1 + static_cast<uint32_t>(rng() % (name.size() - 1)));
  }
  for (int i = 0, n = scale * static_cast<int>(rng() % 12); i < n; ++i) {
    uint32_t offset = rng() % 6 == 0 ? 0 : offsets[rng() % offsets.size()];
    c.layout.symbols.push_back({.st_name = offset});
  }
  for (int i = 0, n = static_cast<int>(rng() % 7); i < n; ++i) {
    std::string old = Pick(rng);
    c.oldNames.push_back(old);
    c.newNames.push_back(SameLength(rng, old));
  }
  return c;
}

std::vector<const char*> Pointers(const std::vector<std::string>& names) {
  std::vector<const char*> out;
  for (const std::string& name : names) out.push_back(name.c_str());
  return out;
}

// Plays every match on a scratch table and reads every name back.
bool HasClashByScratch(const ElfImage* elf, const std::vector<RenameMatch>& matches,
                       const std::vector<const char*>& oldNames,
                       const std::vector<const char*>& newNames) {
  const uint8_t* original = elf->image + elf->strtab->sh_offset;
  std::string edited(reinterpret_cast<const char*>(original), elf->strtab->sh_size);
  std::vector<int> lastPair(GetSymbolCount(elf), -1);
  for (const RenameMatch& m : matches) {
    memcpy(edited.data() + m.offset, newNames[m.pair], strlen(oldNames[m.pair]) + 1);
    lastPair[m.symbol] = static_cast<int>(m.pair);
  }
  for (uint32_t i = 0; i < lastPair.size(); ++i) {
    uint32_t offset = GetSymbolNameOffset(elf, i);
    if (offset == 0) continue;
    const char* name = GetSymbolName(elf, offset);
    const char* expected = lastPair[i] < 0 ? name : newNames[lastPair[i]];
    if (memcmp(edited.data() + offset, expected, strlen(name) + 1) != 0) return true;
  }
  if (elf->sectionNames == elf->strtab) {
    for (uint32_t i = 0; i < GetSectionCount(elf); ++i) {
      uint32_t offset = GetSectionNameOffset(elf, i);
      const char* name = GetSectionName(elf, offset);
      if (name != nullptr && memcmp(edited.data() + offset, name, strlen(name) + 1) != 0) {
        return true;
      }
    }
  }
  return false;
}

TEST(ListRenames, IndexAgreesWithOnePassPerPairOnRandomLists) {
  std::mt19937 rng(20261208);
  testelf::LoadedImages images;
  int clashes = 0;
  for (int round = 0; round < 3000; ++round) {
    // The last rounds' objects have thousands of matches, which are sorted
    // otherwise than a few are.
    RandomCase c = MakeCase(rng, round < 2980 ? 1 : 3000);
    ElfImage* elf = images.Load(testelf::BuildObject(c.layout).bytes);
    ASSERT_NE(elf, nullptr) << "round " << round;
    std::vector<const char*> oldNames = Pointers(c.oldNames);
    std::vector<const char*> newNames = Pointers(c.newNames);

    std::unique_ptr<uint8_t[]> perPairTable = CopyStringTable(elf);
    uint8_t* perPair = perPairTable.get();
    CaptureStdout();
    for (size_t i = 0; i < oldNames.size(); ++i) {
      RenameSymbol(elf, perPair, oldNames[i], newNames[i]);
    }
    std::string perPairOut = GetCapturedStdout();

    std::unique_ptr<uint8_t[]> indexedTable = CopyStringTable(elf);
    uint8_t* indexed = indexedTable.get();
    std::vector<RenameMatch> matches = FindRenames(elf, IndexOldNames(oldNames));
    WriteRenames(indexed, matches, oldNames, newNames);
    CaptureStdout();
    ReportRenames(matches, oldNames, newNames);
    EXPECT_EQ(GetCapturedStdout(), perPairOut) << "round " << round;
    EXPECT_EQ(memcmp(indexed, perPair, elf->strtab->sh_size), 0) << "round " << round;

    RenameClash clash = FindRenameClash(elf, matches, oldNames, newNames);
    bool expected = HasClashByScratch(elf, matches, oldNames, newNames);
    EXPECT_EQ(clash.victim != nullptr, expected) << "round " << round;
    EXPECT_EQ(clash.writerOld != nullptr, expected) << "round " << round;
    clashes += expected;
    images.ReleaseLast();
  }
  // The rounds must exercise both outcomes to mean anything.
  EXPECT_GT(clashes, 100);
  EXPECT_LT(clashes, 2900);
}

}  // namespace
