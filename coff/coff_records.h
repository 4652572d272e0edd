// COFF object records, declared once with their published field names: the
// file header, the bigobj header, section headers and both symbol record
// sizes, all little-endian, and the constants the loader and writer share.
#pragma once

#include <cstdint>
#include <cstring>

#include "base/byte_field.h"

using Le16 = ByteField<uint16_t, false>;
using Le32 = ByteField<uint32_t, false>;
using Le16s = ByteField<int16_t, false>;
using Le32s = ByteField<int32_t, false>;

struct IMAGE_FILE_HEADER {
  Le16 Machine;
  Le16 NumberOfSections;
  Le32 TimeDateStamp;
  Le32 PointerToSymbolTable;
  Le32 NumberOfSymbols;
  Le16 SizeOfOptionalHeader;
  Le16 Characteristics;
};

// The header of an object with more than 65,279 sections, as /bigobj and
// -mbig-obj write it; Sig1 0 and Sig2 0xFFFF tell it from a plain header.
struct ANON_OBJECT_HEADER_BIGOBJ {
  Le16 Sig1;
  Le16 Sig2;
  Le16 Version;
  Le16 Machine;
  Le32 TimeDateStamp;
  uint8_t ClassID[16];
  Le32 SizeOfData;
  Le32 Flags;
  Le32 MetaDataSize;
  Le32 MetaDataOffset;
  Le32 NumberOfSections;
  Le32 PointerToSymbolTable;
  Le32 NumberOfSymbols;
};

struct IMAGE_SECTION_HEADER {
  uint8_t Name[8];  // the name, zero-padded, or "/N": offset N of the string table
  Le32 VirtualSize;
  Le32 VirtualAddress;
  Le32 SizeOfRawData;
  Le32 PointerToRawData;
  Le32 PointerToRelocations;
  Le32 PointerToLinenumbers;
  Le16 NumberOfRelocations;
  Le16 NumberOfLinenumbers;
  Le32 Characteristics;
};

// A symbol record: 18 bytes with a 16-bit section number (IMAGE_SYMBOL), 20
// with a 32-bit one (bigobj's). Name holds a name of up to 8 bytes, without
// a terminating zero when it has 8, or four zero bytes and the name's offset
// in the string table.
template <class SectionNumberType>
struct coff_symbol {
  uint8_t Name[8];
  Le32 Value;
  SectionNumberType SectionNumber;
  Le16 Type;
  uint8_t StorageClass;
  uint8_t NumberOfAuxSymbols;
};

using IMAGE_SYMBOL = coff_symbol<Le16s>;
using IMAGE_SYMBOL_EX = coff_symbol<Le32s>;

static_assert(sizeof(IMAGE_FILE_HEADER) == 20 && sizeof(ANON_OBJECT_HEADER_BIGOBJ) == 56);
static_assert(sizeof(IMAGE_SECTION_HEADER) == 40);
static_assert(sizeof(IMAGE_SYMBOL) == 18 && sizeof(IMAGE_SYMBOL_EX) == 20);
static_assert(alignof(IMAGE_SYMBOL) == 1 && alignof(IMAGE_SECTION_HEADER) == 1);

constexpr uint16_t IMAGE_FILE_MACHINE_UNKNOWN = 0;
constexpr uint16_t IMAGE_FILE_MACHINE_I386 = 0x14C;

constexpr int32_t IMAGE_SYM_UNDEFINED = 0;
constexpr int32_t IMAGE_SYM_ABSOLUTE = -1;
constexpr uint8_t IMAGE_SYM_CLASS_EXTERNAL = 2;
constexpr uint8_t IMAGE_SYM_CLASS_STATIC = 3;
constexpr uint8_t IMAGE_SYM_CLASS_WEAK_EXTERNAL = 105;
constexpr uint32_t IMAGE_SCN_LNK_COMDAT = 0x1000;

// The class ID that marks a bigobj header, as its writers store it.
constexpr uint8_t kBigObjClassId[16] = {0xC7, 0xA1, 0xBA, 0xD1, 0xEE, 0xBA, 0xA9, 0x4B,
                                        0xAF, 0x20, 0xFA, 0xF6, 0x6A, 0xA4, 0xDC, 0xB8};

// Whether a record's name lies in the string table.
template <class Sym>
bool HasLongName(const Sym& symbol) {
  uint32_t zeroes;
  memcpy(&zeroes, symbol.Name, 4);
  return zeroes == 0;
}

// The offset of a long name in the string table, its size field included.
template <class Sym>
uint32_t GetLongNameOffset(const Sym& symbol) {
  return reinterpret_cast<const Le32*>(symbol.Name + 4)[0];
}

// A symbol that other objects may see: external or weak external.
template <class Sym>
bool IsExternalSymbol(const Sym& symbol) {
  return symbol.StorageClass == IMAGE_SYM_CLASS_EXTERNAL ||
         symbol.StorageClass == IMAGE_SYM_CLASS_WEAK_EXTERNAL;
}

// A definition: external in a section or absolute, a common block (external,
// undefined, with a size) or a weak external, which names its own default.
template <class Sym>
bool IsDefinedSymbol(const Sym& symbol) {
  const int32_t section = symbol.SectionNumber;
  if (symbol.StorageClass == IMAGE_SYM_CLASS_WEAK_EXTERNAL) return true;
  if (symbol.StorageClass != IMAGE_SYM_CLASS_EXTERNAL) return section > 0;
  return section > 0 || section == IMAGE_SYM_ABSOLUTE ||
         (section == IMAGE_SYM_UNDEFINED && symbol.Value != 0);
}
