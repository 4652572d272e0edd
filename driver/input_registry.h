// The registry of input files, in command-line order.
#pragma once

#include <cstdint>

#include "elf/archive.h"
#include "elf/elf_image.h"
#include "elf/host_file.h"

struct InputFile {
  char fullPath[kMaxPath];
  ElfImage* elfImage;  // none until the run reaches the entry, and for an archive
  Archive* archive;    // none until the run reaches the entry, and for an object
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
