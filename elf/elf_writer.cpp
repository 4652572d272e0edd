#include "elf/elf_writer.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

// The bytes of .strtab that a name still read from it covers once the
// matches are renamed: every kept symbol's name, and the section names that
// lie in the table's region. Names that another section reads from the table
// through its sh_link (a second symbol table, version records) are not
// followed, so with such a reader every byte stays.
template <class E>
std::vector<uint64_t> MarkLiveNames(const ElfImage& elf, const std::vector<uint32_t>& lastPair) {
  const ElfSection& strtab = *elf.strtab;
  const uint32_t size = strtab.sh_size;
  std::vector<uint64_t> live(size / 64 + 1, 0);
  auto markLive = [&live](uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) live[i / 64] |= uint64_t{1} << (i % 64);
  };
  for (uint32_t i = 0; i < elf.sectionCount; ++i) {
    if (i != elf.symtab->index && GetSectionHeader<E>(elf, i).sh_link == strtab.index) {
      markLive(0, size);
      return live;
    }
  }
  const typename E::Sym* symbols = GetSymbols<E>(elf);
  for (uint32_t i = 0; i < elf.symbolCount; ++i) {
    const uint32_t offset = symbols[i].st_name;
    if (offset == 0 || lastPair[i] != kNoPair) continue;
    markLive(offset, offset + static_cast<uint32_t>(strlen(GetSymbolName(elf, offset))));
  }
  const uint8_t* original = elf.image + strtab.sh_offset;
  for (uint32_t i = 0; elf.sectionNames && i < elf.sectionCount; ++i) {
    const char* name = GetSectionName(elf, GetSectionHeader<E>(elf, i).sh_name);
    if (name == nullptr) continue;
    const int64_t start = reinterpret_cast<const uint8_t*>(name) - original;
    const int64_t end = start + static_cast<int64_t>(strlen(name));
    if (end < 0 || start >= size) continue;
    markLive(static_cast<uint32_t>(std::max<int64_t>(start, 0)),
             static_cast<uint32_t>(std::min<int64_t>(end, size)));
  }
  return live;
}

template <class E>
Result<std::vector<BytePatch>> GrowStringTable(const ElfImage& elf,
                                               std::span<const RenameMatch> matches,
                                               std::span<const char* const> newNames) {
  using Shdr = typename E::Shdr;
  using Sym = typename E::Sym;
  const ElfSection& strtab = *elf.strtab;
  const uint8_t* original = elf.image + strtab.sh_offset;
  const uint32_t size = strtab.sh_size;
  const uint32_t count = elf.symbolCount;

  // Each renamed symbol's last matching pair, whose new name it carries.
  std::vector<uint32_t> lastPair(count, kNoPair);
  for (const RenameMatch& m : matches) lastPair[m.symbol] = m.pair;
  const std::vector<uint64_t> live = MarkLiveNames<E>(elf, lastPair);

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
    if (tableSize + elf.length + 4096 > UINT32_MAX) return Error{Fault::kNoMemory};
    newOffset[m.symbol] = at->second;
  }
  table.resize(tableSize, 0);
  for (const auto& [newName, at] : placed) {
    memcpy(table.data() + at, newName.data(), newName.size());
  }

  std::vector<BytePatch> patches;
  const Shdr& header = GetSectionHeader<E>(elf, strtab.index);
  const uint64_t align = header.sh_addralign;
  const uint32_t pad = align > 1 && align <= 4096 && (align & (align - 1)) == 0
                           ? static_cast<uint32_t>((align - elf.length % align) % align)
                           : 0;
  const uint32_t headerAt = elf.shoff + strtab.index * elf.shentsize;
  const auto* headerBytes = reinterpret_cast<const uint8_t*>(&header);
  BytePatch moved{headerAt, sizeof(Shdr), {headerBytes, headerBytes + sizeof(Shdr)}};
  auto& newHeader = *reinterpret_cast<Shdr*>(moved.bytes.data());
  newHeader.sh_offset = elf.length + pad;
  newHeader.sh_size = static_cast<uint32_t>(tableSize);
  patches.push_back(std::move(moved));

  const uint32_t symbolBytes = count * static_cast<uint32_t>(sizeof(Sym));
  const uint8_t* symtab = elf.image + elf.symtab->sh_offset;
  BytePatch renamed{elf.symtab->sh_offset, symbolBytes, {symtab, symtab + symbolBytes}};
  auto* symbols = reinterpret_cast<Sym*>(renamed.bytes.data());
  for (uint32_t i = 0; i < count; ++i) {
    if (lastPair[i] != kNoPair) symbols[i].st_name = newOffset[i];
  }
  patches.push_back(std::move(renamed));

  // The old region is cleared, but for bytes that another section holds
  // there, which are read where they lie: section names always, whatever
  // their table's type says.
  BytePatch cleared{strtab.sh_offset, size, std::vector<uint8_t>(size, 0)};
  for (uint32_t i = 0; i < elf.sectionCount; ++i) {
    const Shdr& other = GetSectionHeader<E>(elf, i);
    const bool sectionNames = elf.sectionNames && elf.sectionNames->index == i;
    const bool empty = other.sh_type == SHT_NULL || other.sh_type == SHT_NOBITS;
    if (i == strtab.index || (empty && !sectionNames)) continue;
    const uint64_t from = std::max<uint64_t>(other.sh_offset, strtab.sh_offset);
    const uint64_t to = std::min<uint64_t>(uint64_t{other.sh_offset} + other.sh_size,
                                           uint64_t{strtab.sh_offset} + size);
    for (uint64_t at = from; at < to; ++at) cleared.bytes[at - strtab.sh_offset] = elf.image[at];
  }
  patches.push_back(std::move(cleared));

  std::vector<uint8_t> appended(pad, 0);
  appended.insert(appended.end(), table.begin(), table.end());
  patches.push_back({elf.length, 0, std::move(appended)});
  std::sort(patches.begin(), patches.end(),
            [](const BytePatch& a, const BytePatch& b) { return a.offset < b.offset; });
  return patches;
}

// .strtab with each match's new name written over its old one; none when
// no byte changes, which only the written ranges can tell.
std::vector<BytePatch> WriteNamesInPlace(const ElfImage& elf, std::span<const RenameMatch> matches,
                                         std::span<const char* const> oldNames,
                                         std::span<const char* const> newNames) {
  const ElfSection& strtab = *elf.strtab;
  const uint8_t* original = elf.image + strtab.sh_offset;
  std::vector<uint8_t> table(original, original + strtab.sh_size);
  for (const RenameMatch& m : matches) {
    memcpy(table.data() + m.offset, newNames[m.pair], strlen(oldNames[m.pair]) + 1);
  }
  const bool changed = std::any_of(matches.begin(), matches.end(), [&](const RenameMatch& m) {
    return memcmp(table.data() + m.offset, original + m.offset, strlen(oldNames[m.pair])) != 0;
  });
  if (!changed) return {};
  std::vector<BytePatch> patches;
  patches.push_back({strtab.sh_offset, strtab.sh_size, std::move(table)});
  return patches;
}

template <class E>
Result<ObjectRenames> RenameElfObjectAs(const ElfImage& elf, const std::string& name,
                                        const OldNameIndex& index,
                                        std::span<const char* const> newNames, bool grow) {
  const ElfSymbols<E> symbols{elf, GetSymbols<E>(elf)};
  std::vector<RenameMatch> matches = FindRenames(symbols, index);
  if (matches.empty()) return ObjectRenames{};
  const std::span<const uint8_t> table(elf.image + elf.strtab->sh_offset, elf.strtab->sh_size);
  Result<RenamePlan> plan = PlanRenames(symbols, table, ListSectionNamesInTable<E>(elf),
                                        std::move(matches), index, newNames, grow, name);
  if (!plan) return std::move(plan.error());
  ObjectRenames renames{std::move(plan->matches), {}, !plan->inPlace};
  if (plan->inPlace) {
    renames.patches = WriteNamesInPlace(elf, renames.matches, index.oldNames, newNames);
    return renames;
  }
  // Section 0's header holds the section count under extended numbering, so
  // a table there cannot move; no toolchain puts one there.
  if (elf.strtab->index == 0) return Error{Fault::kFixedStringTable, name};
  Result<std::vector<BytePatch>> grown = GrowStringTable<E>(elf, renames.matches, newNames);
  if (!grown) return std::move(grown.error());
  renames.patches = std::move(*grown);
  return renames;
}

}  // namespace

Result<ObjectRenames> RenameElfObject(const ElfImage& elf, const std::string& name,
                                      const OldNameIndex& index,
                                      std::span<const char* const> newNames, bool grow) {
  if (!elf.symtab || !elf.strtab) return ObjectRenames{};
  return VisitElfLayout(elf.layout, [&]<class E>(E) {
    return RenameElfObjectAs<E>(elf, name, index, newNames, grow);
  });
}
