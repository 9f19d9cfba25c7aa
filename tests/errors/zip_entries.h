// Reading a dump archive back where no outside ZIP reader can be run: libzip, apart from the
// platform's Win32 declarations as the writer is.
#pragma once

#include <map>
#include <string>

namespace report_test {

// The entries of the ZIP archive at host path `archive`, name and content, each read in full so
// that its checksum is verified; empty when the archive cannot be opened or an entry is damaged.
std::map<std::string, std::string> zip_entries(const std::string &archive);

} // namespace report_test
