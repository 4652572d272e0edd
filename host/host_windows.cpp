// The host layer on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "host/host_file.h"
#include "host/host_platform.h"

namespace {

// The temporary file of the output being written, if any. The fatal paths end
// the process from deep inside the run, with the file still open, so it is
// created shareable for deletion: deleting it at exit (or on a console
// interrupt) marks it, and the system removes it once the last handle closes.
char gPendingTemp[MAX_PATH + 32];

// Held while a temporary file is made and its name recorded, and while it is
// moved into place and its name forgotten, so that the interrupt handler sees
// the name exactly while the run's own file stands under it.
CRITICAL_SECTION gPendingLock;

void RemovePendingTemp() {
  EnterCriticalSection(&gPendingLock);
  if (gPendingTemp[0] != '\0') DeleteFileA(gPendingTemp);
  gPendingTemp[0] = '\0';
  LeaveCriticalSection(&gPendingLock);
}

// Runs on a thread of its own while the run goes on: only marks the file. The
// lock is kept until the process ends, so the run makes or moves no file
// after the mark. The process ends here, as the system's own handler ends it,
// since not every host's handler gives the interrupt's status.
BOOL WINAPI RemovePendingTempOnInterrupt(DWORD) {
  EnterCriticalSection(&gPendingLock);
  if (gPendingTemp[0] != '\0') DeleteFileA(gPendingTemp);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

void WatchPendingTemp() {
  static bool watching = false;
  if (watching) return;
  watching = true;
  InitializeCriticalSection(&gPendingLock);
  atexit(RemovePendingTemp);
  SetConsoleCtrlHandler(RemovePendingTempOnInterrupt, TRUE);
}

// A stream that writes to handle, which it then owns; none on failure, with
// the handle closed.
FILE* OpenStreamOnHandle(HANDLE handle) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) _close(fd);
  return stream;
}

// The path of the file an open handle refers to, links followed, in the
// plain drive-letter or UNC form; empty when the system cannot tell.
std::string FinalPathOf(HANDLE handle) {
  char resolved[MAX_PATH + 8];
  DWORD length = GetFinalPathNameByHandleA(handle, resolved, sizeof resolved, 0);
  if (length == 0 || length >= sizeof resolved) return "";
  std::string path(resolved, length);
  if (path.rfind("\\\\?\\UNC\\", 0) == 0) return path.erase(2, 6);  // \\server\share\...
  if (path.rfind("\\\\?\\", 0) == 0) return path.erase(0, 4);
  return path;
}

// Creates a new temporary file named base plus a suffix that no other run
// uses at the same time. INVALID_HANDLE_VALUE when none can be made.
HANDLE CreateTempFile(const std::string& base, std::string* tempPath) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    *tempPath = base + "." + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
    if (tempPath->size() >= MAX_PATH) return INVALID_HANDLE_VALUE;
    HANDLE handle = CreateFileA(tempPath->c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    // A leftover of an earlier run of the same id only asks for the next one.
    if (GetLastError() != ERROR_FILE_EXISTS) return INVALID_HANDLE_VALUE;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

void* AllocateFileBuffer(size_t size) { return malloc(size); }

bool StampOpenFile(FILE* stream, FileStamp* stamp) {
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || GetFileInformationByHandle(handle, &info) == 0) {
    return false;
  }
  stamp->size = uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
  // In the system's own unit, 100 nanoseconds.
  stamp->modified = static_cast<int64_t>(uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 |
                                         info.ftLastWriteTime.dwLowDateTime);
  return true;
}

bool ResolveFullPath(const char* path, char full[kMaxPath]) {
  // The system resolves an empty path to nothing, but the current directory
  // is what an empty operand names.
  DWORD length = GetFullPathNameA(path[0] != '\0' ? path : ".", kMaxPath, full, nullptr);
  return length != 0 && length < kMaxPath;
}

namespace {

// What stands at an output path, opened for writing: the open itself tests
// that it may be written. INVALID_HANDLE_VALUE, with the system's error, when
// it cannot be.
HANDLE OpenExistingOutput(const char* path) {
  return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Reads an existing disk file's information into info; false when it cannot
// be read or the file is read-only. Opening for writing does not check the
// read-only attribute everywhere (not for an administrator under every host),
// so it is checked here.
bool MayReplace(HANDLE existing, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileInformationByHandle(existing, info) != 0 &&
         (info->dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
}

}  // namespace

bool CanOpenOutputFile(char* path) {
  NormalizeHostPath(path);
  if (path[0] == '\0') return false;
  HANDLE existing = OpenExistingOutput(path);
  if (existing == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  BY_HANDLE_FILE_INFORMATION info{};
  bool allowed = GetFileType(existing) != FILE_TYPE_DISK || MayReplace(existing, &info);
  CloseHandle(existing);
  return allowed;
}

OutputFile* OpenOutputFile(char* path) {
  NormalizeHostPath(path);
  if (path[0] == '\0') return nullptr;
  OutputFile* output = new OutputFile{nullptr, path, path, "", false};

  HANDLE existing = OpenExistingOutput(path);
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  if (existing == INVALID_HANDLE_VALUE) {
    // Anything but a missing file (a directory, a file the user may not write,
    // one held by another program) is not ours to replace.
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      delete output;
      return nullptr;
    }
  } else if (GetFileType(existing) != FILE_TYPE_DISK) {
    // A device such as NUL, or a pipe, cannot be replaced: write through it.
    output->stream = OpenStreamOnHandle(existing);
    if (output->stream == nullptr) {
      delete output;
      return nullptr;
    }
    return output;
  } else {
    std::string linked = FinalPathOf(existing);
    BY_HANDLE_FILE_INFORMATION info{};
    bool allowed = MayReplace(existing, &info);
    CloseHandle(existing);
    if (!allowed) {
      delete output;
      return nullptr;
    }
    attributes = info.dwFileAttributes;
    // Replace the file a link points to, never the link itself.
    if (!linked.empty()) output->target = linked;
    output->replacing = true;
  }

  WatchPendingTemp();
  EnterCriticalSection(&gPendingLock);
  HANDLE temp = CreateTempFile(output->target, &output->tempPath);
  if (temp == INVALID_HANDLE_VALUE) {
    // The target's own name may be too long for the suffix; try a short name
    // in the same directory so that the move stays on one volume.
    char directory[MAX_PATH];
    char* name = nullptr;
    DWORD length = GetFullPathNameA(output->target.c_str(), sizeof directory, directory, &name);
    if (length != 0 && length < sizeof directory && name != nullptr) {
      *name = '\0';
      temp = CreateTempFile(std::string(directory) + ".namepatch", &output->tempPath);
    }
  }
  if (temp != INVALID_HANDLE_VALUE) {
    memcpy(gPendingTemp, output->tempPath.c_str(), output->tempPath.size() + 1);
  }
  LeaveCriticalSection(&gPendingLock);
  if (temp == INVALID_HANDLE_VALUE) {
    delete output;
    return nullptr;
  }
  // The replacement takes over the attributes of what it replaces (hidden,
  // system, not indexed) itself too: not every host's ReplaceFileA does.
  SetFileAttributesA(output->tempPath.c_str(), attributes);
  output->stream = OpenStreamOnHandle(temp);
  if (output->stream == nullptr) {
    RemovePendingTemp();
    delete output;
    return nullptr;
  }
  return output;
}

void CopyFileBytes(OutputFile* output, FILE* input, uint32_t offset, uint32_t size,
                   const char* inputPath) {
  static uint8_t chunk[1 << 16];
  if (size > 0 && fseek(input, static_cast<long>(offset), SEEK_SET) != 0) {
    fprintf(stderr, "ERROR: cannot read file '%s'\n", inputPath);
    exit(1);
  }
  while (size > 0) {
    uint32_t part = size < sizeof chunk ? size : static_cast<uint32_t>(sizeof chunk);
    if (fread(chunk, part, 1, input) != 1) {
      fprintf(stderr, "ERROR: cannot read file '%s'\n", inputPath);
      exit(1);
    }
    WriteChecked(output->stream, chunk, part);
    size -= part;
  }
}

bool MoveTempOverTarget(OutputFile* output) {
  // Replacing keeps what is attached to the replaced file: its attributes,
  // access control list, creation time and alternate data streams. A new
  // output is simply moved into place. Under the lock the interrupt handler
  // can neither end the process in the middle of a replacement (which moves
  // the old file aside first on some hosts) nor delete a name that, moved,
  // is no longer this run's file.
  const char* temp = output->tempPath.c_str();
  const char* target = output->target.c_str();
  EnterCriticalSection(&gPendingLock);
  bool moved = output->replacing
                   ? ReplaceFileA(target, temp, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                                  nullptr) != 0
                   : MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING) != 0;
  if (moved) gPendingTemp[0] = '\0';
  LeaveCriticalSection(&gPendingLock);
  return moved;
}
