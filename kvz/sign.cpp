// kvz keygen, sign and verify: key pairs, detached signatures, and the check of a patch by the
// same code that kvpatch's verification runs, with its signature.
#include "kvz/kvz.h"

#include "kernel/text/format.h"
#include "patch/log.h"
#include "patch/parts.h"
#include "patch/process.h"
#include "patch/signature.h"

namespace {

std::vector<std::string> *collected_problems = nullptr;

void collect_problem(const char *text) {
    if (collected_problems) collected_problems->push_back(text);
}

std::string signer_text(const PatchSignatureCheck &check) {
    return "signed by " + check.signer + " (key " + check.key_id + ")";
}

} // namespace

int kvz_keygen(const KvzOptions &options) {
    const std::string &name = options.operands[0];
    std::string signer = options.signer.empty() ? patch_split(name.c_str()).name : options.signer;
    PatchSignatureError error = patch_keygen(name, signer);
    if (error != PatchSignatureError::none)
        return kvz_fail(name + ".key: " + patch_signature_text(error));
    PatchPublicKey key;
    if (patch_read_public_key(name + ".pub", key) != PatchSignatureError::none)
        return kvz_fail(name + ".pub: " + patch_signature_text(PatchSignatureError::read_failed));
    kvz_out(kvz_utf8("wrote " + name + ".key (private: keep it safe) and " + name +
                     ".pub (public: give it to the installations) for " + signer + ", key " +
                     patch_key_id(key.key)));
    return KVZ_OK;
}

int kvz_sign(const KvzOptions &options) {
    const std::string &patch = options.operands[0];
    if (options.keys.size() != 1) {
        kvz_err("kvz: sign needs one --key NAME.key");
        return KVZ_USAGE;
    }
    PatchSecretKey key;
    if (PatchSignatureError error = patch_read_secret_key(options.keys[0], key);
        error != PatchSignatureError::none)
        return kvz_fail(options.keys[0] + ": " + patch_signature_text(error));
    // Signing something that is not a sound patch would vouch for garbage.
    std::vector<std::string> problems;
    collected_problems = &problems;
    patch_set_report_sink(collect_problem);
    bool sound = patch_process(patch.c_str(), PatchMode::verify, nullptr, false);
    patch_set_report_sink(nullptr);
    collected_problems = nullptr;
    if (!sound) {
        for (const std::string &problem : problems) kvz_err(kvz_utf8(patch + ": " + problem));
        return kvz_fail(patch + ": not signed, the patch is not sound");
    }
    if (PatchSignatureError error = patch_sign(patch, key); error != PatchSignatureError::none)
        return kvz_fail(patch + PATCH_SIGNATURE_EXTENSION + ": " + patch_signature_text(error));
    PatchSignatureCheck check = patch_check_signature(patch, nullptr);
    if (check.state != PatchSignatureState::valid)
        return kvz_fail(patch + PATCH_SIGNATURE_EXTENSION + ": the signature does not check");
    kvz_out(kvz_utf8("wrote " + check.sig_path + ", " + signer_text(check)));
    return KVZ_OK;
}

int kvz_verify(const KvzOptions &options) {
    const std::string &patch = options.operands[0];
    std::vector<std::string> problems, notes;

    // The trusted keys: those given, else those kvpatch.ini beside this program names.
    std::vector<PatchPublicKey> trusted;
    bool check_trust = false, required = false;
    if (!options.keys.empty()) {
        check_trust = required = true;
        for (const std::string &file : options.keys) {
            PatchPublicKey key;
            if (PatchSignatureError error = patch_read_public_key(file, key);
                error != PatchSignatureError::none)
                return kvz_fail(file + ": " + patch_signature_text(error));
            trusted.push_back(key);
        }
    } else {
        PatchSignaturePolicy policy = patch_signature_policy();
        required = policy.required;
        std::string failed;
        if (!policy.trusted_keys.empty()) {
            check_trust = true;
            if (!patch_load_trusted_keys(policy.trusted_keys, policy.base_dir, trusted, failed))
                return kvz_fail(failed + ": the trusted key cannot be read");
        }
    }

    collected_problems = &problems;
    patch_set_report_sink(collect_problem);
    bool sound = patch_process(patch.c_str(), PatchMode::verify, nullptr, false);
    patch_set_report_sink(nullptr);
    collected_problems = nullptr;
    if (!sound && problems.empty()) problems.push_back("the patch is not sound");

    PatchSignatureCheck check = patch_check_signature(patch, check_trust ? &trusted : nullptr);
    switch (check.state) {
    case PatchSignatureState::valid:
        notes.push_back(signer_text(check) + (check_trust ? ", trusted by " + check.trusted_as
                                                          : " (no trusted keys to check it by)"));
        break;
    case PatchSignatureState::missing:
        if (required && patch_is_own_undo_patch(patch.c_str()))
            notes.push_back("not signed: an undo patch of this installation, accepted as it is");
        else if (required)
            problems.push_back("not signed (" + check.sig_path + " is missing)");
        else
            notes.push_back("not signed");
        break;
    case PatchSignatureState::unreadable:
    case PatchSignatureState::malformed:
        problems.push_back("the signature " + check.sig_path + " cannot be read");
        break;
    case PatchSignatureState::invalid:
        problems.push_back("the signature by " + check.signer +
                           " does not match the patch (changed after it was signed)");
        break;
    case PatchSignatureState::untrusted:
        problems.push_back(signer_text(check) + ", which is not a trusted key");
        break;
    }

    for (const std::string &problem : problems) kvz_err(kvz_utf8(patch + ": " + problem));
    if (!problems.empty()) return KVZ_FAILED;
    std::string line = patch + ": sound";
    for (const std::string &note : notes) line += ", " + note;
    kvz_out(kvz_utf8(line));
    return KVZ_OK;
}
