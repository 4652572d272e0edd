// The rename list: old/new name pairs read from a list file.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"
#include "rename/pair_index.h"

// Two parallel lists; the i-th old name pairs with the i-th new name, and the
// two have the same length unless the run grows .strtab (-g). Names read
// from a file point into text, which moving the list keeps where it is.
struct RenameList {
  std::vector<char> text;
  std::vector<const char*> oldNames;
  std::vector<const char*> newNames;
};

// Reads the whitespace-separated tokens of the file at path (opened as given,
// never rewritten), two at a time as an old and a new name. Fails with
// kCannotOpen or kCannotRead naming path, kListNameTooLong for a name of
// 1024 bytes or more, kListNoNewName for a last old name without a new one,
// and without grow kListLengthMismatch for a pair of unequal lengths, with
// grow kListEmptyName for an empty name (a token cut short by a zero byte).
Result<RenameList> ReadRenameList(const std::string& path, bool grow);
