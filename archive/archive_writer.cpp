#include "archive/archive_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

std::vector<IndexRename> FindIndexRenames(const Archive& archive,
                                          std::span<const std::vector<RenameMatch>> memberMatches,
                                          const OldNameIndex& index,
                                          std::span<const char* const> newNames) {
  std::vector<IndexRename> renames;
  if (index.oldNames.empty()) return renames;
  for (const ArchiveSymbol& symbol : archive.symbols) {
    std::span<const RenameMatch> matches = memberMatches[symbol.member];
    if (matches.empty()) continue;
    const char* name = reinterpret_cast<const char*>(archive.bytes + symbol.nameOffset);
    uint32_t pair = LookUpOldName(index, name, HashName(name));
    if (pair == kNoPair) continue;
    // Every pair of one old name matches the same symbols, so the member
    // renamed the entry's name exactly when it matched the first such pair;
    // the last such pair's new name is what the symbols carry.
    auto found = std::lower_bound(matches.begin(), matches.end(), pair,
                                  [](const RenameMatch& m, uint32_t p) { return m.pair < p; });
    if (found == matches.end() || found->pair != pair) continue;
    while (index.nextSame[pair] != kNoPair) pair = index.nextSame[pair];
    renames.push_back({symbol.nameOffset, newNames[pair]});
  }
  return renames;
}

namespace {

// The header size field of the member at header for data ending at end,
// decimal and padded with blanks as ar writes it.
BytePatch SizeField(uint32_t header, uint64_t end) {
  char field[kArchiveSizeWidth + 1];
  snprintf(field, sizeof field, "%-10llu",
           static_cast<unsigned long long>(end - (uint64_t{header} + kArchiveHeaderSize)));
  return {header + kArchiveSizeField, kArchiveSizeWidth, {field, field + kArchiveSizeWidth}};
}

// The padding byte after a member's data ending at end: there when end is
// odd, unless the file ends first.
uint32_t OldPadding(const Archive& archive, uint32_t end) {
  return end & 1 && end < archive.length ? 1 : 0;
}

// MSVC's second linker member with the entries' new names, its names sorted
// again in byte order (the linker searches them by bisection), each keeping
// its member; the member offsets are those of the input, for the caller to
// move. Returns the data, padded to an even size.
std::vector<uint8_t> BuildSecondLinker(const Archive& archive,
                                       std::span<const IndexRename> entries) {
  const ArchiveMember& member = *FindSecondLinker(archive);
  struct Entry {
    const char* name;
    uint16_t slot;
  };
  std::vector<Entry> sorted;
  sorted.reserve(archive.linkerIndices.size());
  size_t next = 0;
  for (size_t k = 0; k < archive.linkerIndices.size(); ++k) {
    const uint32_t nameOffset = archive.symbols[archive.linkerFirst + k].nameOffset;
    while (next < entries.size() && entries[next].nameOffset < nameOffset) ++next;
    const char* name = next < entries.size() && entries[next].nameOffset == nameOffset
                           ? entries[next].newName
                           : reinterpret_cast<const char*>(archive.bytes + nameOffset);
    sorted.push_back({name, archive.linkerIndices[k]});
  }
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Entry& a, const Entry& b) { return strcmp(a.name, b.name) < 0; });
  auto put = [](std::vector<uint8_t>& data, uint32_t value, uint32_t width) {
    for (uint32_t b = 0; b < width; ++b) data.push_back(static_cast<uint8_t>(value >> (8 * b)));
  };
  std::vector<uint8_t> data;
  const auto members = static_cast<uint32_t>(archive.linkerMembers.size());
  put(data, members, 4);
  for (uint32_t i = 0; i < members; ++i) {
    data.insert(data.end(), archive.bytes + member.offset + 4 + i * 4,
                archive.bytes + member.offset + 8 + i * 4);
  }
  put(data, static_cast<uint32_t>(sorted.size()), 4);
  for (const Entry& e : sorted) put(data, e.slot, 2);
  for (const Entry& e : sorted) data.insert(data.end(), e.name, e.name + strlen(e.name) + 1);
  data.resize((data.size() + 1) / 2 * 2, 0);
  return data;
}

}  // namespace

std::vector<BytePatch> GrowMember(const Archive& archive, const ArchiveMember& member,
                                  std::vector<BytePatch>&& grown) {
  std::vector<BytePatch> patches;
  const uint32_t end = member.offset + member.size;
  uint64_t newEnd = end;
  for (const BytePatch& p : grown) newEnd += p.bytes.size() - p.replaced;
  patches.push_back(SizeField(member.header, newEnd));
  for (BytePatch& p : grown) {
    p.offset += member.offset;
    if (p.offset == end && p.replaced == 0) {
      // Members start at even offsets, so the new end's parity is the
      // output's.
      p.replaced = OldPadding(archive, end);
      if (newEnd & 1) p.bytes.push_back('\n');
    }
    patches.push_back(std::move(p));
  }
  return patches;
}

std::vector<BytePatch> RebuildIndexes(const Archive& archive, std::span<const IndexRename> entries,
                                      std::span<const BytePatch> patches) {
  struct Slot {
    size_t patch;  // the index patch holding the entry's offset
    uint32_t at;   // where in it
    uint32_t width;
    uint32_t header;  // the member's header, in the input
  };
  std::vector<BytePatch> rebuilt;
  std::vector<Slot> slots;
  size_t symbol = 0;
  size_t next = 0;
  for (const ArchiveMember& member : archive.members) {
    if (!IsSymbolIndex(member)) continue;
    const uint32_t width = GetIndexWidth(member);
    const uint32_t end = member.offset + member.size;
    // The index's entries follow one another in the archive's list.
    while (symbol < archive.symbols.size() && archive.symbols[symbol].nameOffset < member.offset)
      ++symbol;
    size_t last = symbol;
    while (last < archive.symbols.size() && archive.symbols[last].nameOffset < end) ++last;
    const uint64_t count = last - symbol;
    std::vector<uint8_t> data(width * (count + 1), 0);
    for (uint32_t b = 0; b < width; ++b)
      data[b] = static_cast<uint8_t>(count >> (8 * (width - 1 - b)));
    for (size_t k = symbol; k < last; ++k) {
      const uint32_t nameOffset = archive.symbols[k].nameOffset;
      while (next < entries.size() && entries[next].nameOffset < nameOffset) ++next;
      const char* name = next < entries.size() && entries[next].nameOffset == nameOffset
                             ? entries[next].newName
                             : reinterpret_cast<const char*>(archive.bytes + nameOffset);
      data.insert(data.end(), name, name + strlen(name) + 1);
      slots.push_back({rebuilt.size() + 1, static_cast<uint32_t>(width * (k - symbol + 1)), width,
                       archive.members[archive.symbols[k].member].header});
    }
    // As ar pads them: "/" to an even size, "/SYM64/" to 8 bytes.
    const size_t align = width == 8 ? 8 : 2;
    data.resize((data.size() + align - 1) / align * align, 0);
    rebuilt.push_back(SizeField(member.header, uint64_t{member.offset} + data.size()));
    rebuilt.push_back({member.offset, member.size + OldPadding(archive, end), std::move(data)});
    symbol = last;
  }

  const ArchiveMember* second = FindSecondLinker(archive);
  size_t secondPatch = 0;
  if (second != nullptr) {
    std::vector<uint8_t> data = BuildSecondLinker(archive, entries);
    const uint32_t end = second->offset + second->size;
    rebuilt.push_back(SizeField(second->header, uint64_t{second->offset} + data.size()));
    secondPatch = rebuilt.size();
    rebuilt.push_back({second->offset, second->size + OldPadding(archive, end), std::move(data)});
  }

  // Where each member header lands: moved by what every patch before it adds,
  // an insertion at the header's own offset (the end of the member before)
  // included.
  std::vector<std::pair<uint32_t, int64_t>> moves;
  for (std::span<const BytePatch> group : {patches, std::span<const BytePatch>(rebuilt)}) {
    for (const BytePatch& p : group) {
      if (p.bytes.size() != p.replaced) {
        moves.push_back({p.offset, static_cast<int64_t>(p.bytes.size()) - p.replaced});
      }
    }
  }
  std::sort(moves.begin(), moves.end());
  for (size_t k = 1; k < moves.size(); ++k) moves[k].second += moves[k - 1].second;
  auto shiftOf = [&moves](uint32_t header) {
    auto after = std::upper_bound(moves.begin(), moves.end(), header,
                                  [](uint32_t at, const auto& move) { return at < move.first; });
    return after == moves.begin() ? int64_t{0} : std::prev(after)->second;
  };
  if (second != nullptr) {
    // The offsets are little-endian here.
    uint8_t* field = rebuilt[secondPatch].bytes.data() + 4;
    for (const uint32_t m : archive.linkerMembers) {
      const uint32_t header = archive.members[m].header;
      const auto moved = static_cast<uint32_t>(header + shiftOf(header));
      for (uint32_t b = 0; b < 4; ++b) *field++ = static_cast<uint8_t>(moved >> (8 * b));
    }
  }
  for (const Slot& slot : slots) {
    const int64_t shift = shiftOf(slot.header);
    const auto header = static_cast<uint64_t>(slot.header + shift);
    uint8_t* field = rebuilt[slot.patch].bytes.data() + slot.at;
    for (uint32_t b = 0; b < slot.width; ++b) {
      field[b] = static_cast<uint8_t>(header >> (8 * (slot.width - 1 - b)));
    }
  }
  return rebuilt;
}

std::vector<BytePatch> PatchIndexesInPlace(const Archive& archive,
                                           std::span<const IndexRename> entries) {
  // One patch per index member, so that thousands of entries cost one write.
  std::vector<BytePatch> patches;
  size_t next = 0;
  for (const ArchiveMember& member : archive.members) {
    if (!IsSymbolIndex(member)) continue;
    const uint32_t end = member.offset + member.size;
    while (next < entries.size() && entries[next].nameOffset < member.offset) ++next;
    if (next == entries.size() || entries[next].nameOffset >= end) continue;
    const uint8_t* original = archive.bytes + member.offset;
    std::vector<uint8_t> data(original, original + member.size);
    for (; next < entries.size() && entries[next].nameOffset < end; ++next) {
      const char* newName = entries[next].newName;
      memcpy(data.data() + (entries[next].nameOffset - member.offset), newName, strlen(newName));
    }
    if (memcmp(data.data(), original, member.size) == 0) continue;
    patches.push_back({member.offset, member.size, std::move(data)});
  }
  // Names of the old lengths take the same room, sorted again.
  const ArchiveMember* second = FindSecondLinker(archive);
  if (second != nullptr && !entries.empty()) {
    std::vector<uint8_t> data = BuildSecondLinker(archive, entries);
    data.resize(second->size, 0);
    if (memcmp(data.data(), archive.bytes + second->offset, second->size) != 0) {
      patches.push_back({second->offset, second->size, std::move(data)});
      std::stable_sort(patches.begin(), patches.end(),
                       [](const BytePatch& a, const BytePatch& b) { return a.offset < b.offset; });
    }
  }
  return patches;
}
