// Writing a renamed static library: its symbol index follows the members'
// renames, in place or rebuilt, and members that grew move.
#pragma once

#include <span>
#include <vector>

#include "archive/archive.h"
#include "host/host_file.h"
#include "rename/matching.h"

// A new name for an entry of an archive's symbol index.
struct IndexRename {
  uint32_t nameOffset;  // where the entry's name lies in the archive's bytes
  const char* newName;  // of the old name's length, unless members grew
};

// The entries of archive's symbol index whose member renamed symbols of the
// entry's name (memberMatches[m] holds member m's matches, in FindRenames'
// order), each with the name those symbols now carry; in index order.
std::vector<IndexRename> FindIndexRenames(const Archive& archive,
                                          std::span<const std::vector<RenameMatch>> memberMatches,
                                          const OldNameIndex& index,
                                          std::span<const char* const> newNames);

// The index members with entries' new names, each of its old name's length,
// written over the old ones: one patch per index member that changes, in
// offset order. MSVC's second linker member has its names sorted again.
std::vector<BytePatch> PatchIndexesInPlace(const Archive& archive,
                                           std::span<const IndexRename> entries);

// The archive patches of member, whose object renames grew (grown, in the
// object's offsets): moved to the archive's offsets, the insertion at the
// object's end taking the member's padding and giving it a new one where the
// new end is odd, and the header's size field following.
std::vector<BytePatch> GrowMember(const Archive& archive, const ArchiveMember& member,
                                  std::vector<BytePatch>&& grown);

// Rebuilds every symbol index member of archive for an output in which
// patches (in offset order, the index's own excluded) move members: each
// entry keeps its place, takes its rename's new name (entries in index
// order) and the new offset of its member's header. The index is padded to
// an even size ("/") or to 8 bytes ("/SYM64/") and its header's size field
// follows. Returns the index's patches, in offset order. A member offset past
// 4 GiB in "/" is left to the write to refuse. MSVC's second linker member
// is rebuilt too: the same members, their new offsets, its names sorted.
std::vector<BytePatch> RebuildIndexes(const Archive& archive, std::span<const IndexRename> entries,
                                      std::span<const BytePatch> patches);
