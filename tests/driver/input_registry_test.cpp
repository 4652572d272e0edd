#include "driver/input_registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using testing::ExitedWithCode;

// The registry is one table for the whole process, so every test registers
// paths of its own and looks only at the entries it added.
uint32_t Register(std::string operand) {
  RegisterInputFile(operand.data());
  return gInputFiles.count - 1;
}

std::string Cwd() { return std::filesystem::current_path().string(); }

TEST(RegisterInputFile, AppendsFullPathsInOperandOrder) {
  uint32_t first = Register("/registry/order/b.o");
  uint32_t second = Register("registry/order/a.o");
  uint32_t third = Register("/registry/order/sub/../c.o");
  EXPECT_EQ(second, first + 1);
  EXPECT_EQ(third, first + 2);
  EXPECT_STREQ(gInputFiles.entries[first].fullPath, "/registry/order/b.o");
  EXPECT_EQ(gInputFiles.entries[second].fullPath, Cwd() + "/registry/order/a.o");
  EXPECT_STREQ(gInputFiles.entries[third].fullPath, "/registry/order/c.o");
  for (uint32_t i : {first, second, third}) EXPECT_EQ(gInputFiles.entries[i].elfImage, nullptr);
}

TEST(RegisterInputFile, RewritesTheOperandInPlace) {
  std::string operand = "/cygdrive/q/registry/rewrite.o";
  RegisterInputFile(operand.data());
  EXPECT_EQ(operand.c_str(), std::string("q:/registry/rewrite.o"));
  EXPECT_EQ(gInputFiles.entries[gInputFiles.count - 1].fullPath, Cwd() + "/q:/registry/rewrite.o");
}

TEST(RegisterInputFile, EmptyOperandIsTheCurrentDirectory) {
  // Registered in a death test so that the current directory, which other
  // tests may register too, is not taken for good.
  EXPECT_EXIT(
      {
        uint32_t index = Register("");
        exit(gInputFiles.entries[index].fullPath == Cwd() ? 0 : 2);
      },
      ExitedWithCode(0), testing::Eq(""));
}

TEST(RegisterInputFile, OperandsDifferingInCaseAreNotDuplicates) {
  uint32_t upper = Register("/registry/case/A.o");
  uint32_t lower = Register("/registry/case/a.o");
  EXPECT_STREQ(gInputFiles.entries[upper].fullPath, "/registry/case/A.o");
  EXPECT_STREQ(gInputFiles.entries[lower].fullPath, "/registry/case/a.o");
}

TEST(RegisterInputFile, AcceptsAFullPathOf259Characters) {
  std::string longest = "/" + std::string(258, 'r');
  uint32_t index = Register(longest);
  EXPECT_EQ(gInputFiles.entries[index].fullPath, longest);
}

struct FatalCase {
  const char* title;
  std::vector<std::string> operands;
  std::string err;
};

TEST(RegisterInputFileDeathTest, RefusesDuplicatesAndInvalidPathnames) {
  const std::string tooLong = "/" + std::string(259, 'r');
  const FatalCase cases[] = {
      {"the same path twice",
       {"/registry/dup1/a.o", "/registry/dup1/a.o"},
       "ERROR: duplicate filename '/registry/dup1/a.o'.\n"},
      {"a.o then ./a.o",
       {"registry/dup2/a.o", "./registry/dup2/a.o"},
       "ERROR: duplicate filename './registry/dup2/a.o'.\n"},
      {"equal once resolved",
       {"/registry/dup3/a.o", "/registry/x/..//dup3/./a.o"},
       "ERROR: duplicate filename '/registry/x/..//dup3/./a.o'.\n"},
      {"relative and absolute",
       {"registry/dup4/a.o", Cwd() + "/registry/dup4/a.o"},
       "ERROR: duplicate filename '" + Cwd() + "/registry/dup4/a.o'.\n"},
      {"equal once rewritten",
       {"c:/registry/dup5/a.o", "/cygdrive/c/registry/dup5/a.o"},
       "ERROR: duplicate filename 'c:/registry/dup5/a.o'.\n"},
      {"both notations",
       {"//c/registry/dup6/a.o", "/CYGDRIVE/c/registry/dup6/a.o"},
       "ERROR: duplicate filename 'c:/registry/dup6/a.o'.\n"},
      {"duplicate of an earlier, not the last",
       {"/registry/dup7/a.o", "/registry/dup7/b.o", "/registry/dup7/a.o"},
       "ERROR: duplicate filename '/registry/dup7/a.o'.\n"},
      {"260 characters", {tooLong}, "ERROR: invalid pathname '" + tooLong + "'.\n"},
      {"long once rewritten",
       {"/cygdrive/c/" + std::string(300, 'r')},
       "ERROR: invalid pathname 'c:/" + std::string(300, 'r') + "'.\n"},
      {"after good operands",
       {"/registry/inv/a.o", tooLong + "/x.o"},
       "ERROR: invalid pathname '" + tooLong + "/x.o'.\n"},
  };
  for (const FatalCase& c : cases) {
    EXPECT_EXIT(
        {
          for (const std::string& operand : c.operands) Register(operand);
          exit(0);
        },
        ExitedWithCode(1), testing::Eq(c.err))
        << c.title;
  }
}

TEST(RegisterInputFile, The2049thOperandGrowsTheTable) {
  const uint32_t start = gInputFiles.count;
  const uint32_t target = (start / 2048 + 1) * 2048 + 1;  // one past a full table
  std::vector<std::string> paths;
  for (uint32_t i = start; i < target; ++i)
    paths.push_back("/registry/grow/" + std::to_string(i) + ".o");
  for (uint32_t i = start; i + 1 < target; ++i) Register(paths[i - start]);
  ASSERT_EQ(gInputFiles.count, gInputFiles.capacity);
  const uint32_t full = gInputFiles.capacity;
  EXPECT_EQ(full % 2048, 0u);
  Register(paths.back());
  EXPECT_EQ(gInputFiles.count, full + 1);
  EXPECT_EQ(gInputFiles.capacity, full + 2048);
  for (uint32_t i = start; i < target; ++i) {
    ASSERT_EQ(gInputFiles.entries[i].fullPath, paths[i - start]) << i;
    ASSERT_EQ(gInputFiles.entries[i].elfImage, nullptr);
  }
}

TEST(RegisterInputFile, FirstRegistrationMakesRoomFor2048) {
  EXPECT_EXIT(
      {
        // A child starting from an empty table sees the first allocation.
        gInputFiles = InputFileTable{};
        Register("/registry/first.o");
        exit(gInputFiles.capacity == 2048 && gInputFiles.count == 1 ? 0 : 2);
      },
      ExitedWithCode(0), testing::Eq(""));
}

}  // namespace
