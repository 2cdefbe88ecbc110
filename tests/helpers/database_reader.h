// Reading databases the program wrote, and the old database tests start from.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The name field of each entry record, up to its first zero unit.
std::vector<std::u16string> entry_names(const std::string& database);

// A well-formed old database of one entry, every byte of its own: a header
// counting one entry (bytes 9-17 are 0x07) and an entry whose bytes after
// its length field are 0x09.
std::string old_database();

// db with its first entry naming path (ASCII), as a run writes it: the
// units, then zero units, so that the storage check has a padding byte to use.
std::string first_entry_naming(std::string db, std::string_view path);

// The three companion files beside the database, in the order they are reset.
inline const std::string kCompanions[] = {"iTunesPState", "iTunesStats", "iTunesShuffle"};
