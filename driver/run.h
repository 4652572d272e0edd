// A run over the inputs: each is read, renamed as a whole and written, one at
// a time; a -p run first reads them all to collect the names they define.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"
#include "driver/config.h"
#include "driver/prefix_list.h"
#include "host/host_file.h"
#include "rename/pair_index.h"

// Reads every input into buffer and adds the names its objects define to
// list, whose prefix is set, and the input's stamp to stamps. Stops at an input that cannot be read
// or loaded, or at a name the prefix makes too long (kPrefixTooLong), before anything is written: a
// list built from some of the inputs would rename the others' uses of their names differently.
Status CollectPrefixList(const Config& config, PrefixList* list, std::vector<FileStamp>* stamps,
                         FileBuffer& buffer);

// Renames the indexed pairs in the input at path (an object or a library),
// writes its output and reports each rename on standard output once the
// output stands. A read error is printed here once before it is returned,
// since the tool has always reported it twice. In place, an input that its
// renames leave as it was is not written at all, so its inode, times and
// links stay; whether it could have been is still judged. collected, when
// given, is the input's stamp when its names were collected: an input changed
// since is kChangedWhileRead, as the names renamed would not be its own.
Status ProcessInput(const std::string& path, const Config& config, const RenameList& pairs,
                    const OldNameIndex& index, const FileStamp* collected, FileBuffer& buffer);
