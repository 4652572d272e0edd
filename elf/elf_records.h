// ELF records of every class and byte order, declared once with their
// published field names, and the constants and symbol predicates that the
// loader, the writer and the seam to the renamer share.
#pragma once

#include <cstdint>
#include <type_traits>

#include "base/byte_field.h"

// The ELF header's byte order decides every field's.
template <class T, bool Big>
using ElfField = ByteField<T, Big>;

template <bool Big>
using U16 = ElfField<uint16_t, Big>;
template <bool Big>
using U32 = ElfField<uint32_t, Big>;
template <bool Big>
using U64 = ElfField<uint64_t, Big>;

template <bool Big>
struct Ehdr32 {
  uint8_t e_ident[16];
  U16<Big> e_type, e_machine;
  U32<Big> e_version, e_entry, e_phoff, e_shoff, e_flags;
  U16<Big> e_ehsize, e_phentsize, e_phnum, e_shentsize, e_shnum, e_shstrndx;
};

template <bool Big>
struct Ehdr64 {
  uint8_t e_ident[16];
  U16<Big> e_type, e_machine;
  U32<Big> e_version;
  U64<Big> e_entry, e_phoff, e_shoff;
  U32<Big> e_flags;
  U16<Big> e_ehsize, e_phentsize, e_phnum, e_shentsize, e_shnum, e_shstrndx;
};

template <bool Big>
struct Shdr32 {
  U32<Big> sh_name, sh_type, sh_flags, sh_addr, sh_offset, sh_size, sh_link, sh_info, sh_addralign,
      sh_entsize;
};

template <bool Big>
struct Shdr64 {
  U32<Big> sh_name, sh_type;
  U64<Big> sh_flags, sh_addr, sh_offset, sh_size;
  U32<Big> sh_link, sh_info;
  U64<Big> sh_addralign, sh_entsize;
};

template <bool Big>
struct Sym32 {
  U32<Big> st_name, st_value, st_size;
  uint8_t st_info, st_other;
  U16<Big> st_shndx;
};

template <bool Big>
struct Sym64 {
  U32<Big> st_name;
  uint8_t st_info, st_other;
  U16<Big> st_shndx;
  U64<Big> st_value, st_size;
};

template <bool Big>
struct Rela32 {
  U32<Big> r_offset, r_info, r_addend;
};

template <bool Big>
struct Rela64 {
  U64<Big> r_offset, r_info, r_addend;
};

static_assert(sizeof(Ehdr32<true>) == 52 && sizeof(Ehdr64<true>) == 64);
static_assert(sizeof(Shdr32<true>) == 40 && sizeof(Shdr64<true>) == 64);
static_assert(sizeof(Sym32<true>) == 16 && sizeof(Sym64<true>) == 24);
static_assert(sizeof(Rela32<true>) == 12 && sizeof(Rela64<true>) == 24);
static_assert(alignof(Shdr64<false>) == 1 && alignof(Sym64<false>) == 1);

// The four layouts, by EI_CLASS and EI_DATA.
enum class ElfLayout : uint8_t { k32Little, k32Big, k64Little, k64Big };

template <bool Is64, bool Big>
struct ElfTraits {
  static constexpr ElfLayout kLayout = Is64 ? (Big ? ElfLayout::k64Big : ElfLayout::k64Little)
                                            : (Big ? ElfLayout::k32Big : ElfLayout::k32Little);
  using Ehdr = std::conditional_t<Is64, Ehdr64<Big>, Ehdr32<Big>>;
  using Shdr = std::conditional_t<Is64, Shdr64<Big>, Shdr32<Big>>;
  using Sym = std::conditional_t<Is64, Sym64<Big>, Sym32<Big>>;
  using Rela = std::conditional_t<Is64, Rela64<Big>, Rela32<Big>>;
};

using Elf32LE = ElfTraits<false, false>;
using Elf32BE = ElfTraits<false, true>;
using Elf64LE = ElfTraits<true, false>;
using Elf64BE = ElfTraits<true, true>;

// Calls visit with the traits of layout (Elf32LE{}, ...), once: code that
// does not care about the layout is a template over the traits, chosen here.
template <class Visitor>
decltype(auto) VisitElfLayout(ElfLayout layout, Visitor&& visit) {
  switch (layout) {
    case ElfLayout::k32Little:
      return visit(Elf32LE{});
    case ElfLayout::k64Little:
      return visit(Elf64LE{});
    case ElfLayout::k64Big:
      return visit(Elf64BE{});
    case ElfLayout::k32Big:
      break;
  }
  return visit(Elf32BE{});
}

constexpr uint8_t ELFCLASS32 = 1;
constexpr uint8_t ELFCLASS64 = 2;
constexpr uint8_t ELFDATA2LSB = 1;
constexpr uint8_t ELFDATA2MSB = 2;
constexpr uint16_t ET_EXEC = 2;
constexpr uint16_t ET_DYN = 3;
constexpr uint16_t SHN_UNDEF = 0;
constexpr uint16_t SHN_XINDEX = 0xFFFF;
constexpr uint32_t SHT_NULL = 0;
constexpr uint32_t SHT_NOBITS = 8;
constexpr uint32_t SHT_RELA = 4;
constexpr uint32_t SHT_REL = 9;
constexpr uint32_t SHT_GROUP = 17;
constexpr uint32_t SHT_SYMTAB_SHNDX = 18;
constexpr uint16_t SHN_COMMON = 0xFFF2;
constexpr uint16_t ET_REL = 1;
constexpr uint16_t EM_MIPS = 8;
constexpr uint8_t STB_LOCAL = 0;
constexpr uint8_t STB_GLOBAL = 1;
constexpr uint8_t STB_GNU_UNIQUE = 10;
constexpr uint8_t STV_HIDDEN = 2;
constexpr uint8_t STT_SECTION = 3;
constexpr uint8_t STT_FILE = 4;

constexpr uint8_t GetSymbolBinding(uint8_t st_info) { return st_info >> 4; }
constexpr uint8_t GetSymbolType(uint8_t st_info) { return st_info & 0xF; }

// A symbol that names something other objects may see: of any binding but
// local, and neither a section nor a file symbol.
constexpr bool IsNonLocalSymbol(uint8_t st_info) {
  const uint8_t type = GetSymbolType(st_info);
  return GetSymbolBinding(st_info) != STB_LOCAL && type != STT_SECTION && type != STT_FILE;
}

template <class Sym>
constexpr bool IsUndefinedSymbol(const Sym& symbol) {
  return symbol.st_shndx == SHN_UNDEF;
}

// A definition that the linker lets no other strong one stand beside: global
// or GNU unique, neither an import nor a common block.
template <class Sym>
constexpr bool IsStrongDefinition(const Sym& symbol) {
  const uint8_t binding = GetSymbolBinding(symbol.st_info);
  return (binding == STB_GLOBAL || binding == STB_GNU_UNIQUE) && IsNonLocalSymbol(symbol.st_info) &&
         symbol.st_shndx != SHN_UNDEF && symbol.st_shndx != SHN_COMMON;
}
