// An ELF object of any class and byte order, loaded where it lies: its
// records are views over the file's own bytes that convert each field as it
// is read, so the loaded bytes never change.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/result.h"
#include "elf/elf_records.h"

// A section the renamer reads, its header's values resolved to host integers;
// the loader checked that it lies inside the object.
struct ElfSection {
  uint32_t index;
  uint32_t sh_name;
  uint32_t sh_offset;
  uint32_t sh_size;
  bool operator==(const ElfSection&) const = default;
};

// One loaded object: where its records lie and the layout they are read in.
// The bytes stay the caller's and are never changed; an output is the
// object's bytes with patches.
struct ElfImage {
  const uint8_t* image;  // the caller's bytes
  uint32_t length;       // the object's length, which every view was checked against
  ElfLayout layout;
  uint32_t sectionCount;  // e_shnum, or section 0's sh_size under extended numbering
  uint32_t shoff;         // e_shoff
  uint32_t shentsize;     // e_shentsize
  std::optional<ElfSection> sectionNames;
  std::optional<ElfSection> symtab;
  std::optional<ElfSection> strtab;
  uint32_t symbolCount;  // whole entries of .symtab; 0 without one
  bool gccLtoSections;   // a section named .gnu.lto_*: GCC's own code of the object
};

// True when bytes start with the ELF magic.
bool IsElfObject(const uint8_t* bytes, uint32_t length);

// Loads the object held in the length bytes at image, changing none of them;
// nothing past image[length - 1] is read. name is what errors call the
// object. Fails with kNotElf, kUnknownElfLayout (a class or byte order other
// than 1 or 2), or kDamaged naming what is wrong: any table it needs reaching
// past its end, record tables (headers, .symtab, .rela.) overlapping, or a
// name not inside its table. Reads the section count and the section-name
// table's index from section 0 where the header defers to it (extended
// numbering).
Result<ElfImage> LoadElfImage(const uint8_t* image, uint32_t length, const std::string& name);

// Whether elf is a shared object or an executable (e_type ET_DYN or
// ET_EXEC), whose dynamic symbols, which renames never touch, are what the
// linker and the loader read.
bool IsLinkedElf(const ElfImage& elf);

// What an object built by GCC with -flto carries: sections named .gnu.lto_*
// that hold its code in GCC's own form, names and all, which renames never
// reach. Slim when that is all its code (the marker symbol __gnu_lto_slim),
// fat when machine code comes with it.
enum class GccLto : uint8_t { kNone, kSlim, kFat };
GccLto FindGccLto(const ElfImage& elf);

// The header of section index, read in the object's layout E; the index is
// not compared with the count.
template <class E>
const typename E::Shdr& GetSectionHeader(const ElfImage& elf, uint32_t index) {
  return *reinterpret_cast<const typename E::Shdr*>(elf.image + elf.shoff +
                                                    uint64_t{index} * elf.shentsize);
}

// The ELF header, read in the object's layout E.
template <class E>
const typename E::Ehdr& GetElfHeader(const ElfImage& elf) {
  return *reinterpret_cast<const typename E::Ehdr*>(elf.image);
}

// .symtab's entries, read in the object's layout E; none without a .symtab.
// Index 0 is the null symbol; elf.symbolCount gives the number.
template <class E>
const typename E::Sym* GetSymbols(const ElfImage& elf) {
  if (!elf.symtab) return nullptr;
  return reinterpret_cast<const typename E::Sym*>(elf.image + elf.symtab->sh_offset);
}

// The section name at offset in the section-name table; none for offset 0 or
// when the object has no section-name table.
inline const char* GetSectionName(const ElfImage& elf, uint32_t offset) {
  if (offset == 0 || !elf.sectionNames) return nullptr;
  return reinterpret_cast<const char*>(elf.image + elf.sectionNames->sh_offset + offset);
}

// The symbol name at offset in .strtab; none for offset 0 or without .strtab.
inline const char* GetSymbolName(const ElfImage& elf, uint32_t offset) {
  if (offset == 0 || !elf.strtab) return nullptr;
  return reinterpret_cast<const char*>(elf.image + elf.strtab->sh_offset + offset);
}

// An object's .symtab as the renamer reads any format's symbols, in the
// object's layout E: each symbol's name, where the name lies in the string
// table, its binding and whether it is defined.
template <class E>
struct ElfSymbols {
  const ElfImage& elf;
  const typename E::Sym* symbols;

  uint32_t Count() const { return elf.symbolCount; }
  uint32_t NameOffset(uint32_t i) const { return symbols[i].st_name; }
  const char* NameAt(uint32_t offset) const { return GetSymbolName(elf, offset); }
  bool IsNonLocal(uint32_t i) const { return IsNonLocalSymbol(symbols[i].st_info); }
  bool IsDefined(uint32_t i) const { return !IsUndefinedSymbol(symbols[i]); }
  bool IsStrongDefinition(uint32_t i) const { return ::IsStrongDefinition(symbols[i]); }
};

// Calls visit once with the ElfSymbols of elf's layout, so that a whole pass
// over the symbols runs for that layout. Only for an object with .symtab.
template <class Visitor>
decltype(auto) VisitElfSymbols(const ElfImage& elf, Visitor&& visit) {
  return VisitElfLayout(elf.layout, [&]<class E>(E) -> decltype(auto) {
    return visit(ElfSymbols<E>{elf, GetSymbols<E>(elf)});
  });
}
