// Static libraries: ar archives as GNU and BSD ar write them, read in place
// so that each member can be loaded where it lies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"

// The header before each member's data: 60 bytes, the data's size in
// decimal at byte 48, blank-padded to 10 characters.
constexpr uint32_t kArchiveHeaderSize = 60;
constexpr uint32_t kArchiveSizeField = 48;
constexpr uint32_t kArchiveSizeWidth = 10;

// One member: its 60-byte header at header, its contents (after a BSD
// "#1/N" name) at offset. Special members are the symbol index ("/",
// "/SYM64/") and the long-name table ("//"), never objects; their names
// are kept as stored.
struct ArchiveMember {
  std::string name;  // the stored name resolved: no GNU trailing '/', no BSD padding
  uint32_t header;
  uint32_t offset;
  uint32_t size;
  bool special;
  bool secondLinker = false;  // MSVC's second "/": little-endian, its names sorted
};

// One entry of the symbol index: the member it names (an index into
// members) and where its zero-terminated name lies in the archive's bytes.
struct ArchiveSymbol {
  uint32_t member;
  uint32_t nameOffset;
};

// Whether member is a symbol index ("/" or "/SYM64/"): special, and not the
// long-name table.
// MSVC's second linker member is read and written on its own.
inline bool IsSymbolIndex(const ArchiveMember& member) {
  return member.special && member.name != "//" && !member.secondLinker;
}

// The width of an index's numbers: 8 bytes in "/SYM64/", 4 in "/".
inline uint32_t GetIndexWidth(const ArchiveMember& index) {
  return index.name == "/SYM64/" ? 8 : 4;
}

struct Archive {
  const uint8_t* bytes;  // the whole file, not owned
  uint32_t length;       // its length, which every member and entry was checked against
  std::vector<ArchiveMember> members;  // every member, in file order
  std::vector<ArchiveSymbol> symbols;  // every index entry, in index order
  // MSVC's second linker member, when the library has one (a "/" right after
  // the first): a table of member offsets, and per symbol a 1-based index
  // into it; its entries close symbols, from linkerFirst on.
  std::vector<uint32_t> linkerMembers;  // the table, as positions in members
  std::vector<uint16_t> linkerIndices;  // per entry, as stored
  size_t linkerFirst = 0;
};

// MSVC's second linker member of archive, or none.
inline const ArchiveMember* FindSecondLinker(const Archive& archive) {
  return archive.members.size() >= 2 && archive.members[1].secondLinker ? &archive.members[1]
                                                                        : nullptr;
}

// True when bytes start with the magic of an archive, "!<arch>\n", or of a
// thin archive, "!<thin>\n".
bool IsArchive(const uint8_t* bytes, uint32_t length);

// Walks the archive held in the length bytes at bytes (the file at path),
// resolving member names and the symbol index, both of MSVC's linker members
// included; changes no byte. Fails with
// kThinArchive, kFixedIndex for an index that cannot be updated (BSD
// "__.SYMDEF"), or kDamaged naming what is wrong.
Result<Archive> LoadArchive(const std::string& path, const uint8_t* bytes, uint32_t length);
