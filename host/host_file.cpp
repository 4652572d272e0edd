#include "host/host_file.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "host/host_platform.h"

namespace {

bool StartsWithCygdrive(const char* path) {
  static const char kPrefix[] = "/cygdrive/";
  for (int i = 0; kPrefix[i] != '\0'; ++i) {
    char c = path[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kPrefix[i]) return false;  // also stops at the terminating zero
  }
  return true;
}

// Grows buffer to hold size bytes, dropping what it held; false when there
// is no memory.
bool ReserveFileBuffer(FileBuffer* buffer, size_t size) {
  if (buffer->capacity >= size) return true;
  buffer->bytes.reset(static_cast<uint8_t*>(AllocateFileBuffer(size)));
  buffer->capacity = buffer->bytes ? size : 0;
  return buffer->bytes != nullptr;
}

}  // namespace

void NormalizeHostPath(char* path) {
  if (path == nullptr) return;
  if (StartsWithCygdrive(path)) {
    // Drop "cygdrive" and keep both slashes, so the double-slash rule below
    // turns what is left into a drive-letter path.
    memmove(path + 1, path + 9, strlen(path + 9) + 1);
  }
  if (path[0] == '/' && path[1] == '/' && path[2] != '\0') {
    path[0] = path[2];
    path[1] = ':';
    memmove(path + 2, path + 3, strlen(path + 3) + 1);
  }
}

FILE* OpenHostFile(char* path, const char* mode) {
  NormalizeHostPath(path);
  return fopen(path, mode);
}

void FileBuffer::Release::operator()(uint8_t* bytes) const { free(bytes); }

bool ReadInputFile(char* path, InputSource* input, FileBuffer* buffer) {
  input->stream = OpenHostFile(path, "rb");
  if (input->stream == nullptr) {
    fprintf(stderr, "ERROR: cannot open file '%s'\n", path);
    return false;
  }
  long end = fseek(input->stream, 0, SEEK_END) == 0 ? ftell(input->stream) : -1;
  rewind(input->stream);
  // A length beyond the 32-bit count (a directory's end position is one) is
  // no file this routine can read.
  if (end >= 0 && static_cast<unsigned long>(end) >= UINT32_MAX) {
    fprintf(stderr, "ERROR: cannot read file '%s'\n", path);
    CloseInputFile(input);
    return false;
  }
  if (end < 0 || !ReserveFileBuffer(buffer, static_cast<size_t>(end) + 1)) {
    fprintf(stderr, "ERROR: ins. memory\n");
    CloseInputFile(input);
    return false;
  }
  input->length = static_cast<uint32_t>(end);
  if (input->length == 0 || !StampOpenFile(input->stream, &input->stamp) ||
      fread(buffer->bytes.get(), input->length, 1, input->stream) != 1) {
    fprintf(stderr, "ERROR: cannot read file '%s'\n", path);
    CloseInputFile(input);
    return false;
  }
  buffer->bytes.get()[input->length] = 0;
  return true;
}

void CloseInputFile(InputSource* input) {
  fclose(input->stream);
  input->stream = nullptr;
}

uint8_t* ReadWholeFile(char* path, uint32_t* length) {
  InputSource input{};
  FileBuffer buffer;
  if (!ReadInputFile(path, &input, &buffer)) return nullptr;
  CloseInputFile(&input);
  *length = input.length;
  return buffer.bytes.release();
}

void WriteChecked(FILE* stream, const void* block, uint32_t size) {
  if (size == 0) return;
  if (fwrite(block, size, 1, stream) != 1) {
    fprintf(stderr, "ERROR: ins. disk space\n");
    exit(1);
  }
}

namespace {

// Ranges of unchanged bytes at least this long on average are copied by the
// system; shorter ones cost more as copies of their own than the file does
// read again and written in one piece.
constexpr uint32_t kCopiedRange = 1 << 20;

}  // namespace

void WritePatchedFile(OutputFile* output, InputSource* input, const char* path,
                      std::span<const FilePatch> patches, FileBuffer* buffer) {
  const uint32_t length = input->length;
  uint64_t outLength = length;
  bool inPlace = true;
  for (const FilePatch& patch : patches) {
    outLength += uint64_t{patch.size} - patch.replaced;
    inPlace = inPlace && patch.size == patch.replaced;
  }
  if (outLength > UINT32_MAX) {
    fprintf(stderr, "ERROR: ins. memory\n");
    exit(1);
  }
  if (length / (patches.size() + 1) >= kCopiedRange) {
    uint32_t at = 0;
    for (const FilePatch& patch : patches) {
      CopyFileBytes(output, input->stream, at, patch.offset - at, path);
      WriteChecked(output->stream, patch.bytes, patch.size);
      at = patch.offset + patch.replaced;
    }
    CopyFileBytes(output, input->stream, at, length - at, path);
  } else if (inPlace) {
    // The bytes read before the renames were judged are the ones written,
    // with the patches laid over them, in one piece.
    uint8_t* bytes = buffer->bytes.get();
    for (const FilePatch& patch : patches) memcpy(bytes + patch.offset, patch.bytes, patch.size);
    WriteChecked(output->stream, bytes, length);
  } else {
    // Patches that change sizes are gathered with the unchanged ranges into
    // one output, still written in one piece.
    std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[outLength]);
    if (out == nullptr) {
      fprintf(stderr, "ERROR: ins. memory\n");
      exit(1);
    }
    const uint8_t* bytes = buffer->bytes.get();
    uint8_t* to = out.get();
    uint32_t at = 0;
    for (const FilePatch& patch : patches) {
      memcpy(to, bytes + at, patch.offset - at);
      to += patch.offset - at;
      memcpy(to, patch.bytes, patch.size);
      to += patch.size;
      at = patch.offset + patch.replaced;
    }
    memcpy(to, bytes + at, length - at);
    WriteChecked(output->stream, out.get(), static_cast<uint32_t>(outLength));
  }
  // Every check was made against the file as it was read; a write in place
  // since then may have mixed other bytes into the copy. The change time is
  // left out: a file renamed over the input changes it, not the bytes read.
  FileStamp now;
  if (!StampOpenFile(input->stream, &now) || now != input->stamp || now.size != length) {
    fprintf(stderr, "ERROR: %s changed while it was read\n", path);
    exit(1);
  }
  // An open input may not be replaced everywhere (not on Windows), and it is
  // often the output.
  CloseInputFile(input);
  CommitOutputFile(output);
}

void CommitOutputFile(OutputFile* output) {
  bool flushed = fflush(output->stream) == 0;
  bool closed = fclose(output->stream) == 0;
  output->stream = nullptr;
  if (!flushed || !closed) {
    fprintf(stderr, "ERROR: ins. disk space\n");
    exit(1);
  }
  if (output->tempPath.empty()) return;
  if (!MoveTempOverTarget(output)) {
    fprintf(stderr, "ERROR: cannot create %s\n", output->path);
    exit(1);
  }
}
