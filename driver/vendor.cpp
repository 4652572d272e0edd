#include "driver/vendor.h"

#include <algorithm>

void CountStrongDefinition(const char* name, uint32_t object, ClashCensus* census) {
  auto found = census->definers.find(std::string_view(name));
  if (found == census->definers.end()) {
    census->definers.emplace(census->names.emplace_back(name), ClashCensus::Definers{object, {}});
    return;
  }
  ClashCensus::Definers& definers = found->second;
  const uint32_t last = definers.more.empty() ? definers.first : definers.more.back();
  if (last != object) definers.more.push_back(object);
}

std::vector<Clash> ListClashes(const ClashCensus& census) {
  std::vector<Clash> clashes;
  for (const auto& [name, definers] : census.definers) {
    if (definers.more.empty()) continue;
    std::vector<uint32_t> objects{definers.first};
    objects.insert(objects.end(), definers.more.begin(), definers.more.end());
    const uint32_t input = census.inputOf[objects[0]];
    const bool within = census.inLibrary[objects[0]] &&
                        std::all_of(objects.begin(), objects.end(), [&](uint32_t object) {
                          return census.inputOf[object] == input;
                        });
    clashes.push_back({std::string(name), within, std::move(objects)});
  }
  std::sort(clashes.begin(), clashes.end(),
            [](const Clash& a, const Clash& b) { return a.name < b.name; });
  return clashes;
}
