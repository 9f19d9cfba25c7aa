// The consolidated menu files of an installation: every company's menu records and text menu
// definitions gathered into kovamenu.dat, kovamenu.idx and kovamenu.kve in the release
// directory, migrating menus that still exist only in the release-7 tree on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A menu record file: a 64-byte header and 31 entries of 64 bytes.
constexpr size_t DXK_MENU_RECORD = 2048;
constexpr size_t DXK_MENU_HEADER = 64;
constexpr size_t DXK_MENU_ENTRY = 64;
constexpr size_t DXK_MENU_ENTRIES = 31;
// One kovamenu.idx entry: the menu file's name and extension, upper case, NUL-padded.
constexpr size_t DXK_MENU_INDEX_ENTRY = 48;
// The format word of a migrated menu record file.
constexpr uint16_t DXK_MENU_FORMAT_MIGRATED = 264;

// The checksum of one entry: the 8-bit sum of its 64 bytes with the checksum byte (60) as 0.
uint8_t fxk_menu_entry_sum(const uint8_t *entry);

// Converts a release-7 menu record in place: the header's format word and checksum, then every
// entry that names a program, whose reference moves to offset 35 and becomes "KV" and the
// upper-cased letter of offset 38, with a fresh checksum.
void fxk_menu_migrate_record(uint8_t *record);

// Rebuilds the consolidated menu files in the release directory on the drive of `path` (null
// or empty: the release directory's own drive). With `delete_flag` 1 each company menu record
// file is deleted instead of gathered. True when the pass over the company directories ran to
// its end; false when an output cannot be created or the directory search failed.
bool fxk_menu_rebuild(const char *path, uint16_t delete_flag);

// ---- Shared with the table-definition rebuild -----------------------------------------------

// The directory a rebuild works in: the drive of `path` followed by the directory part of the
// installation directory `setting` (program directory or data home). Without a drive in
// `path` the setting's own drive is kept, so the rebuild never lands on another drive's
// same-named directory.
std::string fxk_rebuild_directory(const char *path, const std::string &setting);

// Whether a name a directory search returned may be joined to a path: no separators, no drive
// and not made only of dots, so that no entry leads out of the directory searched.
bool fxk_rebuild_entry_safe(const char *name);
