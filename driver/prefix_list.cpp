#include "driver/prefix_list.h"

#include <cstring>

void AddDefinedName(const char* name, PrefixList* list, size_t at) {
  if (list->defined.contains(name)) return;
  const std::string& oldName = list->store.emplace_back(name);
  const std::string& newName =
      list->store.emplace_back(oldName.substr(0, at) + list->prefix + oldName.substr(at));
  list->defined.insert(oldName);
  list->pairs.oldNames.push_back(oldName.c_str());
  list->pairs.newNames.push_back(newName.c_str());
}

const char* FindOverlongPrefixedName(const PrefixList& list) {
  for (size_t i = 0; i < list.pairs.newNames.size(); ++i) {
    if (strlen(list.pairs.newNames[i]) > kMaxNameLength) return list.pairs.oldNames[i];
  }
  return nullptr;
}
