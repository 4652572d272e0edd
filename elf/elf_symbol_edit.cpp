#include "elf/elf_symbol_edit.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The patch of renames that replaces exactly [offset, offset + size) when
// reuse allows it (for .symtab and section headers, which a rename may have
// copied: an edit on top of it sees the rename's bytes); otherwise a new
// patch from the object's own bytes, which AreDisjoint then judges. Returns
// its position in the list.
size_t FindOrCopy(const ElfImage& elf, uint32_t offset, uint32_t size,
                  std::vector<BytePatch>* patches, bool reuse = true) {
  for (size_t p = 0; reuse && p < patches->size(); ++p) {
    const BytePatch& patch = (*patches)[p];
    if (patch.offset == offset && patch.replaced == size && patch.bytes.size() == size) return p;
  }
  patches->push_back({offset, size, {elf.image + offset, elf.image + offset + size}});
  return patches->size() - 1;
}

// True when no two patches overlap and every one lies inside the object;
// the list is put in offset order. An insertion never overlaps.
bool AreDisjoint(const ElfImage& elf, std::vector<BytePatch>* patches) {
  std::stable_sort(patches->begin(), patches->end(),
                   [](const BytePatch& a, const BytePatch& b) { return a.offset < b.offset; });
  uint64_t end = 0;
  for (const BytePatch& patch : *patches) {
    if (patch.replaced == 0) continue;
    if (patch.offset < end || uint64_t{patch.offset} + patch.replaced > elf.length) return false;
    end = uint64_t{patch.offset} + patch.replaced;
  }
  return true;
}

template <class E>
struct SymbolEditor {
  using Sym = typename E::Sym;
  using Shdr = typename E::Shdr;
  using Rela = typename E::Rela;
  using Word = decltype(Rela::r_info);
  static constexpr uint32_t kWord = sizeof(Word);
  using Value = std::conditional_t<kWord == 8, uint64_t, uint32_t>;

  const ElfImage& elf;
  std::vector<BytePatch> patches;

  Sym* Symbols(size_t table) { return reinterpret_cast<Sym*>(patches[table].bytes.data()); }

  Shdr& Header(uint32_t index) {
    const size_t p = FindOrCopy(elf, elf.shoff + index * elf.shentsize, sizeof(Shdr), &patches);
    return *reinterpret_cast<Shdr*>(patches[p].bytes.data());
  }

  // Rewrites the symbol index of every entry of relocation section header,
  // which the loader has not checked: it must lie inside the object.
  bool FollowRelocations(const Shdr& header, const std::vector<uint32_t>& moved) {
    const uint32_t stride = header.sh_type == SHT_RELA ? 3 * kWord : 2 * kWord;
    const uint64_t offset = header.sh_offset;
    const uint64_t size = header.sh_size / stride * stride;
    if (offset > elf.length || size > elf.length - offset) return false;
    const size_t p = FindOrCopy(elf, static_cast<uint32_t>(offset), static_cast<uint32_t>(size),
                                &patches, false);
    uint8_t* bytes = patches[p].bytes.data();
    for (uint64_t at = kWord; at < size; at += stride) {
      Word& info = *reinterpret_cast<Word*>(bytes + at);
      const uint64_t value = info;
      const uint64_t symbol = kWord == 8 ? value >> 32 : value >> 8;
      if (symbol >= moved.size()) continue;  // names no symbol: left as it was
      const uint64_t to = moved[symbol];
      info = static_cast<Value>(kWord == 8 ? (value & 0xFFFFFFFF) | to << 32
                                           : (value & 0xFF) | to << 8);
    }
    return true;
  }

  bool FollowIndexTable(const Shdr& header, const std::vector<uint32_t>& moved) {
    const uint64_t offset = header.sh_offset;
    const uint64_t size = uint64_t{moved.size()} * 4;
    if (header.sh_size < size || offset > elf.length || size > elf.length - offset) return false;
    const size_t p = FindOrCopy(elf, static_cast<uint32_t>(offset), static_cast<uint32_t>(size),
                                &patches, false);
    std::vector<uint8_t> original = patches[p].bytes;
    for (size_t i = 0; i < moved.size(); ++i) {
      memcpy(patches[p].bytes.data() + moved[i] * 4, original.data() + i * 4, 4);
    }
    return true;
  }

  std::string Localize(size_t table, std::span<const uint8_t> edits) {
    const uint32_t count = elf.symbolCount;
    const uint32_t symtab = elf.symtab->index;
    if (GetElfHeader<E>(elf).e_machine == EM_MIPS) {
      return "a MIPS relocation against a local symbol means something else";
    }
    std::vector<bool> signature(count, false);
    for (uint32_t i = 0; i < elf.sectionCount; ++i) {
      const Shdr& header = GetSectionHeader<E>(elf, i);
      if (i == symtab || header.sh_link != symtab) continue;
      const uint32_t type = header.sh_type;
      if (type == SHT_GROUP) {
        if (header.sh_info < count) signature[header.sh_info] = true;
      } else if (type != SHT_REL && type != SHT_RELA && type != SHT_SYMTAB_SHNDX) {
        const char* name = GetSectionName(elf, header.sh_name);
        return std::string("section ") + (name ? name : std::to_string(i)) +
               " refers to symbols by index";
      }
    }
    Sym* symbols = Symbols(table);
    bool any = false;
    for (uint32_t i = 1; i < count; ++i) {
      Sym& symbol = symbols[i];
      const uint8_t binding = GetSymbolBinding(symbol.st_info);
      if (!(edits[i] & kEditLocalize) || !IsNonLocalSymbol(symbol.st_info) ||
          IsUndefinedSymbol(symbol) || symbol.st_shndx == SHN_COMMON || binding == STB_GNU_UNIQUE ||
          signature[i]) {
        continue;
      }
      symbol.st_info = static_cast<uint8_t>(STB_LOCAL << 4 | GetSymbolType(symbol.st_info));
      any = true;
    }
    if (!any) return "";
    // Locals first, each part in its old order.
    std::vector<uint32_t> moved(count);
    uint32_t locals = 0;
    for (uint32_t i = 0; i < count; ++i) {
      if (i == 0 || GetSymbolBinding(symbols[i].st_info) == STB_LOCAL) moved[i] = locals++;
    }
    for (uint32_t i = 0, next = locals; i < count; ++i) {
      if (i != 0 && GetSymbolBinding(symbols[i].st_info) != STB_LOCAL) moved[i] = next++;
    }
    std::vector<Sym> ordered(count);
    for (uint32_t i = 0; i < count; ++i) ordered[moved[i]] = symbols[i];
    memcpy(symbols, ordered.data(), count * sizeof(Sym));
    Header(symtab).sh_info = locals;
    for (uint32_t i = 0; i < elf.sectionCount; ++i) {
      const Shdr& header = GetSectionHeader<E>(elf, i);
      if (i == symtab) continue;
      const uint32_t type = header.sh_type;
      const bool linked = header.sh_link == symtab;
      bool inside = true;
      if ((type == SHT_REL || type == SHT_RELA) && (linked || header.sh_link == 0)) {
        inside = FollowRelocations(header, moved);
      } else if (type == SHT_SYMTAB_SHNDX && linked) {
        inside = FollowIndexTable(header, moved);
      } else if (type == SHT_GROUP && linked && header.sh_info < count) {
        Header(i).sh_info = moved[header.sh_info];
      }
      if (!inside) return "a table that refers to symbols lies outside it";
    }
    return "";
  }

  std::string Edit(std::span<const uint8_t> edits) {
    if (std::none_of(edits.begin(), edits.end(), [](uint8_t e) { return e != 0; })) return "";
    if (GetElfHeader<E>(elf).e_type != ET_REL) return "it is not a relocatable object";
    const uint32_t symbolBytes = elf.symbolCount * static_cast<uint32_t>(sizeof(Sym));
    const size_t table = FindOrCopy(elf, elf.symtab->sh_offset, symbolBytes, &patches);
    bool localize = false;
    for (uint32_t i = 1; i < elf.symbolCount; ++i) {
      Sym& symbol = Symbols(table)[i];
      if ((edits[i] & kEditHide) && IsNonLocalSymbol(symbol.st_info)) {
        symbol.st_other = static_cast<uint8_t>((symbol.st_other & ~3) | STV_HIDDEN);
      }
      localize = localize || (edits[i] & kEditLocalize);
    }
    if (!localize) return "";
    // Hidden, even where it cannot be localized.
    const std::vector<BytePatch> hidden = patches;
    std::string why = Localize(table, edits);
    if (why.empty() && !AreDisjoint(elf, &patches)) why = "its tables overlap";
    if (!why.empty()) patches = hidden;
    return why;
  }
};

}  // namespace

std::string EditElfSymbols(const ElfImage& elf, std::span<const uint8_t> edits,
                           ObjectRenames* renames) {
  if (!elf.symtab || elf.symbolCount == 0) return "";
  return VisitElfLayout(elf.layout, [&]<class E>(E) {
    SymbolEditor<E> editor{elf, std::move(renames->patches)};
    std::string why = editor.Edit(edits);
    // Patches that change nothing are dropped, so an object left as it was
    // is not written.
    std::erase_if(editor.patches, [&elf](const BytePatch& p) {
      return p.replaced != 0 && p.replaced == p.bytes.size() &&
             memcmp(p.bytes.data(), elf.image + p.offset, p.replaced) == 0;
    });
    std::stable_sort(editor.patches.begin(), editor.patches.end(),
                     [](const BytePatch& a, const BytePatch& b) { return a.offset < b.offset; });
    renames->patches = std::move(editor.patches);
    return why;
  });
}
