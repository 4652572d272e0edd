#include "driver/rename_list.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Whether a byte separates names, by byte value: one lookup a byte is what a
// list of many thousand pairs costs to cut.
constexpr std::array<bool, 256> kListSpace = [] {
  std::array<bool, 256> space{};
  for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) space[c] = true;
  return space;
}();

bool IsListSpace(char c) { return kListSpace[static_cast<unsigned char>(c)]; }

// The whole list file, with one zero byte after it. The names are cut out of
// it in place and live as long as the process.
char* ReadListFile(const char* path, size_t* length) {
  FILE* stream = fopen(path, "rb");
  if (stream == nullptr) {
    fprintf(stderr, "ERROR: cannot open file '%s'\n", path);
    exit(1);
  }
  size_t capacity = 1 << 16;
  size_t size = 0;
  char* text = static_cast<char*>(malloc(capacity));
  while (text != nullptr) {
    size += fread(text + size, 1, capacity - size - 1, stream);
    if (size < capacity - 1) break;
    capacity *= 2;
    char* grown = static_cast<char*>(realloc(text, capacity));
    if (grown == nullptr) free(text);
    text = grown;
  }
  if (text == nullptr) {
    fprintf(stderr, "ERROR: ins. memory\n");
    exit(1);
  }
  if (ferror(stream)) {
    fprintf(stderr, "ERROR: cannot read file '%s'\n", path);
    exit(1);
  }
  fclose(stream);
  text[size] = '\0';
  *length = size;
  return text;
}

// The next token at or after *cursor, zero-terminated in place, or none at
// the end of the text.
char* NextToken(char** cursor, const char* end) {
  char* p = *cursor;
  while (p < end && IsListSpace(*p)) ++p;
  if (p == end) return nullptr;
  char* token = p;
  while (p < end && !IsListSpace(*p)) ++p;
  *p = '\0';
  *cursor = p < end ? p + 1 : p;
  return token;
}

}  // namespace

void ReadRenameList(const char* path, bool grow, RenameList* list) {
  size_t length;
  char* text = ReadListFile(path, &length);
  char* cursor = text;
  const char* end = text + length;
  while (char* oldName = NextToken(&cursor, end)) {
    char* newName = NextToken(&cursor, end);
    // A zero byte inside a token ends the name there, as for any C string.
    size_t oldLength = strlen(oldName);
    size_t newLength = newName ? strlen(newName) : 0;
    if (oldLength > kMaxNameLength || newLength > kMaxNameLength) {
      fprintf(stderr, "ERROR: name longer than 1023 bytes in list file '%s'\n", path);
      exit(1);
    }
    if (newName == nullptr) {
      fprintf(stderr, "ERROR: no new name for '%s' in list file '%s'\n", oldName, path);
      exit(1);
    }
    if (grow && (oldLength == 0 || newLength == 0)) {
      fprintf(stderr, "ERROR: empty name in list file '%s'\n", path);
      exit(1);
    }
    if (!grow && oldLength != newLength) {
      fprintf(stderr,
              "ERROR: newsymbol's string length must equal oldsymbol's it.\n --- %s\n +++ %s\n",
              oldName, newName);
      fprintf(stderr, "namepatch: -g lets the string table grow to take this rename\n");
      exit(1);
    }
    list->oldNames.push_back(oldName);
    list->newNames.push_back(newName);
  }
}
