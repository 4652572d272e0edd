#include "driver/vendor.h"

#include <algorithm>

std::vector<Clash> ListClashes(const ClashCensus& census) {
  std::vector<Clash> clashes;
  for (const auto& [name, objects] : census.definers) {
    if (objects.size() < 2) continue;
    const uint32_t input = census.inputOf[objects[0]];
    const bool within = census.inLibrary[objects[0]] &&
                        std::all_of(objects.begin(), objects.end(), [&](uint32_t object) {
                          return census.inputOf[object] == input;
                        });
    clashes.push_back({name, within, objects});
  }
  std::sort(clashes.begin(), clashes.end(),
            [](const Clash& a, const Clash& b) { return a.name < b.name; });
  return clashes;
}
