// The host layer on POSIX systems.
#include <attr/libattr.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/host_file.h"
#include "host/host_platform.h"

namespace {

// The temporary file of the output being written, if any. An output that
// goes uncommitted removes its own file, but a terminating signal ends the
// process without unwinding, so its handler removes the file named here. The
// name is set and cleared only while the terminating signals are held, so a
// handler sees it exactly while the file exists under it and was made by this
// run.
char gPendingTemp[PATH_MAX + 16];

// Holds SIGINT, SIGTERM and SIGHUP for its lifetime; one that arrives is
// delivered when the hold ends.
class TerminatingSignalsHeld {
 public:
  TerminatingSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, &saved_);
  }
  ~TerminatingSignalsHeld() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  TerminatingSignalsHeld(const TerminatingSignalsHeld&) = delete;
  TerminatingSignalsHeld& operator=(const TerminatingSignalsHeld&) = delete;

 private:
  sigset_t saved_;
};

// The handler blocks the other terminating signals while it runs, so it runs
// once; the signal raised again at its default ends the process as the
// signal's own when the handler returns.
void RemovePendingTempOnSignal(int signal) {
  if (gPendingTemp[0] != '\0') unlink(gPendingTemp);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

void WatchPendingTemp() {
  static bool watching = false;
  if (watching) return;
  watching = true;
  struct sigaction action {};
  action.sa_handler = RemovePendingTempOnSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, sig);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal the run was started to ignore (nohup) stays ignored.
    struct sigaction previous {};
    if (sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
      sigaction(sig, &action, nullptr);
    }
  }
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Where a chain of symbolic links starting at path ends when it ends at
// nothing: the file that writing through it would create. path itself when
// it is no link.
std::string DanglingLinkEnd(const std::string& path) {
  std::string at = path;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info;
    if (lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
    std::string link(PATH_MAX, '\0');
    ssize_t length = readlink(at.c_str(), link.data(), link.size());
    if (length < 0) break;
    link.resize(static_cast<size_t>(length));
    at = link[0] == '/' ? link : DirectoryOf(at) + "/" + link;
  }
  return at;
}

mode_t NewFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

void* AllocateFileBuffer(size_t size) {
  constexpr size_t kHugePage = size_t{2} << 20;
  if (size < kHugePage) return malloc(size);
  // A last huge page pays for zeroing all of it: it is advised only when the
  // file fills most of it, and otherwise left to 4 KiB pages.
  const size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
  void* buffer = aligned_alloc(kHugePage, rounded);
  const size_t advised = size % kHugePage >= kHugePage / 2 ? rounded : size / kHugePage * kHugePage;
  if (buffer != nullptr) madvise(buffer, advised, MADV_HUGEPAGE);
  return buffer;
}

void ReleaseFileBuffer(void* buffer) { free(buffer); }

bool StampOpenFile(FILE* stream, FileStamp* stamp) {
  struct stat info;
  if (fstat(fileno(stream), &info) != 0) return false;
  stamp->size = static_cast<uint64_t>(info.st_size);
  stamp->modified = int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
  stamp->volume = static_cast<uint64_t>(info.st_dev);
  stamp->file = static_cast<uint64_t>(info.st_ino);
  return true;
}

bool IsFileAt(const std::string& path, const FileStamp& stamp) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && static_cast<uint64_t>(info.st_dev) == stamp.volume &&
         static_cast<uint64_t>(info.st_ino) == stamp.file;
}

HostStream OpenInputStream(const std::string& path) {
  return HostStream(fopen(path.c_str(), "rb"));
}

FileLock LockInput(const std::string&, FILE* input) {
  // A descriptor of the input's own open file keeps the lock after the input
  // is closed, until the replacement stands.
  int fd = fcntl(fileno(input), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return {};
  // flock, unlike a record lock, needs no write access: a read-only input is
  // locked too.
  int locked;
  while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (locked != 0) {
    close(fd);
    return {};
  }
  return FileLock(fd);
}

void ReleaseFileLock(intptr_t handle) { close(static_cast<int>(handle)); }

std::optional<std::string> ResolveFullPath(std::string_view path) {
  std::string joined;
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return std::nullopt;
    joined = cwd;
    joined += '/';
  }
  joined += path;

  // Lexical resolution, as the Windows host does it: links are not followed
  // and the path need not exist.
  std::string result;
  size_t pos = 0;
  while (pos <= joined.size()) {
    size_t next = joined.find('/', pos);
    if (next == std::string::npos) next = joined.size();
    std::string_view part(joined.data() + pos, next - pos);
    if (part == "..") {
      size_t slash = result.rfind('/');
      result.erase(slash == std::string::npos ? 0 : slash);
    } else if (!part.empty() && part != ".") {
      result += '/';
      result += part;
    }
    pos = next + 1;
  }
  if (result.empty()) result.push_back('/');
  if (result.size() >= kMaxPath) return std::nullopt;
  return result;
}

namespace {

// What stands at an output path, and whether an output may be started there.
struct OutputPlace {
  bool allowed;
  bool exists;
  struct stat info;
};

// The checks OpenOutputFile makes before it makes anything: a file that
// exists must be writable, and a regular file's directory must take the new
// file that replaces it.
OutputPlace JudgeOutputPlace(const std::string& path, std::string& target) {
  OutputPlace place{false, false, {}};
  if (path.empty()) return place;
  // Only a link needs following, to the file that is replaced in its stead;
  // any other path is replaced as it is named.
  int found = lstat(path.c_str(), &place.info);
  const bool link = found == 0 && S_ISLNK(place.info.st_mode);
  if (link) found = stat(path.c_str(), &place.info);
  place.exists = found == 0;
  // A loop of links, or a path through a file: nothing can be made there.
  if (!place.exists) {
    place.allowed = errno == ENOENT;
    // A link to nothing stays a link: the file it names is made like any
    // new output, whole or not at all.
    if (place.allowed && link) target = DanglingLinkEnd(path);
    return place;
  }
  if (!S_ISREG(place.info.st_mode)) {
    place.allowed = true;
    return place;
  }
  if (access(path.c_str(), W_OK) != 0) return place;
  if (link) {
    std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), free);
    if (real == nullptr) return place;
    target = real.get();
  }
  place.allowed = true;
  return place;
}

// Copies xattr-held attributes (user attributes, POSIX ACLs, security
// labels) but those the system keeps for itself; one this process may not
// set is skipped.
int CopyAttribute(const char* name, struct error_context* context) {
  return attr_copy_action(name, context) != ATTR_ACTION_SKIP;
}

}  // namespace

bool CanOpenOutputFile(const std::string& path) {
  const std::string name = NormalizeHostPath(path);
  std::string target = name;
  OutputPlace place = JudgeOutputPlace(name, target);
  if (!place.allowed || (place.exists && !S_ISREG(place.info.st_mode))) return place.allowed;
  // A new output, like a replaced one, is made in its directory first.
  return access(DirectoryOf(target).c_str(), W_OK | X_OK) == 0;
}

Result<OutputFile> OpenOutputFile(const std::string& path, std::optional<FileStamp> inPlaceOf) {
  // Every failure below leaves output to remove whatever it made when it
  // goes.
  OutputFile output;
  output.path = NormalizeHostPath(path);
  output.target = output.path;
  output.inPlaceOf = inPlaceOf;
  const Error cannotCreate{Fault::kCannotCreate, output.path};
  OutputPlace place = JudgeOutputPlace(output.path, output.target);
  if (!place.allowed) return cannotCreate;
  if (place.exists && !S_ISREG(place.info.st_mode)) {
    // A device or FIFO cannot be replaced: it is written through as it is.
    output.stream.reset(fopen(output.path.c_str(), "wb"));
    if (!output.stream) return cannotCreate;
    return output;
  }
  output.replacing = place.exists;
  mode_t mode = place.exists ? place.info.st_mode & 07777 : NewFileMode();

  // A made file's path fits the system's limit, and so gPendingTemp.
  std::string tempPath = output.target + ".XXXXXX";
  WatchPendingTemp();
  int fd;
  {
    // A signal between the file's making and its name's recording would find
    // nothing to remove.
    TerminatingSignalsHeld held;
    fd = mkstemp(tempPath.data());
    if (fd < 0) {
      // The target's own name may be too long for the suffix; try a short
      // name in the same directory so that the rename stays on one file
      // system.
      tempPath = DirectoryOf(output.target) + "/.namepatch.XXXXXX";
      fd = mkstemp(tempPath.data());
    }
    if (fd >= 0) {
      memcpy(gPendingTemp, tempPath.c_str(), tempPath.size() + 1);
      output.tempPath = std::move(tempPath);
    }
  }
  if (fd < 0) return cannotCreate;
  // No blocks are reserved ahead: reserved blocks would spare ext4 the
  // write-out that makes a file renamed over another safe against a crash.
  // An existing file keeps its owner where this process may give it one (as
  // root); an ordinary user cannot, and that is no reason to fail.
  if (place.exists) {
    [[maybe_unused]] int kept = fchown(fd, place.info.st_uid, place.info.st_gid);
    // Copied while the new file is still its maker's to write, and before
    // the mode is set, which then agrees with a copied access list. A failure
    // leaves out only the attributes that could not be set.
    [[maybe_unused]] int copied =
        attr_copy_file(output.target.c_str(), output.tempPath.c_str(), CopyAttribute, nullptr);
  }
  if (fchmod(fd, mode) != 0) {
    close(fd);
    return cannotCreate;
  }
  output.stream.reset(fdopen(fd, "wb"));
  if (!output.stream) {
    close(fd);
    return cannotCreate;
  }
  return output;
}

void DiscardTempFile(OutputFile& output) {
  output.stream.reset();
  if (output.tempPath.empty()) return;
  TerminatingSignalsHeld held;
  unlink(output.tempPath.c_str());
  if (output.tempPath == gPendingTemp) gPendingTemp[0] = '\0';
  output.tempPath.clear();
}

Status CopyFileBytes(OutputFile& output, FILE* input, uint32_t offset, uint32_t size,
                     const std::string& inputPath) {
  if (size == 0) return {};
  // What the stream holds goes first, since the copy writes past it.
  if (fflush(output.stream.get()) != 0) return Error{Fault::kNoDiskSpace};
  const int from = fileno(input);
  const int to = fileno(output.stream.get());
  off_t at = offset;
  // The system copies inside the kernel, or shares the blocks where the file
  // system can; where it refuses (another file system, a device, a pipe)
  // the bytes pass through a buffer.
  while (size > 0) {
    ssize_t copied = copy_file_range(from, &at, to, nullptr, size, 0);
    if (copied > 0) {
      size -= static_cast<uint32_t>(copied);
      continue;
    }
    if (copied < 0 && (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)) {
      return Error{Fault::kNoDiskSpace};
    }
    if (copied == 0) return Error{Fault::kCannotRead, inputPath};
    break;
  }
  static uint8_t chunk[1 << 16];
  while (size > 0) {
    size_t part = size < sizeof chunk ? size : sizeof chunk;
    ssize_t got = pread(from, chunk, part, at);
    if (got <= 0) return Error{Fault::kCannotRead, inputPath};
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(to, chunk + done, static_cast<size_t>(got - done));
      if (put <= 0) return Error{Fault::kNoDiskSpace};
      done += put;
    }
    at += got;
    size -= static_cast<uint32_t>(got);
  }
  return {};
}

bool MoveTempOverTarget(OutputFile& output) {
  // Once moved, the name is no longer this run's file: a signal between the
  // move and the forgetting would remove whatever has taken the name since,
  // and so would the output's going if it still held the name.
  TerminatingSignalsHeld held;
  if (rename(output.tempPath.c_str(), output.target.c_str()) != 0) return false;
  if (output.tempPath == gPendingTemp) gPendingTemp[0] = '\0';
  output.tempPath.clear();
  return true;
}
