// The ZIP writer of the dump archive (libzip), kept apart from the kernel's own headers so that
// the library's system headers never meet the platform's Win32 declarations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A ZIP archive holding `data` as its one entry `entry_name`, deflated. False (and `archive`
// untouched) when the archive cannot be made.
bool fxk_zip_one(const std::string &entry_name, const std::vector<uint8_t> &data,
                 std::vector<uint8_t> *archive);
