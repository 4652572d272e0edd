// The prefix list: the pairs of a -p run, one for every name that some input
// defines, read from the inputs themselves.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>

#include "driver/keep_list.h"
#include "driver/rename_list.h"

// Built up one object at a time. Every name lives as long as the list.
struct PrefixList {
  std::string prefix;
  // Each defined name once, in the order first met (by input, member and
  // symbol index), paired with prefix + name.
  RenameList pairs;
  std::deque<std::string> store;  // the pairs' bytes; a deque never moves them
  std::unordered_set<std::string_view> defined;
  KeepList* keep = nullptr;  // names never prefixed; the ones met are noted
};

// Adds the name to list unless an earlier object defined it, with the prefix
// put after the name's first at bytes.
void AddDefinedName(const char* name, PrefixList* list, size_t at = 0);

// Adds to list the names that symbols (a format's symbol view) defines and no
// earlier object did: symbols that other objects may see and that are not
// imports. Kept names are left out. A view that says where in a name the
// prefix goes (PrefixAt) has it put there.
template <class Symbols>
void CollectDefinedNames(const Symbols& symbols, PrefixList* list) {
  for (uint32_t i = 0; i < symbols.Count(); ++i) {
    if (!symbols.IsNonLocal(i) || !symbols.IsDefined(i)) continue;
    const char* name = symbols.NameAt(symbols.NameOffset(i));
    if (name == nullptr || name[0] == '\0') continue;
    if (list->keep != nullptr) {
      if (auto kept = list->keep->names.find(name); kept != list->keep->names.end()) {
        list->keep->defined.insert(*kept);
        continue;
      }
    }
    size_t at = 0;
    if constexpr (requires { symbols.PrefixAt(name); }) at = symbols.PrefixAt(name);
    AddDefinedName(name, list, at);
  }
}

// The first old name of list that the prefix takes past kMaxNameLength
// bytes, or none.
const char* FindOverlongPrefixedName(const PrefixList& list);
