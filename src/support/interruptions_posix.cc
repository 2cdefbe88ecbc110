#include <unistd.h>

#include <csignal>

#include "support/interruptions.h"

namespace {

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
volatile sig_atomic_t removal_armed = 0;
const char* removal_path = nullptr;

sigset_t interruption_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kInterruptions)
    sigaddset(&set, signal_number);
  return set;
}

extern "C" void on_interruption(int signal_number) {
  if (removal_armed)
    unlink(removal_path);
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
  for (const int signal_number : kInterruptions) {
    struct sigaction action = {};
    sigaction(signal_number, nullptr, &action);
    if (action.sa_handler == SIG_IGN)
      continue;  // started to ignore it (nohup): keep ignoring it
    action.sa_handler = on_interruption;
    action.sa_mask = interruption_set();
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

void resume_interruptions() {
  const sigset_t set = interruption_set();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void release_interruptions() {
  removal_armed = 0;
  resume_interruptions();
}
