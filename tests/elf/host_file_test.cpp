#include "elf/host_file.h"

#include <gtest/gtest.h>

#include <string>

namespace {

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

}  // namespace
