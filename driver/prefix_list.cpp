#include "driver/prefix_list.h"

#include <cstring>

#include "rename/renamer.h"

namespace {

constexpr uint16_t kUndefined = 0;  // SHN_UNDEF

}  // namespace

void CollectDefinedNames(const ElfImage* elf, PrefixList* list) {
  if (!elf->strtab) return;
  const uint32_t count = GetSymbolCount(elf);
  VisitElfLayout(elf->layout, [&]<class E>(E) {
    const typename E::Sym* symbols = GetSymbols<E>(elf);
    for (uint32_t i = 0; i < count; ++i) {
      const typename E::Sym& symbol = symbols[i];
      if (!IsNonLocalSymbol(symbol.st_info) || symbol.st_shndx == kUndefined) continue;
      const char* name = GetSymbolName(elf, symbol.st_name);
      if (name == nullptr || name[0] == '\0' || list->defined.contains(name)) continue;
      const std::string& oldName = list->store.emplace_back(name);
      const std::string& newName = list->store.emplace_back(list->prefix + oldName);
      list->defined.insert(oldName);
      list->pairs.oldNames.push_back(oldName.c_str());
      list->pairs.newNames.push_back(newName.c_str());
    }
  });
}

const char* FindOverlongPrefixedName(const PrefixList& list) {
  for (size_t i = 0; i < list.pairs.newNames.size(); ++i) {
    if (strlen(list.pairs.newNames[i]) > kMaxNameLength) return list.pairs.oldNames[i];
  }
  return nullptr;
}
