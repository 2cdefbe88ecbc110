// Running the built program (or any command) and collecting what it printed.
#pragma once

#include <sys/resource.h>

#include <string>
#include <vector>

#include "temp_dir.h"

// How to run the program; build it with designated initializers, e.g.
// {.file_size_limit = 600}, leaving what a test does not care about.
struct RunOptions {
  std::vector<std::string> args = {"-q"};  // quiet unless a test says otherwise
  std::string input{};                     // standard input, then end of input
  rlim_t file_size_limit = RLIM_INFINITY;  // RLIMIT_FSIZE
  rlim_t memory_limit = RLIM_INFINITY;     // RLIMIT_AS
  bool as_nobody = false;                  // run as the user nobody
  bool posix_build = false;                // the POSIX build even under wine
  bool fault_layer = false;   // the Windows build with the Win32 fault layer (windows_fault_build)
  int timeout_seconds = 120;  // then it is killed: status -1
  std::vector<std::string> environment{};  // NAME=value, added to the program's
  std::string shell{};                     // a bash script that runs the program as "$@" (to close,
                                           // pipe or limit what it gets); "" runs it directly
};

struct RunResult {
  std::string output;  // standard output and standard error, in order
  int status = -1;     // exit status, or -1 when it did not exit normally
};

// Runs the program under test with the working directory dir and nothing
// but the three standard descriptors.
RunResult run_tarnwick(const fs::path& dir, const RunOptions& options = {});

// Runs a command in the current directory with no standard input, killing
// it after timeout_seconds.
RunResult run_command(const std::vector<std::string>& argv, int timeout_seconds);

// The Windows build under test, run through wine, when TARNWICK_EXE names
// it; null for the POSIX build. Its transcripts have "\r\n" where the POSIX
// build prints "\n"; run_tarnwick gives them back with "\n".
const char* windows_build();

// Whether wine ended a run of the Windows build with a failure before the
// program printed anything, as wine 8.0 did about once in five thousand
// starts when it could not map its shared user data (tools/with-wine.sh
// now starts it so that it can). The program prints its banner before it
// touches the player, so such a run changed nothing and may be made again.
bool wine_printed_nothing(const RunResult& run);

// The Windows build with the Win32 fault layer linked in
// (end_to_end/fault_injection_win32.cc), when TARNWICK_FAULT_EXE names it;
// null otherwise.
const char* windows_fault_build();

// A case whose names the test's file system refused: skipped on macOS,
// whose APFS takes only UTF-8 names; anywhere else the refusal is a fault.
#ifdef __APPLE__
#define SKIP_WHERE_NAMES_MUST_BE_UTF8(refused) \
  GTEST_SKIP() << "this file system takes only UTF-8 names: " << (refused).what()
#else
#define SKIP_WHERE_NAMES_MUST_BE_UTF8(refused) throw
#endif

#ifdef FAULT_INJECTION
// The POSIX program with one call made to go wrong (end_to_end/fault_injection.cc).
inline RunOptions with_posix_fault(const std::string& fault, const std::string& shell = "") {
  return {.environment = {std::string("LD_PRELOAD=") + FAULT_INJECTION, "TARNWICK_FAULT=" + fault,
                          "TARNWICK_OUTSIDE=../elsewhere", "ASAN_OPTIONS=verify_asan_link_order=0"},
          .shell = shell};
}
#endif

// The Windows program with one Win32 call made to go wrong
// (end_to_end/fault_injection_win32.cc), counting only the calls on files
// whose path ends with path when it is given.
RunOptions with_win32_fault(const std::string& fault, const std::string& path = "");

// Skips a case that needs the Windows build with the fault layer.
#define SKIP_WITHOUT_WINDOWS_FAULT_BUILD()                                                     \
  do {                                                                                         \
    if (!windows_build() || !windows_fault_build())                                            \
      GTEST_SKIP()                                                                             \
          << "no Windows build with the fault layer given (TARNWICK_EXE, TARNWICK_FAULT_EXE)"; \
  } while (false)

// Skips a case that only the POSIX build can show, saying why.
#define SKIP_FOR_WINDOWS_BUILD(why)                         \
  do {                                                      \
    if (windows_build())                                    \
      GTEST_SKIP() << "not for the Windows build: " << why; \
  } while (false)

// Skips a case that makes a call of the program fail through LD_PRELOAD,
// which only the Linux loader honours for any program.
#ifdef __linux__
#define SKIP_WITHOUT_PRELOAD() \
  do {                         \
  } while (false)
#else
#define SKIP_WITHOUT_PRELOAD() GTEST_SKIP() << "faults are preloaded with Linux's LD_PRELOAD"
#endif

// Skips a case of a table whose row names a POSIX fault (fault not empty)
// where no POSIX fault can be preloaded.
#define SKIP_IF_A_FAULT_CANNOT_BE_PRELOADED(fault)                           \
  do {                                                                       \
    if (!(fault).empty()) {                                                  \
      SKIP_FOR_WINDOWS_BUILD("faults are preloaded into the POSIX program"); \
      SKIP_WITHOUT_PRELOAD();                                                \
    }                                                                        \
  } while (false)

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

// Whether the tests can run the program as an ordinary user, and why not.
// (Under CI=true, a false answer also fails the case.)
bool can_run_as_ordinary_user(std::string* why_not);

// Whether this project's Linux CI runs the tests (CI=true on Linux): there
// every tool is installed and a case skipped for a missing one is a failure.
bool in_ci();

// Makes the whole tree below path owned by nobody.
void give_to_nobody(const fs::path& path);
