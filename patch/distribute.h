// Handing a finished patch on: into a prepared message of the user's mail client (/m), or
// into the customer's folder on the supplier's collection share (/f).
#pragma once

#include <string>

// Deployment values, overridable in section "patch" of kvpatch.ini beside the program (keys
// "backupserver" and "downloadurl").
constexpr const char *patch_default_backup_server = "kovabackup";
constexpr const char *patch_default_download_url = "https://downloads.kova.example/kvpatch.exe";

// A value of section "patch" of kvpatch.ini, which lies in the program's folder.
std::string patch_tool_folder();
std::string patch_tool_setting(const char *key, const char *default_value);

std::string patch_backup_server();
std::string patch_download_url();

// The patch file of a patch name: \source\patches\ on the current drive (created when absent)
// + the name part of `patch_name` + ".kvz".
std::string patch_file_path(const char *patch_name);

// The text of the message that carries a patch: four paragraphs, the second naming where the
// patch installer can be downloaded.
std::string patch_mail_body();

// \\<backup server>\kovasend\today\<licence>\ ; trailing blanks of the 6-character licence
// field are dropped.
std::string patch_collection_folder(const char *licence);

// Hands the patch to the mail layer as the only attachment of a message the user completes.
// True when a mail client took it or it was sent.
bool patch_mail(const char *patch_name);

// Asks for the customer's kernel licence number and copies the patch into that customer's
// collection folder, never over an existing file. True when the copy was made.
bool patch_queue(const char *patch_name);
