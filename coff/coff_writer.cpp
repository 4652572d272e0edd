#include "coff/coff_writer.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "coff/coff_symbols.h"
#include "rename/clash.h"

namespace {

enum class Place : uint8_t { kNone, kRecord, kTable, kAppend };

// Whether anything the section headers point at lies at or past offset,
// where the string table would grow.
bool SectionsReachPast(const CoffImage& coff, uint32_t offset) {
  for (uint32_t s = 0; s < coff.sectionCount; ++s) {
    const IMAGE_SECTION_HEADER& h = GetCoffSection(coff, s);
    if ((h.SizeOfRawData != 0 && h.PointerToRawData >= offset) ||
        (h.NumberOfRelocations != 0 && h.PointerToRelocations >= offset) ||
        (h.NumberOfLinenumbers != 0 && h.PointerToLinenumbers >= offset)) {
      return true;
    }
  }
  return false;
}

// The long section names that no entry follows, which must come out as they
// were.
std::vector<TableName> ListFixedSectionNames(const CoffImage& coff, const CoffNames& names) {
  std::vector<bool> followed(coff.sectionCount, false);
  for (uint32_t e = names.symbolEntries; e < names.entries.size(); ++e) {
    if (names.entries[e].kind == CoffEntryKind::kSectionName)
      followed[names.entries[e].record] = true;
  }
  std::vector<TableName> fixed;
  for (uint32_t s = 0; s < coff.sectionCount; ++s) {
    const CoffSectionName section = GetCoffSectionName(coff, s);
    if (!section.inTable || followed[s]) continue;
    const auto end = static_cast<uint32_t>(section.offset + section.name.size());
    fixed.push_back({section.offset, end, section.name.data()});
  }
  return fixed;
}

template <class Sym>
Result<ObjectRenames> RenameAs(const CoffImage& coff, const std::string& name,
                               const OldNameIndex& index, std::span<const char* const> newNames,
                               bool grow) {
  const CoffNames names = ListCoffNames(coff);
  const CoffSymbols<Sym> view{coff, names, true};
  std::vector<RenameMatch> matches = FindRenames(view, index);
  if (matches.empty()) return ObjectRenames{};
  const size_t entries = names.entries.size();
  std::vector<uint32_t> lastPair(entries, kNoPair);
  for (const RenameMatch& m : matches) lastPair[m.symbol] = m.pair;

  // Where each renamed entry's new name goes.
  std::vector<Place> place(entries, Place::kNone);
  std::vector<RenameMatch> tableWrites;
  bool append = false;
  for (uint32_t e = 0; e < entries; ++e) {
    if (lastPair[e] == kNoPair) continue;
    const CoffEntry& entry = names.entries[e];
    const size_t oldLength = strlen(index.oldNames[lastPair[e]]);
    const size_t newLength = strlen(newNames[lastPair[e]]);
    // An empty name cannot stand in a record: eight zero bytes there read
    // as a long name at offset 0.
    if (entry.prefix + newLength <= 8 && entry.prefix + newLength > 0) {
      place[e] = Place::kRecord;
    } else if (entry.offset < names.tableSize && oldLength == newLength) {
      place[e] = Place::kTable;
    } else {
      place[e] = Place::kAppend;
      append = true;
    }
  }
  for (const RenameMatch& m : matches) {
    if (place[m.symbol] == Place::kTable) tableWrites.push_back(m);
  }
  const std::vector<TableName> fixed = ListFixedSectionNames(coff, names);
  const RenameClash clash = FindRenameClash(view, std::span<const uint8_t>(names.bytes), fixed,
                                            tableWrites, index.oldNames, newNames);
  if (clash.victim != nullptr) {
    if (!grow) return Error{Fault::kRenameClash, name, clash.writerOld, clash.victim};
    for (Place& p : place) p = p == Place::kTable ? Place::kAppend : p;
    append = true;
  }

  const uint32_t symbolSize = GetSymbolSize(coff);
  const uint32_t symbolBytes = coff.symbolCount * symbolSize;
  const uint32_t headerBytes = coff.sectionCount * sizeof(IMAGE_SECTION_HEADER);
  std::vector<uint8_t> symbols(coff.image + coff.symbolTable,
                               coff.image + coff.symbolTable + symbolBytes);
  std::vector<uint8_t> headers(coff.image + coff.sectionTable,
                               coff.image + coff.sectionTable + headerBytes);
  std::vector<uint8_t> table(names.bytes.begin(), names.bytes.begin() + names.tableSize);
  std::string appended;
  std::unordered_map<std::string, uint32_t> placed;

  for (uint32_t e = 0; e < entries; ++e) {
    if (place[e] == Place::kNone) continue;
    const CoffEntry& entry = names.entries[e];
    const char* newName = newNames[lastPair[e]];
    if (place[e] == Place::kTable) {
      memcpy(table.data() + entry.offset, newName, strlen(newName));
      continue;
    }
    // The full new name: a section's keeps what stands before the '$'.
    std::string full;
    if (entry.kind == CoffEntryKind::kSectionName) {
      full = GetCoffSectionName(coff, entry.record).name.substr(0, entry.prefix);
    } else if (entry.kind == CoffEntryKind::kSectionSymbol) {
      const Sym& symbol = GetCoffSymbol<Sym>(coff, entry.record);
      full = HasLongName(symbol)
                 ? std::string(reinterpret_cast<const char*>(names.bytes.data()) +
                                   GetLongNameOffset(symbol),
                               entry.prefix)
                 : std::string(reinterpret_cast<const char*>(symbol.Name), entry.prefix);
    }
    full += newName;
    uint8_t field[8] = {};
    if (place[e] == Place::kRecord) {
      memcpy(field, full.data(), full.size());
    } else {
      auto [at, added] =
          placed.try_emplace(full, static_cast<uint32_t>(names.tableSize + appended.size()));
      if (added) appended.append(full.c_str(), full.size() + 1);
      if (uint64_t{coff.length} + appended.size() + 4096 > UINT32_MAX) {
        return Error{Fault::kNoMemory};
      }
      if (entry.kind == CoffEntryKind::kSectionName) {
        EncodeLongSectionName(at->second, field);
      } else {
        Le32 offset;
        offset = at->second;
        memcpy(field + 4, offset.bytes, 4);
      }
    }
    uint8_t* target = entry.kind == CoffEntryKind::kSectionName
                          ? headers.data() + entry.record * sizeof(IMAGE_SECTION_HEADER)
                          : symbols.data() + uint64_t{entry.record} * symbolSize;
    memcpy(target, field, 8);
  }

  ObjectRenames renames;
  for (const RenameMatch& m : matches) {
    if (names.entries[m.symbol].kind == CoffEntryKind::kSymbol) renames.matches.push_back(m);
  }
  const uint32_t growAt = coff.stringTable + (coff.stringSize ? coff.stringSize : 0);
  if (append && SectionsReachPast(coff, growAt)) return Error{Fault::kStringTableNotLast, name};
  if (append) {
    const uint32_t size = static_cast<uint32_t>(names.tableSize + appended.size());
    Le32 field;
    field = size;
    memcpy(table.data(), field.bytes, 4);
  }
  // Patches only where bytes change, so that an object its renames leave as
  // it was is not written.
  auto add = [&](uint32_t offset, std::vector<uint8_t>&& bytes) {
    if (bytes.empty() || memcmp(bytes.data(), coff.image + offset, bytes.size()) == 0) return;
    renames.patches.push_back({offset, static_cast<uint32_t>(bytes.size()), std::move(bytes)});
  };
  add(coff.sectionTable, std::move(headers));
  add(coff.symbolTable, std::move(symbols));
  if (coff.stringSize) {
    add(coff.stringTable, std::move(table));
  } else if (append) {
    appended.insert(0, reinterpret_cast<const char*>(table.data()), 4);
  }
  if (append) {
    renames.patches.push_back({growAt, 0, std::vector<uint8_t>(appended.begin(), appended.end())});
    renames.grew = true;
  }
  return renames;
}

}  // namespace

Result<ObjectRenames> RenameCoffObject(const CoffImage& coff, const std::string& name,
                                       const OldNameIndex& index,
                                       std::span<const char* const> newNames, bool grow) {
  if (coff.symbolCount == 0) return ObjectRenames{};
  if (coff.bigobj) return RenameAs<IMAGE_SYMBOL_EX>(coff, name, index, newNames, grow);
  return RenameAs<IMAGE_SYMBOL>(coff, name, index, newNames, grow);
}

void LocalizeCoffSymbols(const CoffImage& coff, const CoffNames& names,
                         std::span<const uint8_t> edits, uint8_t localizeBit,
                         ObjectRenames* renames) {
  const uint32_t symbolSize = GetSymbolSize(coff);
  const uint32_t symbolBytes = coff.symbolCount * symbolSize;
  auto table = std::find_if(renames->patches.begin(), renames->patches.end(),
                            [&](const BytePatch& p) { return p.offset == coff.symbolTable; });
  std::vector<uint8_t> symbols =
      table != renames->patches.end()
          ? table->bytes
          : std::vector<uint8_t>(coff.image + coff.symbolTable,
                                 coff.image + coff.symbolTable + symbolBytes);
  for (uint32_t e = 0; e < names.symbolEntries && e < edits.size(); ++e) {
    if (!(edits[e] & localizeBit)) continue;
    const uint32_t record = names.entries[e].record;
    // Section number and storage class read alike in both record sizes.
    uint8_t* bytes = symbols.data() + uint64_t{record} * symbolSize;
    const int32_t section =
        coff.bigobj ? static_cast<int32_t>(reinterpret_cast<IMAGE_SYMBOL_EX*>(bytes)->SectionNumber)
                    : reinterpret_cast<IMAGE_SYMBOL*>(bytes)->SectionNumber;
    uint8_t& storageClass = bytes[symbolSize - 2];
    if (storageClass != IMAGE_SYM_CLASS_EXTERNAL || section <= 0 ||
        static_cast<uint32_t>(section) > coff.sectionCount ||
        (GetCoffSection(coff, section - 1).Characteristics & IMAGE_SCN_LNK_COMDAT)) {
      continue;
    }
    storageClass = IMAGE_SYM_CLASS_STATIC;
  }
  if (memcmp(symbols.data(), coff.image + coff.symbolTable, symbolBytes) == 0) return;
  if (table != renames->patches.end()) {
    table->bytes = std::move(symbols);
    return;
  }
  renames->patches.push_back({coff.symbolTable, symbolBytes, std::move(symbols)});
  std::stable_sort(renames->patches.begin(), renames->patches.end(),
                   [](const BytePatch& a, const BytePatch& b) { return a.offset < b.offset; });
}
