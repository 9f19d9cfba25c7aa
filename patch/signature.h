// Signed patches: Ed25519 key pairs, the detached signature PATCH.sig beside a patch, the
// trusted keys of kvpatch.ini and the check an installation makes before it changes anything.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t PATCH_PUBLIC_KEY_SIZE = 32;
inline constexpr size_t PATCH_SECRET_KEY_SIZE = 64;
inline constexpr size_t PATCH_SIGNATURE_SIZE = 64;
inline constexpr size_t PATCH_SIGNER_MAX = 256;
inline constexpr const char *PATCH_SIGNATURE_EXTENSION = ".sig";

struct PatchPublicKey {
    std::string signer;
    std::array<uint8_t, PATCH_PUBLIC_KEY_SIZE> key{};
    std::string file; // where it was read from, for messages
};

struct PatchSecretKey {
    std::string signer;
    std::array<uint8_t, PATCH_SECRET_KEY_SIZE> key{};
};

// Outcomes of signature operations; each has a text (patch_signature_text).
enum class PatchSignatureError {
    none,
    crypto_unavailable,
    bad_signer,   // empty, too long, or a line break in it
    key_exists,   // keygen never overwrites a key
    write_failed, // a key or signature file could not be written
    read_failed,  // a key, signature or patch file could not be read
    malformed,    // not a key or signature file of ours
};

[[nodiscard]] const char *patch_signature_text(PatchSignatureError error);

// Writes NAME.key (the secret key, readable by its owner only) and NAME.pub for `signer`.
// Neither file may exist yet. `name` is a DOS path without extension.
[[nodiscard]] PatchSignatureError patch_keygen(const std::string &name, const std::string &signer);

[[nodiscard]] PatchSignatureError patch_read_public_key(const std::string &path,
                                                        PatchPublicKey &key);
[[nodiscard]] PatchSignatureError patch_read_secret_key(const std::string &path,
                                                        PatchSecretKey &key);

// Signs the whole patch file with the signer's name and writes PATCH.sig beside it, replacing
// an older signature.
[[nodiscard]] PatchSignatureError patch_sign(const std::string &patch_path,
                                             const PatchSecretKey &key);

// What a patch's signature file says about it.
enum class PatchSignatureState {
    valid,   // made over this very file by the key it names
    missing, // no PATCH.sig
    unreadable,
    malformed,
    invalid,   // the file or the signer's name changed since it was signed
    untrusted, // valid, but by a key that is not among the trusted ones
};

struct PatchSignatureCheck {
    PatchSignatureState state = PatchSignatureState::missing;
    std::string signer;     // as the signature names it
    std::string key_id;     // short fingerprint of the signing key
    std::string sig_path;   // PATCH.sig
    std::string trusted_as; // the trusted key file that vouches for it
};

// Checks PATCH.sig against the patch. With `trusted` a valid signature by any other key is
// `untrusted`; without it (null) only the signature itself is checked.
PatchSignatureCheck patch_check_signature(const std::string &patch_path,
                                          const std::vector<PatchPublicKey> *trusted);

// A short fingerprint of a public key: 16 hexadecimal digits.
std::string patch_key_id(const std::array<uint8_t, PATCH_PUBLIC_KEY_SIZE> &key);

// The trusted keys named by a trustedkeys= value: public key files or folders of them
// (every *.pub inside), separated by ';'. Relative entries are taken from `base_dir`.
// False, with `failed` naming the entry, when an entry cannot be read.
[[nodiscard]] bool patch_load_trusted_keys(const std::string &setting, const std::string &base_dir,
                                           std::vector<PatchPublicKey> &keys, std::string &failed);

// The signature policy of kvpatch.ini beside the program (section "patch", keys
// "requiresignature" and "trustedkeys").
struct PatchSignaturePolicy {
    bool required = false;
    std::string trusted_keys; // the setting as written
    std::string base_dir;     // the folder of kvpatch.ini
};
PatchSignaturePolicy patch_signature_policy();

// Whether a patch whose signature is missing may still be installed: an undo patch that
// lies in the unpatch\ folder of a release tree, where installation writes them.
bool patch_is_own_undo_patch(const char *patch_path);

// The installation's check, before anything is written or stopped: true when signatures are
// not required, or the patch is signed by a trusted key, or it is the installation's own
// undo patch. Otherwise reports which of these failed (patch_report) and answers false.
[[nodiscard]] bool patch_signature_allowed(const char *patch_path);
