// Building patches: adding one component file to a patch file, creating it when needed.
#pragma once

class TXI_FILE;

// Adds `file` to the patch. `open_patch` is a patch already open for writing (recursive calls
// pass their caller's) or null; `patch_name` is a name under \source\patches\ of the current
// drive, or the patch file's full path when `direct_path` is set. `undo` is written as the
// header's undo flag when this call creates the file; `force` adds a kernel library even to
// an existing patch; `second_pass` takes an overlay's build variant '6' without searching.
// Answers false after a failure that has been reported.
bool patch_add_file(TXI_FILE *open_patch, const char *patch_name, const char *file, bool undo,
                    bool direct_path, bool force, bool second_pass);

struct PatchAppendOptions {
    bool undo = false;    // the header's undo flag, when the call creates the patch file
    bool durable = false; // file and folder flushed to the disk before answering
};

// Appends the file `source` as one component stored under `stored_path` to the patch file
// `patch_path`, creating the file with its header when it does not exist. All or nothing:
// after a failure the patch reads as before the call. Answers false after the failure has
// been reported.
[[nodiscard]] bool patch_append_component(const char *patch_path, const char *source,
                                          const char *stored_path,
                                          const PatchAppendOptions &options);

// Creates an empty patch file: its header alone, on the disk when the call answers.
[[nodiscard]] bool patch_create_file(const char *patch_path, bool undo);
