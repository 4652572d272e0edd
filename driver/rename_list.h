// The rename list: old/new name pairs read from a list file.
#pragma once

#include <cstddef>
#include <vector>

// The longest name a pair may hold, in bytes.
constexpr size_t kMaxNameLength = 1023;

// Two parallel lists; the i-th old name pairs with the i-th new name, and the
// two have the same length unless the run grows .strtab (-g).
struct RenameList {
  std::vector<const char*> oldNames;
  std::vector<const char*> newNames;
};

// Reads the whitespace-separated tokens of the file at path (opened as given,
// never rewritten), two at a time as an old and a new name, appending them to
// list. Any fault ends the process with status 1 and a message on standard
// error: a file that cannot be opened or read, a name of 1024 bytes or more, a
// last old name without a new one, and without grow a pair of unequal
// lengths (with a hint at -g), with grow an empty name (a token cut short by
// a zero byte).
void ReadRenameList(const char* path, bool grow, RenameList* list);
