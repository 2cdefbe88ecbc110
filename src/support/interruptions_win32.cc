#include <windows.h>

#include <string>

#include "support/console.h"
#include "support/interruptions.h"
#include "support/win32_system.h"

namespace {

CRITICAL_SECTION interruption_gate;
bool gate_ready = false;
bool gate_held = false;
// The file to remove, in the system's form, made before it is armed: the
// handler's thread only reads it.
std::wstring removal_storage;
const wchar_t* volatile removal_path = nullptr;

// What an interrupted console program ends with.
constexpr UINT kInterruptedStatus = 0xC000013A;

// Runs on a thread of its own. It waits while interruptions are held back,
// then removes the run's temporary file and ends the process itself: the
// default handler's exit status is not a failure everywhere (wine).
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  EnterCriticalSection(&interruption_gate);
  if (removal_path)
    DeleteFileW(removal_path);
  restore_console();
  ExitProcess(kInterruptedStatus);
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

void resume_interruptions() {
  if (gate_held) {
    gate_held = false;
    LeaveCriticalSection(&interruption_gate);
  }
}

void release_interruptions() {
  removal_path = nullptr;
  resume_interruptions();
}
