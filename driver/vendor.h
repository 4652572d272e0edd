// The vendoring passes' view of the inputs as a whole: which names each
// object defines and which it uses, read in the first pass, and from that
// what each symbol of an object is to become, and where names clash.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "driver/keep_list.h"

// Objects are numbered in the order the passes meet them: by input, then by
// member.
constexpr uint32_t kNoObject = UINT32_MAX;

// Where a non-local name is met: whether some object defines it, and the
// first two objects that refer to it, which tell whether one other than its
// definer does.
struct NameUse {
  bool defined = false;
  uint32_t referrers[2] = {kNoObject, kNoObject};
};

struct VendorPlan {
  KeepList* keep = nullptr;
  bool hide = false;
  bool localize = false;
  std::unordered_map<std::string, NameUse> names;
};

// Notes that name, if kept, is defined by some input.
inline void NoteKeptDefinition(KeepList* keep, const char* name) {
  if (keep == nullptr) return;
  if (auto kept = keep->names.find(name); kept != keep->names.end()) keep->defined.insert(*kept);
}

// Adds the non-local names of object's symbols (a format's symbol view) to
// plan.
template <class Symbols>
void CountNames(const Symbols& symbols, uint32_t object, VendorPlan* plan) {
  for (uint32_t i = 0; i < symbols.Count(); ++i) {
    if (!symbols.IsNonLocal(i)) continue;
    const char* name = symbols.NameAt(symbols.NameOffset(i));
    if (name == nullptr || name[0] == '\0') continue;
    NameUse& use = plan->names[name];
    if (symbols.IsDefined(i)) {
      use.defined = true;
      NoteKeptDefinition(plan->keep, name);
    } else if (use.referrers[0] == kNoObject) {
      use.referrers[0] = object;
    } else if (use.referrers[0] != object && use.referrers[1] == kNoObject) {
      use.referrers[1] = object;
    }
  }
}

// The edits (elf_symbol_edit.h's bits, one per symbol) that plan asks of
// object's symbols: a defined name that is not kept is hidden, and so is a
// use of such a name; it is localized when no other object uses it.
template <class Symbols>
std::vector<uint8_t> PlanSymbolEdits(const Symbols& symbols, uint32_t object,
                                     const VendorPlan& plan, uint8_t hideBit, uint8_t localizeBit) {
  std::vector<uint8_t> edits(symbols.Count(), 0);
  for (uint32_t i = 0; i < symbols.Count(); ++i) {
    if (!symbols.IsNonLocal(i)) continue;
    const char* name = symbols.NameAt(symbols.NameOffset(i));
    if (name == nullptr || name[0] == '\0' || IsKept(plan.keep, name)) continue;
    const auto use = plan.names.find(name);
    if (use == plan.names.end() || !use->second.defined) continue;
    if (plan.hide) edits[i] |= hideBit;
    const uint32_t* referrers = use->second.referrers;
    const bool usedElsewhere =
        (referrers[0] != kNoObject && referrers[0] != object) || referrers[1] != kNoObject;
    if (plan.localize && symbols.IsDefined(i) && !usedElsewhere) edits[i] |= localizeBit;
  }
  return edits;
}

// The places that strongly define each name, for --clashes.
struct ClashCensus {
  std::vector<std::string> places;  // per object: "file.o" or "lib.a(member.o)"
  std::vector<uint32_t> inputOf;    // per object: the input that holds it
  std::vector<bool> inLibrary;      // per object: a library's member
  // Per name, the objects that define it strongly, in order: the first held
  // inline, so that only a name defined twice costs an allocation. Names are
  // copied into names once, since an input's bytes go with the next input.
  struct Definers {
    uint32_t first;
    std::vector<uint32_t> more;
  };
  std::deque<std::string> names;
  std::unordered_map<std::string_view, Definers> definers;
};

// Counts one strong definition of name by object.
void CountStrongDefinition(const char* name, uint32_t object, ClashCensus* census);

template <class Symbols>
void CountStrongDefinitions(const Symbols& symbols, uint32_t object, ClashCensus* census) {
  for (uint32_t i = 0; i < symbols.Count(); ++i) {
    if (!symbols.IsStrongDefinition(i)) continue;
    const char* name = symbols.NameAt(symbols.NameOffset(i));
    if (name != nullptr && name[0] != '\0') CountStrongDefinition(name, object, census);
  }
}

// A name that more than one place defines strongly: within one library when
// every place is a member of the same one, between inputs otherwise.
struct Clash {
  std::string name;
  bool withinLibrary;
  std::vector<uint32_t> objects;
};

// Every clash of census, by name in byte order, each with its places in input
// order.
std::vector<Clash> ListClashes(const ClashCensus& census);
