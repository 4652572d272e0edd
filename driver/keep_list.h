// The keep list: the names that are a library's API, which the vendoring
// options leave as they are.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>

#include "base/result.h"

struct KeepList {
  std::deque<std::string> store;  // the names' bytes; a deque never moves them
  std::unordered_set<std::string_view> names;
  std::unordered_set<std::string_view> defined;  // the kept names some input defines
};

// Reads the file at path (opened as given): one name per line, a '#' and what
// follows it on the line a comment, blanks around a name and blank lines
// ignored, and a UTF-8 byte-order mark at the start skipped. Fails with
// kCannotOpen or kCannotRead naming path, or kKeepNameTooLong for a name of
// more than kMaxNameLength bytes.
Result<KeepList> ReadKeepList(const std::string& path);

inline bool IsKept(const KeepList* keep, std::string_view name) {
  return keep != nullptr && keep->names.contains(name);
}
