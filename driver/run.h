// A run over the inputs: each is read, renamed as a whole and written, one at
// a time; a -p run first reads them all to collect the names they define.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"
#include "driver/config.h"
#include "driver/prefix_list.h"
#include "driver/vendor.h"
#include "host/host_file.h"
#include "rename/pair_index.h"

// Reads every input into buffer and adds the names its objects define to
// list, whose prefix is set, and each input's stamp to stamps. Stops at an input that cannot be
// read or loaded, or at a name the prefix makes too long (kPrefixTooLong), before anything is
// written: a list built from some of the inputs would rename the others' uses
// of their names differently. An object of a format that cannot be renamed,
// in a file or a member, stops it the same way.
// With a plan, the same pass also counts every object's names into it;
// either may be none.
Status CollectPrefixList(const Config& config, PrefixList* list, std::vector<FileStamp>* stamps,
                         FileBuffer& buffer, VendorPlan* plan = nullptr);

// Reads every input and counts the strong definitions of its objects into
// census; stops at an input that cannot be read or loaded.
Status CollectClashes(const Config& config, ClashCensus* census, FileBuffer& buffer);

// The vendoring edits of a run, applied to each object in turn: objects
// are numbered as the first pass numbered them.
struct VendorEdits {
  const VendorPlan* plan = nullptr;  // none: no object is edited
  uint32_t nextObject = 0;
  bool notedNoVisibility = false;  // the run has said that COFF objects are not hidden
};

// Renames the indexed pairs in the input at path (an object or a library),
// writes its output and reports each rename on standard output once the
// output stands. A read error is printed here once before it is returned,
// since the tool has always reported it twice. In place, an input that its
// renames leave as it was is not written at all, so its inode, times and
// links stay; whether it could have been is still judged, and so is every
// output of a dry run, which writes none. collected, when given, is the
// input's stamp when its names were collected: an input changed since is
// kChangedWhileRead, as the names renamed would not be its own. Each object
// then takes the edits that plan asks of it, on top of its renames; an object
// that stays global says why on standard error. Sets the reported pairs in
// matchedPairs, one flag per pair, and notes on standard error each renamed
// shared object or executable.
Status ProcessInput(const std::string& path, const Config& config, const RenameList& pairs,
                    const OldNameIndex& index, const FileStamp* collected, FileBuffer& buffer,
                    VendorEdits* edits, std::vector<bool>* matchedPairs);
