#include "host/host_file.h"

#include <cstdlib>
#include <cstring>

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

uint8_t* ReadWholeFile(char* path, uint32_t* length) {
  FILE* stream = OpenHostFile(path, "rb");
  if (stream == nullptr) {
    fprintf(stderr, "ERROR: cannot open file '%s'\n", path);
    return nullptr;
  }
  long end = fseek(stream, 0, SEEK_END) == 0 ? ftell(stream) : -1;
  rewind(stream);
  // A length beyond the 32-bit count (a directory's end position is one) is
  // no file this routine can read.
  if (end >= 0 && static_cast<unsigned long>(end) >= UINT32_MAX) {
    fprintf(stderr, "ERROR: cannot read file '%s'\n", path);
    fclose(stream);
    return nullptr;
  }
  uint8_t* buffer = nullptr;
  if (end >= 0) buffer = static_cast<uint8_t*>(AllocateFileBuffer(static_cast<size_t>(end) + 1));
  if (buffer == nullptr) {
    fprintf(stderr, "ERROR: ins. memory\n");
    fclose(stream);
    return nullptr;
  }
  *length = static_cast<uint32_t>(end);
  if (*length == 0 || fread(buffer, *length, 1, stream) != 1) {
    fprintf(stderr, "ERROR: cannot read file '%s'\n", path);
    free(buffer);
    fclose(stream);
    return nullptr;
  }
  fclose(stream);
  buffer[*length] = 0;
  return buffer;
}

void WriteChecked(FILE* stream, const void* block, uint32_t size) {
  if (size == 0) return;
  if (fwrite(block, size, 1, stream) != 1) {
    fprintf(stderr, "ERROR: ins. disk space\n");
    exit(1);
  }
}

void WritePatchedFile(OutputFile* output, const char* inputPath, uint32_t length,
                      std::span<const FilePatch> patches) {
  FILE* input = fopen(inputPath, "rb");
  if (input == nullptr) {
    fprintf(stderr, "ERROR: cannot open file '%s'\n", inputPath);
    exit(1);
  }
  uint32_t at = 0;
  for (const FilePatch& patch : patches) {
    CopyFileBytes(output, input, at, patch.offset - at, inputPath);
    WriteChecked(output->stream, patch.bytes, patch.size);
    at = patch.offset + patch.size;
  }
  CopyFileBytes(output, input, at, length - at, inputPath);
  // Every check was made against the file as it was loaded.
  if (fseek(input, static_cast<long>(length), SEEK_SET) != 0 || fgetc(input) != EOF) {
    fprintf(stderr, "ERROR: %s changed while it was read\n", inputPath);
    exit(1);
  }
  fclose(input);
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
