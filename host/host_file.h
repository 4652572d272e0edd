// Host paths and file access: the only routines through which the tool
// touches the file system. None prints or ends the process; each failure is
// an Error for the driver to report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"

// /cygdrive/x/... and //x/... rewritten into x:/...; any other path as it is.
// The rewrite only ever shortens a path, and a second one changes nothing.
std::string NormalizeHostPath(std::string_view path);

// A stream that closes itself.
struct StreamCloser {
  void operator()(FILE* stream) const { fclose(stream); }
};
using HostStream = std::unique_ptr<FILE, StreamCloser>;

// A binary stream on path, rewritten with NormalizeHostPath, opened with
// mode; none when the open fails.
HostStream OpenHostFile(const std::string& path, const char* mode);

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
// modification time (in the host's finest unit); a file renamed over its path
// is another file, of another identity.
struct FileStamp {
  uint64_t size;
  int64_t modified;
  uint64_t volume;  // the device, or the volume serial number
  uint64_t file;    // the inode, or the file index
  bool operator==(const FileStamp&) const = default;
};

// An exclusive advisory lock on a file, released when it goes. Runs that
// replace one file in place take it in turn, so that the later reads the
// earlier's result; programs that take no lock are not held back by it.
class FileLock {
 public:
  FileLock() = default;
  explicit FileLock(intptr_t handle) : handle_(handle) {}
  FileLock(FileLock&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}
  FileLock& operator=(FileLock&& other) noexcept;
  ~FileLock();

 private:
  intptr_t handle_ = -1;  // the locked descriptor or handle; -1 holds none
};

// An input held open from its read until its output is written, so that the
// output's unchanged bytes come from the file that was read, whatever is
// renamed over its path meanwhile. Closed when it goes.
struct InputSource {
  HostStream stream;
  uint32_t length = 0;
  FileStamp stamp{};  // taken before the read
};

// Opens the file at path (rewritten with NormalizeHostPath, as the errors
// name it) and reads it whole into buffer, grown as needed: length bytes and
// a 0 after them. Fails with kCannotOpen, kCannotRead (an empty file, a
// directory or a file of 4 GiB or more included) or kNoMemory.
Result<InputSource> ReadInputFile(const std::string& path, FileBuffer& buffer);

// Takes into lock the lock of input, read from path (rewritten with
// NormalizeHostPath), waiting while another run holds it, before input is
// replaced in place. False when the path no longer names input by then, as
// when the run waited for has replaced it: the new file is to be read and
// locked again. Where the file system refuses the lock, none is held and
// only the file at the path is compared.
bool LockForReplacement(const std::string& path, const InputSource& input, FileLock* lock);

// Writes size bytes of block to stream; size 0 writes nothing. A short write
// is kNoDiskSpace.
Status WriteChecked(FILE* stream, const void* block, size_t size);

// path resolved against the current directory, without touching the file
// system; an empty path gives the current directory. None when there is no
// full path of at most kMaxPath - 1 characters.
constexpr uint32_t kMaxPath = 260;
std::optional<std::string> ResolveFullPath(std::string_view path);

// An output being written. A regular file (or a new one) is written to a
// temporary file beside it that replaces it only once complete; a device or
// FIFO is written directly. One that goes uncommitted is discarded: its
// temporary file is removed and what stood at the path stays.
struct OutputFile {
  HostStream stream;
  std::string path;        // the output path as the user gave it, rewritten
  std::string target;      // the file that is replaced: path with links followed
  std::string tempPath;    // empty when the output is written directly, or once committed
  bool replacing = false;  // target exists, and what is attached to it carries over
  // In place: the input read, which must still be the file at target when
  // the output replaces it.
  std::optional<FileStamp> inPlaceOf;

  OutputFile() = default;
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  ~OutputFile();
};

// Starts an output at path, rewritten with NormalizeHostPath. kCannotCreate,
// naming the rewritten path, when the output may not be written there or no
// temporary file can be made beside it. inPlaceOf is the input's stamp when
// the output replaces the input it is made from.
Result<OutputFile> OpenOutputFile(const std::string& path,
                                  std::optional<FileStamp> inPlaceOf = std::nullopt);

// Tells, making nothing, whether OpenOutputFile would start an output at
// path.
bool CanOpenOutputFile(const std::string& path);

// bytes in place of the replaced bytes of a file at offset: an edit in place
// when the sizes agree, an insertion when nothing is replaced.
struct BytePatch {
  uint32_t offset;
  uint32_t replaced;
  std::vector<uint8_t> bytes;
};

// Writes to output the length bytes of input, which ReadInputFile left in
// buffer, with each patch (in offset order, none overlapping the bytes another
// replaces, all inside length; an insertion may share its offset with the
// next patch) in place of the bytes it replaces, closes input and commits
// the output, which grows or shrinks by what the patches do. Large unchanged
// ranges are copied by the system through input's open stream. The file must
// still have the size and modification time it had when it was read. buffer
// is overwritten. Fails with kCannotRead (a short read, naming path),
// kChangedWhileRead (naming path), kNoMemory (an output over 4 GiB),
// kNoDiskSpace or CommitOutputFile's faults; the output is then discarded
// when it goes.
Status WritePatchedFile(OutputFile& output, InputSource& input, const std::string& path,
                        std::span<const BytePatch> patches, FileBuffer& buffer);

// Finishes the output: flushes and closes it and puts it in place, carrying
// over what is attached to the file it replaces. kNoDiskSpace when the flush
// or close fails, kChangedWhileRead (naming output.path) when an output in
// place finds another file than its input at its target, kCannotCreate
// (naming output.path) when the replacement fails; either way what stood at
// the output path is left untouched.
Status CommitOutputFile(OutputFile& output);
