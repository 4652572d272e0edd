#include "coff/coff_symbols.h"

#include <cstring>
#include <string_view>

namespace {

// Adds a short name to the slots; returns its offset, 0 for an empty name.
uint32_t AddShortName(CoffNames* names, std::string_view name) {
  if (name.empty()) return 0;
  const auto offset = static_cast<uint32_t>(names->bytes.size());
  names->bytes.insert(names->bytes.end(), name.begin(), name.end());
  names->bytes.push_back(0);
  return offset;
}

template <class Sym>
std::string_view ReadName(const CoffImage& coff, const CoffNames& names, const Sym& symbol) {
  if (HasLongName(symbol)) {
    return reinterpret_cast<const char*>(names.bytes.data()) + GetLongNameOffset(symbol);
  }
  const auto* name = reinterpret_cast<const char*>(symbol.Name);
  (void)coff;
  return {name, strnlen(name, 8)};
}

template <class Sym>
uint32_t NameOffset(CoffNames* names, const Sym& symbol, uint32_t skip) {
  if (HasLongName(symbol)) return GetLongNameOffset(symbol) + skip;
  const auto* name = reinterpret_cast<const char*>(symbol.Name);
  return AddShortName(names, std::string_view(name, strnlen(name, 8)).substr(skip));
}

template <class Sym>
void ListNames(const CoffImage& coff, CoffNames* names) {
  const uint8_t* table = coff.image + coff.stringTable;
  names->tableSize = coff.stringSize ? coff.stringSize : 4;
  names->bytes.reserve(names->tableSize + coff.symbolCount * 9);
  if (coff.stringSize) {
    names->bytes.assign(table, table + coff.stringSize);
  } else {
    names->bytes.assign(4, 0);
  }
  // Per section: its section symbol's entry (static, with an auxiliary
  // record) and the first other symbol record in it, the COMDAT symbol of a
  // COMDAT section.
  constexpr uint32_t kNone = UINT32_MAX;
  std::vector<uint32_t> sectionSymbol(coff.sectionCount, kNone);
  std::vector<uint32_t> comdatSymbol(coff.sectionCount, kNone);
  for (uint32_t i = 0; i < coff.symbolCount; ++i) {
    const Sym& symbol = GetCoffSymbol<Sym>(coff, i);
    names->entries.push_back({i, NameOffset(names, symbol, 0), 0, 0, CoffEntryKind::kSymbol});
    const int32_t section = symbol.SectionNumber;
    if (section > 0 && static_cast<uint32_t>(section) <= coff.sectionCount) {
      // A section definition: static, typeless, at 0, with its auxiliary
      // record; a static function has one too, but a type.
      const bool definition = symbol.StorageClass == IMAGE_SYM_CLASS_STATIC &&
                              symbol.NumberOfAuxSymbols > 0 && symbol.Type == 0 &&
                              symbol.Value == 0;
      uint32_t& slot = definition ? sectionSymbol[section - 1] : comdatSymbol[section - 1];
      if (slot == kNone) slot = definition ? static_cast<uint32_t>(names->entries.size() - 1) : i;
    }
    i += symbol.NumberOfAuxSymbols;
  }
  names->symbolEntries = static_cast<uint32_t>(names->entries.size());

  for (uint32_t s = 0; s < coff.sectionCount; ++s) {
    if (!(GetCoffSection(coff, s).Characteristics & IMAGE_SCN_LNK_COMDAT)) continue;
    if (comdatSymbol[s] == kNone) continue;
    const CoffSectionName section = GetCoffSectionName(coff, s);
    const size_t dollar = section.name.find('$');
    if (dollar == std::string_view::npos) continue;
    const std::string_view carried = section.name.substr(dollar + 1);
    const Sym& comdat = GetCoffSymbol<Sym>(coff, comdatSymbol[s]);
    if (carried.empty() || ReadName(coff, *names, comdat) != carried) continue;
    const auto prefix = static_cast<uint32_t>(dollar + 1);
    const uint32_t offset =
        section.inTable ? section.offset + prefix : AddShortName(names, carried);
    names->entries.push_back({s, offset, comdatSymbol[s], prefix, CoffEntryKind::kSectionName});
    if (sectionSymbol[s] == kNone) continue;
    // The section symbol's own entry carries the name from then on: a rename
    // of the whole name there would spoil the one its tail follows.
    CoffEntry& entry = names->entries[sectionSymbol[s]];
    const Sym& symbol = GetCoffSymbol<Sym>(coff, entry.record);
    if (ReadName(coff, *names, symbol) != section.name) continue;
    entry = {entry.record, NameOffset(names, symbol, prefix), comdatSymbol[s], prefix,
             CoffEntryKind::kSectionSymbol};
  }
}

}  // namespace

CoffNames ListCoffNames(const CoffImage& coff) {
  CoffNames names;
  if (coff.bigobj) {
    ListNames<IMAGE_SYMBOL_EX>(coff, &names);
  } else {
    ListNames<IMAGE_SYMBOL>(coff, &names);
  }
  return names;
}
