// Lays out ar archives from a readable description, so that a test states
// exactly which members, names and index entries it is about.
//
//   ArchiveLayout layout;
//   layout.members = {{"uart.o", "abc"}, {"a_rather_long_name.o", "xy"}};
//   layout.index = {{"uart_init", 0}};
//   BuiltArchive archive = BuildArchive(layout);
//
// After the magic come the index (with one entry or more), the long-name
// table (GNU names longer than 15 bytes), then the members in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testelf {

struct MemberLayout {
  std::string name;
  std::string bytes;
};

// One index entry: a symbol and the position in members of its member.
struct IndexEntry {
  std::string symbol;
  uint32_t member = 0;
};

struct ArchiveLayout {
  std::vector<MemberLayout> members;
  // BSD names: short ones blank-padded without '/', the others "#1/N" with
  // the name, NUL-padded to a multiple of 4, in front of the contents.
  bool bsdNames = false;
  std::vector<IndexEntry> index;
  bool index64 = false;  // "/SYM64/" instead of "/"
  // MSVC's second linker member after the index: every member's offset and
  // the entries sorted by name, little-endian.
  bool msvc = false;
  bool padLast = true;  // the "\n" after an odd-sized last member
};

struct BuiltArchive {
  std::string bytes;
  std::vector<uint32_t> headers;  // the header offset of each member of the layout
  std::vector<uint32_t> data;     // where each member's contents start
  uint32_t indexHeader = 0;       // 0 without an index
  uint32_t longNamesHeader = 0;   // 0 without a long-name table
};

BuiltArchive BuildArchive(const ArchiveLayout& layout);

// A 60-byte member header; size is written as given, so a test can damage it.
std::string MemberHeader(const std::string& name, const std::string& size);

// Offsets within a member header.
constexpr uint32_t kArSize = 48, kArEnd = 58, kArHeaderSize = 60;

}  // namespace testelf
