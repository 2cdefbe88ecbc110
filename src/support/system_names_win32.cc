#include <windows.h>

#include "support/system_names.h"

int path_to_utf16(std::string_view path, uint16_t* units, int max_units) {
  if (path.empty())
    return 0;
  static_assert(sizeof(wchar_t) == sizeof(uint16_t));
  // Neither an ANSI code page nor UTF-8 needs more units than bytes, so a
  // path that fits the field converts whole.
  const int count = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                                        reinterpret_cast<wchar_t*>(units), max_units);
  return count > 0 ? count : 0;
}
