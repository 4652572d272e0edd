// A big-endian ELF32 object loaded into memory, with its records converted to
// host byte order in place.
#pragma once

#include <cstdint>

// The records are packed so that a view at any offset of a file is a valid
// object; their layouts need no padding, so the sizes are the published ones.
#pragma pack(push, 1)
struct Elf32_Ehdr {
  uint8_t e_ident[16];
  uint16_t e_type;
  uint16_t e_machine;
  uint32_t e_version;
  uint32_t e_entry;
  uint32_t e_phoff;
  uint32_t e_shoff;
  uint32_t e_flags;
  uint16_t e_ehsize;
  uint16_t e_phentsize;
  uint16_t e_phnum;
  uint16_t e_shentsize;
  uint16_t e_shnum;
  uint16_t e_shstrndx;
};

struct Elf32_Shdr {
  uint32_t sh_name;
  uint32_t sh_type;
  uint32_t sh_flags;
  uint32_t sh_addr;
  uint32_t sh_offset;
  uint32_t sh_size;
  uint32_t sh_link;
  uint32_t sh_info;
  uint32_t sh_addralign;
  uint32_t sh_entsize;
};

struct Elf32_Sym {
  uint32_t st_name;
  uint32_t st_value;
  uint32_t st_size;
  uint8_t st_info;
  uint8_t st_other;
  uint16_t st_shndx;
};

struct Elf32_Rela {
  uint32_t r_offset;
  uint32_t r_info;
  int32_t r_addend;
};
#pragma pack(pop)

static_assert(sizeof(Elf32_Ehdr) == 52);
static_assert(sizeof(Elf32_Shdr) == 40);
static_assert(sizeof(Elf32_Sym) == 16);
static_assert(sizeof(Elf32_Rela) == 12);

// One loaded object file. The views point into image and are none where the
// object has no such section. The image is never changed after the load.
struct ElfImage {
  uint8_t* image;         // owned (freed by the caller) from LoadElfFile, else the caller's bytes
  uint32_t length;        // the object's length, which every view was checked against
  uint32_t sectionCount;  // e_shnum, or section 0's sh_size under extended numbering
  Elf32_Ehdr* header;
  Elf32_Shdr* sectionNameHeader;
  Elf32_Shdr* symtabHeader;
  Elf32_Shdr* strtabHeader;
};

// Loads the object held in the length bytes at image, converting its records
// there; nothing past image[length - 1] is read, and the bytes stay the
// caller's. name is what the messages call the object. Refuses, with one
// message on standard error and none as the result, an object that is not
// ELF, is not big-endian ELF32, or is damaged: any table it needs reaching
// past its end, converted records overlapping, or a name not inside its
// table; the bytes of a refused object may be partly converted. Reads the
// section count and the section-name table's index from section 0 where the
// header defers to it (extended numbering). Never ends the process.
ElfImage* LoadElfImage(uint8_t* image, uint32_t length, const char* name);

// Reads the file at path (rewritten in place as the file routines do) and
// loads it with LoadElfImage under the name path; the result owns its image,
// which the caller releases with free. A file that cannot be read is refused
// with the reader's message; a refused object's bytes are freed.
ElfImage* LoadElfFile(char* path);

// The number of sections, whether the header holds it or section 0 does.
uint32_t GetSectionCount(const ElfImage* elf);

// The section header at index; the index is not compared with the count.
Elf32_Shdr* GetSectionHeader(const ElfImage* elf, int32_t index);

// The section name at offset in the section-name table; none for offset 0 or
// when the object has no section-name table.
const char* GetSectionName(const ElfImage* elf, uint32_t offset);

// Symbol index of .symtab (index 0 is the null symbol); none without a
// .symtab. The index is not compared with the number of symbols.
Elf32_Sym* GetSymbol(const ElfImage* elf, int32_t index);

// The symbol name at offset in .strtab; none for offset 0 or without .strtab.
const char* GetSymbolName(const ElfImage* elf, uint32_t offset);

// The number of whole 16-byte entries of .symtab; 0 without one.
uint32_t GetSymbolCount(const ElfImage* elf);

uint16_t Swap16(uint16_t value);
uint32_t Swap32(uint32_t value);
Elf32_Ehdr* SwapElfHeader(Elf32_Ehdr* header);
Elf32_Shdr* SwapSectionHeader(Elf32_Shdr* section);
Elf32_Sym* SwapSymbol(Elf32_Sym* symbol);
Elf32_Rela* SwapRela(Elf32_Rela* rela);
void SwapSymbolTable(ElfImage* elf);
void SwapRelaSection(ElfImage* elf, const Elf32_Shdr* section);
