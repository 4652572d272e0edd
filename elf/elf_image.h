// An ELF object of any class and byte order, loaded into memory and read
// where it lies: its records are views over the file's own bytes that convert
// each field as it is read, so the loaded bytes never change.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <type_traits>

// Byte-order-aware fields: N bytes in the file's own order (big-endian when
// Big), assembled on read and spread on write. Alignment 1, so a view at any
// offset of a file is valid.
template <class T, bool Big>
struct ElfField {
  uint8_t bytes[sizeof(T)];

  operator T() const {
    T value;
    memcpy(&value, bytes, sizeof value);
    return Big == (std::endian::native == std::endian::big) ? value : Swap(value);
  }
  ElfField& operator=(T value) {
    if (Big != (std::endian::native == std::endian::big)) value = Swap(value);
    memcpy(bytes, &value, sizeof value);
    return *this;
  }

 private:
  static T Swap(T value) {
#ifdef _MSC_VER
    if constexpr (sizeof(T) == 2) return _byteswap_ushort(value);
    if constexpr (sizeof(T) == 4) return _byteswap_ulong(value);
    if constexpr (sizeof(T) == 8) return _byteswap_uint64(value);
#else
    if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(value));
    if constexpr (sizeof(T) == 4) return __builtin_bswap32(value);
    if constexpr (sizeof(T) == 8) return __builtin_bswap64(value);
#endif
  }
};

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

// A section the renamer reads, its header's values resolved to host integers;
// the loader checked that it lies inside the object.
struct ElfSection {
  uint32_t index;
  uint32_t sh_name;
  uint32_t sh_offset;
  uint32_t sh_size;
  bool operator==(const ElfSection&) const = default;
};

// One loaded object file: where its records lie and the layout they are read
// in. The image is never changed; an output is the image with patches.
struct ElfImage {
  const uint8_t* image;  // owned (freed by the caller) from LoadElfFile, else the caller's bytes
  uint32_t length;       // the object's length, which every view was checked against
  ElfLayout layout;
  uint32_t sectionCount;  // e_shnum, or section 0's sh_size under extended numbering
  uint32_t shoff;         // e_shoff
  uint32_t shentsize;     // e_shentsize
  std::optional<ElfSection> sectionNames;
  std::optional<ElfSection> symtab;
  std::optional<ElfSection> strtab;
  uint32_t symbolCount;  // whole entries of .symtab; 0 without one
};

// Loads the object held in the length bytes at image, of any ELF class and
// byte order, changing none of them; nothing past image[length - 1] is read,
// and the bytes stay the caller's. name is what the messages call the object.
// Refuses, with one message on standard error and none as the result, an
// object that is not ELF, is of an unknown class or byte order, or is damaged:
// any table it needs reaching past its end, record tables (headers, .symtab,
// .rela.) overlapping, or a name not inside its table. Reads the section
// count and the section-name table's index from section 0 where the header
// defers to it (extended numbering). Never ends the process.
ElfImage* LoadElfImage(const uint8_t* image, uint32_t length, const char* name);

// Reads the file at path (rewritten in place as the file routines do) and
// loads it with LoadElfImage under the name path; the result owns its image,
// which the caller releases with FreeElfFile. A file that cannot be read is
// refused with the reader's message; a refused object's bytes are freed.
ElfImage* LoadElfFile(char* path);

// Releases an image from LoadElfFile and its bytes.
void FreeElfFile(ElfImage* elf);

// The number of sections, whether the header holds it or section 0 does.
uint32_t GetSectionCount(const ElfImage* elf);

// The header of section index, read in the object's layout E; the index is
// not compared with the count.
template <class E>
const typename E::Shdr& GetSectionHeader(const ElfImage* elf, uint32_t index) {
  return *reinterpret_cast<const typename E::Shdr*>(elf->image + elf->shoff +
                                                    uint64_t{index} * elf->shentsize);
}

// The ELF header, read in the object's layout E.
template <class E>
const typename E::Ehdr& GetElfHeader(const ElfImage* elf) {
  return *reinterpret_cast<const typename E::Ehdr*>(elf->image);
}

// .symtab's entries, read in the object's layout E; none without a .symtab.
// Index 0 is the null symbol; GetSymbolCount gives the number.
template <class E>
const typename E::Sym* GetSymbols(const ElfImage* elf) {
  if (!elf->symtab) return nullptr;
  return reinterpret_cast<const typename E::Sym*>(elf->image + elf->symtab->sh_offset);
}

// sh_name of section index, which must be below the count.
uint32_t GetSectionNameOffset(const ElfImage* elf, uint32_t index);

// The section name at offset in the section-name table; none for offset 0 or
// when the object has no section-name table.
const char* GetSectionName(const ElfImage* elf, uint32_t offset);

// st_name of symbol index of .symtab, which must be below the count. Hot
// loops read GetSymbols<E> instead, chosen once with VisitElfLayout.
uint32_t GetSymbolNameOffset(const ElfImage* elf, uint32_t index);

// The symbol name at offset in .strtab; none for offset 0 or without .strtab.
const char* GetSymbolName(const ElfImage* elf, uint32_t offset);

// The number of whole entries of .symtab (16 or 24 bytes); 0 without one.
uint32_t GetSymbolCount(const ElfImage* elf);
