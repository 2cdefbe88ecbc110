// Helpers for tests that run the built program in a temporary device tree.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// A temporary directory that is removed, whatever its permissions, when the
// object goes away. Others may traverse it, so that a test can run the
// program as an ordinary user inside it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A device volume: a root directory holding iPod_Control/iTunes.
class DeviceTree {
 public:
  DeviceTree();
  // A device on a volume of its own that holds only so many bytes: a tmpfs
  // mounted at the root. mounted() tells whether that worked, and why_not why
  // it did not.
  explicit DeviceTree(size_t volume_bytes);
  ~DeviceTree();
  bool mounted() const { return mounted_; }
  const std::string& why_not() const { return why_not_; }
  const fs::path& root() const { return root_; }
  fs::path itunes() const { return root_ / "iPod_Control" / "iTunes"; }
  fs::path database() const { return itunes() / "iTunesSD"; }
  // Creates the file (and its directories) at a path relative to the root.
  void add_file(const std::string& relative, const std::string& content = "") const;
  void add_dir(const std::string& relative) const;

 private:
  TempDir dir_;
  fs::path root_;
  bool mounted_ = false;
  std::string why_not_;
};

struct RunOptions {
  std::vector<std::string> args;
  std::string input;                       // standard input, then end of input
  rlim_t file_size_limit = RLIM_INFINITY;  // RLIMIT_FSIZE, with SIGXFSZ ignored
  rlim_t memory_limit = RLIM_INFINITY;     // RLIMIT_AS
  bool as_nobody = false;                  // run as the user nobody
  bool posix_build = false;                // the POSIX build even under wine
  int timeout_seconds = 120;               // then it is killed: status -1
  std::vector<std::string> environment;    // NAME=value, added to the program's
  std::string shell;                       // a bash script that runs the program as "$@" (to
                      // close, pipe or limit what it gets); "" runs it directly
};

struct RunResult {
  std::string output;  // standard output and standard error, in order
  int status = -1;     // exit status, or -1 when it did not exit normally
};

// Ways to run it: with "-q", with standard input, with limits, as nobody.
RunOptions quiet();
RunOptions with_input(std::vector<std::string> args, std::string input);
RunOptions with_file_size_limit(RunOptions options, rlim_t bytes);
RunOptions with_memory_limit(RunOptions options, rlim_t bytes);
RunOptions as_nobody(RunOptions options);

// The Windows build under test, run through wine, when TARNWICK_EXE names
// it; null for the POSIX build. Its transcripts have "\r\n" where the POSIX
// build prints "\n"; run_tarnwick gives them back with "\n".
const char* windows_build();

// Whether the program under test carries AddressSanitizer, which reserves
// far more address space than any memory limit a test would set.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// Skips a case that only the POSIX build can show, saying why.
#define SKIP_FOR_WINDOWS_BUILD(why) \
  if (windows_build())              \
  GTEST_SKIP() << "not for the Windows build: " << why

// Runs the built program with the working directory dir.
RunResult run_tarnwick(const fs::path& dir, const RunOptions& options = {});

// Runs a command in the current directory with no standard input, killing
// it after timeout_seconds.
RunResult run_command(const std::vector<std::string>& argv, int timeout_seconds);

// Whether the tests can run the program as an ordinary user, and why not.
bool can_run_as_ordinary_user(std::string* why_not);

// Makes the whole tree below path owned by nobody.
void give_to_nobody(const fs::path& path);

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& content);
bool path_exists(const fs::path& path);

// The parts of a database file that tests look at.
struct Entry {
  std::u16string name;  // the name field up to its first zero unit
  uint8_t type_code;    // byte 29
  uint8_t flag;         // byte 555
};
std::vector<Entry> entries_of(const std::string& database);

// The transcript lines of a run, each followed by "\n".
std::string lines(const std::vector<std::string>& each);

// Expected transcripts, from the program's fixed texts.
std::string banner_and_templates(bool file_header_kept = false, bool entry_header_kept = false);
std::string closing(int count, const std::vector<std::string>& reset_outcomes = {},
                    bool warning = false);
