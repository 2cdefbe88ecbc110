#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>

#include "system/console.h"

namespace {

void restore_console_code_page(UINT code_page) {
  static UINT saved = 0;
  if (code_page != 0)
    saved = code_page;
  else if (saved != 0)
    SetConsoleOutputCP(saved);
}

bool output_closed = false;

}  // namespace

bool open_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) >= 0)
      continue;
    if (fd == 1)
      output_closed = true;
    const int null_device = _open("NUL", _O_RDWR);
    if (null_device < 0)
      return false;
    if (null_device != fd) {
      _dup2(null_device, fd);
      _close(null_device);
    }
  }
  return true;
}

void prepare_console() {
  // Names are UTF-8 inside the program whatever the system's code page, so
  // the console shows UTF-8 while the program runs.
  const UINT previous = GetConsoleOutputCP();
  if (previous != 0 && previous != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    restore_console_code_page(previous);  // the console outlives the program
    std::atexit(restore_console);
  }
}

void restore_console() {
  restore_console_code_page(0);
}

bool standard_output_was_closed() {
  return output_closed;
}
