#include "system/system_names.h"
#include "text/utf8.h"

int path_to_utf16(std::string_view path, uint16_t* units, int max_units) {
  // The walk's names came from the wide calls: UTF-8, with an unpaired
  // surrogate of a Windows name encoded on its own and stored as that unit.
  return name_to_units(path, units, max_units);
}
