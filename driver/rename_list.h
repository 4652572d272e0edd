// The rename list: old/new name pairs read from a list file.
#pragma once

#include <vector>

// Two parallel lists; the i-th old name pairs with the i-th new name, and the
// two have the same length.
struct RenameList {
  std::vector<const char*> oldNames;
  std::vector<const char*> newNames;
};

// Reads the whitespace-separated tokens of the file at path (opened as given,
// never rewritten), two at a time as an old and a new name, appending them to
// list. Any fault ends the process with status 1 and a message on standard
// error: a file that cannot be opened or read, a name of 1024 bytes or more, a
// pair of unequal lengths, or a last old name without a new one.
void ReadRenameList(const char* path, RenameList* list);
