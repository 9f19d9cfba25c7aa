// Signed patches with libsodium's Ed25519 (the pre-hashed form, so a patch of any size is
// signed in one pass): key files, PATCH.sig, trusted keys and the installation's check.
#include "patch/signature.h"

#include "kernel/files/file.h"
#include "kernel/files/paths.h"
#include "kernel/text/format.h"
#include "kernel/text/text.h"
#include "patch/distribute.h"
#include "patch/format.h"
#include "patch/log.h"
#include "patch/parts.h"
#include "platform/host.h"
#include "platform/win32.h"

#include <sodium.h>

#include <cstring>
#include <memory>
#include <new>

namespace {

// The first line of each of our files, naming its kind and layout version.
constexpr const char *public_key_kind = "kvz-public-key 1";
constexpr const char *secret_key_kind = "kvz-secret-key 1";
constexpr const char *signature_kind = "kvz-signature 1";

constexpr uint32_t read_chunk = 1u << 16;
constexpr uint64_t small_file_max = 1u << 16; // key and signature files are a few lines

bool crypto_ready() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool signer_acceptable(const std::string &signer) {
    return !signer.empty() && signer.size() <= PATCH_SIGNER_MAX &&
           signer.find_first_of("\r\n") == std::string::npos;
}

template <size_t N> std::string base64(const std::array<uint8_t, N> &bytes) {
    std::string out(sodium_base64_ENCODED_LEN(N, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes.data(), N, sodium_base64_VARIANT_ORIGINAL);
    out.resize(std::strlen(out.c_str()));
    return out;
}

template <size_t N> bool from_base64(const std::string &text, std::array<uint8_t, N> &bytes) {
    size_t length = 0;
    const char *end = nullptr;
    return sodium_base642bin(bytes.data(), N, text.data(), text.size(), nullptr, &length, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           length == N && end == text.data() + text.size();
}

// The fields of one of our files: its kind line, then "name: value" lines.
struct Fields {
    std::string kind;
    std::vector<std::pair<std::string, std::string>> values;

    std::string operator[](const char *name) const {
        for (const auto &[key, value] : values)
            if (key == name) return value;
        return {};
    }
};

Fields parse(const std::string &text) {
    Fields fields;
    size_t at = 0;
    bool first = true;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        at = end + 1;
        if (first) {
            fields.kind = line;
            first = false;
            continue;
        }
        size_t colon = line.find(": ");
        if (colon != std::string::npos)
            fields.values.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
    return fields;
}

[[nodiscard]] bool read_small_file(const std::string &path, std::string &text) {
    TXI_FILE file;
    uint64_t length = 0;
    if (file.open(path.c_str(), DXI_FILE_READ) || file.length(&length) || length > small_file_max)
        return false;
    text.assign(static_cast<size_t>(length), '\0');
    return file.read(text.data(), static_cast<uint32_t>(length)) == 0;
}

[[nodiscard]] bool write_new_file(const std::string &path, const std::string &text) {
    TXI_FILE file;
    if (file.create(path.c_str())) return false;
    if (file.write(text.data(), static_cast<uint32_t>(text.size())) || file.close()) {
        (void)file.remove(path.c_str()); // a half-written key file is of no use
        return false;
    }
    return true;
}

// What is signed: our kind line and the signer's name (so neither can be changed without
// breaking the signature), then every byte of the patch.
[[nodiscard]] bool digest_patch(const std::string &patch_path, const std::string &signer,
                                crypto_sign_state &state) {
    crypto_sign_init(&state);
    std::string preamble = std::string(signature_kind) + "\nsigner: " + signer + "\n";
    crypto_sign_update(&state, reinterpret_cast<const unsigned char *>(preamble.data()),
                       preamble.size());
    TXI_FILE patch;
    if (patch.open(patch_path.c_str(), DXI_FILE_READ)) return false;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[read_chunk]);
    if (!buffer) return false;
    for (;;) {
        uint32_t done = 0;
        if (patch.read(buffer.get(), read_chunk, &done)) return false;
        if (done == 0) return true;
        crypto_sign_update(&state, buffer.get(), done);
    }
}

std::string signature_path(const std::string &patch_path) {
    return patch_path + PATCH_SIGNATURE_EXTENSION;
}

bool same_folder(const std::string &a, const std::string &b) {
    return a.size() == b.size() &&
           fxd_compare_nocase(a.c_str(), b.c_str(), static_cast<uint16_t>(a.size())) == 0;
}

} // namespace

const char *patch_signature_text(PatchSignatureError error) {
    switch (error) {
    case PatchSignatureError::none:
        return "done";
    case PatchSignatureError::crypto_unavailable:
        return "the signature library cannot be started";
    case PatchSignatureError::bad_signer:
        return "the signer's name must be 1 to 256 characters on one line";
    case PatchSignatureError::key_exists:
        return "the key file exists already";
    case PatchSignatureError::write_failed:
        return "the file cannot be written";
    case PatchSignatureError::read_failed:
        return "the file cannot be read";
    case PatchSignatureError::malformed:
        return "the file is not a key of the right kind";
    }
    return "unknown";
}

std::string patch_key_id(const std::array<uint8_t, PATCH_PUBLIC_KEY_SIZE> &key) {
    unsigned char hash[8];
    crypto_generichash(hash, sizeof hash, key.data(), key.size(), nullptr, 0);
    char hex[2 * sizeof hash + 1];
    sodium_bin2hex(hex, sizeof hex, hash, sizeof hash);
    return hex;
}

PatchSignatureError patch_keygen(const std::string &name, const std::string &signer) {
    if (!crypto_ready()) return PatchSignatureError::crypto_unavailable;
    if (!signer_acceptable(signer)) return PatchSignatureError::bad_signer;
    std::string secret_path = name + ".key", public_path = name + ".pub";
    if (fxi_test_file(secret_path.c_str()) || fxi_test_file(public_path.c_str()))
        return PatchSignatureError::key_exists;

    PatchSecretKey secret;
    PatchPublicKey pub;
    secret.signer = pub.signer = signer;
    crypto_sign_keypair(pub.key.data(), secret.key.data());
    std::string secret_text = std::string(secret_key_kind) + "\nsigner: " + signer +
                              "\nkey: " + base64(secret.key) + "\n";
    DWORD error = kova_create_private_file(secret_path, secret_text.data(), secret_text.size());
    sodium_memzero(secret_text.data(), secret_text.size());
    sodium_memzero(secret.key.data(), secret.key.size());
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
        return PatchSignatureError::key_exists;
    if (error != ERROR_SUCCESS) return PatchSignatureError::write_failed;
    std::string public_text =
        std::string(public_key_kind) + "\nsigner: " + signer + "\nkey: " + base64(pub.key) + "\n";
    if (!write_new_file(public_path, public_text)) {
        (void)TXI_FILE().remove(secret_path.c_str()); // half a pair is of no use
        return PatchSignatureError::write_failed;
    }
    return PatchSignatureError::none;
}

PatchSignatureError patch_read_public_key(const std::string &path, PatchPublicKey &key) {
    std::string text;
    if (!read_small_file(path, text)) return PatchSignatureError::read_failed;
    Fields fields = parse(text);
    key.signer = fields["signer"];
    key.file = path;
    if (fields.kind != public_key_kind || !signer_acceptable(key.signer) ||
        !from_base64(fields["key"], key.key))
        return PatchSignatureError::malformed;
    return PatchSignatureError::none;
}

PatchSignatureError patch_read_secret_key(const std::string &path, PatchSecretKey &key) {
    if (!crypto_ready()) return PatchSignatureError::crypto_unavailable;
    std::string text;
    if (!read_small_file(path, text)) return PatchSignatureError::read_failed;
    Fields fields = parse(text);
    sodium_memzero(text.data(), text.size());
    key.signer = fields["signer"];
    bool sound = fields.kind == secret_key_kind && signer_acceptable(key.signer) &&
                 from_base64(fields["key"], key.key);
    for (auto &[name, value] : fields.values) sodium_memzero(value.data(), value.size());
    return sound ? PatchSignatureError::none : PatchSignatureError::malformed;
}

PatchSignatureError patch_sign(const std::string &patch_path, const PatchSecretKey &key) {
    if (!crypto_ready()) return PatchSignatureError::crypto_unavailable;
    if (!signer_acceptable(key.signer)) return PatchSignatureError::bad_signer;
    crypto_sign_state state;
    if (!digest_patch(patch_path, key.signer, state)) return PatchSignatureError::read_failed;
    std::array<uint8_t, PATCH_SIGNATURE_SIZE> signature{};
    crypto_sign_final_create(&state, signature.data(), nullptr, key.key.data());
    std::array<uint8_t, PATCH_PUBLIC_KEY_SIZE> pub{};
    crypto_sign_ed25519_sk_to_pk(pub.data(), key.key.data());

    std::string text = std::string(signature_kind) + "\nsigner: " + key.signer +
                       "\nkey: " + base64(pub) + "\nsignature: " + base64(signature) + "\n";
    std::string path = signature_path(patch_path);
    TXI_FILE old(path.c_str());
    if (old.exists() && old.remove()) return PatchSignatureError::write_failed;
    return write_new_file(path, text) ? PatchSignatureError::none
                                      : PatchSignatureError::write_failed;
}

PatchSignatureCheck patch_check_signature(const std::string &patch_path,
                                          const std::vector<PatchPublicKey> *trusted) {
    PatchSignatureCheck check;
    check.sig_path = signature_path(patch_path);
    if (!fxi_test_file(check.sig_path.c_str())) {
        check.state = PatchSignatureState::missing;
        return check;
    }
    std::string text;
    if (!crypto_ready() || !read_small_file(check.sig_path, text)) {
        check.state = PatchSignatureState::unreadable;
        return check;
    }
    Fields fields = parse(text);
    check.signer = fields["signer"];
    std::array<uint8_t, PATCH_PUBLIC_KEY_SIZE> key{};
    std::array<uint8_t, PATCH_SIGNATURE_SIZE> signature{};
    if (fields.kind != signature_kind || !signer_acceptable(check.signer) ||
        !from_base64(fields["key"], key) || !from_base64(fields["signature"], signature)) {
        check.state = PatchSignatureState::malformed;
        return check;
    }
    check.key_id = patch_key_id(key);
    crypto_sign_state state;
    if (!digest_patch(patch_path, check.signer, state)) {
        check.state = PatchSignatureState::unreadable;
        return check;
    }
    if (crypto_sign_final_verify(&state, signature.data(), key.data()) != 0) {
        check.state = PatchSignatureState::invalid;
        return check;
    }
    check.state = PatchSignatureState::valid;
    if (!trusted) return check;
    for (const PatchPublicKey &candidate : *trusted) {
        if (sodium_memcmp(candidate.key.data(), key.data(), key.size()) == 0) {
            check.trusted_as = candidate.file;
            return check;
        }
    }
    check.state = PatchSignatureState::untrusted;
    return check;
}

bool patch_load_trusted_keys(const std::string &setting, const std::string &base_dir,
                             std::vector<PatchPublicKey> &keys, std::string &failed) {
    size_t at = 0;
    while (at <= setting.size()) {
        size_t end = setting.find(';', at);
        if (end == std::string::npos) end = setting.size();
        std::string entry = setting.substr(at, end - at);
        at = end + 1;
        fxd_string_trim(entry);
        if (entry.empty()) continue;
        bool absolute = entry.find(':') != std::string::npos || entry[0] == '\\';
        std::string path = absolute ? entry : base_dir + entry;
        if (fxi_dir_exists(path.c_str())) {
            if (path.back() != '\\') path += '\\';
            TXI_DIRSCAN scan;
            char found[DXI_PATH_BUFFER];
            for (uint16_t code = fxi_dir_first((path + "*.pub").c_str(), 0, 0, found, &scan);
                 code == 0; code = fxi_dir_next(found, &scan)) {
                PatchPublicKey key;
                if (patch_read_public_key(found, key) != PatchSignatureError::none) {
                    fxi_dir_close(&scan);
                    failed = found;
                    return false;
                }
                keys.push_back(key);
            }
            fxi_dir_close(&scan);
            continue;
        }
        PatchPublicKey key;
        if (patch_read_public_key(path, key) != PatchSignatureError::none) {
            failed = path;
            return false;
        }
        keys.push_back(key);
    }
    return true;
}

PatchSignaturePolicy patch_signature_policy() {
    PatchSignaturePolicy policy;
    std::string required = patch_tool_setting("requiresignature", "0");
    policy.required = !required.empty() && std::strchr("1yY", required[0]) != nullptr;
    policy.trusted_keys = patch_tool_setting("trustedkeys", "");
    policy.base_dir = patch_tool_folder();
    return policy;
}

bool patch_is_own_undo_patch(const char *patch_path) {
    char full[DXI_PATH_BUFFER] = {};
    DWORD n = GetFullPathNameA(patch_path, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return false;
    PatchPathParts parts = patch_split(full);
    bool in_unpatch = false;
    for (const char *tree : {"\\KOVABrisel\\", "\\kova2006\\", "\\kova2004\\", "\\kova2000\\"}) {
        if (same_folder(parts.dir, std::string(tree) + "unpatch\\") &&
            fxi_dir_exists((parts.drive + tree).c_str()))
            in_unpatch = true;
    }
    if (!in_unpatch) return false;
    // Only what installation writes there counts: a file that says it is an undo patch.
    TXI_FILE file;
    uint8_t bytes[PATCH_FILE_HEADER_SIZE];
    if (file.open(full, DXI_FILE_READ) || file.read(bytes, sizeof bytes)) return false;
    PATCH_FILE_HEADER header;
    patch_decode_file_header(bytes, header);
    return header.magic == PATCH_FILE_MAGIC && (header.flags & PATCH_FLAG_UNDO);
}

bool patch_signature_allowed(const char *patch_path) {
    PatchSignaturePolicy policy = patch_signature_policy();
    if (!policy.required) return true;
    std::vector<PatchPublicKey> trusted;
    std::string failed;
    std::string text;
    if (!patch_load_trusted_keys(policy.trusted_keys, policy.base_dir, trusted, failed)) {
        fxd_fmt_assign(text, "Unable to apply patch - the trusted key '%str%' cannot be read",
                       failed.c_str());
        return patch_report(text.c_str());
    }
    PatchSignatureCheck check = patch_check_signature(patch_path, &trusted);
    if (check.state == PatchSignatureState::untrusted && trusted.empty())
        return patch_report("Unable to apply patch - signatures are required but no trusted "
                            "keys are configured (trustedkeys= in kvpatch.ini)");
    switch (check.state) {
    case PatchSignatureState::valid:
        return true;
    case PatchSignatureState::missing:
        if (patch_is_own_undo_patch(patch_path)) return true;
        fxd_fmt_assign(text, "Unable to apply patch - it is not signed ('%str%' is missing)",
                       check.sig_path.c_str());
        break;
    case PatchSignatureState::unreadable:
    case PatchSignatureState::malformed:
        fxd_fmt_assign(text, "Unable to apply patch - its signature '%str%' cannot be read",
                       check.sig_path.c_str());
        break;
    case PatchSignatureState::invalid:
        fxd_fmt_assign(text,
                       "Unable to apply patch - its signature by %str% does not match the patch "
                       "(the patch was changed after it was signed)",
                       check.signer.c_str());
        break;
    case PatchSignatureState::untrusted:
        fxd_fmt_assign(text,
                       "Unable to apply patch - it is signed by %str% with key %str%, which is "
                       "not a trusted key",
                       check.signer.c_str(), check.key_id.c_str());
        break;
    }
    return patch_report(text.c_str());
}
