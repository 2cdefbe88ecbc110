#include <windows.h>

#include <cstdio>
#include <string>

#include "system/console.h"
#include "system/interruptions.h"
#include "system/win32_system.h"

namespace {

CRITICAL_SECTION interruption_gate;
bool gate_ready = false;
bool gate_held = false;
// The file to remove, in the system's form, made before it is armed: the
// handler's thread only reads it.
std::wstring removal_storage;
const wchar_t* volatile removal_path = nullptr;
std::wstring second_removal_storage;
const wchar_t* volatile second_removal_path = nullptr;
// The verdict's exit status once it is given, -1 before.
volatile LONG settled_status = -1;
// Set by the handler before it waits: an interruption arrived.
volatile LONG interrupted = 0;

// What an interrupted console program ends with.
constexpr UINT kInterruptedStatus = 0xC000013A;

// Removes the run's temporary file, if one is armed, and ends the process
// as an interrupted one, at once. ExitProcess would end the other threads
// first and then flush the C runtime's streams, waiting for ever for the
// lock of a stream that an ended thread held (the main thread in the middle
// of a printf). Only the main thread, which holds no such lock, shows its
// lines so far; ended from the handler's thread the output stops at its
// last flush, as a POSIX program's does when a signal ends it.
[[noreturn]] void end_interrupted(bool on_main_thread) {
  if (removal_path)
    DeleteFileW(removal_path);
  if (second_removal_path)
    DeleteFileW(second_removal_path);
  if (on_main_thread)
    std::fflush(stdout);
  restore_console();
  TerminateProcess(GetCurrentProcess(), kInterruptedStatus);
  ExitProcess(kInterruptedStatus);  // not reached
}

// Runs on a thread of its own. It waits while interruptions are held back,
// then removes the run's temporary file and ends the process itself: the
// default handler's exit status is not a failure everywhere (wine).
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  // The verdict is given: the run ends with its status, by itself, or at
  // once with that status when the console goes away.
  const LONG status = InterlockedCompareExchange(&settled_status, -1, -1);
  if (status >= 0) {
    if (event == CTRL_CLOSE_EVENT)
      TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    return TRUE;
  }
  InterlockedExchange(&interrupted, 1);
  EnterCriticalSection(&interruption_gate);
  end_interrupted(false);
}

}  // namespace

void ignore_write_signals() {
}

void catch_interruptions() {
  if (gate_ready)
    return;
  InitializeCriticalSection(&interruption_gate);
  gate_ready = true;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void hold_interruptions() {
  if (gate_ready && !gate_held) {
    EnterCriticalSection(&interruption_gate);
    gate_held = true;
  }
}

void remove_on_interruption(const char* path) {
  removal_path = nullptr;
  removal_storage = system_path(path);
  if (!removal_storage.empty())
    removal_path = removal_storage.c_str();
}

void also_remove_on_interruption(const char* path) {
  second_removal_path = nullptr;
  second_removal_storage = system_path(path);
  if (!second_removal_storage.empty())
    second_removal_path = second_removal_storage.c_str();
}

void resume_interruptions() {
  if (gate_held) {
    // One held back ends the process here, on this thread, as a signal does
    // on POSIX: left to the handler's thread, waiting at the gate, it would
    // race this one, which goes on to print (a verdict among others).
    if (InterlockedCompareExchange(&interrupted, 0, 0))
      end_interrupted(true);
    gate_held = false;
    LeaveCriticalSection(&interruption_gate);
  }
}

void release_interruptions() {
  removal_path = nullptr;
  second_removal_path = nullptr;
  resume_interruptions();
}

void settle_interruptions(int status) {
  InterlockedExchange(&settled_status, status);
}
