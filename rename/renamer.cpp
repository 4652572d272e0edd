#include "rename/renamer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr uint32_t kNone = UINT32_MAX;

// FNV-1a over a zero-terminated name, giving its length on the way, so a
// symbol's name is read once to be both hashed and measured.
uint32_t HashName(const char* name, size_t* length) {
  uint32_t hash = 2166136261u;
  const char* p = name;
  for (; *p != '\0'; ++p) hash = (hash ^ static_cast<uint8_t>(*p)) * 16777619u;
  *length = static_cast<size_t>(p - name);
  return hash;
}

// An open-addressing table from the distinct old names to the first pair of
// each; later pairs with the same old name hang off nextSame in pair order.
struct OldNameIndex {
  std::vector<uint32_t> slotPair;
  std::vector<uint32_t> slotHash;
  std::vector<size_t> length;
  std::vector<uint32_t> nextSame;
  uint32_t mask;
};

OldNameIndex IndexOldNames(std::span<const char* const> oldNames) {
  OldNameIndex index;
  uint32_t slots = 16;
  while (slots < 2 * oldNames.size()) slots *= 2;
  index.mask = slots - 1;
  index.slotPair.assign(slots, kNone);
  index.slotHash.assign(slots, 0);
  index.length.resize(oldNames.size());
  index.nextSame.assign(oldNames.size(), kNone);
  std::vector<uint32_t> lastSame(oldNames.size(), kNone);
  for (uint32_t pair = 0; pair < oldNames.size(); ++pair) {
    uint32_t hash = HashName(oldNames[pair], &index.length[pair]);
    uint32_t slot = hash & index.mask;
    while (index.slotPair[slot] != kNone) {
      uint32_t first = index.slotPair[slot];
      if (index.slotHash[slot] == hash && strcmp(oldNames[first], oldNames[pair]) == 0) break;
      slot = (slot + 1) & index.mask;
    }
    uint32_t first = index.slotPair[slot];
    if (first == kNone) {
      index.slotPair[slot] = pair;
      index.slotHash[slot] = hash;
      lastSame[pair] = pair;
    } else {
      index.nextSame[lastSame[first]] = pair;
      lastSame[first] = pair;
    }
  }
  return index;
}

// The first pair whose old name is name, or kNone.
uint32_t LookUp(const OldNameIndex& index, std::span<const char* const> oldNames,
                const char* name) {
  size_t length;
  uint32_t hash = HashName(name, &length);
  for (uint32_t slot = hash & index.mask;; slot = (slot + 1) & index.mask) {
    uint32_t pair = index.slotPair[slot];
    if (pair == kNone) return kNone;
    if (index.slotHash[slot] == hash && index.length[pair] == length &&
        memcmp(oldNames[pair], name, length) == 0) {
      return pair;
    }
  }
}

// The old name of the last match whose write reaches into the table bytes
// [begin, end) from any offset but own (a symbol's own renames stand at its
// own offset and are expected).
const char* FindWriter(const ElfImage* elf, std::span<const RenameMatch> matches,
                       std::span<const char* const> oldNames, int64_t begin, int64_t end,
                       int64_t own) {
  for (size_t k = matches.size(); k-- > 0;) {
    int64_t offset = GetSymbol(elf, static_cast<int32_t>(matches[k].symbol))->st_name;
    int64_t stop = offset + static_cast<int64_t>(strlen(oldNames[matches[k].pair])) + 1;
    if (offset != own && offset < end && begin < stop) return oldNames[matches[k].pair];
  }
  return nullptr;
}

}  // namespace

uint8_t* CopyStringTable(const ElfImage* elf) {
  uint32_t size = elf->strtabHeader->sh_size;
  // One byte more than asked keeps an empty table a real buffer.
  auto* table = static_cast<uint8_t*>(malloc(size_t{size} + 1));
  if (table == nullptr) {
    fprintf(stderr, "ERROR: ins. memory\n");
    exit(1);
  }
  memcpy(table, elf->image + elf->strtabHeader->sh_offset, size);
  return table;
}

void RenameSymbol(const ElfImage* elf, uint8_t* table, const char* oldName, const char* newName) {
  if (oldName == nullptr || newName == nullptr) return;
  size_t length = strlen(oldName);
  if (strlen(newName) != length) {
    printf("ERROR: The newsym length is not equal with the oldsym length\n --- %s\n +++ %s\n",
           oldName, newName);
    return;
  }
  if (elf->strtabHeader == nullptr) return;
  uint32_t count = GetSymbolCount(elf);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t offset = GetSymbol(elf, static_cast<int32_t>(i))->st_name;
    if (offset == 0) continue;
    // Always the loaded image, never the copy: one pair never sees another's
    // result.
    if (strcmp(GetSymbolName(elf, offset), oldName) != 0) continue;
    memcpy(table + offset, newName, length + 1);
    printf("<%s> -> <%s> changed\n", oldName, newName);
  }
}

std::vector<RenameMatch> FindRenames(const ElfImage* elf, std::span<const char* const> oldNames) {
  std::vector<RenameMatch> found;
  if (oldNames.empty() || elf->strtabHeader == nullptr) return found;
  OldNameIndex index = IndexOldNames(oldNames);
  uint32_t count = GetSymbolCount(elf);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t offset = GetSymbol(elf, static_cast<int32_t>(i))->st_name;
    if (offset == 0) continue;
    for (uint32_t pair = LookUp(index, oldNames, GetSymbolName(elf, offset)); pair != kNone;
         pair = index.nextSame[pair]) {
      found.push_back({pair, i});
    }
  }

  // Found in symbol order; a stable counting sort by pair gives the order of
  // one pass per pair.
  std::vector<uint32_t> start(oldNames.size() + 1, 0);
  for (const RenameMatch& m : found) ++start[m.pair + 1];
  for (size_t pair = 0; pair < oldNames.size(); ++pair) start[pair + 1] += start[pair];
  std::vector<RenameMatch> matches(found.size());
  for (const RenameMatch& m : found) matches[start[m.pair]++] = m;
  return matches;
}

void ApplyRenames(const ElfImage* elf, uint8_t* table, std::span<const RenameMatch> matches,
                  std::span<const char* const> oldNames, std::span<const char* const> newNames) {
  for (const RenameMatch& m : matches) {
    const char* oldName = oldNames[m.pair];
    const char* newName = newNames[m.pair];
    uint32_t offset = GetSymbol(elf, static_cast<int32_t>(m.symbol))->st_name;
    memcpy(table + offset, newName, strlen(oldName) + 1);
    printf("<%s> -> <%s> changed\n", oldName, newName);
  }
}

RenameClash FindRenameClash(const ElfImage* elf, std::span<const RenameMatch> matches,
                            std::span<const char* const> oldNames,
                            std::span<const char* const> newNames) {
  if (matches.empty()) return {nullptr, nullptr};
  const Elf32_Shdr* strtab = elf->strtabHeader;
  const uint8_t* original = elf->image + strtab->sh_offset;

  // Play every write on a scratch copy, then read every name back from it.
  std::vector<uint8_t> edited(original, original + strtab->sh_size);
  std::vector<uint32_t> lastPair(GetSymbolCount(elf), kNone);
  for (const RenameMatch& m : matches) {
    uint32_t offset = GetSymbol(elf, static_cast<int32_t>(m.symbol))->st_name;
    memcpy(edited.data() + offset, newNames[m.pair], strlen(oldNames[m.pair]) + 1);
    lastPair[m.symbol] = m.pair;
  }
  for (uint32_t i = 0; i < lastPair.size(); ++i) {
    uint32_t offset = GetSymbol(elf, static_cast<int32_t>(i))->st_name;
    if (offset == 0) continue;
    const char* name = GetSymbolName(elf, offset);
    const char* expected = lastPair[i] == kNone ? name : newNames[lastPair[i]];
    size_t length = strlen(name);
    if (memcmp(edited.data() + offset, expected, length + 1) != 0) {
      int64_t end = int64_t{offset} + static_cast<int64_t>(length) + 1;
      return {FindWriter(elf, matches, oldNames, offset, end, offset), name};
    }
  }

  // Section names count only where their bytes lie in .strtab's region, as
  // when the two tables are one section.
  const Elf32_Shdr* names = elf->sectionNameHeader;
  if (names == nullptr) return {nullptr, nullptr};
  int64_t shift = int64_t{names->sh_offset} - int64_t{strtab->sh_offset};
  for (uint32_t i = 0; i < elf->header->e_shnum; ++i) {
    uint32_t nameOffset = GetSectionHeader(elf, static_cast<int32_t>(i))->sh_name;
    const char* name = GetSectionName(elf, nameOffset);
    if (name == nullptr) continue;
    int64_t begin = std::max<int64_t>(shift + nameOffset, 0);
    int64_t end = std::min<int64_t>(shift + nameOffset + static_cast<int64_t>(strlen(name)) + 1,
                                    strtab->sh_size);
    if (begin < end && memcmp(edited.data() + begin, original + begin,
                              static_cast<size_t>(end - begin)) != 0) {
      return {FindWriter(elf, matches, oldNames, begin, end, -1), name};
    }
  }
  return {nullptr, nullptr};
}
