// Building patches: adding component files to a patch file, creating it when needed, all or
// nothing and serialised against other adds to the same patch.
#pragma once

// How patch_add_file finds the patch and what it promises when it answers.
struct PatchAddOptions {
    bool undo = false;        // the header's undo flag, when the call creates the patch file
    bool direct_path = false; // the patch name is the patch file's full path, not a name
                              // under \source\patches\ of the current drive
    bool durable = false;     // file and folder flushed to the disk before answering
};

// Adds `file` to the patch named `patch_name`: the file itself, or the components one of the
// development source tree's short forms stands for (x:name.kvo, x:name.kvm, x:name.kve), with
// the kernel libraries ahead of the first overlay of a new patch. All the components or none
// are added. Answers false after the failure has been reported.
[[nodiscard]] bool patch_add_file(const char *patch_name, const char *file,
                                  const PatchAddOptions &options);

struct PatchAppendOptions {
    bool undo = false;    // the header's undo flag, when the call creates the patch file
    bool durable = false; // file and folder flushed to the disk before answering
};

// Appends the file `source` as one component stored under `stored_path` to the patch file
// `patch_path`, creating the file with its header when it does not exist. All or nothing:
// after a failure, or a kill at any moment, the patch reads as before the call. A component
// already stored under the same path (ignoring case) is replaced where it stands. Answers
// false after the failure has been reported.
[[nodiscard]] bool patch_append_component(const char *patch_path, const char *source,
                                          const char *stored_path,
                                          const PatchAppendOptions &options);

// Puts a patch left by a killed append back to its last whole state (see above). Cheap when
// nothing is pending; the reader calls it before reading a patch.
[[nodiscard]] bool patch_recover(const char *patch_path);

// Creates a patch file that does not exist yet, holding its header alone; on the disk when the
// call answers. An existing file is not touched ("Error creating file ...").
[[nodiscard]] bool patch_create_file(const char *patch_path, bool undo);
