// Path parts and extension tests shared by the patch tool's builder and reader.
#pragma once

#include "kernel/files/paths.h"
#include "kernel/text/text.h"

#include <cstring>
#include <string>

struct PatchPathParts {
    std::string drive, dir, name, ext, name_ext;
    // The split's code: nonzero, with every part empty, for a part too long to split.
    uint16_t refused = 0;
};

inline PatchPathParts patch_split(const char *path) {
    char drive[DXI_PATH_BUFFER], dir[DXI_PATH_BUFFER], name[DXI_PATH_BUFFER], ext[DXI_PATH_BUFFER],
        version[DXI_PATH_BUFFER], name_ext[DXI_PATH_BUFFER];
    drive[0] = dir[0] = name[0] = ext[0] = name_ext[0] = '\0';
    uint16_t refused = fxi_path_split(path, drive, dir, name, ext, version, name_ext);
    return {drive, dir, name, ext, name_ext, refused};
}

// Extension families are told apart by their first three characters, without regard to case
// (a four-letter extension beginning with kvo is an overlay).
inline bool patch_extension_family(const std::string &ext, const char *three) {
    return ext.size() >= 3 && fxd_compare_nocase(ext.c_str(), three, 3) == 0;
}

// Whole-extension comparison without regard to case.
inline bool patch_extension_is(const std::string &ext, const char *wanted) {
    return ext.size() == std::strlen(wanted) &&
           fxd_compare_nocase(ext.c_str(), wanted, static_cast<uint16_t>(ext.size())) == 0;
}
