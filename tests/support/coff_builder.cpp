#include "tests/support/coff_builder.h"

namespace testcoff {

namespace {

// value in width little-endian bytes; bytes past its eight are zero.
void Put(std::string& out, uint64_t value, int width) {
  for (int b = 0; b < width; ++b) out.push_back(b < 8 ? static_cast<char>(value >> (8 * b)) : 0);
}

void Set(std::string& out, size_t at, uint64_t value, int width) {
  for (int b = 0; b < width; ++b) out[at + b] = static_cast<char>(value >> (8 * b));
}

// Appends name's 8-byte field to out; a long name goes to table unless nameAt
// already holds it. Returns a long name's offset, 0 for a short one.
uint32_t PutName(std::string& out, const std::string& name, uint32_t nameAt, std::string& table,
                 bool section) {
  const size_t at = out.size();
  out.append(8, '\0');
  if (name.size() <= 8) {
    out.replace(at, name.size(), name);
    return 0;
  }
  const uint32_t offset = nameAt ? nameAt : static_cast<uint32_t>(table.size());
  if (!nameAt) table += name + '\0';
  if (section) {
    out[at] = '/';
    const std::string digits = std::to_string(offset);
    out.replace(at + 1, digits.size(), digits);
  } else {
    Set(out, at + 4, offset, 4);
  }
  return offset;
}

}  // namespace

Built BuildCoff(const ObjectLayout& layout) {
  Built built;
  std::string table(4, '\0'), headers, data, symbols;
  const uint32_t headerSize = layout.bigobj ? 56 : 20;
  const uint32_t dataStart = headerSize + 40 * static_cast<uint32_t>(layout.sections.size());
  for (const SectionLayout& section : layout.sections) {
    PutName(headers, section.name, 0, table, true);
    Put(headers, 0, 8);  // virtual size and address
    Put(headers, section.bytes.size(), 4);
    Put(headers, section.bytes.empty() ? 0 : dataStart + data.size(), 4);
    Put(headers, 0, 12);
    Put(headers, section.characteristics, 4);
    data += section.bytes;
  }
  uint32_t records = 0;
  for (const SymbolLayout& s : layout.symbols) {
    built.nameOffsets.push_back(PutName(symbols, s.name, s.nameAt, table, false));
    Put(symbols, s.value, 4);
    Put(symbols, static_cast<uint32_t>(s.section), layout.bigobj ? 4 : 2);
    Put(symbols, 0, 2);
    Put(symbols, s.storageClass + (s.aux << 8), 2);
    symbols.append(size_t{s.aux} * (layout.bigobj ? 20 : 18), '\0');
    records += 1 + s.aux;
  }
  Set(table, 0, table.size(), 4);
  built.symbolTable = dataStart + (layout.dataAfterStrings ? 0 : data.size());

  std::string out;
  if (layout.bigobj) {
    Put(out, 0xFFFF0000, 4);
    Put(out, 2, 2);
    Put(out, layout.machine, 2);
    Put(out, 0, 4);
    out.append("\xC7\xA1\xBA\xD1\xEE\xBA\xA9\x4B\xAF\x20\xFA\xF6\x6A\xA4\xDC\xB8", 16);  // class id
    Put(out, 0, 16);
    Put(out, layout.sections.size(), 4);
  } else {
    Put(out, layout.machine, 2);
    Put(out, layout.sections.size(), 2);
    Put(out, 0, 4);
  }
  Put(out, built.symbolTable, 4);
  Put(out, records, layout.bigobj ? 4 : 8);
  out += headers;
  if (!layout.dataAfterStrings) out += data;
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
