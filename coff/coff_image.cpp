#include "coff/coff_image.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool Inside(const CoffImage& coff, uint64_t offset, uint64_t size) {
  return offset <= coff.length && size <= coff.length - offset;
}

bool IsBigObj(const uint8_t* bytes, uint32_t length) {
  if (length < sizeof(ANON_OBJECT_HEADER_BIGOBJ)) return false;
  const auto& h = *reinterpret_cast<const ANON_OBJECT_HEADER_BIGOBJ*>(bytes);
  return h.Sig1 == IMAGE_FILE_MACHINE_UNKNOWN && h.Sig2 == 0xFFFF && h.Version >= 2 &&
         memcmp(h.ClassID, kBigObjClassId, sizeof kBigObjClassId) == 0;
}

// The offset a "/N" or "//XXXXXX" name field states; false for any other
// field, which is not a long name.
bool DecodeLongSectionName(const uint8_t name[8], uint64_t* offset) {
  if (name[0] != '/') return false;
  uint64_t value = 0;
  if (name[1] == '/') {
    for (int i = 2; i < 8; ++i) {
      const char* digit = static_cast<const char*>(memchr(kBase64, name[i], 64));
      if (digit == nullptr || name[i] == 0) return false;
      value = value * 64 + static_cast<uint64_t>(digit - kBase64);
    }
  } else {
    int i = 1;
    for (; i < 8 && name[i] >= '0' && name[i] <= '9'; ++i) value = value * 10 + (name[i] - '0');
    if (i == 1) return false;
    for (; i < 8; ++i) {
      if (name[i] != 0) return false;
    }
  }
  *offset = value;
  return true;
}

// One past the string table's last zero byte: every long name must start
// below it, so that its terminating zero lies inside the table and never
// after it, where an archive's next member begins.
uint32_t FindNameLimit(const CoffImage& coff) {
  const uint8_t* table = coff.image + coff.stringTable;
  uint32_t limit = coff.stringSize;
  while (limit > 4 && table[limit - 1] != 0) --limit;
  return limit > 4 ? limit : 0;
}

template <class Sym>
std::string CheckSymbols(const CoffImage& coff) {
  for (uint32_t i = 0; i < coff.symbolCount; ++i) {
    const Sym& symbol = GetCoffSymbol<Sym>(coff, i);
    if (symbol.NumberOfAuxSymbols > coff.symbolCount - 1 - i) {
      return "the auxiliary records of symbol " + std::to_string(i) +
             " run past the end of the symbol table";
    }
    if (HasLongName(symbol)) {
      const uint32_t offset = GetLongNameOffset(symbol);
      if (offset < 4 || offset >= coff.nameLimit) {
        return "the name of symbol " + std::to_string(i) + " is not inside the string table";
      }
    }
    i += symbol.NumberOfAuxSymbols;
  }
  return "";
}

std::string LoadRecords(CoffImage& coff) {
  uint64_t sectionCount = 0;
  uint64_t symbolTable = 0;
  uint64_t symbolCount = 0;
  if (coff.bigobj) {
    const auto& h = *reinterpret_cast<const ANON_OBJECT_HEADER_BIGOBJ*>(coff.image);
    coff.machine = h.Machine;
    coff.sectionTable = sizeof h;
    sectionCount = h.NumberOfSections;
    symbolTable = h.PointerToSymbolTable;
    symbolCount = h.NumberOfSymbols;
  } else {
    if (coff.length < sizeof(IMAGE_FILE_HEADER)) return "the COFF header lies outside the file";
    const auto& h = *reinterpret_cast<const IMAGE_FILE_HEADER*>(coff.image);
    coff.machine = h.Machine;
    coff.sectionTable = sizeof h + h.SizeOfOptionalHeader;
    sectionCount = h.NumberOfSections;
    symbolTable = h.PointerToSymbolTable;
    symbolCount = h.NumberOfSymbols;
  }
  const uint64_t sectionEnd = coff.sectionTable + sectionCount * sizeof(IMAGE_SECTION_HEADER);
  if (!Inside(coff, coff.sectionTable, sectionEnd - coff.sectionTable)) {
    return "the section table lies outside the file";
  }
  coff.sectionCount = static_cast<uint32_t>(sectionCount);
  const uint32_t symbolSize = GetSymbolSize(coff);
  if (symbolCount != 0 || symbolTable != 0) {
    if (symbolTable < sectionEnd && symbolCount != 0) {
      return "the symbol table overlaps the headers";
    }
    if (symbolCount > coff.length || !Inside(coff, symbolTable, symbolCount * symbolSize)) {
      return "the symbol table lies outside the file";
    }
  }
  coff.symbolTable = static_cast<uint32_t>(symbolTable);
  coff.symbolCount = static_cast<uint32_t>(symbolCount);
  coff.stringTable = static_cast<uint32_t>(symbolTable + symbolCount * symbolSize);
  coff.stringSize = 0;
  if (coff.symbolTable != 0 && coff.stringTable < coff.length) {
    if (coff.length - coff.stringTable < 4) return "the string table's size field is cut short";
    const uint32_t size = *reinterpret_cast<const Le32*>(coff.image + coff.stringTable);
    // Some writers state 0 for a table of no names; it then holds its size
    // field alone.
    if (size != 0 && size < 4)
      return "the string table's size " + std::to_string(size) + " is below 4";
    if (!Inside(coff, coff.stringTable, size)) return "the string table lies outside the file";
    coff.stringSize = size < 4 ? 4 : size;
  }
  coff.nameLimit = FindNameLimit(coff);
  for (uint32_t i = 0; i < coff.sectionCount; ++i) {
    uint64_t offset = 0;
    if (!DecodeLongSectionName(GetCoffSection(coff, i).Name, &offset)) continue;
    if (offset < 4 || offset >= coff.nameLimit) {
      return "the name of section " + std::to_string(i + 1) + " is not inside the string table";
    }
  }
  return coff.bigobj ? CheckSymbols<IMAGE_SYMBOL_EX>(coff) : CheckSymbols<IMAGE_SYMBOL>(coff);
}

}  // namespace

Result<CoffImage> LoadCoffImage(const uint8_t* image, uint32_t length, const std::string& name) {
  CoffImage coff{};
  coff.image = image;
  coff.length = length;
  coff.bigobj = IsBigObj(image, length);
  std::string damage = LoadRecords(coff);
  if (!damage.empty()) return Error{Fault::kDamaged, name, std::move(damage)};
  return coff;
}

CoffSectionName GetCoffSectionName(const CoffImage& coff, uint32_t index) {
  const uint8_t* field = GetCoffSection(coff, index).Name;
  uint64_t offset = 0;
  if (DecodeLongSectionName(field, &offset)) {
    const auto* name = reinterpret_cast<const char*>(coff.image + coff.stringTable + offset);
    return {name, true, static_cast<uint32_t>(offset)};
  }
  const auto* name = reinterpret_cast<const char*>(field);
  return {std::string_view(name, strnlen(name, 8)), false, 0};
}

void EncodeLongSectionName(uint32_t offset, uint8_t name[8]) {
  memset(name, 0, 8);
  if (offset <= 9999999) {
    char digits[9];
    const int size = snprintf(digits, sizeof digits, "/%u", static_cast<unsigned>(offset));
    memcpy(name, digits, static_cast<size_t>(size));
    return;
  }
  name[0] = '/';
  name[1] = '/';
  for (int i = 7; i >= 2; --i, offset /= 64) name[i] = static_cast<uint8_t>(kBase64[offset % 64]);
}
