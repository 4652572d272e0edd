// A COFF object's names as the renamer reads any format's symbols.
//
// The renamer wants every name zero-terminated at an offset of one table,
// and the clash rule wants to see which names share bytes. A COFF name of 8
// bytes or fewer stands inside its record, unterminated when it has 8, and
// shares bytes with nothing; a longer one lies in the string table, where a
// writer may let names share a tail. So the names are gathered once per
// object into one buffer: the string table's bytes at their own offsets
// (long names keep their offsets, and the clash rule judges them), then each
// short name in a slot of its own, zero-terminated, at offsets past the
// table. A rename written into a short slot reaches no other name, as its
// record's field reaches none.
//
// Sections that carry a COMDAT symbol's name after a '$' (".text$foo",
// ".rdata$.refptr.foo") add an entry after the symbols for the section
// header's name, and turn their section symbol's entry into one, each
// pointing at the part after the '$', so that the pass that renames the
// COMDAT symbol renames them too.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "coff/coff_image.h"

// __IMPORT_DESCRIPTOR_dll, __NULL_IMPORT_DESCRIPTOR and "\x7f" dll
// _NULL_THUNK_DATA.
inline bool IsImportDescriptorName(const char* name) {
  return name[0] == '\x7f' || strncmp(name, "__IMPORT_DESCRIPTOR_", 20) == 0 ||
         strcmp(name, "__NULL_IMPORT_DESCRIPTOR") == 0;
}

enum class CoffEntryKind : uint8_t { kSymbol, kSectionName, kSectionSymbol };

struct CoffEntry {
  uint32_t record;  // the symbol record, or the section's index for kSectionName
  uint32_t offset;  // where the (carried) name lies in CoffNames::bytes; 0 for none
  uint32_t comdat;  // a section entry's COMDAT symbol record
  uint32_t prefix;  // the bytes of the full name before the carried one ("X$")
  CoffEntryKind kind;
};

struct CoffNames {
  std::vector<uint8_t> bytes;      // the string table (its size field at least), then short slots
  uint32_t tableSize;              // the string table's bytes at the front of bytes
  std::vector<CoffEntry> entries;  // a symbol per primary record, in order, then section entries
  uint32_t symbolEntries;
};

// Gathers coff's names; auxiliary records are skipped.
CoffNames ListCoffNames(const CoffImage& coff);

// The view over names: the symbols alone, or with the section entries when
// sections is set (for renaming; the passes that count definitions take the
// symbols alone).
template <class Sym>
struct CoffSymbols {
  const CoffImage& coff;
  const CoffNames& names;
  bool sections;

  const Sym& Record(uint32_t record) const { return GetCoffSymbol<Sym>(coff, record); }
  uint32_t Count() const {
    return sections ? static_cast<uint32_t>(names.entries.size()) : names.symbolEntries;
  }
  uint32_t NameOffset(uint32_t i) const { return names.entries[i].offset; }
  const char* NameAt(uint32_t offset) const {
    return offset == 0 ? nullptr : reinterpret_cast<const char*>(names.bytes.data()) + offset;
  }
  // A carried name is seen as its COMDAT symbol is while renaming, and the
  // section symbol as the local it is otherwise.
  bool IsNonLocal(uint32_t i) const {
    const CoffEntry& e = names.entries[i];
    const bool own = e.kind == CoffEntryKind::kSymbol || !sections;
    return IsExternalSymbol(Record(own ? e.record : e.comdat));
  }
  // The descriptors of an import library are not counted: the linker
  // looks them up by names it makes from a DLL's name for each short import
  // member, so they keep their names as those members do.
  bool IsDefined(uint32_t i) const {
    const CoffEntry& e = names.entries[i];
    if (e.kind != CoffEntryKind::kSymbol || !IsDefinedSymbol(Record(e.record))) return false;
    const char* name = NameAt(e.offset);
    return name == nullptr || !IsImportDescriptorName(name);
  }
  // External in a section that is not a COMDAT one, or absolute: the linker
  // lets no other such definition stand beside it.
  bool IsStrongDefinition(uint32_t i) const {
    const CoffEntry& e = names.entries[i];
    if (e.kind != CoffEntryKind::kSymbol) return false;
    const Sym& s = Record(e.record);
    const int32_t section = s.SectionNumber;
    if (s.StorageClass != IMAGE_SYM_CLASS_EXTERNAL) return false;
    if (section == IMAGE_SYM_ABSOLUTE) return true;
    return section > 0 && static_cast<uint32_t>(section) <= coff.sectionCount &&
           !(GetCoffSection(coff, section - 1).Characteristics & IMAGE_SCN_LNK_COMDAT);
  }
  // Where a prefix goes in name: on i386 after the underscore or '@' that
  // decorates a C name, so that "_foo@8" becomes "_acme_foo@8"; C++ names
  // ('?') and every name of other machines take it in front.
  size_t PrefixAt(const char* name) const {
    return coff.machine == IMAGE_FILE_MACHINE_I386 && (name[0] == '_' || name[0] == '@') ? 1 : 0;
  }
};

// Calls visit once with coff's view, in its symbol record size.
template <class Visitor>
decltype(auto) VisitCoffSymbols(const CoffImage& coff, const CoffNames& names, bool sections,
                                Visitor&& visit) {
  if (coff.bigobj) return visit(CoffSymbols<IMAGE_SYMBOL_EX>{coff, names, sections});
  return visit(CoffSymbols<IMAGE_SYMBOL>{coff, names, sections});
}
