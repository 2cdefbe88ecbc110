#include "device_tree.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;
constexpr char kSetpriv[] = "/usr/bin/setpriv";

void make_removable(const fs::path& path) {
  std::error_code ignored;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
  if (fs::is_directory(fs::symlink_status(path, ignored)))
    for (const auto& entry : fs::directory_iterator(path, ignored))
      make_removable(entry.path());
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "tarnwick-test-XXXXXX").string();
  if (!mkdtemp(pattern.data()))
    throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
}

TempDir::~TempDir() {
  make_removable(path_);
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

DeviceTree::DeviceTree() : root_(dir_.path() / "volume") {
  fs::create_directories(itunes());
}

DeviceTree::DeviceTree(size_t volume_bytes) : root_(dir_.path() / "volume") {
  fs::create_directories(root_);
  const std::string options = "size=" + std::to_string(volume_bytes) + ",mode=0755";
  if (mount("tarnwick-test", root_.c_str(), "tmpfs", 0, options.c_str()) == 0) {
    mounted_ = true;
    fs::create_directories(itunes());
  } else {
    why_not_ = std::string("cannot mount a small tmpfs (needs root): ") + std::strerror(errno);
  }
}

DeviceTree::~DeviceTree() {
  if (mounted_)
    umount2(root_.c_str(), MNT_DETACH);
}

void DeviceTree::add_file(const std::string& relative, const std::string& content) const {
  const fs::path path = root_ / relative;
  fs::create_directories(path.parent_path());
  write_file(path, content);
}

void DeviceTree::add_dir(const std::string& relative) const {
  fs::create_directories(root_ / relative);
}

bool can_run_as_ordinary_user(std::string* why_not) {
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

void give_to_nobody(const fs::path& path) {
  if (geteuid() != 0)
    return;
  if (lchown(path.c_str(), kNobody, kNoGroup) != 0)
    throw std::runtime_error("lchown failed: " + path.string());
  if (fs::is_directory(fs::symlink_status(path)))
    for (const auto& entry : fs::directory_iterator(path))
      give_to_nobody(entry.path());
}

RunOptions quiet() {
  RunOptions options;
  options.args = {"-q"};
  return options;
}

RunOptions with_input(std::vector<std::string> args, std::string input) {
  RunOptions options;
  options.args = std::move(args);
  options.input = std::move(input);
  return options;
}

RunOptions with_file_size_limit(RunOptions options, rlim_t bytes) {
  options.file_size_limit = bytes;
  return options;
}

RunOptions with_memory_limit(RunOptions options, rlim_t bytes) {
  options.memory_limit = bytes;
  return options;
}

RunOptions as_nobody(RunOptions options) {
  options.as_nobody = true;
  return options;
}

const char* windows_build() {
  return std::getenv("TARNWICK_EXE");
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

// Starts argv in dir, in a process group of its own, with standard input from
// input_path and standard output and error into the returned descriptor.
pid_t start(const std::vector<std::string>& argv, const fs::path& dir, const fs::path& input_path,
            const Limits& limits, int* output) {
  int out[2];
  if (pipe(out) != 0)
    throw std::runtime_error("pipe failed");
  const pid_t child = fork();
  if (child < 0)
    throw std::runtime_error("fork failed");
  if (child == 0) {
    setpgid(0, 0);
    const int in = open(input_path.c_str(), O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(out[1], 2) < 0 ||
        chdir(dir.c_str()) != 0)
      _exit(126);
    // Nothing but the three standard descriptors goes to the program.
    closefrom(3);
    std::signal(SIGXFSZ, SIG_IGN);
    for (const auto& setting : limits.environment)
      putenv(const_cast<char*>(setting.c_str()));
    const rlimit files{limits.file_size, limits.file_size};
    const rlimit memory{limits.memory, limits.memory};
    if (setrlimit(RLIMIT_FSIZE, &files) != 0 || setrlimit(RLIMIT_AS, &memory) != 0)
      _exit(126);
    std::vector<char*> raw;
    for (const auto& arg : argv)
      raw.push_back(const_cast<char*>(arg.c_str()));
    raw.push_back(nullptr);
    execvp(raw[0], raw.data());
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
    binary = windows_build();
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

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out)
    throw std::runtime_error("cannot write " + path.string());
}

bool path_exists(const fs::path& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

std::vector<Entry> entries_of(const std::string& database) {
  std::vector<Entry> entries;
  for (size_t at = 18; at + 558 <= database.size(); at += 558) {
    const auto* record = reinterpret_cast<const unsigned char*>(database.data() + at);
    Entry entry{{}, record[29], record[555]};
    for (size_t unit = 33; unit + 1 < 555; unit += 2) {
      const char16_t value = static_cast<char16_t>(record[unit] | record[unit + 1] << 8);
      if (value == 0)
        break;
      entry.name.push_back(value);
    }
    entries.push_back(entry);
  }
  return entries;
}

std::string lines(const std::vector<std::string>& each) {
  std::string text;
  for (const auto& line : each)
    text += line + "\n";
  return text;
}

std::string banner_and_templates(bool file_header_kept, bool entry_header_kept) {
  return lines({"Welcome to Tarnwick, version 0.5", "",
                file_header_kept ? "Using iTunesSD file header from existing database."
                                 : "Rebuilding iTunesSD file header from scratch.",
                entry_header_kept ? "Using iTunesSD entry header from existing database."
                                  : "Rebuilding iTunesSD entry header from scratch.",
                "", "Searching for files on the iPod."});
}

std::string closing(int count, const std::vector<std::string>& reset_outcomes, bool warning) {
  std::vector<std::string> outcome = reset_outcomes;
  outcome.resize(3, "not needed.");
  std::string text = lines({std::to_string(count) + " playable files were found on your iPod.", "",
                            "Fixing iTunesSD header.", "Resetting playback state ... " + outcome[0],
                            "Resetting statistics ... " + outcome[1],
                            "Resetting shuffle sequence ... " + outcome[2], ""});
  if (warning)
    return text + lines({"WARNING: The main database file was rebuild successfully, but there "
                         "were errors",
                         "         while resetting the other files. However, playback MAY work "
                         "correctly."});
  return text + lines({"The iPod shuffle database was rebuilt successfully.",
                       "Have fun listening to your music!"});
}
