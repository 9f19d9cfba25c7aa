// Patch distribution: the message that carries a patch to the mail client, and the copy into
// a customer's folder on the collection share, with the recipient page that names it.
#include "patch/distribute.h"

#include "patch/pages.h"

#include "kernel/files/paths.h"
#include "kernel/mail/mail.h"
#include "kernel/ui/box.h"
#include "kernel/ui/tin.h"
#include "patch/entry.h"
#include "patch/log.h"
#include "patch/parts.h"
#include "patch/signature.h"

#include <cstring>
#include <vector>

namespace {

constexpr uint16_t licence_length = 6;
constexpr uint16_t copy_chunk = 4096;

} // namespace

std::string patch_tool_folder() {
    char program[DXI_PATH_BUFFER], folder[DXI_PATH_BUFFER];
    return fxi_path_folder(fxi_module_path(program), folder);
}

std::string patch_tool_setting(const char *key, const char *default_value) {
    std::string file = patch_tool_folder() + "kvpatch.ini";
    std::vector<char> value(1025);
    DWORD n = GetPrivateProfileStringA("patch", key, default_value, value.data(),
                                       static_cast<DWORD>(value.size()), file.c_str());
    return std::string(value.data(), n);
}

std::string patch_backup_server() {
    return patch_tool_setting("backupserver", patch_default_backup_server);
}

std::string patch_download_url() {
    return patch_tool_setting("downloadurl", patch_default_download_url);
}

std::string patch_file_path(const char *patch_name) {
    (void)fxi_dir_make_all("\\source\\patches\\"); // if missing, the use of the path fails
    return "\\source\\patches\\" + patch_split(patch_name).name + ".kvz";
}

std::string patch_mail_body() {
    std::string body =
        "To install the attached update, double click on it and the KOVA Brisel Patch Installer "
        "will guide you through the installation process.\r\n";
    body += "If the patch installer is not installed and you would like to install it now, or "
            "your currently installed copy produces the message 'Incompatible Patch File', "
            "please go to ";
    body += patch_download_url() + " \r\n\r\n";
    body += "NOTE:      All KOVA Brisel users will have to be out of the system to install the "
            "patch.\r\n\r\n";
    body += "IMPORTANT: Having installed the patch, please enter the system and run the function "
            "'Update System Files' found on the Supervisor Functions menu.";
    return body;
}

std::string patch_collection_folder(const char *licence) {
    std::string folder;
    return fxd_fmt_assign(folder, "\\\\%str%\\kovasend\\today\\%txt%\\",
                          patch_backup_server().c_str(), licence, static_cast<int>(licence_length));
}

bool patch_mail(const char *patch_name) {
    std::string patch = patch_file_path(patch_name);
    // A signature travels with its patch, so the recipient can check who made it.
    std::string attachments = patch, signature = patch + PATCH_SIGNATURE_EXTENSION;
    if (fxi_test_file(signature.c_str())) attachments += ";" + signature;
    // The mail layer shows its own failures; an unattended run also needs the outcome.
    if (fxk_mail_send(nullptr, nullptr, patch_mail_body().c_str(), attachments.c_str(), nullptr,
                      DXK_MAIL_DIALOG))
        return true;
    if (!patch_interactive()) {
        std::string text;
        patch_report(fxd_fmt_assign(text, "The patch %str% was not mailed", patch.c_str()).c_str());
    }
    return false;
}

bool patch_queue(const char *patch_name) {
    PatchRecipientPage recipient;
    if (fxp_tin_prompt(&recipient.page, "Specify Recipient") == 0) {
        if (!patch_interactive())
            patch_report("The patch was not queued - only an operator can name its recipient");
        return false;
    }
    const char *licence = recipient.licence;

    std::string patch = patch_file_path(patch_name);
    std::string folder = patch_collection_folder(licence);
    if (uint16_t code = fxi_dir_make_all(folder.c_str())) {
        fxp_msg_errorf("Failed to create folder '%str%' - %str%", folder.c_str(),
                       fxk_error_text(code, &EXI_FILE));
        return false;
    }
    // The destination keeps the argument as typed, so a name with folders only works when
    // those folders exist on the share.
    std::string destination = folder + patch_name + ".kvz";
    if (uint16_t code = fxi_copy_file(patch.c_str(), destination.c_str(), copy_chunk)) {
        fxp_msg_errorf("Failed to copy '%str%' to '%str%'- %str%", patch.c_str(),
                       destination.c_str(), fxk_error_text(code, &EXI_FILE));
        return false;
    }
    std::string signature = patch + PATCH_SIGNATURE_EXTENSION;
    if (fxi_test_file(signature.c_str())) {
        std::string copy = destination + PATCH_SIGNATURE_EXTENSION;
        if (uint16_t code = fxi_copy_file(signature.c_str(), copy.c_str(), copy_chunk)) {
            fxp_msg_errorf("Failed to copy '%str%' to '%str%'- %str%", signature.c_str(),
                           copy.c_str(), fxk_error_text(code, &EXI_FILE));
            return false;
        }
    }
    fxp_msg_info("Patch successfully queued for collection");
    return true;
}
