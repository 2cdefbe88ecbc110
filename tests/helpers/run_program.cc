#include "run_program.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "device_tree.h"

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;
constexpr char kSetpriv[] = "/usr/bin/setpriv";

}  // namespace

bool in_ci() {
#ifdef __linux__
  const char* ci = std::getenv("CI");
  return ci && std::string_view(ci) == "true";
#else
  return false;  // hosted runners set CI too, but only Linux CI has every tool
#endif
}

namespace {

bool ordinary_user_available(std::string* why_not) {
  if (geteuid() != 0)
    return true;  // already one
  if (access(kSetpriv, X_OK) != 0) {
    *why_not = "running as root and setpriv is not available to drop to nobody";
    return false;
  }
  for (fs::path dir = fs::temp_directory_path();; dir = dir.parent_path()) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) {
      *why_not = "nobody cannot reach the temporary directory through " + dir.string();
      return false;
    }
    if (dir == dir.root_path())
      return true;
  }
}

}  // namespace

bool can_run_as_ordinary_user(std::string* why_not) {
  if (ordinary_user_available(why_not))
    return true;
  // CI runs as root with setpriv installed: a case skipped there hides a
  // broken set-up.
  if (in_ci())
    ADD_FAILURE() << "under CI=true this case must run as nobody: " << *why_not;
  return false;
}

void give_to_nobody(const fs::path& path) {
  if (geteuid() != 0)
    return;
  if (lchown(path.c_str(), kNobody, kNoGroup) != 0)
    throw std::runtime_error("lchown failed: " + path.string());
  if (fs::is_directory(fs::symlink_status(path)))
    for (const auto& entry : fs::directory_iterator(path))
      give_to_nobody(entry.path());
}

const char* windows_build() {
  return std::getenv("TARNWICK_EXE");
}

const char* windows_fault_build() {
  return std::getenv("TARNWICK_FAULT_EXE");
}

RunOptions with_win32_fault(const std::string& fault, const std::string& path) {
  RunOptions options{.fault_layer = true, .timeout_seconds = 60};
  if (!fault.empty())
    options.environment.push_back("TARNWICK_FAULT=" + fault);
  if (!path.empty())
    options.environment.push_back("TARNWICK_FAULT_PATH=" + path);
  return options;
}

bool wine_printed_nothing(const RunResult& run) {
  return windows_build() && run.status != 0 && run.output.empty();
}

namespace {

std::string without_carriage_returns(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
      plain += text[i];
  return plain;
}

}  // namespace

namespace {

// Reads everything the child writes to fd until it closes it, then reaps the
// child. A child still running after timeout_seconds is killed, with its
// process group, and reported with status -1.
RunResult collect(pid_t child, int fd, int timeout_seconds) {
  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  bool timed_out = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) == 0) {
      timed_out = true;
      break;
    }
    char chunk[4096];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0)
      break;
    result.output.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  if (timed_out) {
    kill(-child, SIGKILL);
    kill(child, SIGKILL);
    result.output += "\n[killed after " + std::to_string(timeout_seconds) + " seconds]\n";
  }
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  result.status = !timed_out && WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  return result;
}

struct Limits {
  rlim_t file_size = RLIM_INFINITY;
  rlim_t memory = RLIM_INFINITY;
  std::vector<std::string> environment;
};

// The full path of a command as execvp would find it, so that the child
// need not search (and allocate) between fork and exec.
std::string resolve(const std::string& command) {
  if (command.find('/') != std::string::npos)
    return command;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + command;
    if (access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return command;
}

// Starts argv in dir, in a process group of its own, with standard input from
// input_path and standard output and error into the returned descriptor.
// Everything the child needs is made before fork: a child of a process with
// other threads may not allocate (another thread may hold the allocator's
// lock), so it only makes system calls until exec.
pid_t start(const std::vector<std::string>& argv, const fs::path& dir, const fs::path& input_path,
            const Limits& limits, int* output) {
  const std::string program = resolve(argv.front());
  std::vector<char*> raw_argv;
  for (const auto& arg : argv)
    raw_argv.push_back(const_cast<char*>(arg.c_str()));
  raw_argv.push_back(nullptr);
  std::vector<std::string> environment;
  const auto name_of = [](const std::string& setting) {
    return setting.substr(0, setting.find('='));
  };
  for (char** setting = environ; *setting; ++setting) {
    const std::string inherited = *setting;
    // A setting of the test's own replaces the inherited one.
    if (std::none_of(limits.environment.begin(), limits.environment.end(),
                     [&](const std::string& own) { return name_of(own) == name_of(inherited); }))
      environment.push_back(inherited);
  }
  environment.insert(environment.end(), limits.environment.begin(), limits.environment.end());
  std::vector<char*> raw_environment;
  for (const auto& setting : environment)
    raw_environment.push_back(const_cast<char*>(setting.c_str()));
  raw_environment.push_back(nullptr);
  const std::string input = input_path.string();
  const std::string directory = dir.string();
  [[maybe_unused]] const int descriptors = static_cast<int>(sysconf(_SC_OPEN_MAX));
  const rlimit files{limits.file_size, limits.file_size};
  const rlimit memory{limits.memory, limits.memory};

  int out[2];
  if (pipe(out) != 0)
    throw std::runtime_error("pipe failed");
  const pid_t child = fork();
  if (child < 0)
    throw std::runtime_error("fork failed");
  if (child == 0) {
    setpgid(0, 0);
    const int in = open(input.c_str(), O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(out[1], 2) < 0 ||
        chdir(directory.c_str()) != 0)
      _exit(126);
#ifdef __GLIBC__
    // Nothing but the three standard descriptors goes to the program.
    closefrom(3);
#else
    for (int fd = 3; fd < descriptors; ++fd)
      close(fd);
#endif
    if (setrlimit(RLIMIT_FSIZE, &files) != 0 || setrlimit(RLIMIT_AS, &memory) != 0)
      _exit(126);
    execve(program.c_str(), raw_argv.data(), raw_environment.data());
    _exit(127);
  }
  close(out[1]);
  *output = out[0];
  return child;
}

}  // namespace

RunResult run_command(const std::vector<std::string>& argv, int timeout_seconds) {
  int output;
  const pid_t child = start(argv, fs::current_path(), "/dev/null", {}, &output);
  return collect(child, output, timeout_seconds);
}

RunResult run_tarnwick(const fs::path& dir, const RunOptions& options) {
  // Standard input comes from a file, so the child can never block us.
  TempDir input_dir;
  const fs::path input_path = input_dir.path() / "stdin";
  write_file(input_path, options.input);

  std::string binary = TARNWICK_BINARY;
  if (options.as_nobody && geteuid() == 0) {
    // The build tree may lie where nobody cannot reach it.
    const fs::path copy = input_dir.path() / "tarnwick";
    fs::copy_file(binary, copy);
    fs::permissions(copy, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec |
                              fs::perms::group_read | fs::perms::others_read);
    binary = copy.string();
  }
  std::vector<std::string> argv;
  if (options.as_nobody && geteuid() == 0)
    argv = {kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
  const bool under_wine = windows_build() && !options.posix_build;
  if (under_wine) {
    argv.push_back("wine");
    binary = options.fault_layer && windows_fault_build() ? windows_fault_build() : windows_build();
  }
  argv.push_back(binary);
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  if (!options.shell.empty()) {
    std::vector<std::string> script = {"bash", "-c", options.shell, "tarnwick"};
    script.insert(script.end(), argv.begin(), argv.end());
    argv = script;
  }

  int output;
  const pid_t child =
      start(argv, dir, input_path,
            {options.file_size_limit, options.memory_limit, options.environment}, &output);
  RunResult result = collect(child, output, options.timeout_seconds);
  if (under_wine)
    result.output = without_carriage_returns(result.output);
  return result;
}
