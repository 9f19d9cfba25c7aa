// The freedesktop files that mirror the patch type on a Linux desktop: its MIME type, its
// desktop entry with the verbs as actions, and Exec lines that survive odd prefix paths.
#include "kernel/install/shell.h"
#include "tests/install/shell_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace shell_test;
using kova_test::read_file;
using kova_test::TempPrefix;

std::string xdg_file(const std::string &relative) {
    return read_file(std::string(getenv("XDG_DATA_HOME")) + "/" + relative);
}

const char *const mime_package =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
    "  <mime-type type=\"application/x-kova-kvz\">\n"
    "    <comment>kova brisel Update File</comment>\n"
    "    <glob pattern=\"*.kvz\"/>\n"
    "  </mime-type>\n"
    "</mime-info>\n";

TEST(ShellDesktop, MimeTypeAndDesktopEntryMirrorThePatchRows) {
    TempPrefix prefix;
    Environment env;
    plain_environment(env);
    env.set("XDG_CURRENT_DESKTOP", "test");
    DatabaseTools tools(env);
    std::string data = getenv("XDG_DATA_HOME");
    std::string installed =
        prefix.path() + "/drive_c/Program Files/KOVA Business Software/Brisel/kvpatch.exe";
    std::string exec = "env KOVA_PREFIX=" + prefix.path() + " \"" + installed + "\" %f";
    std::string entry = "[Desktop Entry]\n"
                        "Type=Application\n"
                        "Name=kvpatch\n"
                        "Comment=kova brisel Update File\n"
                        "TryExec=" +
                        installed +
                        "\n"
                        "Exec=" +
                        exec +
                        "\n"
                        "MimeType=application/x-kova-kvz;\n"
                        "Terminal=true\n"
                        "NoDisplay=true\n";
    std::string send = "\n[Desktop Action Send]\nName=Send\nExec=" + exec + " /m\n";
    std::string queue = "\n[Desktop Action QueueforFTPcollection]\n"
                        "Name=Queue for FTP collection\nExec=" +
                        exec + " /f\n";
    std::string refresh = "update-mime-database " + data + "/mime\n" + "update-desktop-database " +
                          data + "/applications\n";

    ASSERT_EQ(fxk_shell_register("kvz", 0), 0);
    EXPECT_EQ(xdg_file("mime/packages/kova-kvz.xml"), mime_package);
    EXPECT_EQ(xdg_file("applications/kvpatch.desktop"), entry + "Actions=Send;\n" + send);
    EXPECT_EQ(tools.calls(), refresh);

    env.set("KOVADOMAIN", "Y");
    ASSERT_EQ(fxk_shell_register("kvz", 0), 0);
    EXPECT_EQ(xdg_file("applications/kvpatch.desktop"),
              entry + "Actions=Send;QueueforFTPcollection;\n" + send + queue);
    EXPECT_EQ(tools.calls(), refresh + refresh);

    // Removal takes both files away, also outside a desktop session.
    env.set("XDG_CURRENT_DESKTOP", std::nullopt);
    EXPECT_EQ(fxk_shell_register("kvz", 1), 0);
    EXPECT_FALSE(std::filesystem::exists(data + "/mime/packages/kova-kvz.xml"));
    EXPECT_FALSE(std::filesystem::exists(data + "/applications/kvpatch.desktop"));
    EXPECT_EQ(tools.calls(), refresh + refresh + refresh);

    // Without a desktop session only the registry is written.
    EXPECT_EQ(fxk_shell_register("kvz", 0), 0);
    EXPECT_FALSE(std::filesystem::exists(data + "/mime/packages/kova-kvz.xml"));
    EXPECT_FALSE(std::filesystem::exists(data + "/applications/kvpatch.desktop"));
}

// The arguments of an Exec value as a launcher reads them: the value's escapes first, then
// quoting with backslash escapes inside quotes, and %% as a percent sign.
std::vector<std::string> launcher_arguments(const std::string &value) {
    std::string line;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            char next = value[++i];
            line += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next;
        } else {
            line += value[i];
        }
    }
    std::vector<std::string> args;
    std::string arg;
    bool quoted = false, any = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted && c == '\\' && i + 1 < line.size()) {
            arg += line[++i];
        } else if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any || !arg.empty()) args.push_back(arg);
            arg.clear();
            any = false;
        } else if (c == '%' && i + 1 < line.size() && line[i + 1] == '%') {
            arg += '%';
            ++i;
        } else {
            arg += c;
        }
    }
    if (any || !arg.empty()) args.push_back(arg);
    return args;
}

TEST(ShellDesktop, ExecLinesKeepOddPrefixPathsWhole) {
    TempPrefix outer;
    std::string odd = outer.path() + "/a \"b\" $c `d` 100% e";
    Environment env;
    plain_environment(env);
    env.set("KOVA_PREFIX", odd);
    env.set("XDG_CURRENT_DESKTOP", "test");
    ASSERT_EQ(fxk_shell_register("kvz", 0), 0);
    std::string entry = xdg_file("applications/kvpatch.desktop");
    size_t at = entry.find("\nExec=");
    ASSERT_NE(at, std::string::npos) << entry;
    std::string value = entry.substr(at + 6, entry.find('\n', at + 1) - at - 6);
    std::string prefix = kova_prefix(); // as the platform normalised it
    EXPECT_EQ(
        launcher_arguments(value),
        (std::vector<std::string>{
            "env", "KOVA_PREFIX=" + prefix,
            prefix + "/drive_c/Program Files/KOVA Business Software/Brisel/kvpatch.exe", "%f"}))
        << value;
}

} // namespace
