// A COFF object of any machine, plain or bigobj, loaded where it lies: its
// records are views over the caller's bytes, which never change.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "coff/coff_records.h"

struct CoffImage {
  const uint8_t* image;  // the caller's bytes
  uint32_t length;       // the object's length, which every view was checked against
  bool bigobj;           // 20-byte symbols with 32-bit section numbers
  uint16_t machine;
  uint32_t sectionTable;  // offset of the first section header
  uint32_t sectionCount;
  uint32_t symbolTable;  // PointerToSymbolTable; 0 without symbols
  uint32_t symbolCount;  // records, auxiliary ones included
  uint32_t stringTable;  // where the string table starts: right after the symbols
  uint32_t stringSize;   // its size field's value; 0 when the object ends first
  uint32_t nameLimit;    // one past the table's last zero byte: a long name starts below it
};

// Loads the COFF object held in the length bytes at image, plain or bigobj
// (the driver tells COFF by its header, IdentifyObjectFormat); nothing past
// image[length - 1] is read. Fails with kDamaged naming what is wrong: the
// headers, the section table or the symbol table reaching past the end, an
// auxiliary record count running past the table, a string table whose size
// field is below 4 or reaches past the end, or a long symbol or section name
// not inside the string table.
Result<CoffImage> LoadCoffImage(const uint8_t* image, uint32_t length, const std::string& name);

inline uint32_t GetSymbolSize(const CoffImage& coff) { return coff.bigobj ? 20 : 18; }

inline const IMAGE_SECTION_HEADER& GetCoffSection(const CoffImage& coff, uint32_t index) {
  return reinterpret_cast<const IMAGE_SECTION_HEADER*>(coff.image + coff.sectionTable)[index];
}

// The record at index of the symbol table, read as Sym.
template <class Sym>
const Sym& GetCoffSymbol(const CoffImage& coff, uint32_t index) {
  return reinterpret_cast<const Sym*>(coff.image + coff.symbolTable)[index];
}

// Where a section header's name lies: in the header (offset none) or at an
// offset of the string table, "/N" in decimal or "//" and six base-64 digits.
struct CoffSectionName {
  std::string_view name;
  bool inTable;
  uint32_t offset;
};

// The name of a section of a loaded object, whose loader checked it.
CoffSectionName GetCoffSectionName(const CoffImage& coff, uint32_t index);

// The header's name field for a name at offset of the string table.
void EncodeLongSectionName(uint32_t offset, uint8_t name[8]);
