#include "tests/support/coff_builder.h"

#include <cstring>

namespace testcoff {

namespace {

// value in width little-endian bytes; bytes past its eight are zero.
void Put(std::string& out, uint64_t value, int width) {
  for (int b = 0; b < width; ++b) out.push_back(b < 8 ? static_cast<char>(value >> (8 * b)) : 0);
}

void Set(std::string& out, size_t at, uint64_t value, int width) {
  for (int b = 0; b < width; ++b) out[at + b] = static_cast<char>(value >> (8 * b));
}

// The 8-byte name field of name: in place, or a long name's offset in table.
std::string NameField(const std::string& name, uint32_t nameAt, std::string& table,
                      uint32_t* offset, bool section) {
  std::string field(8, '\0');
  if (name.size() <= 8) {
    memcpy(field.data(), name.data(), name.size());
    *offset = 0;
    return field;
  }
  *offset = nameAt ? nameAt : static_cast<uint32_t>(table.size());
  if (!nameAt) table += name + '\0';
  if (section) {
    const std::string digits = std::to_string(*offset);
    field[0] = '/';
    memcpy(field.data() + 1, digits.data(), digits.size());
  } else {
    Set(field, 4, *offset, 4);
  }
  return field;
}

}  // namespace

Built BuildCoff(const ObjectLayout& layout) {
  Built built;
  std::string table(4, '\0');
  const uint32_t headerSize = layout.bigobj ? 56 : 20;
  const uint32_t symbolSize = layout.bigobj ? 20 : 18;
  uint32_t records = 0;
  for (const SymbolLayout& s : layout.symbols) records += 1 + s.aux;

  std::string headers, data;
  const uint32_t dataStart = headerSize + 40 * static_cast<uint32_t>(layout.sections.size());
  for (size_t i = 0; i < layout.sections.size(); ++i) {
    const SectionLayout& section = layout.sections[i];
    uint32_t unused = 0;
    headers += NameField(section.name, 0, table, &unused, true);
    Put(headers, 0, 8);  // virtual size and address
    Put(headers, section.bytes.size(), 4);
    Put(headers, section.bytes.empty() ? 0 : dataStart + data.size(), 4);
    Put(headers, 0, 12);
    Put(headers, section.characteristics, 4);
    data += section.bytes;
  }
  std::string symbols;
  for (const SymbolLayout& s : layout.symbols) {
    uint32_t offset = 0;
    symbols += NameField(s.name, s.nameAt, table, &offset, false);
    built.nameOffsets.push_back(offset);
    Put(symbols, s.value, 4);
    Put(symbols, static_cast<uint32_t>(s.section), layout.bigobj ? 4 : 2);
    Put(symbols, 0, 2);
    symbols.push_back(static_cast<char>(s.storageClass));
    symbols.push_back(static_cast<char>(s.aux));
    symbols += std::string(size_t{s.aux} * symbolSize, '\0');
  }
  Set(table, 0, table.size(), 4);

  std::string out;
  if (layout.bigobj) {
    Put(out, 0, 2);
    Put(out, 0xFFFF, 2);
    Put(out, 2, 2);
    Put(out, layout.machine, 2);
    Put(out, 0, 4);
    const uint8_t classId[16] = {0xC7, 0xA1, 0xBA, 0xD1, 0xEE, 0xBA, 0xA9, 0x4B,
                                 0xAF, 0x20, 0xFA, 0xF6, 0x6A, 0xA4, 0xDC, 0xB8};
    out.append(reinterpret_cast<const char*>(classId), 16);
    Put(out, 0, 16);
    Put(out, layout.sections.size(), 4);
  } else {
    Put(out, layout.machine, 2);
    Put(out, layout.sections.size(), 2);
    Put(out, 0, 4);
  }
  const size_t symbolField = out.size();
  Put(out, 0, 4);
  Put(out, records, 4);
  if (!layout.bigobj) Put(out, 0, 4);
  out += headers;
  if (!layout.dataAfterStrings) out += data;
  built.symbolTable = static_cast<uint32_t>(out.size());
  Set(out, symbolField, built.symbolTable, 4);
  out += symbols;
  built.stringTable = static_cast<uint32_t>(out.size());
  if (layout.stringTable) out += table;
  out += layout.afterStrings;
  if (layout.dataAfterStrings && !layout.sections.empty()) {
    Set(out, headerSize + 20, out.size(), 4);
    out += data;
  }
  built.bytes = std::move(out);
  return built;
}

}  // namespace testcoff
