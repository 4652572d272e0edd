#include "rename/renamer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

namespace {

constexpr uint32_t kNone = UINT32_MAX;
constexpr uint32_t kNull = 0;    // SHT_NULL
constexpr uint32_t kNoBits = 8;  // SHT_NOBITS

// Lists of at most this many pairs are matched without the index.
constexpr size_t kDirectPairs = 4;

uint64_t Load64(const char* p) {
  uint64_t value;
  memcpy(&value, p, sizeof value);
  return value;
}

uint32_t Load32(const char* p) {
  uint32_t value;
  memcpy(&value, p, sizeof value);
  return value;
}

// Hashes a zero-terminated name. Words are read only inside the name's own
// bytes, which a name at the very end of the file has to be.
uint32_t HashName(const char* name) {
  const size_t n = strlen(name);
  uint64_t a;
  uint64_t b;
  if (n >= 8) {
    a = Load64(name);
    b = Load64(name + n - 8);
    for (size_t i = 8; i + 8 < n; i += 8) a = (a ^ Load64(name + i)) * 0x9E3779B97F4A7C15ull;
  } else if (n >= 4) {
    a = Load32(name);
    b = Load32(name + n - 4);
  } else {
    a = n ? static_cast<uint8_t>(name[0]) : 0;
    b = n ? uint64_t{static_cast<uint8_t>(name[n / 2])} << 8 | static_cast<uint8_t>(name[n - 1])
          : 0;
  }
  uint64_t h = (a ^ 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
  h ^= (b + n) * 0x94D049BB133111EBull;
  h ^= h >> 31;
  h *= 0xD6E8FEB86659FD93ull;
  return static_cast<uint32_t>(h >> 32);
}

struct Probe {
  uint32_t offset;
  const char* name;
  uint32_t hash;
};

// The first pair whose old name is the probed name, or kNone.
uint32_t LookUp(const OldNameIndex& index, const Probe& probe) {
  uint32_t bit = probe.hash >> index.filterShift;
  if (!(index.filter[bit / 64] >> (bit % 64) & 1)) return kNone;
  for (uint32_t slot = probe.hash & index.mask;; slot = (slot + 1) & index.mask) {
    const OldNameSlot& entry = index.slots[slot];
    if (entry.pair == kNone) return kNone;
    if (entry.hash == probe.hash && strcmp(index.oldNames[entry.pair], probe.name) == 0) {
      return entry.pair;
    }
  }
}

// One match's write: the new name over the table bytes [offset, end], end
// being the old name's terminating zero. Later orders win.
struct NameWrite {
  uint32_t end;
  uint32_t order;
  uint32_t offset;
  uint32_t pair;
};

// Sorts writes made in order by end, keeping the order among equal ends. A
// few writes, as most members have, are compared; many (a large object's)
// go through a stable radix sort, eleven bits a pass, whose histograms cost
// less than their comparisons do once the writes outnumber their slots.
void SortByEnd(std::vector<NameWrite>& writes) {
  constexpr uint32_t kSlots = 2048;
  if (writes.size() < kSlots) {
    std::sort(writes.begin(), writes.end(), [](const NameWrite& a, const NameWrite& b) {
      return a.end != b.end ? a.end < b.end : a.order < b.order;
    });
    return;
  }
  std::vector<NameWrite> sorted(writes.size());
  for (int shift = 0; shift < 32; shift += 11) {
    uint32_t start[kSlots + 1] = {};
    for (const NameWrite& w : writes) ++start[(w.end >> shift & (kSlots - 1)) + 1];
    for (uint32_t digit = 0; digit < kSlots; ++digit) start[digit + 1] += start[digit];
    for (const NameWrite& w : writes) sorted[start[w.end >> shift & (kSlots - 1)]++] = w;
    writes.swap(sorted);
  }
}

// Judges the table name [offset, end] against the writes that end where it
// ends: the only ones that can reach it, since a name ends at its first zero.
// A symbol's name (renamed set) must come out as the new name of its own
// last write, if it has one, and any other name as it was. Returns the old
// name of the write that spoils it, or none.
const char* JudgeName(const uint8_t* original, uint32_t offset, uint32_t end,
                      std::span<const NameWrite> writes, std::span<const char* const> oldNames,
                      std::span<const char* const> newNames, bool renamed) {
  // The common case, a symbol's own name written whole by one write, comes
  // out as that write's new name without being played out.
  if (renamed && writes.size() == 1 && writes[0].offset == offset) return nullptr;
  std::string result(reinterpret_cast<const char*>(original) + offset, end + 1 - offset);
  const NameWrite* own = nullptr;
  const NameWrite* culprit = nullptr;
  for (const NameWrite& w : writes) {
    uint32_t from = std::max(w.offset, offset);
    memcpy(result.data() + (from - offset), newNames[w.pair] + (from - w.offset), end + 1 - from);
    if (renamed && w.offset == offset) {
      own = &w;
    } else {
      culprit = &w;
    }
  }
  const char* expected =
      own ? newNames[own->pair] : reinterpret_cast<const char*>(original) + offset;
  if (memcmp(result.data(), expected, result.size()) == 0) return nullptr;
  return oldNames[culprit->pair];
}

// Appends the matches of a few old names in symbol order, comparing names
// directly: a first byte that differs turns most names away for less than
// hashing them would cost.
void FindDirectly(const ElfImage* elf, const OldNameIndex& index, std::vector<RenameMatch>* found) {
  const uint32_t count = GetSymbolCount(elf);
  const auto pairs = static_cast<uint32_t>(index.oldNames.size());
  VisitElfLayout(elf->layout, [&]<class E>(E) {
    const typename E::Sym* symbols = GetSymbols<E>(elf);
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t offset = symbols[i].st_name;
      const char* name = GetSymbolName(elf, offset);
      if (name == nullptr) continue;
      for (uint32_t pair = 0; pair < pairs; ++pair) {
        const char* oldName = index.oldNames[pair];
        if (name[0] == oldName[0] && strcmp(name, oldName) == 0)
          found->push_back({pair, i, offset});
      }
    }
  });
}

// Appends the matches of the indexed old names in symbol order. Names are
// hashed a batch at a time and looked up afterwards, so that the lookups of a
// batch are independent and their cache misses overlap.
void FindIndexed(const ElfImage* elf, const OldNameIndex& index, std::vector<RenameMatch>* found) {
  const uint32_t count = GetSymbolCount(elf);
  constexpr uint32_t kBatch = 32;
  Probe probes[kBatch];
  VisitElfLayout(elf->layout, [&]<class E>(E) {
    const typename E::Sym* symbols = GetSymbols<E>(elf);
    for (uint32_t base = 0; base < count; base += kBatch) {
      const uint32_t n = std::min(kBatch, count - base);
      for (uint32_t j = 0; j < n; ++j) {
        Probe& probe = probes[j];
        probe.offset = symbols[base + j].st_name;
        probe.name = GetSymbolName(elf, probe.offset);
        if (probe.name != nullptr) probe.hash = HashName(probe.name);
      }
      for (uint32_t j = 0; j < n; ++j) {
        if (probes[j].name == nullptr) continue;
        for (uint32_t pair = LookUp(index, probes[j]); pair != kNone; pair = index.nextSame[pair]) {
          found->push_back({pair, base + j, probes[j].offset});
        }
      }
    }
  });
}

}  // namespace

OldNameIndex IndexOldNames(std::span<const char* const> oldNames) {
  OldNameIndex index;
  index.oldNames = oldNames;
  size_t slots = 16;
  while (slots < oldNames.size() + oldNames.size() / 2) slots *= 2;
  index.mask = static_cast<uint32_t>(slots - 1);
  index.slots.assign(slots, {0, kNone});
  uint32_t filterBits = 10;
  while (filterBits < 22 && (size_t{1} << filterBits) < 16 * oldNames.size()) ++filterBits;
  index.filter.assign((size_t{1} << filterBits) / 64, 0);
  index.filterShift = 32 - filterBits;
  index.nextSame.assign(oldNames.size(), kNone);
  std::vector<uint32_t> lastSame(oldNames.size(), kNone);
  for (uint32_t pair = 0; pair < oldNames.size(); ++pair) {
    uint32_t hash = HashName(oldNames[pair]);
    uint32_t slot = hash & index.mask;
    while (index.slots[slot].pair != kNone) {
      const OldNameSlot& taken = index.slots[slot];
      if (taken.hash == hash && strcmp(oldNames[taken.pair], oldNames[pair]) == 0) break;
      slot = (slot + 1) & index.mask;
    }
    uint32_t bit = hash >> index.filterShift;
    index.filter[bit / 64] |= uint64_t{1} << (bit % 64);
    uint32_t first = index.slots[slot].pair;
    if (first == kNone) {
      index.slots[slot] = {hash, pair};
      lastSame[pair] = pair;
    } else {
      index.nextSame[lastSame[first]] = pair;
      lastSame[first] = pair;
    }
  }
  return index;
}

uint8_t* CopyStringTable(const ElfImage* elf) {
  uint32_t size = elf->strtab->sh_size;
  // One byte more than asked keeps an empty table a real buffer.
  auto* table = static_cast<uint8_t*>(malloc(size_t{size} + 1));
  if (table == nullptr) {
    fprintf(stderr, "ERROR: ins. memory\n");
    exit(1);
  }
  memcpy(table, elf->image + elf->strtab->sh_offset, size);
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
  if (!elf->strtab) return;
  uint32_t count = GetSymbolCount(elf);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t offset = GetSymbolNameOffset(elf, i);
    if (offset == 0) continue;
    // Always the loaded image, never the copy: one pair never sees another's
    // result.
    if (strcmp(GetSymbolName(elf, offset), oldName) != 0) continue;
    memcpy(table + offset, newName, length + 1);
    printf("<%s> -> <%s> changed\n", oldName, newName);
  }
}

bool IsNonLocalSymbol(uint8_t st_info) {
  constexpr uint8_t kLocal = 0;    // STB_LOCAL
  constexpr uint8_t kSection = 3;  // STT_SECTION
  constexpr uint8_t kFile = 4;     // STT_FILE
  const uint8_t type = st_info & 0xF;
  return st_info >> 4 != kLocal && type != kSection && type != kFile;
}

std::vector<RenameMatch> FindRenames(const ElfImage* elf, const OldNameIndex& index) {
  std::vector<RenameMatch> found;
  const size_t pairs = index.oldNames.size();
  if (pairs == 0 || !elf->strtab) return found;
  if (pairs <= kDirectPairs) {
    FindDirectly(elf, index, &found);
  } else {
    FindIndexed(elf, index, &found);
  }
  if (index.nonLocalOnly) {
    VisitElfLayout(elf->layout, [&]<class E>(E) {
      const typename E::Sym* symbols = GetSymbols<E>(elf);
      std::erase_if(found, [symbols](const RenameMatch& m) {
        return !IsNonLocalSymbol(symbols[m.symbol].st_info);
      });
    });
  }

  // Found in symbol order; sorted by pair, stably, it is in the order of one
  // pass per pair. The sort costs what the object's own matches do, however
  // long the list is: a counting sort, with a slot per pair, only where the
  // matches outnumber a quarter of the pairs.
  if (pairs > 4 * found.size()) {
    std::sort(found.begin(), found.end(), [](const RenameMatch& a, const RenameMatch& b) {
      return a.pair != b.pair ? a.pair < b.pair : a.symbol < b.symbol;
    });
    return found;
  }
  std::vector<uint32_t> start(pairs + 1, 0);
  for (const RenameMatch& m : found) ++start[m.pair + 1];
  for (size_t pair = 0; pair < pairs; ++pair) start[pair + 1] += start[pair];
  std::vector<RenameMatch> matches(found.size());
  for (const RenameMatch& m : found) matches[start[m.pair]++] = m;
  return matches;
}

void WriteRenames(uint8_t* table, std::span<const RenameMatch> matches,
                  std::span<const char* const> oldNames, std::span<const char* const> newNames) {
  for (const RenameMatch& m : matches) {
    memcpy(table + m.offset, newNames[m.pair], strlen(oldNames[m.pair]) + 1);
  }
}

void ReportRenames(std::span<const RenameMatch> matches, std::span<const char* const> oldNames,
                   std::span<const char* const> newNames) {
  // The lines are gathered and written a chunk at a time: formatting each on
  // its own cost more than the renames of a heavy list did.
  char chunk[1 << 14];
  size_t used = 0;
  auto append = [&chunk, &used](const char* bytes, size_t size) {
    memcpy(chunk + used, bytes, size);
    used += size;
  };
  for (const RenameMatch& m : matches) {
    const char* oldName = oldNames[m.pair];
    const char* newName = newNames[m.pair];
    const size_t oldLength = strlen(oldName);
    const size_t newLength = strlen(newName);
    const size_t line = oldLength + newLength + 17;
    if (used + line > sizeof chunk) {
      fwrite(chunk, 1, used, stdout);
      used = 0;
    }
    if (line > sizeof chunk) {
      printf("<%s> -> <%s> changed\n", oldName, newName);
      continue;
    }
    append("<", 1);
    append(oldName, oldLength);
    append("> -> <", 6);
    append(newName, newLength);
    append("> changed\n", 10);
  }
  fwrite(chunk, 1, used, stdout);
}

RenameClash FindRenameClash(const ElfImage* elf, std::span<const RenameMatch> matches,
                            std::span<const char* const> oldNames,
                            std::span<const char* const> newNames) {
  if (matches.empty()) return {nullptr, nullptr};
  const ElfSection& strtab = *elf->strtab;
  const uint8_t* original = elf->image + strtab.sh_offset;

  // Mark every stored string that a write reaches into, from its first byte:
  // only a name that starts in a marked string can come out changed.
  // Marking in table order keeps the walk through the table sequential.
  // Writes at one offset cover the same bytes, so the last of them alone
  // decides what a name there reads: a name held by many symbols is judged
  // against one write, not against each of theirs.
  std::vector<NameWrite> writes;
  writes.reserve(matches.size());
  std::vector<uint64_t> written(strtab.sh_size / 64 + 1, 0);
  for (uint32_t k = static_cast<uint32_t>(matches.size()); k-- > 0;) {
    const RenameMatch& m = matches[k];
    if (written[m.offset / 64] >> (m.offset % 64) & 1) continue;
    written[m.offset / 64] |= uint64_t{1} << (m.offset % 64);
    uint32_t end = m.offset + static_cast<uint32_t>(strlen(oldNames[m.pair]));
    writes.push_back({end, k, m.offset, m.pair});
  }
  std::reverse(writes.begin(), writes.end());
  SortByEnd(writes);
  std::vector<uint64_t> marked(strtab.sh_size / 64 + 1, 0);
  auto isMarked = [&marked](uint32_t i) { return marked[i / 64] >> (i % 64) & 1; };
  for (const NameWrite& w : writes) {
    // A marked byte before the write belongs to a string marked from its
    // start already, so the walk back stops there: many writes into the tail
    // of one long string walk its bytes once, not once each.
    uint32_t first = w.offset;
    while (first > 0 && original[first - 1] != 0 && !isMarked(first - 1)) --first;
    for (uint32_t i = first; i <= w.end; ++i) marked[i / 64] |= uint64_t{1} << (i % 64);
  }
  // Names are judged mostly in table order, so each search for the writes
  // ending at a place gallops on from where the last one stopped.
  size_t next = 0;
  auto writesEndingAt = [&writes, &next](uint32_t end) {
    const size_t n = writes.size();
    size_t lo = 0;
    size_t hi = n;
    if (next < n && writes[next].end <= end) {
      lo = next;
      hi = lo + 1;
      for (size_t step = 1; hi < n && writes[hi].end < end; step *= 2) {
        lo = hi;
        hi = std::min(n, lo + step);
      }
    }
    auto first = std::partition_point(writes.begin() + static_cast<ptrdiff_t>(lo),
                                      writes.begin() + static_cast<ptrdiff_t>(hi),
                                      [end](const NameWrite& w) { return w.end < end; });
    auto last = first;
    while (last != writes.end() && last->end == end) ++last;
    next = static_cast<size_t>(first - writes.begin());
    return std::span<const NameWrite>(writes.data() + next, static_cast<size_t>(last - first));
  };

  const uint32_t count = GetSymbolCount(elf);
  RenameClash clash = VisitElfLayout(elf->layout, [&]<class E>(E) -> RenameClash {
    const typename E::Sym* symbols = GetSymbols<E>(elf);
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t offset = symbols[i].st_name;
      if (offset == 0 || !isMarked(offset)) continue;
      const char* name = GetSymbolName(elf, offset);
      uint32_t end = offset + static_cast<uint32_t>(strlen(name));
      if (const char* culprit =
              JudgeName(original, offset, end, writesEndingAt(end), oldNames, newNames, true)) {
        return {culprit, name};
      }
    }
    return {nullptr, nullptr};
  });
  if (clash.victim != nullptr) return clash;

  // Section names count only where they end inside .strtab's region, as when
  // the two tables are one section; their bytes before the region never change.
  if (!elf->sectionNames) return {nullptr, nullptr};
  for (uint32_t i = 0; i < GetSectionCount(elf); ++i) {
    const char* name = GetSectionName(elf, GetSectionNameOffset(elf, i));
    if (name == nullptr) continue;
    int64_t start = reinterpret_cast<const uint8_t*>(name) - original;
    int64_t end = start + static_cast<int64_t>(strlen(name));
    if (end < 0 || end >= strtab.sh_size) continue;
    auto offset = static_cast<uint32_t>(std::max<int64_t>(start, 0));
    auto group = writesEndingAt(static_cast<uint32_t>(end));
    if (group.empty()) continue;
    if (const char* culprit = JudgeName(original, offset, static_cast<uint32_t>(end), group,
                                        oldNames, newNames, false)) {
      return {culprit, name};
    }
  }
  return {nullptr, nullptr};
}

ObjectRenames RenameObject(const ElfImage* elf, const char* name, const OldNameIndex& index,
                           std::span<const char* const> newNames, bool grow) {
  ObjectRenames renames{{}, nullptr, {}};
  if (!elf->symtab || !elf->strtab) return renames;
  renames.matches = FindRenames(elf, index);
  if (renames.matches.empty()) return renames;
  bool inPlace = true;
  for (const RenameMatch& m : renames.matches) {
    inPlace = inPlace && strlen(index.oldNames[m.pair]) == strlen(newNames[m.pair]);
  }
  if (inPlace) {
    RenameClash clash = FindRenameClash(elf, renames.matches, index.oldNames, newNames);
    if (clash.victim != nullptr && !grow) {
      fprintf(stderr, "ERROR: renaming <%s> would also change <%s> in %s\n", clash.writerOld,
              clash.victim, name);
      fprintf(stderr, "namepatch: -g lets the string table grow to take this rename\n");
      exit(1);
    }
    inPlace = clash.victim == nullptr;
  }
  if (!inPlace) {
    // Section 0's header holds the section count under extended numbering,
    // so a table there cannot move; no toolchain puts one there.
    if (elf->strtab->index == 0) {
      fprintf(stderr, "ERROR: .strtab of %s is section 0, which cannot move\n", name);
      exit(1);
    }
    renames.grown = GrowStringTable(elf, renames.matches, newNames);
    return renames;
  }
  uint8_t* table = CopyStringTable(elf);
  WriteRenames(table, renames.matches, index.oldNames, newNames);
  const uint8_t* original = elf->image + elf->strtab->sh_offset;
  if (memcmp(table, original, elf->strtab->sh_size) == 0) {
    free(table);
  } else {
    renames.table = table;
  }
  return renames;
}

std::vector<BytePatch> GrowStringTable(const ElfImage* elf, std::span<const RenameMatch> matches,
                                       std::span<const char* const> newNames) {
  const ElfSection& strtab = *elf->strtab;
  const uint8_t* original = elf->image + strtab.sh_offset;
  const uint32_t size = strtab.sh_size;
  const uint32_t count = GetSymbolCount(elf);

  // Each renamed symbol's last matching pair, whose new name it carries.
  std::vector<uint32_t> lastPair(count, kNone);
  for (const RenameMatch& m : matches) lastPair[m.symbol] = m.pair;

  // The table's bytes that a name still read from it covers: every kept
  // symbol's name, and the section names that lie in the table's region.
  std::vector<uint64_t> live(size / 64 + 1, 0);
  auto markLive = [&live](uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) live[i / 64] |= uint64_t{1} << (i % 64);
  };
  // Names that another section reads from the table through its sh_link
  // (a second symbol table, version records) are not followed here, so with
  // such a reader every old byte stays in the new table.
  bool otherReader = false;
  VisitElfLayout(elf->layout, [&]<class E>(E) {
    for (uint32_t i = 0; i < GetSectionCount(elf); ++i) {
      otherReader = otherReader || (i != elf->symtab->index &&
                                    GetSectionHeader<E>(elf, i).sh_link == strtab.index);
    }
    if (otherReader) markLive(0, size);
    const typename E::Sym* symbols = GetSymbols<E>(elf);
    for (uint32_t i = 0; i < count && !otherReader; ++i) {
      const uint32_t offset = symbols[i].st_name;
      if (offset == 0 || lastPair[i] != kNone) continue;
      markLive(offset, offset + static_cast<uint32_t>(strlen(GetSymbolName(elf, offset))));
    }
  });
  if (elf->sectionNames) {
    for (uint32_t i = 0; i < GetSectionCount(elf); ++i) {
      const char* name = GetSectionName(elf, GetSectionNameOffset(elf, i));
      if (name == nullptr) continue;
      int64_t start = reinterpret_cast<const uint8_t*>(name) - original;
      int64_t end = start + static_cast<int64_t>(strlen(name));
      if (end < 0 || start >= size) continue;
      markLive(static_cast<uint32_t>(std::max<int64_t>(start, 0)),
               static_cast<uint32_t>(std::min<int64_t>(end, size)));
    }
  }

  // The new table: the old one, renamed-away bytes cleared, then each
  // distinct new name once.
  std::vector<uint8_t> table(original, original + size);
  std::unordered_map<std::string_view, uint32_t> placed;
  uint64_t tableSize = size;
  std::vector<uint32_t> newOffset(count, 0);
  for (const RenameMatch& m : matches) {
    const uint32_t offset = m.offset;
    const uint32_t end = offset + static_cast<uint32_t>(strlen(GetSymbolName(elf, offset)));
    for (uint32_t i = offset; i < end; ++i) {
      if (!(live[i / 64] >> (i % 64) & 1)) table[i] = 0;
    }
    if (lastPair[m.symbol] != m.pair) continue;
    const std::string_view newName(newNames[m.pair]);
    auto [at, added] = placed.try_emplace(newName, static_cast<uint32_t>(tableSize));
    if (added) tableSize += newName.size() + 1;
    if (tableSize + elf->length + 4096 > UINT32_MAX) {
      fprintf(stderr, "ERROR: ins. memory\n");
      exit(1);
    }
    newOffset[m.symbol] = at->second;
  }
  table.resize(tableSize, 0);
  for (const auto& [newName, at] : placed)
    memcpy(table.data() + at, newName.data(), newName.size());

  std::vector<BytePatch> patches;
  VisitElfLayout(elf->layout, [&]<class E>(E) {
    using Shdr = typename E::Shdr;
    using Sym = typename E::Sym;
    const Shdr& header = GetSectionHeader<E>(elf, strtab.index);
    const uint64_t align = header.sh_addralign;
    const uint32_t pad = align > 1 && align <= 4096 && (align & (align - 1)) == 0
                             ? static_cast<uint32_t>((align - elf->length % align) % align)
                             : 0;
    const uint32_t headerAt = elf->shoff + strtab.index * elf->shentsize;
    const auto* headerBytes = reinterpret_cast<const uint8_t*>(&header);
    BytePatch moved{headerAt, sizeof(Shdr), {headerBytes, headerBytes + sizeof(Shdr)}};
    auto& newHeader = *reinterpret_cast<Shdr*>(moved.bytes.data());
    newHeader.sh_offset = elf->length + pad;
    newHeader.sh_size = static_cast<uint32_t>(tableSize);
    patches.push_back(std::move(moved));

    const uint32_t symbolBytes = count * static_cast<uint32_t>(sizeof(Sym));
    const uint8_t* symtab = elf->image + elf->symtab->sh_offset;
    BytePatch renamed{elf->symtab->sh_offset, symbolBytes, {symtab, symtab + symbolBytes}};
    auto* symbols = reinterpret_cast<Sym*>(renamed.bytes.data());
    for (uint32_t i = 0; i < count; ++i) {
      if (lastPair[i] != kNone) symbols[i].st_name = newOffset[i];
    }
    patches.push_back(std::move(renamed));

    // The old region is cleared, but for bytes that another section holds
    // there, which are read where they lie: section names always, whatever
    // their table's type says.
    BytePatch cleared{strtab.sh_offset, size, std::vector<uint8_t>(size, 0)};
    for (uint32_t i = 0; i < GetSectionCount(elf); ++i) {
      const Shdr& other = GetSectionHeader<E>(elf, i);
      const bool sectionNames = elf->sectionNames && elf->sectionNames->index == i;
      const bool empty = other.sh_type == kNull || other.sh_type == kNoBits;
      if (i == strtab.index || (empty && !sectionNames)) {
        continue;
      }
      const uint64_t from = std::max<uint64_t>(other.sh_offset, strtab.sh_offset);
      const uint64_t to = std::min<uint64_t>(uint64_t{other.sh_offset} + other.sh_size,
                                             uint64_t{strtab.sh_offset} + size);
      for (uint64_t at = from; at < to; ++at) {
        cleared.bytes[at - strtab.sh_offset] = elf->image[at];
      }
    }
    patches.push_back(std::move(cleared));

    std::vector<uint8_t> appended(pad, 0);
    appended.insert(appended.end(), table.begin(), table.end());
    patches.push_back({elf->length, 0, std::move(appended)});
  });
  std::sort(patches.begin(), patches.end(),
            [](const BytePatch& a, const BytePatch& b) { return a.offset < b.offset; });
  return patches;
}

std::vector<IndexRename> FindIndexRenames(const Archive* archive,
                                          std::span<const std::vector<RenameMatch>> memberMatches,
                                          const OldNameIndex& index,
                                          std::span<const char* const> newNames) {
  std::vector<IndexRename> renames;
  if (index.oldNames.empty()) return renames;
  for (const ArchiveSymbol& symbol : archive->symbols) {
    std::span<const RenameMatch> matches = memberMatches[symbol.member];
    if (matches.empty()) continue;
    Probe probe{0, reinterpret_cast<const char*>(archive->bytes + symbol.nameOffset), 0};
    probe.hash = HashName(probe.name);
    uint32_t pair = LookUp(index, probe);
    if (pair == kNone) continue;
    // Every pair of one old name matches the same symbols, so the member
    // renamed the entry's name exactly when it matched the first such pair;
    // the last such pair's new name is what the symbols carry.
    auto found = std::lower_bound(matches.begin(), matches.end(), pair,
                                  [](const RenameMatch& m, uint32_t p) { return m.pair < p; });
    if (found == matches.end() || found->pair != pair) continue;
    while (index.nextSame[pair] != kNone) pair = index.nextSame[pair];
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
uint32_t OldPadding(const Archive* archive, uint32_t end) {
  return end & 1 && end < archive->length ? 1 : 0;
}

}  // namespace

std::vector<BytePatch> GrowMember(const Archive* archive, const ArchiveMember& member,
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

std::vector<BytePatch> RebuildIndexes(const Archive* archive, std::span<const IndexRename> entries,
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
  for (const ArchiveMember& member : archive->members) {
    if (!member.special || member.name == "//") continue;
    const uint32_t width = member.name == "/SYM64/" ? 8 : 4;
    const uint32_t end = member.offset + member.size;
    // The index's entries follow one another in the archive's list.
    while (symbol < archive->symbols.size() && archive->symbols[symbol].nameOffset < member.offset)
      ++symbol;
    size_t last = symbol;
    while (last < archive->symbols.size() && archive->symbols[last].nameOffset < end) ++last;
    const uint64_t count = last - symbol;
    std::vector<uint8_t> data(width * (count + 1), 0);
    for (uint32_t b = 0; b < width; ++b)
      data[b] = static_cast<uint8_t>(count >> (8 * (width - 1 - b)));
    for (size_t k = symbol; k < last; ++k) {
      const uint32_t nameOffset = archive->symbols[k].nameOffset;
      while (next < entries.size() && entries[next].nameOffset < nameOffset) ++next;
      const char* name = next < entries.size() && entries[next].nameOffset == nameOffset
                             ? entries[next].newName
                             : reinterpret_cast<const char*>(archive->bytes + nameOffset);
      data.insert(data.end(), name, name + strlen(name) + 1);
      slots.push_back({rebuilt.size() + 1, static_cast<uint32_t>(width * (k - symbol + 1)), width,
                       archive->members[archive->symbols[k].member].header});
    }
    // As ar pads them: "/" to an even size, "/SYM64/" to 8 bytes.
    const size_t align = width == 8 ? 8 : 2;
    data.resize((data.size() + align - 1) / align * align, 0);
    rebuilt.push_back(SizeField(member.header, uint64_t{member.offset} + data.size()));
    rebuilt.push_back({member.offset, member.size + OldPadding(archive, end), std::move(data)});
    symbol = last;
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
  for (const Slot& slot : slots) {
    auto after = std::upper_bound(moves.begin(), moves.end(), slot.header,
                                  [](uint32_t at, const auto& move) { return at < move.first; });
    const int64_t shift = after == moves.begin() ? 0 : std::prev(after)->second;
    const auto header = static_cast<uint64_t>(slot.header + shift);
    uint8_t* field = rebuilt[slot.patch].bytes.data() + slot.at;
    for (uint32_t b = 0; b < slot.width; ++b) {
      field[b] = static_cast<uint8_t>(header >> (8 * (slot.width - 1 - b)));
    }
  }
  return rebuilt;
}
