// COFF objects, plain or bigobj, in the unusual shapes the loader and
// writer must meet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testcoff {

struct SectionLayout {
  std::string name;
  std::string bytes;
  uint32_t characteristics = 0x60000020;
};

struct SymbolLayout {
  std::string name;
  int32_t section = 1;
  uint8_t storageClass = 2;  // external
  uint8_t aux = 0;           // auxiliary records after it, zero-filled
  uint32_t value = 0;
  uint32_t nameAt = 0;  // a long name's offset in the string table, sharing another's bytes
};

struct ObjectLayout {
  uint16_t machine = 0x8664;
  bool bigobj = false;
  std::vector<SectionLayout> sections;
  std::vector<SymbolLayout> symbols;
  bool stringTable = true;        // false: the file ends with the symbols
  std::string afterStrings;       // bytes after the string table
  bool dataAfterStrings = false;  // the first section's data lies after it
};

struct Built {
  std::string bytes;
  uint32_t symbolTable, stringTable;
  std::vector<uint32_t> nameOffsets;  // per symbol: its long name's offset, 0 for short
};

Built BuildCoff(const ObjectLayout& layout);

}  // namespace testcoff
