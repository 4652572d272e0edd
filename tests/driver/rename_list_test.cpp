#include "driver/rename_list.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "driver/messages.h"
#include "tests/support/cli.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs ReadPairs(const std::string& text) {
  testcli::ScratchDir dir;
  dir.Write("pairs.txt", text);
  Result<RenameList> list = ReadRenameList(dir / "pairs.txt", false);
  if (!list) {
    ADD_FAILURE() << "refused";
    return {};
  }
  EXPECT_EQ(list->oldNames.size(), list->newNames.size());
  Pairs pairs;
  for (size_t i = 0; i < list->oldNames.size(); ++i) {
    pairs.emplace_back(list->oldNames[i], list->newNames[i]);
  }
  return pairs;
}

struct FormatCase {
  const char* what;
  std::string text;
  Pairs pairs;
};

TEST(ReadRenameList, TakesWhitespaceSeparatedTokensTwoAtATime) {
  const FormatCase cases[] = {
      {"empty", "", {}},
      {"whitespace only", " \t\r\n\v\f", {}},
      {"one pair a line", "alpha omega\nbeta zeta\n", {{"alpha", "omega"}, {"beta", "zeta"}}},
      {"CR LF line ends", "alpha omega\r\nbeta zeta\r\n", {{"alpha", "omega"}, {"beta", "zeta"}}},
      {"several pairs a line", "a b c d", {{"a", "b"}, {"c", "d"}}},
      {"a pair across lines", "\n\talpha\n\n omega \f", {{"alpha", "omega"}}},
      {"no final line end", "alpha omega", {{"alpha", "omega"}}},
      {"every kind of separator", "a\tb\vc\fd\re f", {{"a", "b"}, {"c", "d"}, {"e", "f"}}},
      {"bytes above 127 are name bytes",
       "\xC3\xA9t\xC3\xA9 fives",
       {{"\xC3\xA9t\xC3\xA9", "fives"}}},
      {"the same pair twice", "a b a b", {{"a", "b"}, {"a", "b"}}},
  };
  for (const FormatCase& c : cases) {
    EXPECT_EQ(ReadPairs(c.text), c.pairs) << c.what;
  }
}

TEST(ReadRenameList, AcceptsNamesOf1023Bytes) {
  std::string longest(1023, 'x');
  std::string other(1023, 'y');
  EXPECT_EQ(ReadPairs(longest + " " + other + "\n"), (Pairs{{longest, other}}));
}

// Reads the list at path, which must be refused, and gives what the tool
// prints about the refusal.
std::string Refusal(const std::string& path) {
  Result<RenameList> list = ReadRenameList(path, false);
  if (list) return "(read)";
  CaptureStderr();
  PrintError(list.error());
  return GetCapturedStderr();
}

struct FaultCase {
  const char* what;
  std::string text;
  std::string message;  // %s stands for the list path
};

TEST(ReadRenameList, RefusesEveryListThatWouldLosePairs) {
  const std::string tooLong(1024, 'x');
  const FaultCase cases[] = {
      {"odd token count", "a b c", "ERROR: no new name for 'c' in list file '%s'\n"},
      {"long old name", "a b " + tooLong + " y",
       "ERROR: name longer than 1023 bytes in list file '%s'\n"},
      {"long new name", "a b y " + tooLong,
       "ERROR: name longer than 1023 bytes in list file '%s'\n"},
      {"long lone last name", "a b " + tooLong,
       "ERROR: name longer than 1023 bytes in list file '%s'\n"},
      {"unequal pair after good ones", "a b cc dd eee ff gg hh",
       "ERROR: newsymbol's string length must equal oldsymbol's it.\n --- eee\n +++ ff\n" +
           testcli::kGrowHint},
      {"unequal pair before a long name", "a bb " + tooLong,
       "ERROR: newsymbol's string length must equal oldsymbol's it.\n --- a\n +++ bb\n" +
           testcli::kGrowHint},
  };
  for (const FaultCase& c : cases) {
    testcli::ScratchDir dir;
    dir.Write("pairs.txt", c.text);
    std::string path = dir / "pairs.txt";
    std::string message = c.message;
    if (size_t at = message.find("%s"); at != std::string::npos) message.replace(at, 2, path);
    EXPECT_EQ(Refusal(path), message) << c.what;
  }
}

TEST(ReadRenameList, RefusesAListThatCannotBeOpenedOrRead) {
  testcli::ScratchDir dir;
  std::string missing = dir / "missing.txt";
  EXPECT_EQ(Refusal(missing), "ERROR: cannot open file '" + missing + "'\n");
  // A directory opens on this host but cannot be read.
  std::string directory = dir.path().string();
  EXPECT_EQ(Refusal(directory), "ERROR: cannot read file '" + directory + "'\n");
}

}  // namespace
