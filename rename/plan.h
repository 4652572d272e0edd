// The plan of what one object's renames change, judged before any byte is
// written, for any format whose names lie in a string table.
#pragma once

#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "base/result.h"
#include "host/host_file.h"
#include "rename/clash.h"

struct RenamePlan {
  std::vector<RenameMatch> matches;
  // Every new name is written over its old name's bytes; otherwise the
  // format rebuilds its string table with the new names added.
  bool inPlace = true;
};

// Plans the renames of matches (FindRenames' result for symbols) over table.
// They go in place when every matched pair keeps its name's length and no
// name comes out changed unasked (otherNames included). A clash is lifted by
// growth only when grow allows it; otherwise it is kRenameClash naming
// objectName, the old name written and the name it would spoil.
template <class Symbols>
Result<RenamePlan> PlanRenames(const Symbols& symbols, std::span<const uint8_t> table,
                               std::span<const TableName> otherNames,
                               std::vector<RenameMatch>&& matches, const OldNameIndex& index,
                               std::span<const char* const> newNames, bool grow,
                               const std::string& objectName) {
  RenamePlan plan{std::move(matches), true};
  for (const RenameMatch& m : plan.matches) {
    plan.inPlace = plan.inPlace && strlen(index.oldNames[m.pair]) == strlen(newNames[m.pair]);
  }
  if (!plan.inPlace) return plan;
  const RenameClash clash =
      FindRenameClash(symbols, table, otherNames, plan.matches, index.oldNames, newNames);
  if (clash.victim == nullptr) return plan;
  if (!grow) return Error{Fault::kRenameClash, objectName, clash.writerOld, clash.victim};
  plan.inPlace = false;
  return plan;
}

// What one object's renames come to: its matches, to report, and the
// patches of its bytes, in offset order and at offsets inside the object.
struct ObjectRenames {
  std::vector<RenameMatch> matches;
  std::vector<BytePatch> patches;
  bool grew = false;  // the patches change the object's length
};
