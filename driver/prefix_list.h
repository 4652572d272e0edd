// The prefix list: the pairs of a -p run, one for every name that some input
// defines, read from the inputs themselves.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>

#include "driver/rename_list.h"
#include "elf/elf_image.h"

// Built up one object at a time. Every name lives as long as the list.
struct PrefixList {
  std::string prefix;
  // Each defined name once, in the order first met (by input, member and
  // symbol index), paired with prefix + name.
  RenameList pairs;
  std::deque<std::string> store;  // the pairs' bytes; a deque never moves them
  std::unordered_set<std::string_view> defined;
};

// Adds to list the .symtab names that elf defines and no earlier object did:
// symbols of any binding but local, neither section nor file symbols, whose
// section index is not SHN_UNDEF (common and absolute symbols count).
void CollectDefinedNames(const ElfImage* elf, PrefixList* list);

// The first old name of list that the prefix takes past 1023 bytes, or none.
const char* FindOverlongPrefixedName(const PrefixList& list);
