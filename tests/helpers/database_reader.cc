#include "database_reader.h"

std::vector<std::u16string> entry_names(const std::string& database) {
  std::vector<std::u16string> names;
  for (size_t at = 18; at + 558 <= database.size(); at += 558) {
    const auto* record = reinterpret_cast<const unsigned char*>(database.data() + at);
    std::u16string name;
    for (size_t unit = 33; unit + 1 < 555; unit += 2) {
      const char16_t value = static_cast<char16_t>(record[unit] | record[unit + 1] << 8);
      if (value == 0)
        break;
      name.push_back(value);
    }
    names.push_back(name);
  }
  return names;
}

std::string old_database() {
  return std::string("\x00\x00\x01\x01\x06\x00\x00\x00\x12", 9) + std::string(9, '\x07') +
         std::string("\x00\x02\x2E", 3) + std::string(555, '\x09');
}

std::string first_entry_naming(std::string db, std::string_view path) {
  std::string field(555 - 33, '\0');
  for (size_t i = 0; i < path.size(); ++i)
    field[2 * i] = path[i];
  return db.replace(18 + 33, field.size(), field);
}
