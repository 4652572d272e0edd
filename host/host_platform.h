// What each host's file holds beyond the routines of host_file.h: the steps
// that the portable routines leave to the platform.
#pragma once

#include "host/host_file.h"

// A buffer of size bytes for a whole file, released with ReleaseFileBuffer;
// none when there is no memory. Large buffers are laid out so that filling
// them costs the fewest page faults the host allows.
void* AllocateFileBuffer(size_t size);
void ReleaseFileBuffer(void* buffer);

// The size and modification time of the open file behind stream; false when
// the system cannot tell.
bool StampOpenFile(FILE* stream, FileStamp* stamp);

// A stream reading the file at path; none when it cannot be opened. Holding
// it never stops another run from replacing the file.
HostStream OpenInputStream(const std::string& path);

// Takes the lock of input, open on the file at path, waiting while another
// run holds it; none when the file system refuses it.
FileLock LockInput(const std::string& path, FILE* input);
void ReleaseFileLock(intptr_t handle);

// Whether the file now at path is the one stamp was taken of.
bool IsFileAt(const std::string& path, const FileStamp& stamp);

// Moves the output's finished, closed temporary file over its target; a
// replaced target's attributes carry over. False when the move fails.
bool MoveTempOverTarget(OutputFile& output);

// Closes the output's stream and removes its temporary file, if it still
// has one; the terminating signals' handler no longer sees it afterwards.
void DiscardTempFile(OutputFile& output);

// Appends to output the size bytes of input from offset on. kCannotRead
// (naming inputPath) on a short read, kNoDiskSpace on a short write.
Status CopyFileBytes(OutputFile& output, FILE* input, uint32_t offset, uint32_t size,
                     const std::string& inputPath);
