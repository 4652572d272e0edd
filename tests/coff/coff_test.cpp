// The COFF loader's refusals, and the places of a new name that the
// real-toolchain rows in tests/real/coff_test.py do not reach.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "coff/coff_image.h"
#include "coff/coff_writer.h"
#include "rename/pair_index.h"
#include "tests/support/coff_builder.h"

namespace {

using testcoff::BuildCoff;
using testcoff::Built;
using testcoff::ObjectLayout;

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

void Set32(std::string& bytes, size_t at, uint32_t value) {
  for (int b = 0; b < 4; ++b) bytes[at + b] = static_cast<char>(value >> (8 * b));
}

// .text, a long-named COMDAT section, a short and a long external name, a
// static with an auxiliary record.
ObjectLayout Basic() {
  ObjectLayout object;
  object.sections = {{".text", std::string(8, '\xC3')},
                     {".text$func_long_name", "\xC3", 0x60001020}};
  object.symbols = {{"short"},
                    {"a_long_symbol_name"},
                    {".text$func_long_name", 2, 3, 1},
                    {"func_long_name", 2},
                    {"static", 1, 3, 1}};
  return object;
}

// Every symbol's name, then every section's, as the object reads them.
std::vector<std::string> ReadNames(const std::string& bytes) {
  Result<CoffImage> coff = LoadCoffImage(Bytes(bytes), static_cast<uint32_t>(bytes.size()), "x");
  EXPECT_TRUE(coff) << (coff ? "" : coff.error().detail);
  if (!coff) return {};
  std::vector<std::string> names;
  for (uint32_t i = 0; i < coff->symbolCount; ++i) {
    const auto& symbol = GetCoffSymbol<IMAGE_SYMBOL>(*coff, i);
    const auto* name = reinterpret_cast<const char*>(symbol.Name);
    const auto* table = reinterpret_cast<const char*>(coff->image + coff->stringTable);
    names.push_back(HasLongName(symbol) ? table + GetLongNameOffset(symbol)
                                        : std::string(name, strnlen(name, 8)));
    i += symbol.NumberOfAuxSymbols;
  }
  for (uint32_t s = 0; s < coff->sectionCount; ++s) {
    names.emplace_back(GetCoffSectionName(*coff, s).name);
  }
  return names;
}

std::string ApplyPatches(const std::string& in, const std::vector<BytePatch>& patches) {
  std::string out;
  uint32_t at = 0;
  for (const BytePatch& p : patches) {
    EXPECT_GE(p.offset, at);
    out.append(in, at, p.offset - at);
    out.append(p.bytes.begin(), p.bytes.end());
    at = p.offset + p.replaced;
  }
  return out.append(in, at, std::string::npos);
}

using Names = std::vector<std::pair<size_t, const char*>>;

TEST(CoffWriter, PutsEachNewNameWhereItFits) {
  struct Case {
    const char* label;
    std::function<void(ObjectLayout&)> shape;
    const char* oldName;
    const char* newName;
    bool grow;      // and, where it succeeds, grows the file
    Names changed;  // from Basic's, by ReadNames' index; or a fault
    std::optional<Fault> fault = std::nullopt;
  };
  const auto shortComdat = [](ObjectLayout& o) {
    o.sections[1].name = o.symbols[2].name = ".text$f";
    o.symbols[3].name = o.symbols[2].name.substr(6);
  };
  const auto sharedTail = [](ObjectLayout& o) {
    o.symbols.push_back({"the_tail_name"});
    o.symbols.push_back({"tail_name", 1, 2, 0, 0, 1});  // nameAt is fixed below
  };
  const auto junkAfter = [](ObjectLayout& o) { o.afterStrings = "junk"; };
  const auto dataAfter = [](ObjectLayout& o) { o.dataAfterStrings = true; };
  const auto noTable = [](ObjectLayout& o) {
    o.sections.resize(1);
    o.symbols = {{"short"}, {"static", 1, 3, 1}};
    o.stringTable = false;
  };
  const char* const grown = "short_grown_long";
  const char* const tail = "the_tail_name";
  const char* const TAIL = "the_tail_NAME";
  const Case cases[] = {
      {"a short COMDAT name follows in its header", shortComdat, "f", "g", false,
       Names{{2, ".text$g"}, {3, "g"}, {6, ".text$g"}}},
      {"a shared tail refuses in place", sharedTail, tail, TAIL, false, Names{},
       Fault::kRenameClash},
      {"a shared tail grows with -g", sharedTail, tail, TAIL, true, Names{{5, TAIL}}},
      {"growth with bytes after the table", junkAfter, "short", grown, true, Names{{0, grown}}},
      {"growth with data after the table", dataAfter, "short", grown, true, Names{},
       Fault::kStringTableNotLast},
      {"in place with data after the table", dataAfter, "a_long_symbol_name", "A_long_symbol_name",
       false, Names{{1, "A_long_symbol_name"}}},
      {"growth makes a string table", noTable, "short", grown, true, Names{{0, grown}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ObjectLayout layout = Basic();
    c.shape(layout);
    Built built = BuildCoff(layout);
    if (layout.symbols.size() == 7) {
      // tail_name shares the_tail_name's last nine bytes.
      layout.symbols[6].nameAt = built.nameOffsets[5] + 4;
      built = BuildCoff(layout);
    }
    std::vector<std::string> expected = ReadNames(built.bytes);
    for (const auto& [at, name] : c.changed) expected[at] = name;
    Result<CoffImage> coff = LoadCoffImage(Bytes(built.bytes), built.bytes.size(), "x");
    ASSERT_TRUE(coff);
    const char* const oldNames[] = {c.oldName};
    const char* const newNames[] = {c.newName};
    Result<ObjectRenames> renames =
        RenameCoffObject(*coff, "x", IndexOldNames(oldNames), newNames, c.grow);
    EXPECT_EQ(renames ? std::nullopt : std::optional(renames.error().fault), c.fault);
    if (!renames) continue;
    EXPECT_EQ(renames->grew, c.grow);
    const std::string out = ApplyPatches(built.bytes, renames->patches);
    EXPECT_TRUE(c.grow || out.size() == built.bytes.size());
    EXPECT_EQ(ReadNames(out), expected);
    EXPECT_TRUE(out.ends_with(layout.afterStrings));
  }
}

TEST(CoffLoader, RefusesDamageNamingIt) {
  struct Case {
    const char* label;
    std::function<void(std::string&, const Built&)> damage;
    const char* detail;
  };
  const Case cases[] = {
      {"header cut", [](auto& b, auto&) { b.resize(12); }, "the COFF header lies outside the file"},
      {"sections past the end", [](auto& b, auto&) { b[2] = '\x7f'; },
       "the section table lies outside the file"},
      {"auxiliary records run past", [](auto& b, auto& x) { b[x.stringTable - 18 - 1] = 9; },
       "the auxiliary records of symbol 5 run past the end of the symbol table"},
      {"string table size below 4", [](auto& b, auto& x) { Set32(b, x.stringTable, 2); },
       "the string table's size 2 is below 4"},
      {"long name past the table", [](auto& b, auto& x) { Set32(b, x.symbolTable + 22, 5000); },
       "the name of symbol 1 is not inside the string table"},
      {"section name past the table", [](auto& b, auto&) { memcpy(&b[20 + 40], "/9999\0\0\0", 8); },
       "the name of section 2 is not inside the string table"},
  };
  const Built built = BuildCoff(Basic());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string bytes = built.bytes;
    c.damage(bytes, built);
    Result<CoffImage> coff = LoadCoffImage(Bytes(bytes), static_cast<uint32_t>(bytes.size()), "x");
    ASSERT_FALSE(coff);
    EXPECT_EQ(coff.error().fault, Fault::kDamaged);
    EXPECT_EQ(coff.error().detail, c.detail);
  }
}

}  // namespace
