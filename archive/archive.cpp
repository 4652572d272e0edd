#include "archive/archive.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr uint32_t kMagicSize = 8;
constexpr uint32_t kNameWidth = 16;
constexpr uint32_t kEndField = 58;

// Where the long names of "/N" members lie: the data of the last "//"
// member before them.
struct LongNameTable {
  bool present = false;
  uint32_t offset = 0;
  uint32_t size = 0;
};

std::string_view View(const uint8_t* bytes, uint32_t offset, uint32_t size) {
  return {reinterpret_cast<const char*>(bytes) + offset, size};
}

// Reads decimal digits followed by nothing but blanks. An empty field or
// leading blanks, which no ar writes, are refused rather than guessed at.
// Every field read here has at most 15 digits, so the value cannot wrap.
bool ParseDecimal(std::string_view field, uint64_t* value) {
  size_t i = 0;
  uint64_t v = 0;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
    v = v * 10 + static_cast<uint64_t>(field[i] - '0');
  }
  if (i == 0) return false;
  while (i < field.size() && field[i] == ' ') ++i;
  *value = v;
  return i == field.size();
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

uint64_t ReadBigEndian(const uint8_t* bytes, uint32_t width) {
  uint64_t value = 0;
  for (uint32_t i = 0; i < width; ++i) value = value << 8 | bytes[i];
  return value;
}

// The "/N" name of the member at header: from offset N of the long-name
// table up to its "\n" (or "\0", which some writers use), less the '/'
// that GNU ar puts before the "\n". The end must lie inside the table.
std::string ReadLongName(const uint8_t* bytes, const LongNameTable& table, uint64_t index,
                         uint32_t header, std::string* name) {
  const auto at = [header] { return "the member at offset " + std::to_string(header); };
  if (!table.present) return at() + " has a long name but no long-name table precedes it";
  if (index >= table.size) return "the long name of " + at() + " lies outside the long-name table";
  std::string_view rest = View(bytes, table.offset, table.size).substr(index);
  size_t end = rest.find_first_of(std::string_view("\n\0", 2));
  if (end == std::string_view::npos) {
    return "the long name of " + at() + " runs past the end of the long-name table";
  }
  std::string_view found = rest.substr(0, end);
  if (!found.empty() && found.back() == '/') found.remove_suffix(1);
  *name = found;
  return "";
}

// Reads the member whose header starts at header, resolving its name in
// every form GNU and BSD ar write. Returns what is wrong, or an empty string.
std::string ReadMember(const uint8_t* bytes, uint32_t length, uint32_t header,
                       const LongNameTable& table, ArchiveMember* member) {
  // Labels are made only for a message: a library of thousands of members
  // that is whole needs none.
  const auto at = [header] { return "the member at offset " + std::to_string(header); };
  if (kArchiveHeaderSize > length - header) {
    return "the member header at offset " + std::to_string(header) + " is cut short";
  }
  if (View(bytes, header + kEndField, 2) != "`\n") {
    return "the member header at offset " + std::to_string(header) + " does not end with \"`\\n\"";
  }
  member->header = header;
  member->offset = header + kArchiveHeaderSize;
  member->special = false;
  const std::string_view stored = TrimBlanks(View(bytes, header, kNameWidth));
  uint64_t number = 0;
  // A BSD long name is known only once the size says the name lies inside.
  bool bsdName = false;
  if (stored == "/" || stored == "//" || stored == "/SYM64/") {
    member->name = stored;
    member->special = true;
  } else if (stored.starts_with("#1/")) {
    if (!ParseDecimal(stored.substr(3), &number)) {
      return "the name length of " + at() + " is not a decimal number";
    }
    bsdName = true;
  } else if (stored.size() > 1 && stored[0] == '/' && ParseDecimal(stored.substr(1), &number)) {
    std::string what = ReadLongName(bytes, table, number, header, &member->name);
    if (!what.empty()) return what;
  } else {
    member->name = stored.ends_with('/') ? stored.substr(0, stored.size() - 1) : stored;
  }

  const auto label = [&] { return bsdName ? at() : "member " + member->name; };
  uint64_t size = 0;
  if (!ParseDecimal(View(bytes, header + kArchiveSizeField, kArchiveSizeWidth), &size)) {
    return "the size of " + label() + " is not a decimal number";
  }
  if (size > length - member->offset) return label() + " reaches past the end of the file";
  member->size = static_cast<uint32_t>(size);
  if (bsdName) {
    if (number > size) return "the name of " + at() + " is longer than the member";
    const std::string_view name = View(bytes, member->offset, static_cast<uint32_t>(number));
    member->name = name.substr(0, name.find_last_not_of('\0') + 1);
    member->offset += static_cast<uint32_t>(number);
    member->size -= static_cast<uint32_t>(number);
  }
  return "";
}

// Walks every member from the magic to the end of the file; each member's
// data is padded to an even offset, except that the last pad may be missing.
std::string ReadMembers(const uint8_t* bytes, uint32_t length,
                        std::vector<ArchiveMember>* members) {
  LongNameTable table;
  uint64_t header = kMagicSize;
  while (header < length) {
    ArchiveMember member;
    std::string what = ReadMember(bytes, length, static_cast<uint32_t>(header), table, &member);
    if (!what.empty()) return what;
    if (member.name == "//" && member.special) table = {true, member.offset, member.size};
    header = uint64_t{member.offset} + member.size;
    header += header & 1;
    members->push_back(std::move(member));
  }
  return "";
}

// The position in members of the object member whose header starts at
// offset; none when no header starts there or it is the index or the
// long-name table. Members are in file order, so a binary search finds it.
const ArchiveMember* FindObjectMember(const std::vector<ArchiveMember>& members, uint64_t offset) {
  auto found = std::lower_bound(
      members.begin(), members.end(), offset,
      [](const ArchiveMember& member, uint64_t value) { return member.header < value; });
  if (found == members.end() || found->header != offset || found->special) return nullptr;
  return &*found;
}

// Reads the entries of the index member: a count, that many offsets of
// member headers, then that many zero-terminated names; the numbers are
// big-endian, 4 bytes wide in "/" and 8 in "/SYM64/". Returns what is
// wrong, or an empty string.
std::string ReadIndex(const Archive& archive, const ArchiveMember& index,
                      std::vector<ArchiveSymbol>* symbols) {
  const uint32_t width = GetIndexWidth(index);
  const std::string label = width == 8 ? "the 64-bit symbol index" : "the symbol index";
  const uint8_t* data = archive.bytes + index.offset;
  if (index.size < width) return label + " is too short to hold its count";
  const uint64_t count = ReadBigEndian(data, width);
  const uint64_t room = (index.size - width) / width;
  if (count > room) {
    return label + " names " + std::to_string(count) + " symbols but has room for " +
           std::to_string(room) + " offsets";
  }
  const uint32_t end = index.offset + index.size;
  uint32_t name = index.offset + width + static_cast<uint32_t>(count) * width;
  symbols->reserve(symbols->size() + count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t offset = ReadBigEndian(data + width + i * width, width);
    const ArchiveMember* member = FindObjectMember(archive.members, offset);
    if (member == nullptr) {
      return "entry " + std::to_string(i) + " of " + label + " points at offset " +
             std::to_string(offset) + ", which is not the header of an object member";
    }
    const void* zero = memchr(archive.bytes + name, 0, end - name);
    if (zero == nullptr) {
      return label + " names " + std::to_string(count) + " symbols but ends after " +
             std::to_string(i);
    }
    symbols->push_back({static_cast<uint32_t>(member - archive.members.data()), name});
    name = static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - archive.bytes) + 1;
  }
  return "";
}

uint32_t ReadLittleEndian(const uint8_t* bytes, uint32_t width) {
  uint32_t value = 0;
  for (uint32_t i = width; i-- > 0;) value = value << 8 | bytes[i];
  return value;
}

// Reads MSVC's second linker member: the count and offsets of the members
// it indexes, the count of its symbols, a 16-bit 1-based index into those
// offsets per symbol, then the names; every number little-endian.
std::string ReadSecondLinker(Archive& archive, const ArchiveMember& index) {
  const std::string label = "the second linker member";
  const uint8_t* data = archive.bytes + index.offset;
  if (index.size < 4) return label + " is too short to hold its member count";
  const uint64_t members = ReadLittleEndian(data, 4);
  if (members > (index.size - 4) / 4 || index.size - 4 - members * 4 < 4) {
    return label + " names " + std::to_string(members) + " members but has no room for them";
  }
  for (uint32_t i = 0; i < members; ++i) {
    const uint32_t offset = ReadLittleEndian(data + 4 + i * 4, 4);
    const ArchiveMember* member = FindObjectMember(archive.members, offset);
    if (member == nullptr) {
      return "member " + std::to_string(i) + " of " + label + " points at offset " +
             std::to_string(offset) + ", which is not the header of an object member";
    }
    archive.linkerMembers.push_back(static_cast<uint32_t>(member - archive.members.data()));
  }
  uint32_t at = 4 + static_cast<uint32_t>(members) * 4;
  const uint64_t count = ReadLittleEndian(data + at, 4);
  at += 4;
  if (count > (index.size - at) / 2) {
    return label + " names " + std::to_string(count) + " symbols but has room for fewer";
  }
  const uint32_t end = index.offset + index.size;
  uint32_t name = index.offset + at + static_cast<uint32_t>(count) * 2;
  archive.linkerFirst = archive.symbols.size();
  for (uint32_t i = 0; i < count; ++i) {
    const uint16_t slot = static_cast<uint16_t>(ReadLittleEndian(data + at + i * 2, 2));
    if (slot == 0 || slot > members) {
      return "symbol " + std::to_string(i) + " of " + label + " names member " +
             std::to_string(slot) + " of " + std::to_string(members);
    }
    const void* zero = memchr(archive.bytes + name, 0, end - name);
    if (zero == nullptr) {
      return label + " names " + std::to_string(count) + " symbols but ends after " +
             std::to_string(i);
    }
    archive.symbols.push_back({archive.linkerMembers[slot - 1], name});
    archive.linkerIndices.push_back(slot);
    name = static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - archive.bytes) + 1;
  }
  return "";
}

}  // namespace

bool IsArchive(const uint8_t* bytes, uint32_t length) {
  return length >= 8 && (memcmp(bytes, "!<arch>\n", 8) == 0 || memcmp(bytes, "!<thin>\n", 8) == 0);
}

Result<Archive> LoadArchive(const std::string& path, const uint8_t* bytes, uint32_t length) {
  if (length >= kMagicSize && memcmp(bytes, "!<thin>\n", kMagicSize) == 0) {
    return Error{Fault::kThinArchive, path};
  }
  if (length < kMagicSize || memcmp(bytes, "!<arch>\n", kMagicSize) != 0) {
    return Error{Fault::kDamaged, path, "it does not start with \"!<arch>\\n\""};
  }
  Archive archive{bytes, length, {}, {}, {}, {}, 0};
  std::string what = ReadMembers(bytes, length, &archive.members);
  if (!what.empty()) return Error{Fault::kDamaged, path, std::move(what)};
  // A BSD index names its symbols in a layout of its own, which the renamer
  // would leave stale; better refused than linked against old names.
  for (const ArchiveMember& member : archive.members) {
    if (member.name.starts_with("__.SYMDEF")) return Error{Fault::kFixedIndex, path};
  }
  // MSVC's libraries put a second "/" right after the first.
  if (archive.members.size() >= 2 && archive.members[0].name == "/" && archive.members[0].special &&
      archive.members[1].name == "/" && archive.members[1].special) {
    archive.members[1].secondLinker = true;
  }
  for (const ArchiveMember& member : archive.members) {
    if (!IsSymbolIndex(member)) continue;
    what = ReadIndex(archive, member, &archive.symbols);
    if (!what.empty()) return Error{Fault::kDamaged, path, std::move(what)};
  }
  if (const ArchiveMember* second = FindSecondLinker(archive)) {
    what = ReadSecondLinker(archive, *second);
    if (!what.empty()) return Error{Fault::kDamaged, path, std::move(what)};
  }
  return archive;
}
