#include "tests/support/cli.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testcli {

namespace {

std::string Slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "namepatch-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void ScratchDir::Write(const std::string& name, const std::string& bytes) const {
  std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + name);
}

std::string ScratchDir::Read(const std::string& name) const { return Slurp(path_ / name); }

std::vector<std::string> ScratchDir::List() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

RunResult RunNamepatch(const std::vector<std::string>& args, const std::filesystem::path& cwd) {
  return RunNamepatch(args, cwd, RunLimits{});
}

RunResult RunNamepatch(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                       const RunLimits& limits) {
  const char* bin = getenv("NAMEPATCH_BIN");
  const char* runner = getenv("NAMEPATCH_RUNNER");
  std::vector<std::string> command = limits.wrapper;
  if (runner != nullptr && *runner != '\0') command.push_back(runner);
  command.push_back(bin != nullptr && *bin != '\0' ? bin : NAMEPATCH_BUILT_BIN);
  command.insert(command.end(), args.begin(), args.end());

  ScratchDir capture;
  std::string outPath = capture / "stdout";
  std::string errPath = capture / "stderr";
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (limits.fileSizeLimit != 0) {
      rlimit size{limits.fileSizeLimit, limits.fileSizeLimit};
      if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &size) != 0) _exit(126);
    }
    if (limits.honourPermissionBits && geteuid() == 0) {
      // Dropped from the bounding set, they stay dropped across exec, which
      // would otherwise give root its full set again.
      for (int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
        if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) _exit(126);
      }
    }
    if (limits.signal != 0) {
      for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
    }
    if (limits.umask >= 0) umask(static_cast<mode_t>(limits.umask));
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (limits.signal != 0) {
    usleep(static_cast<useconds_t>(limits.signalAfterMicroseconds));
    kill(pid, limits.signal);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  RunResult result;
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  result.out = Slurp(outPath);
  result.err = Slurp(errPath);
  return result;
}

}  // namespace testcli
