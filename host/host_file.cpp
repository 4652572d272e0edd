#include "host/host_file.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "host/host_platform.h"

namespace {

bool StartsWithCygdrive(std::string_view path) {
  constexpr std::string_view kPrefix = "/cygdrive/";
  if (path.size() < kPrefix.size()) return false;
  for (size_t i = 0; i < kPrefix.size(); ++i) {
    char c = path[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kPrefix[i]) return false;
  }
  return true;
}

// Grows buffer to hold size bytes, dropping what it held; false when there
// is no memory.
bool ReserveFileBuffer(FileBuffer& buffer, size_t size) {
  if (buffer.capacity >= size) return true;
  buffer.bytes.reset(static_cast<uint8_t*>(AllocateFileBuffer(size)));
  buffer.capacity = buffer.bytes ? size : 0;
  return buffer.bytes != nullptr;
}

}  // namespace

std::string NormalizeHostPath(std::string_view path) {
  std::string rewritten(path);
  // Drop "cygdrive" and keep both slashes, so the double-slash rule below
  // turns what is left into a drive-letter path.
  if (StartsWithCygdrive(rewritten)) rewritten.erase(1, 8);
  if (rewritten.size() > 2 && rewritten[0] == '/' && rewritten[1] == '/') {
    rewritten[0] = rewritten[2];
    rewritten[1] = ':';
    rewritten.erase(2, 1);
  }
  return rewritten;
}

HostStream OpenHostFile(const std::string& path, const char* mode) {
  return HostStream(fopen(NormalizeHostPath(path).c_str(), mode));
}

void FileBuffer::Release::operator()(uint8_t* bytes) const { ReleaseFileBuffer(bytes); }

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (handle_ != -1) ReleaseFileLock(handle_);
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

FileLock::~FileLock() {
  if (handle_ != -1) ReleaseFileLock(handle_);
}

bool LockForReplacement(const std::string& path, const InputSource& input, FileLock* lock) {
  const std::string name = NormalizeHostPath(path);
  // One lock at a time: a lock given up is released before the next is
  // waited for, so two runs never wait for each other.
  *lock = FileLock();
  *lock = LockInput(name, input.stream.get());
  return IsFileAt(name, input.stamp);
}

Result<InputSource> ReadInputFile(const std::string& path, FileBuffer& buffer) {
  const std::string name = NormalizeHostPath(path);
  InputSource input;
  input.stream = OpenInputStream(name);
  if (!input.stream) return Error{Fault::kCannotOpen, name};
  FILE* stream = input.stream.get();
  long end = fseek(stream, 0, SEEK_END) == 0 ? ftell(stream) : -1;
  rewind(stream);
  // A length beyond the 32-bit count (a directory's end position is one) is
  // no file this routine can read.
  if (end >= 0 && static_cast<unsigned long>(end) >= UINT32_MAX) {
    return Error{Fault::kCannotRead, name};
  }
  // A size the system cannot tell is reported as memory that cannot be had,
  // as it always has been.
  if (end < 0 || !ReserveFileBuffer(buffer, static_cast<size_t>(end) + 1)) {
    return Error{Fault::kNoMemory};
  }
  input.length = static_cast<uint32_t>(end);
  if (input.length == 0 || !StampOpenFile(stream, &input.stamp) ||
      fread(buffer.bytes.get(), input.length, 1, stream) != 1) {
    return Error{Fault::kCannotRead, name};
  }
  buffer.bytes.get()[input.length] = 0;
  return input;
}

Status WriteChecked(FILE* stream, const void* block, size_t size) {
  if (size == 0) return {};
  if (fwrite(block, size, 1, stream) != 1) return Error{Fault::kNoDiskSpace};
  return {};
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : stream(std::move(other.stream)),
      path(std::move(other.path)),
      target(std::move(other.target)),
      tempPath(std::exchange(other.tempPath, {})),
      replacing(other.replacing),
      inPlaceOf(other.inPlaceOf) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this == &other) return *this;
  // What this output was writing goes as it would when this output went.
  DiscardTempFile(*this);
  stream = std::move(other.stream);
  path = std::move(other.path);
  target = std::move(other.target);
  tempPath = std::exchange(other.tempPath, {});
  replacing = other.replacing;
  inPlaceOf = other.inPlaceOf;
  return *this;
}

OutputFile::~OutputFile() { DiscardTempFile(*this); }

namespace {

// Ranges of unchanged bytes at least this long on average are copied by the
// system; shorter ones cost more as copies of their own than the file does
// read again and written in one piece.
constexpr uint32_t kCopiedRange = 1 << 20;

// Writes the length bytes in bytes with the patches in place of the bytes
// they replace, in one piece.
Status WritePatchedBytes(FILE* stream, uint8_t* bytes, uint32_t length, uint64_t outLength,
                         bool inPlace, std::span<const BytePatch> patches) {
  if (inPlace) {
    // The bytes read before the renames were judged are the ones written,
    // with the patches laid over them.
    for (const BytePatch& patch : patches) {
      std::copy(patch.bytes.begin(), patch.bytes.end(), bytes + patch.offset);
    }
    return WriteChecked(stream, bytes, length);
  }
  // Patches that change sizes are gathered with the unchanged ranges into
  // one output. Left uninitialised: every byte is written below.
  auto out = std::make_unique_for_overwrite<uint8_t[]>(outLength);
  uint8_t* to = out.get();
  uint32_t at = 0;
  for (const BytePatch& patch : patches) {
    to = std::copy(bytes + at, bytes + patch.offset, to);
    to = std::copy(patch.bytes.begin(), patch.bytes.end(), to);
    at = patch.offset + patch.replaced;
  }
  std::copy(bytes + at, bytes + length, to);
  return WriteChecked(stream, out.get(), outLength);
}

}  // namespace

Status WritePatchedFile(OutputFile& output, InputSource& input, const std::string& path,
                        std::span<const BytePatch> patches, FileBuffer& buffer) {
  // Errors name the path as ReadInputFile's do.
  const std::string name = NormalizeHostPath(path);
  const uint32_t length = input.length;
  uint64_t outLength = length;
  bool inPlace = true;
  for (const BytePatch& patch : patches) {
    outLength += uint64_t{patch.bytes.size()} - patch.replaced;
    inPlace = inPlace && patch.bytes.size() == patch.replaced;
  }
  if (outLength > UINT32_MAX) return Error{Fault::kNoMemory};
  if (length / (patches.size() + 1) >= kCopiedRange) {
    uint32_t at = 0;
    for (const BytePatch& patch : patches) {
      Status copied = CopyFileBytes(output, input.stream.get(), at, patch.offset - at, name);
      if (!copied) return copied;
      Status written = WriteChecked(output.stream.get(), patch.bytes.data(), patch.bytes.size());
      if (!written) return written;
      at = patch.offset + patch.replaced;
    }
    Status copied = CopyFileBytes(output, input.stream.get(), at, length - at, name);
    if (!copied) return copied;
  } else {
    Status written = WritePatchedBytes(output.stream.get(), buffer.bytes.get(), length, outLength,
                                       inPlace, patches);
    if (!written) return written;
  }
  // Every check was made against the file as it was read; a write in place
  // since then may have mixed other bytes into the copy. The change time is
  // left out: a file renamed over the input changes it, not the bytes read.
  FileStamp now;
  if (!StampOpenFile(input.stream.get(), &now) || now != input.stamp || now.size != length) {
    return Error{Fault::kChangedWhileRead, name};
  }
  // An open input may not be replaced everywhere (not on Windows), and it is
  // often the output.
  input.stream.reset();
  return CommitOutputFile(output);
}

Status CommitOutputFile(OutputFile& output) {
  FILE* stream = output.stream.release();
  bool flushed = fflush(stream) == 0;
  bool closed = fclose(stream) == 0;
  if (!flushed || !closed) return Error{Fault::kNoDiskSpace};
  if (output.tempPath.empty()) return {};
  // A file renamed over the input since its read is another writer's, and
  // the output, made from the old bytes, would take its place unseen.
  if (output.inPlaceOf && !IsFileAt(output.target, *output.inPlaceOf)) {
    return Error{Fault::kChangedWhileRead, output.path};
  }
  if (!MoveTempOverTarget(output)) return Error{Fault::kCannotCreate, output.path};
  return {};
}
