#include "driver/keep_list.h"

#include <cstdio>

#include "host/host_file.h"
#include "rename/pair_index.h"

Result<KeepList> ReadKeepList(const std::string& path) {
  FILE* opened = fopen(path.c_str(), "rb");
  if (opened == nullptr) return Error{Fault::kCannotOpen, path};
  HostStream stream(opened);
  std::string text;
  char chunk[1 << 16];
  while (size_t got = fread(chunk, 1, sizeof chunk, stream.get())) text.append(chunk, got);
  if (ferror(stream.get())) return Error{Fault::kCannotRead, path};
  std::string_view rest(text);
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
  KeepList keep;
  constexpr std::string_view kBlanks = " \t\r\v\f";
  while (!rest.empty()) {
    const size_t newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
    line = line.substr(0, line.find('#'));
    const size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) continue;
    line = line.substr(first, line.find_last_not_of(kBlanks) - first + 1);
    if (line.size() > kMaxNameLength) return Error{Fault::kKeepNameTooLong, path};
    if (!keep.names.contains(line)) keep.names.insert(keep.store.emplace_back(line));
  }
  return keep;
}
