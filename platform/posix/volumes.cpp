// Drives and volumes on POSIX: drive types from the filesystem under each drive link, volume
// information, and the network connection of a drive (a cifs or nfs mount, or a link to one
// of the prefix's shares).
#include "files_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/statfs.h>

namespace kova_posix {

namespace {

struct Mount {
    std::string point, root, type, source;
};

// mountinfo escapes blanks and a few other bytes as \ooo.
std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() + 1 && isdigit(static_cast<unsigned char>(s[i + 1]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The mount that holds host path `real` (the longest mount point above it).
bool mount_of(const std::string &real, Mount &found) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    bool any = false;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, dev, root, point, field;
        fields >> id >> parent >> dev >> root >> point;
        while (fields >> field && field != "-") {
        }
        Mount m;
        fields >> m.type >> m.source;
        m.point = unescape(point);
        m.root = unescape(root);
        m.source = unescape(m.source);
        if (path_within(real, m.point) && (!any || m.point.size() >= found.point.size())) {
            found = m;
            any = true;
        }
    }
    return any;
}

bool network_type(const std::string &type) {
    return type == "cifs" || type == "smb3" || type == "smbfs" || type == "nfs" || type == "nfs4" ||
           type == "fuse.sshfs" || type == "9p";
}

// The target of a root given as "X:", "X:\", or "\\server\share\"; empty when unknown.
std::string root_target(LPCSTR root, bool &is_unc) {
    is_unc = false;
    std::string text = root ? utf8_from_ansi(root) : current_dos_directory().substr(0, 3);
    for (char &c : text)
        if (c == '/') c = '\\';
    if (text.size() >= 2 && text[1] == ':' && isalpha(static_cast<unsigned char>(text[0])) &&
        (text.size() == 2 || text.substr(2) == "\\"))
        return drive_target(text[0]);
    if (text.rfind("\\\\", 0) == 0 && text.rfind("\\\\?\\", 0) != 0 &&
        text.rfind("\\\\.\\", 0) != 0) {
        if (text.back() != '\\') text += '\\';
        // Exactly \\server\share\ .
        size_t first = text.find('\\', 2), second = text.find('\\', first + 1);
        if (first == std::string::npos || second != text.size() - 1 || first == 2 ||
            second == first + 1)
            return {};
        ResolvedPath r;
        if (!resolve(text, r)) return {};
        is_unc = true;
        return r.root;
    }
    return {};
}

// The \\server\share of a drive's target: a folder among the prefix's shares, or a network
// mount (with the part of the share below the mount's source). Empty for a local drive.
std::string connection_of(const std::string &target) {
    std::string real = real_path(target);
    // A drive whose target lies in one of the prefix's shares is connected to that share.
    std::string unc = dosdevices() + "/unc";
    if (DIR *servers = opendir(unc.c_str())) {
        std::string found;
        while (dirent *server = readdir(servers)) {
            if (server->d_name[0] == '.') continue;
            std::string server_dir = unc + "/" + server->d_name;
            DIR *shares = opendir(server_dir.c_str());
            if (!shares) continue;
            while (dirent *share = readdir(shares)) {
                if (share->d_name[0] == '.') continue;
                std::string share_real = real_path(server_dir + "/" + share->d_name);
                if (!path_within(real, share_real)) continue;
                found = std::string("\\\\") + server->d_name + "\\" + share->d_name;
                for (char c : real.substr(share_real == "/" ? 0 : share_real.size()))
                    found += c == '/' ? '\\' : c;
                break;
            }
            closedir(shares);
            if (!found.empty()) break;
        }
        closedir(servers);
        if (!found.empty()) return found;
    }
    Mount m;
    if (!mount_of(real, m) || !network_type(m.type)) return {};
    std::string below = real.substr(m.point == "/" ? 0 : m.point.size());
    std::string source = m.source, server, path;
    if (source.rfind("//", 0) == 0) {
        size_t slash = source.find('/', 2);
        server = source.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
        path = slash == std::string::npos ? "" : source.substr(slash);
    } else if (size_t colon = source.find(':'); colon != std::string::npos) {
        server = source.substr(0, colon);
        if (size_t at = server.find('@'); at != std::string::npos) server = server.substr(at + 1);
        path = source.substr(colon + 1);
    } else {
        return {};
    }
    if (m.root != "/") path += m.root;
    path += below;
    std::string out = "\\\\" + server;
    for (char c : path) out += c == '/' ? '\\' : c;
    while (out.size() > 2 && out.back() == '\\') out.pop_back();
    return out;
}

} // namespace

} // namespace kova_posix

using namespace kova_posix;

UINT GetDriveTypeA(LPCSTR root) {
    bool is_unc = false;
    std::string target = root_target(root, is_unc);
    struct stat st;
    if (target.empty() || stat(target.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return DRIVE_NO_ROOT_DIR;
    if (is_unc || !connection_of(target).empty()) return DRIVE_REMOTE;
    Mount m;
    if (mount_of(real_path(target), m)) {
        if (m.type == "iso9660" || m.type == "udf") return DRIVE_CDROM;
    }
    return DRIVE_FIXED;
}

DWORD GetLogicalDrives() {
    DWORD mask = 0;
    for (char letter = 'a'; letter <= 'z'; ++letter)
        if (!drive_target(letter).empty()) mask |= 1u << (letter - 'a');
    return mask;
}

BOOL GetVolumeInformationA(LPCSTR root, LPSTR volume_name, DWORD volume_name_size, LPDWORD serial,
                           LPDWORD max_component, LPDWORD fs_flags, LPSTR fs_name,
                           DWORD fs_name_size) {
    bool is_unc = false;
    std::string target = root_target(root, is_unc);
    struct statfs sf;
    if (target.empty() || statfs(target.c_str(), &sf) != 0)
        return fail(FALSE, ERROR_PATH_NOT_FOUND);
    Mount m;
    std::string type = mount_of(real_path(target), m) ? m.type : "";
    const char *name = type == "vfat"      ? "FAT32"
                       : type == "iso9660" ? "CDFS"
                       : type == "udf"     ? "UDF"
                                           : "NTFS";
    if (volume_name) {
        if (volume_name_size < 1) return fail(FALSE, ERROR_INSUFFICIENT_BUFFER);
        volume_name[0] = 0;
    }
    if (fs_name) {
        if (fs_name_size <= strlen(name)) return fail(FALSE, ERROR_INSUFFICIENT_BUFFER);
        strcpy(fs_name, name);
    }
    int fsid[2];
    memcpy(fsid, &sf.f_fsid, sizeof fsid);
    if (serial) *serial = static_cast<DWORD>(fsid[0]) ^ static_cast<DWORD>(fsid[1]);
    if (max_component) *max_component = 255;
    if (fs_flags) *fs_flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD WNetGetConnectionA(LPCSTR local_name, LPSTR remote_name, LPDWORD length) {
    if (!local_name || !length) return ERROR_INVALID_PARAMETER;
    std::string local = local_name;
    if (local.size() != 2 || local[1] != ':' || !isalpha(static_cast<unsigned char>(local[0])))
        return ERROR_BAD_DEVICE;
    std::string target = drive_target(local[0]);
    if (target.empty()) return ERROR_BAD_DEVICE;
    std::string remote = kova_ansi_from_utf8(connection_of(target));
    if (remote.empty()) return ERROR_NOT_CONNECTED;
    if (!remote_name || *length <= remote.size()) {
        *length = static_cast<DWORD>(remote.size() + 1);
        return ERROR_MORE_DATA;
    }
    strcpy(remote_name, remote.c_str());
    return NO_ERROR;
}
