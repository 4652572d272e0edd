// The host layer on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "elf/host_file.h"
#include "elf/host_platform.h"

namespace {

// The temporary file of the output being written, if any. The fatal paths end
// the process from deep inside the run, so the file is removed at exit (and on
// a terminating signal) rather than by the code that made it.
char gPendingTemp[PATH_MAX + 16];

void RemovePendingTemp() {
  if (gPendingTemp[0] != '\0') unlink(gPendingTemp);
  gPendingTemp[0] = '\0';
}

void RemovePendingTempOnSignal(int signal) {
  if (gPendingTemp[0] != '\0') unlink(gPendingTemp);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

void WatchPendingTemp() {
  static bool watching = false;
  if (watching) return;
  watching = true;
  atexit(RemovePendingTemp);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    if (signal(sig, RemovePendingTempOnSignal) == SIG_IGN) signal(sig, SIG_IGN);
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
  void* buffer = aligned_alloc(kHugePage, (size + kHugePage - 1) / kHugePage * kHugePage);
  if (buffer != nullptr) madvise(buffer, size, MADV_HUGEPAGE);
  return buffer;
}

bool ResolveFullPath(const char* path, char full[kMaxPath]) {
  std::string joined;
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return false;
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
  if (result.size() >= kMaxPath) return false;
  memcpy(full, result.c_str(), result.size() + 1);
  return true;
}

OutputFile* OpenOutputFile(char* path, uint32_t size) {
  NormalizeHostPath(path);
  if (path[0] == '\0') return nullptr;
  OutputFile* output = new OutputFile{nullptr, path, path, ""};

  struct stat info;
  bool exists = stat(path, &info) == 0;
  if (!exists && errno != ENOENT) {
    // A loop of links, or a path through a file: nothing can be made there.
    delete output;
    return nullptr;
  }
  if (exists && !S_ISREG(info.st_mode)) {
    // A device or FIFO cannot be replaced: it is written through as it is.
    output->stream = fopen(path, "wb");
    if (output->stream == nullptr) {
      delete output;
      return nullptr;
    }
    return output;
  }
  mode_t mode = NewFileMode();
  // A link to nothing stays a link: the file it names is made like any new
  // output, whole or not at all.
  if (!exists) output->target = DanglingLinkEnd(path);
  uid_t owner = static_cast<uid_t>(-1);
  gid_t group = static_cast<gid_t>(-1);
  if (exists) {
    if (access(path, W_OK) != 0) {
      delete output;
      return nullptr;
    }
    mode = info.st_mode & 07777;
    owner = info.st_uid;
    group = info.st_gid;
    // Replace the file a link points to, never the link itself.
    if (char* real = realpath(path, nullptr)) {
      output->target = real;
      free(real);
    }
  }

  // A made file's path fits the system's limit, and so gPendingTemp.
  output->tempPath = output->target + ".XXXXXX";
  WatchPendingTemp();
  int fd = mkstemp(output->tempPath.data());
  if (fd < 0) {
    // The target's own name may be too long for the suffix; try a short name
    // in the same directory so that the rename stays on one file system.
    output->tempPath = DirectoryOf(output->target) + "/.namepatch.XXXXXX";
    fd = mkstemp(output->tempPath.data());
  }
  if (fd < 0) {
    delete output;
    return nullptr;
  }
  memcpy(gPendingTemp, output->tempPath.c_str(), output->tempPath.size() + 1);
  // Blocks reserved up front spare the file system the write-out it would
  // otherwise force when the file is renamed over an existing one. Where the
  // file system cannot reserve, the writes alone decide.
  if (size > 0) fallocate(fd, 0, 0, size);
  // An existing file keeps its owner where this process may give it one (as
  // root); an ordinary user cannot, and that is no reason to fail.
  if (owner != static_cast<uid_t>(-1)) {
    [[maybe_unused]] int kept = fchown(fd, owner, group);
  }
  if (fchmod(fd, mode) != 0 || (output->stream = fdopen(fd, "wb")) == nullptr) {
    close(fd);
    RemovePendingTemp();
    delete output;
    return nullptr;
  }
  return output;
}

bool MoveTempOverTarget(OutputFile* output) {
  if (rename(output->tempPath.c_str(), output->target.c_str()) != 0) return false;
  gPendingTemp[0] = '\0';
  return true;
}
