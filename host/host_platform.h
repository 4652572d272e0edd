// What each host's file holds beyond the routines of host_file.h: the steps
// that the portable routines leave to the platform.
#pragma once

#include "host/host_file.h"

// A buffer of size bytes for a whole file, released with free; none when
// there is no memory. Large buffers are laid out so that filling them costs
// the fewest page faults the host allows.
void* AllocateFileBuffer(size_t size);

// The size and modification time of the open file behind stream; false when
// the system cannot tell.
bool StampOpenFile(FILE* stream, FileStamp* stamp);

// Moves the output's finished temporary file over its target, which it then
// no longer removes at exit; a replaced target's attributes carry over. False
// when the move fails.
bool MoveTempOverTarget(OutputFile* output);

// Appends to output the size bytes of input from offset on. A short read
// prints "ERROR: cannot read file '<inputPath>'", a short write "ERROR: ins.
// disk space", and either ends the process with status 1.
void CopyFileBytes(OutputFile* output, FILE* input, uint32_t offset, uint32_t size,
                   const char* inputPath);
