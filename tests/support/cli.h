// Runs the built namepatch in a scratch directory and captures everything it
// does: exit status, standard output and standard error, byte for byte.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testcli {

// The line after a refusal that -g would lift.
inline const std::string kGrowHint =
    "namepatch: -g lets the string table grow to take this rename\n";

struct RunResult {
  int status;  // the exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// A fresh directory, removed with everything in it at the end of the test.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  void Write(const std::string& name, const std::string& bytes) const;
  std::string Read(const std::string& name) const;
  // Every file name in the directory, sorted: a test sees stray files.
  std::vector<std::string> List() const;

 private:
  std::filesystem::path path_;
};

// Runs namepatch with args in directory cwd, with no standard input. The
// binary is NAMEPATCH_BIN from the environment when set (NAMEPATCH_RUNNER,
// when set, is a program that runs it, such as wine), else the one built here.
RunResult RunNamepatch(const std::vector<std::string>& args, const std::filesystem::path& cwd);

// Conditions a fault test runs namepatch under.
struct RunLimits {
  // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored so that a write past it falls
  // short instead of killing the process; 0 leaves the limit alone.
  uint64_t fileSizeLimit = 0;
  // Permission bits hold even for root: the capabilities that bypass them
  // are dropped before namepatch starts. A run that cannot drop them ends
  // with status 126.
  bool honourPermissionBits = false;
  // The umask namepatch starts with; -1 keeps the test's own.
  int umask = -1;
  // A command line that namepatch's own is appended to, such as a debugger
  // or a change of user; empty runs namepatch directly.
  std::vector<std::string> wrapper = {};
  // A signal sent to namepatch signalAfterMicroseconds after it is started,
  // with SIGINT, SIGTERM and SIGHUP at their defaults; 0 sends none.
  int signal = 0;
  int signalAfterMicroseconds = 0;
};
RunResult RunNamepatch(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                       const RunLimits& limits);

}  // namespace testcli
