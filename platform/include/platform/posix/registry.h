// The registry and profile files of the POSIX platform. Hives are REGEDIT4 text files in the
// prefix (system.reg holds HKEY_LOCAL_MACHINE and, below Software\Classes, HKEY_CLASSES_ROOT;
// user.reg holds HKEY_CURRENT_USER); profile files are the Windows .ini format.
#pragma once

#include "platform/posix/base.h"

// ---- Registry ----

using HKEY = struct kova_hkey *;
using PHKEY = HKEY *;
using REGSAM = ACCESS_MASK;
using LSTATUS = LONG;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))

inline constexpr DWORD KEY_QUERY_VALUE = 0x0001;
inline constexpr DWORD KEY_SET_VALUE = 0x0002;
inline constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr DWORD KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr DWORD KEY_NOTIFY = 0x0010;
inline constexpr DWORD KEY_CREATE_LINK = 0x0020;
inline constexpr DWORD KEY_WOW64_64KEY = 0x0100;
inline constexpr DWORD KEY_WOW64_32KEY = 0x0200;
inline constexpr DWORD KEY_READ = 0x00020019;
inline constexpr DWORD KEY_EXECUTE = KEY_READ;
inline constexpr DWORD KEY_WRITE = 0x00020006;
inline constexpr DWORD KEY_ALL_ACCESS = 0x000F003F;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
inline constexpr DWORD REG_LINK = 6;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_OPTION_VOLATILE = 1;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Windows semantics: results are Windows error numbers (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND
// for a missing key or value, ERROR_MORE_DATA for a short buffer, ERROR_ACCESS_DENIED for a
// handle opened without the right, ERROR_KEY_DELETED once another handle removed the key).
// Key and value names are compared without regard to case; a key keeps the spelling it was
// created with.
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR class_name, DWORD options,
                        REGSAM access, const SECURITY_ATTRIBUTES *security, PHKEY result,
                        LPDWORD disposition);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD data_size);
LSTATUS RegSetValueExA(HKEY key, LPCSTR value_name, DWORD reserved, DWORD type, const BYTE *data,
                       DWORD data_size);
LSTATUS RegDeleteValueA(HKEY key, LPCSTR value_name);
// Fails with ERROR_ACCESS_DENIED while the key still has subkeys, as on Windows.
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR sub_key);
// Subkeys are enumerated in the order of their names (without regard to case), values in the
// order they were first set.
LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved,
                      LPSTR class_name, LPDWORD class_size, FILETIME *last_write);
LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR value_name, LPDWORD value_name_size,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD data_size);

// ---- Profile files ----

// Windows semantics on DOS paths: sections and keys compared without regard to case, values
// trimmed and stripped of one pair of enclosing quotes; a null section lists the section
// names and a null key the keys of a section (each NUL-terminated, then one more NUL). A file
// name without a folder lives in the Windows directory (C:\Windows).
DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer,
                               DWORD size, LPCSTR file_name);
UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT default_value, LPCSTR file_name);
// A null value removes the key, a null key the whole section. Untouched lines keep their
// bytes and line ends; the file is replaced atomically.
BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file_name);
