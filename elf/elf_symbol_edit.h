// Hiding and localizing an object's symbols: edits of .symtab and of what
// refers to its entries by index, each of which keeps every size, so the
// object changes only in place.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "elf/elf_image.h"
#include "rename/plan.h"

// What a run asks of one symbol, as bits.
constexpr uint8_t kEditHide = 1;      // STV_HIDDEN in st_other
constexpr uint8_t kEditLocalize = 2;  // STB_LOCAL, moved among the locals

// Applies edits (one per symbol of elf's .symtab) on top of renames, the
// object's own renames: a .symtab the renames copied is edited where it
// stands. Hiding takes non-local symbols only; localizing takes defined
// non-local ones that are neither common, GNU unique nor a group's
// signature. Localized symbols move after the locals, and .symtab's sh_info,
// every relocation's symbol index (of SHT_REL and SHT_RELA sections linked to
// .symtab), every group's signature index and .symtab_shndx follow. Returns
// why the object's symbols stay global, or an empty string: only a
// relocatable object is edited, and none is localized whose other sections
// refer to symbols by index in a way not followed here, whose tables overlap
// or lie outside it, or whose machine is MIPS, where a relocation against a
// local symbol means something else than against a global one.
std::string EditElfSymbols(const ElfImage& elf, std::span<const uint8_t> edits,
                           ObjectRenames* renames);
