// Writing new names into a COFF object: names of 8 bytes or fewer into
// their records, longer ones over their old bytes in the string table when
// they fit, or appended to it.
#pragma once

#include <span>
#include <string>

#include "base/result.h"
#include "coff/coff_image.h"
#include "coff/coff_symbols.h"
#include "rename/plan.h"

// Finds the renames of the indexed pairs in coff, judges them and gives the
// patches that apply them. A section whose name carries its COMDAT symbol's
// name after a '$' follows that symbol's rename, header and section symbol
// alike. Each name goes where it fits: a new name of 8 bytes or fewer into
// its record or section header, zero-padded; a long one of its old name's
// length over the old bytes in the string table, judged by the clash rule.
// Anything else, and every long name once the clash rule finds a name
// spoiled, is appended to the string table, whose size field follows; that
// takes grow, or fails with kRenameClash naming name. The table grows where
// it ends: when section data, relocations or line numbers lie after it,
// which no toolchain writes, they would move, and the object is refused with
// kStringTableNotLast. kNoMemory for an object past 4 GiB.
Result<ObjectRenames> RenameCoffObject(const CoffImage& coff, const std::string& name,
                                       const OldNameIndex& index,
                                       std::span<const char* const> newNames, bool grow);

// Makes static the symbols that edits (one per symbol entry of names, the
// vendoring plan's bits) asks to localize with localizeBit: externals
// defined in a section that is not a COMDAT one, whose records relocations
// keep naming by index. COFF has no visibility, so nothing is hidden. Edits
// the symbol table patch of renames, or adds one.
void LocalizeCoffSymbols(const CoffImage& coff, const CoffNames& names,
                         std::span<const uint8_t> edits, uint8_t localizeBit,
                         ObjectRenames* renames);
