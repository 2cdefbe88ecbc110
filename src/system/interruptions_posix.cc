#include <unistd.h>

#include <csignal>

#include "system/interruptions.h"

namespace {

// Every signal whose default action ends the process is an interruption,
// but for SIGKILL and SIGSTOP (which cannot be caught), the crash signals
// (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS: the
// program's own fault, left to end it as they do), and SIGPIPE and SIGXFSZ,
// which are ignored so that the write fails and is reported.
constexpr int kNamedInterruptions[] = {
    SIGINT, SIGTERM,   SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF,
#ifdef __linux__
    SIGPWR, SIGSTKFLT, SIGIO,  // SIGIO is SIGPOLL, which ends the process here
#endif
};
volatile sig_atomic_t removal_armed = 0;
volatile sig_atomic_t settled = 0;
const char* removal_path = nullptr;
volatile sig_atomic_t second_removal_armed = 0;
const char* second_removal_path = nullptr;

sigset_t interruption_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kNamedInterruptions)
    sigaddset(&set, signal_number);
#ifdef SIGRTMIN
  // The real-time signals end the process too.
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number)
    sigaddset(&set, signal_number);
#endif
  return set;
}

extern "C" void on_interruption(int signal_number) {
  if (settled)
    return;  // the verdict is given: the run ends with its status
  if (removal_armed)
    unlink(removal_path);
  if (second_removal_armed)
    unlink(second_removal_path);
  // Ends the process the way the signal would have: blocked while this
  // handler runs, it arrives again on return, now with its default action.
  std::signal(signal_number, SIG_DFL);
  raise(signal_number);
}

}  // namespace

void ignore_write_signals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

void catch_interruptions() {
  const sigset_t interruptions = interruption_set();
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (sigismember(&interruptions, signal_number) != 1)
      continue;
    struct sigaction action = {};
    sigaction(signal_number, nullptr, &action);
    if (action.sa_handler == SIG_IGN)
      continue;  // started to ignore it (nohup): keep ignoring it
    action.sa_handler = on_interruption;
    action.sa_mask = interruptions;
    action.sa_flags = 0;
    sigaction(signal_number, &action, nullptr);
  }
}

void hold_interruptions() {
  const sigset_t set = interruption_set();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

void remove_on_interruption(const char* path) {
  removal_path = path;
  removal_armed = 1;
}

void also_remove_on_interruption(const char* path) {
  second_removal_path = path;
  second_removal_armed = 1;
}

void resume_interruptions() {
  const sigset_t set = interruption_set();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void release_interruptions() {
  removal_armed = 0;
  second_removal_armed = 0;
  resume_interruptions();
}

void settle_interruptions(int /*status*/) {
  settled = 1;
}
