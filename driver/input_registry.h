// The registry of input files, in command-line order.
#pragma once

#include <cstdint>

#include "elf/archive.h"
#include "elf/elf_image.h"
#include "host/host_file.h"

struct InputFile {
  char fullPath[kMaxPath];
  // The loaded input while the run is at the entry, and none before and after
  // it: elfImage for an object, archive for a static library.
  ElfImage* elfImage;
  Archive* archive;
};

struct InputFileTable {
  InputFile* entries;
  uint32_t count;
  uint32_t capacity;
};

// The process-wide registry.
extern InputFileTable gInputFiles;

// Rewrites operand in place with NormalizeHostPath, resolves it to a full path
// and appends it. Ends the process with status 1 after "ERROR: ins. memory",
// "ERROR: invalid pathname" or "ERROR: duplicate filename" on standard error.
void RegisterInputFile(char* operand);
