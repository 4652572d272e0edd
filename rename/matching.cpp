#include "rename/matching.h"

std::vector<RenameMatch> OrderMatchesByPair(std::vector<RenameMatch>&& found, size_t pairs) {
  // Found in symbol order, so a stable order by pair is the order of one pass
  // per pair: a counting sort, with a slot per pair, only where the matches
  // outnumber a quarter of the pairs.
  if (pairs > 4 * found.size()) {
    std::sort(found.begin(), found.end(), [](const RenameMatch& a, const RenameMatch& b) {
      return a.pair != b.pair ? a.pair < b.pair : a.symbol < b.symbol;
    });
    return std::move(found);
  }
  std::vector<uint32_t> start(pairs + 1, 0);
  for (const RenameMatch& m : found) ++start[m.pair + 1];
  for (size_t pair = 0; pair < pairs; ++pair) start[pair + 1] += start[pair];
  std::vector<RenameMatch> matches(found.size());
  for (const RenameMatch& m : found) matches[start[m.pair]++] = m;
  return matches;
}
