// Host paths and file access: the only routines through which the tool
// touches the file system.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

// Rewrites /cygdrive/x/... and //x/... in place into x:/...; any other path,
// and none, is left as it is. The rewrite only ever shortens the string.
void NormalizeHostPath(char* path);

// Rewrites path with NormalizeHostPath, then opens a binary stream on it with
// mode. Returns none when the open fails, printing nothing.
FILE* OpenHostFile(char* path, const char* mode);

// Reads the whole file at path (rewritten in place) into a new buffer of
// length + 1 bytes whose last byte is 0, and stores the length. Returns none
// after printing "cannot open", "cannot read" (an empty file included) or
// "ins. memory" on standard error; never ends the process.
uint8_t* ReadWholeFile(char* path, uint32_t* length);

// Memory for whole files, kept from one input to the next so that a run over
// many inputs does not fault in fresh pages for each.
struct FileBuffer {
  struct Release {
    void operator()(uint8_t* bytes) const;
  };
  std::unique_ptr<uint8_t, Release> bytes;
  size_t capacity = 0;
};

// What a file was when it was read: a write in place changes its size or its
// modification time (in the host's finest unit).
struct FileStamp {
  uint64_t size;
  int64_t modified;
  bool operator==(const FileStamp&) const = default;
};

// An input held open from its read until its output is written, so that the
// output's unchanged bytes come from the file that was read, whatever is
// renamed over its path meanwhile.
struct InputSource {
  FILE* stream;
  uint32_t length;
  FileStamp stamp;  // taken before the read
};

// Opens the file at path (rewritten in place) and reads it whole into buffer,
// grown as needed, as ReadWholeFile does: length bytes and a 0 after them.
// False, with input closed, after printing ReadWholeFile's messages.
bool ReadInputFile(char* path, InputSource* input, FileBuffer* buffer);

// Closes an input that ReadInputFile opened.
void CloseInputFile(InputSource* input);

// Writes size bytes of block to stream; size 0 writes nothing. A short write
// prints "ERROR: ins. disk space" and ends the process with status 1.
void WriteChecked(FILE* stream, const void* block, uint32_t size);

// Resolves path against the current directory into full (MAX_PATH bytes),
// without touching the file system; an empty path gives the current
// directory. False when there is no full path of at most 259 characters.
constexpr uint32_t kMaxPath = 260;
bool ResolveFullPath(const char* path, char full[kMaxPath]);

// An output being written. A regular file (or a new one) is written to a
// temporary file beside it that replaces it only once complete; a device or
// FIFO is written directly.
struct OutputFile {
  FILE* stream;
  const char* path;      // the output path as the user gave it, rewritten
  std::string target;    // the file that is replaced: path with links followed
  std::string tempPath;  // empty when the output is written directly
  bool replacing;        // target exists, and what is attached to it carries over
};

// Rewrites path with NormalizeHostPath and starts an output. Returns none,
// printing nothing, when the output may not be written or no temporary file
// can be made beside it.
OutputFile* OpenOutputFile(char* path);

// Rewrites path with NormalizeHostPath and tells, making nothing, whether
// OpenOutputFile would start an output there.
bool CanOpenOutputFile(char* path);

// size bytes of bytes that take the place of the replaced bytes of a file
// at offset: the same number for an edit in place, none for an insertion.
struct FilePatch {
  uint32_t offset;
  uint32_t replaced;
  uint32_t size;
  const uint8_t* bytes;
};

// Writes to output the length bytes of input, which ReadInputFile left in
// buffer, with each patch (in offset order, none overlapping the bytes another
// replaces, all inside length; an insertion may share its offset with the
// next patch) in place of the bytes it replaces, closes input and commits
// the output, which grows or shrinks by what the patches do. Large unchanged
// ranges are copied by the system through input's open stream. The file must
// still have the size and modification time it had when it was read.
// buffer, which holds none of the patches' bytes, is overwritten. A short
// read prints "ERROR: cannot read file '<path>'", a changed file "ERROR:
// <path> changed while it was read", no memory or an output over 4 GiB
// "ERROR: ins. memory", and a short write "ERROR: ins. disk space"; each ends
// the process with status 1, the output left as it stood.
void WritePatchedFile(OutputFile* output, InputSource* input, const char* path,
                      std::span<const FilePatch> patches, FileBuffer* buffer);

// Finishes the output: flushes and closes it and puts it in place, carrying
// over what is attached to the file it replaces. A failing flush or close
// prints "ERROR: ins. disk space" and ends the process with status 1, a
// failing replacement "ERROR: cannot create <path>"; either way what stood at
// the output path is left untouched.
void CommitOutputFile(OutputFile* output);
