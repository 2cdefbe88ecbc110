#include "system/system_names.h"
#include "text/utf8.h"

int path_to_utf16(std::string_view path, uint16_t* units, int max_units) {
  // On the Mac the walk has already turned each name into its stored form.
  return utf8_to_units(path, units, max_units);
}
