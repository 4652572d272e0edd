#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/config.h"
#include "driver/messages.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Registers operand, which must be taken, and gives the index of its entry.
uint32_t Register(std::string operand, InputRegistry& registry) {
  Status registered = RegisterInputFile(operand, &registry);
  EXPECT_TRUE(registered) << operand;
  return static_cast<uint32_t>(registry.paths.size() - 1);
}

std::string Cwd() { return std::filesystem::current_path().string(); }

TEST(RegisterInputFile, AppendsFullPathsInOperandOrder) {
  InputRegistry registry;
  uint32_t first = Register("/registry/order/b.o", registry);
  uint32_t second = Register("registry/order/a.o", registry);
  uint32_t third = Register("/registry/order/sub/../c.o", registry);
  EXPECT_EQ(second, first + 1);
  EXPECT_EQ(third, first + 2);
  EXPECT_EQ(registry.paths[first], "/registry/order/b.o");
  EXPECT_EQ(registry.paths[second], Cwd() + "/registry/order/a.o");
  EXPECT_EQ(registry.paths[third], "/registry/order/c.o");
}

TEST(RegisterInputFile, RewritesTheOperand) {
  InputRegistry registry;
  Register("/cygdrive/q/registry/rewrite.o", registry);
  EXPECT_EQ(registry.paths.back(), Cwd() + "/q:/registry/rewrite.o");
}

TEST(RegisterInputFile, EmptyOperandIsTheCurrentDirectory) {
  InputRegistry registry;
  uint32_t index = Register("", registry);
  EXPECT_EQ(registry.paths[index], Cwd());
}

TEST(RegisterInputFile, OperandsDifferingInCaseAreNotDuplicates) {
  InputRegistry registry;
  uint32_t upper = Register("/registry/case/A.o", registry);
  uint32_t lower = Register("/registry/case/a.o", registry);
  EXPECT_EQ(registry.paths[upper], "/registry/case/A.o");
  EXPECT_EQ(registry.paths[lower], "/registry/case/a.o");
}

TEST(RegisterInputFile, AcceptsAFullPathOf259Characters) {
  InputRegistry registry;
  std::string longest = "/" + std::string(258, 'r');
  uint32_t index = Register(longest, registry);
  EXPECT_EQ(registry.paths[index], longest);
}

struct RefusalCase {
  const char* title;
  std::vector<std::string> operands;  // the last one is refused
  std::string err;
};

TEST(RegisterInputFile, RefusesDuplicatesAndInvalidPathnames) {
  const std::string tooLong = "/" + std::string(259, 'r');
  const RefusalCase cases[] = {
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
  for (const RefusalCase& c : cases) {
    InputRegistry registry;
    for (size_t i = 0; i + 1 < c.operands.size(); ++i) Register(c.operands[i], registry);
    Status refused = RegisterInputFile(c.operands.back(), &registry);
    ASSERT_FALSE(refused) << c.title;
    CaptureStderr();
    PrintError(refused.error());
    EXPECT_EQ(GetCapturedStderr(), c.err) << c.title;
  }
}

TEST(RegisterInputFile, The2049thOperandGrowsTheTable) {
  InputRegistry registry;
  std::vector<std::string> paths;
  for (uint32_t i = 0; i < 2049; ++i) paths.push_back("/registry/grow/" + std::to_string(i) + ".o");
  for (const std::string& path : paths) Register(path, registry);
  ASSERT_EQ(registry.paths.size(), 2049u);
  for (uint32_t i = 0; i < paths.size(); ++i) ASSERT_EQ(registry.paths[i], paths[i]) << i;
}

}  // namespace
