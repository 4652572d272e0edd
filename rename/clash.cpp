#include "rename/clash.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

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

// The writes that end at end, found by galloping on from where the last
// search stopped.
std::span<const NameWrite> WritesEndingAt(NameWrites& w, uint32_t end) {
  const std::vector<NameWrite>& writes = w.writes;
  const size_t n = writes.size();
  size_t lo = 0;
  size_t hi = n;
  if (w.next < n && writes[w.next].end <= end) {
    lo = w.next;
    hi = lo + 1;
    for (size_t step = 1; hi < n && writes[hi].end < end; step *= 2) {
      lo = hi;
      hi = std::min(n, lo + step);
    }
  }
  auto first = std::partition_point(writes.begin() + static_cast<ptrdiff_t>(lo),
                                    writes.begin() + static_cast<ptrdiff_t>(hi),
                                    [end](const NameWrite& x) { return x.end < end; });
  auto last = first;
  while (last != writes.end() && last->end == end) ++last;
  w.next = static_cast<size_t>(first - writes.begin());
  return std::span<const NameWrite>(writes.data() + w.next, static_cast<size_t>(last - first));
}

}  // namespace

NameWrites PlanNameWrites(std::span<const uint8_t> table, std::span<const RenameMatch> matches,
                          std::span<const char* const> oldNames) {
  const uint8_t* original = table.data();
  const size_t size = table.size();
  // Writes at one offset cover the same bytes, so the last of them alone
  // decides what a name there reads: a name held by many symbols is judged
  // against one write, not against each of theirs.
  NameWrites w;
  w.writes.reserve(matches.size());
  std::vector<uint64_t> written(size / 64 + 1, 0);
  for (uint32_t k = static_cast<uint32_t>(matches.size()); k-- > 0;) {
    const RenameMatch& m = matches[k];
    if (written[m.offset / 64] >> (m.offset % 64) & 1) continue;
    written[m.offset / 64] |= uint64_t{1} << (m.offset % 64);
    uint32_t end = m.offset + static_cast<uint32_t>(strlen(oldNames[m.pair]));
    w.writes.push_back({end, k, m.offset, m.pair});
  }
  std::reverse(w.writes.begin(), w.writes.end());
  SortByEnd(w.writes);
  // Marking in table order keeps the walk through the table sequential. A
  // marked byte before a write belongs to a string marked from its start
  // already, so the walk back stops there: many writes into the tail of one
  // long string walk its bytes once, not once each.
  w.marked.assign(size / 64 + 1, 0);
  for (const NameWrite& x : w.writes) {
    uint32_t first = x.offset;
    while (first > 0 && original[first - 1] != 0 && !IsMarked(w, first - 1)) --first;
    // Whole words at a time: a name rarely spans more than two.
    for (uint32_t i = first; i <= x.end;) {
      const uint32_t bits = std::min<uint32_t>(64 - i % 64, x.end + 1 - i);
      w.marked[i / 64] |= (bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1) << (i % 64);
      i += bits;
    }
  }
  return w;
}

const char* JudgeTableName(NameWrites& plan, const uint8_t* original, uint32_t offset, uint32_t end,
                           bool renamed, std::span<const char* const> oldNames,
                           std::span<const char* const> newNames) {
  std::span<const NameWrite> writes = WritesEndingAt(plan, end);
  if (writes.empty()) return nullptr;
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
