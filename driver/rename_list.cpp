#include "driver/rename_list.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "host/host_file.h"

namespace {

// What a byte is to the list, by byte value: one lookup a byte is what a list
// of many thousand pairs costs to cut.
enum ListByte : uint8_t { kNameByte, kSpace, kComment };
constexpr std::array<ListByte, 256> kListBytes = [] {
  std::array<ListByte, 256> bytes{};
  for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) bytes[c] = kSpace;
  bytes['#'] = kComment;
  return bytes;
}();

ListByte ClassOf(char c) { return kListBytes[static_cast<unsigned char>(c)]; }

// The whole list file into text, with one zero byte after it, so that the
// names can be cut out of it in place. The file's size sizes the text once;
// a file that grows meanwhile is read to its end all the same, and a size no
// list has (a directory's end position) is not trusted.
Status ReadListFile(const std::string& path, std::vector<char>* text) {
  FILE* opened = fopen(path.c_str(), "rb");
  if (opened == nullptr) return Error{Fault::kCannotOpen, path};
  HostStream stream(opened);
  long end = fseek(opened, 0, SEEK_END) == 0 ? ftell(opened) : -1;
  rewind(opened);
  size_t size = 0;
  constexpr long kTrusted = long{1} << 30;
  text->resize(end > 0 && end < kTrusted ? static_cast<size_t>(end) + 2 : size_t{1} << 16);
  for (;;) {
    size += fread(text->data() + size, 1, text->size() - size - 1, opened);
    if (size < text->size() - 1 || ferror(opened)) break;
    text->resize(text->size() * 2);
  }
  if (ferror(opened)) return Error{Fault::kCannotRead, path};
  text->resize(size + 1);
  (*text)[size] = '\0';
  return {};
}

// The next token at or after *cursor, zero-terminated in place, or none at
// the end of the text. A '#' starts a comment that runs to the end of its
// line, so it also ends a token written against it.
char* NextToken(char** cursor, const char* end) {
  char* p = *cursor;
  for (;;) {
    while (p < end && ClassOf(*p) == kSpace) ++p;
    if (p == end || ClassOf(*p) != kComment) break;
    while (p < end && *p != '\n') ++p;
  }
  if (p == end) return nullptr;
  char* token = p;
  while (p < end && ClassOf(*p) == kNameByte) ++p;
  const bool comment = p < end && ClassOf(*p) == kComment;
  if (p < end) *p++ = '\0';
  while (comment && p < end && *p != '\n') ++p;
  *cursor = p;
  return token;
}

}  // namespace

Result<RenameList> ReadRenameList(const std::string& path, bool grow) {
  RenameList list;
  if (Status read = ReadListFile(path, &list.text); !read) return std::move(read.error());
  char* cursor = list.text.data();
  const char* end = cursor + list.text.size() - 1;
  // Windows editors start a file with a byte-order mark: UTF-8's is skipped,
  // and UTF-16 text (either order) would read as names cut at zero bytes.
  const std::string_view start(cursor, end - cursor);
  if (start.starts_with("\xFF\xFE") || start.starts_with("\xFE\xFF")) {
    return Error{Fault::kListUtf16, path};
  }
  if (start.starts_with("\xEF\xBB\xBF")) cursor += 3;
  while (char* oldName = NextToken(&cursor, end)) {
    char* newName = NextToken(&cursor, end);
    // A zero byte inside a token ends the name there, as for any C string.
    const size_t oldLength = strlen(oldName);
    const size_t newLength = newName ? strlen(newName) : 0;
    if (oldLength > kMaxNameLength || newLength > kMaxNameLength) {
      return Error{Fault::kListNameTooLong, path};
    }
    if (newName == nullptr) return Error{Fault::kListNoNewName, path, oldName};
    if (grow && (oldLength == 0 || newLength == 0)) return Error{Fault::kListEmptyName, path};
    if (!grow && oldLength != newLength) {
      return Error{Fault::kListLengthMismatch, path, oldName, newName};
    }
    list.oldNames.push_back(oldName);
    list.newNames.push_back(newName);
  }
  return list;
}
