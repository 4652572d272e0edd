#include "rename/renamer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t kNone = UINT32_MAX;

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

std::vector<RenameMatch> FindRenames(const ElfImage* elf, const OldNameIndex& index) {
  std::vector<RenameMatch> found;
  const size_t pairs = index.oldNames.size();
  if (pairs == 0 || !elf->strtab) return found;
  if (pairs <= kDirectPairs) {
    FindDirectly(elf, index, &found);
  } else {
    FindIndexed(elf, index, &found);
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
                           std::span<const char* const> newNames) {
  ObjectRenames renames{{}, nullptr};
  if (!elf->symtab || !elf->strtab) return renames;
  renames.matches = FindRenames(elf, index);
  if (renames.matches.empty()) return renames;
  RenameClash clash = FindRenameClash(elf, renames.matches, index.oldNames, newNames);
  if (clash.victim != nullptr) {
    fprintf(stderr, "ERROR: renaming <%s> would also change <%s> in %s\n", clash.writerOld,
            clash.victim, name);
    exit(1);
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
