// The host layer on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "host/host_file.h"
#include "host/host_platform.h"

namespace {

// The temporary file of the output being written, if any. An output that
// goes uncommitted removes its own file, but a console interrupt ends the
// process from another thread with the file still open, so it is created
// shareable for deletion: deleting it marks it, and the system removes it once
// the last handle closes.
char gPendingTemp[MAX_PATH + 32];

// Held while a temporary file is made and its name recorded, and while it is
// moved into place and its name forgotten, so that the interrupt handler sees
// the name exactly while the run's own file stands under it.
CRITICAL_SECTION gPendingLock;

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
  SetConsoleCtrlHandler(RemovePendingTempOnInterrupt, TRUE);
}

// A stream that writes to handle, which it then owns; none on failure, with
// the handle closed.
HostStream OpenStreamOnHandle(HANDLE handle) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  HostStream stream(_fdopen(fd, "wb"));
  if (!stream) _close(fd);
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

void ReleaseFileBuffer(void* buffer) { free(buffer); }

bool StampOpenFile(FILE* stream, FileStamp* stamp) {
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || GetFileInformationByHandle(handle, &info) == 0) {
    return false;
  }
  stamp->size = uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
  stamp->volume = info.dwVolumeSerialNumber;
  stamp->file = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  // In the system's own unit, 100 nanoseconds.
  stamp->modified = static_cast<int64_t>(uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 |
                                         info.ftLastWriteTime.dwLowDateTime);
  return true;
}

bool IsFileAt(const std::string& path, const FileStamp& stamp) {
  HANDLE handle = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool same = GetFileInformationByHandle(handle, &info) != 0 &&
              info.dwVolumeSerialNumber == stamp.volume &&
              (uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow) == stamp.file;
  CloseHandle(handle);
  return same;
}

namespace {

// The byte locked: far past the end of any file the tool reads, since a
// locked range refuses other programs' reads of it.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

OVERLAPPED LockedByte() {
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  return at;
}

}  // namespace

HostStream OpenInputStream(const std::string& path) {
  // Shared for deletion: a run that waits for the lock with its input open
  // must not stop the run it waits for from replacing the file.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  HostStream stream(_fdopen(fd, "rb"));
  if (!stream) _close(fd);
  return stream;
}

FileLock LockInput(const std::string& path, FILE*) {
  // A handle of its own, shared for deletion, so that holding it never stops
  // the replacement, this run's or the one it waits for; the input itself is
  // closed before its replacement.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  OVERLAPPED at = LockedByte();
  if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) == 0) {
    CloseHandle(handle);
    return {};
  }
  return FileLock(reinterpret_cast<intptr_t>(handle));
}

void ReleaseFileLock(intptr_t handle) {
  // Unlocked first: a closed handle's locks go only when the system gets to
  // them.
  OVERLAPPED at = LockedByte();
  UnlockFileEx(reinterpret_cast<HANDLE>(handle), 0, 1, 0, &at);
  CloseHandle(reinterpret_cast<HANDLE>(handle));
}

std::optional<std::string> ResolveFullPath(std::string_view path) {
  // The system resolves an empty path to nothing, but the current directory
  // is what an empty operand names.
  const std::string name(path.empty() ? "." : path);
  char full[kMaxPath];
  DWORD length = GetFullPathNameA(name.c_str(), kMaxPath, full, nullptr);
  if (length == 0 || length >= kMaxPath) return std::nullopt;
  return std::string(full, length);
}

namespace {

// What stands at an output path, opened for writing: the open itself tests
// that it may be written. INVALID_HANDLE_VALUE, with the system's error, when
// it cannot be.
HANDLE OpenExistingOutput(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
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

bool CanOpenOutputFile(const std::string& path) {
  const std::string name = NormalizeHostPath(path);
  if (name.empty()) return false;
  HANDLE existing = OpenExistingOutput(name);
  if (existing == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  BY_HANDLE_FILE_INFORMATION info{};
  bool allowed = GetFileType(existing) != FILE_TYPE_DISK || MayReplace(existing, &info);
  CloseHandle(existing);
  return allowed;
}

Result<OutputFile> OpenOutputFile(const std::string& path, std::optional<FileStamp> inPlaceOf) {
  // Every failure below leaves output to remove whatever it made when it
  // goes.
  OutputFile output;
  output.path = NormalizeHostPath(path);
  output.target = output.path;
  output.inPlaceOf = inPlaceOf;
  const Error cannotCreate{Fault::kCannotCreate, output.path};
  if (output.path.empty()) return cannotCreate;

  HANDLE existing = OpenExistingOutput(output.path);
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  if (existing == INVALID_HANDLE_VALUE) {
    // Anything but a missing file (a directory, a file the user may not write,
    // one held by another program) is not ours to replace.
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return cannotCreate;
  } else if (GetFileType(existing) != FILE_TYPE_DISK) {
    // A device such as NUL, or a pipe, cannot be replaced: write through it.
    output.stream = OpenStreamOnHandle(existing);
    if (!output.stream) return cannotCreate;
    return output;
  } else {
    std::string linked = FinalPathOf(existing);
    BY_HANDLE_FILE_INFORMATION info{};
    bool allowed = MayReplace(existing, &info);
    CloseHandle(existing);
    if (!allowed) return cannotCreate;
    attributes = info.dwFileAttributes;
    // Replace the file a link points to, never the link itself.
    if (!linked.empty()) output.target = linked;
    output.replacing = true;
  }

  WatchPendingTemp();
  EnterCriticalSection(&gPendingLock);
  std::string tempPath;
  HANDLE temp = CreateTempFile(output.target, &tempPath);
  if (temp == INVALID_HANDLE_VALUE) {
    // The target's own name may be too long for the suffix; try a short name
    // in the same directory so that the move stays on one volume.
    char directory[MAX_PATH];
    char* name = nullptr;
    DWORD length = GetFullPathNameA(output.target.c_str(), sizeof directory, directory, &name);
    if (length != 0 && length < sizeof directory && name != nullptr) {
      *name = '\0';
      temp = CreateTempFile(std::string(directory) + ".namepatch", &tempPath);
    }
  }
  if (temp != INVALID_HANDLE_VALUE) {
    memcpy(gPendingTemp, tempPath.c_str(), tempPath.size() + 1);
    output.tempPath = std::move(tempPath);
  }
  LeaveCriticalSection(&gPendingLock);
  if (temp == INVALID_HANDLE_VALUE) return cannotCreate;
  // The replacement takes over the attributes of what it replaces (hidden,
  // system, not indexed) itself too: not every host's ReplaceFileA does.
  SetFileAttributesA(output.tempPath.c_str(), attributes);
  output.stream = OpenStreamOnHandle(temp);
  if (!output.stream) return cannotCreate;
  return output;
}

void DiscardTempFile(OutputFile& output) {
  // Closed first: the file is removed at once rather than marked.
  output.stream.reset();
  if (output.tempPath.empty()) return;
  EnterCriticalSection(&gPendingLock);
  DeleteFileA(output.tempPath.c_str());
  if (output.tempPath == gPendingTemp) gPendingTemp[0] = '\0';
  LeaveCriticalSection(&gPendingLock);
  output.tempPath.clear();
}

Status CopyFileBytes(OutputFile& output, FILE* input, uint32_t offset, uint32_t size,
                     const std::string& inputPath) {
  static uint8_t chunk[1 << 16];
  if (size > 0 && fseek(input, static_cast<long>(offset), SEEK_SET) != 0) {
    return Error{Fault::kCannotRead, inputPath};
  }
  while (size > 0) {
    uint32_t part = size < sizeof chunk ? size : static_cast<uint32_t>(sizeof chunk);
    if (fread(chunk, part, 1, input) != 1) return Error{Fault::kCannotRead, inputPath};
    Status written = WriteChecked(output.stream.get(), chunk, part);
    if (!written) return written;
    size -= part;
  }
  return {};
}

bool MoveTempOverTarget(OutputFile& output) {
  // Replacing keeps what is attached to the replaced file: its attributes,
  // access control list, creation time and alternate data streams. A new
  // output is simply moved into place. Under the lock the interrupt handler
  // can neither end the process in the middle of a replacement (which moves
  // the old file aside first on some hosts) nor delete a name that, moved,
  // is no longer this run's file. The output forgets the name too, so that
  // going it removes nothing.
  const char* temp = output.tempPath.c_str();
  const char* target = output.target.c_str();
  EnterCriticalSection(&gPendingLock);
  bool moved = output.replacing
                   ? ReplaceFileA(target, temp, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                                  nullptr) != 0
                   : MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING) != 0;
  if (moved) {
    if (output.tempPath == gPendingTemp) gPendingTemp[0] = '\0';
    output.tempPath.clear();
  }
  LeaveCriticalSection(&gPendingLock);
  return moved;
}
