// What the report says: the error code text, the recorded message, the log block with and
// without activity rows, the printed pages, the mail's subject and the rules that allow it,
// the dump archive's name, the dump type and the Windows names of the operating system.
#include "kernel/errors/report.h"
#include "kernel/files/install.h"
#include "platform/host.h"
#include "tests/support/testing.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::string pad(std::string text, size_t width) {
    text.resize(width, ' ');
    return text;
}

// 9 December 2026 14:05:09, a Wednesday.
TXD_CLOCK the_clock() {
    return TXD_CLOCK{{0x09, 0x12, 0x20, 0x26}, {0x14, 0x05, 0x09}};
}

TXK_ERROR_REPORT base_report(uint16_t code, uint16_t sub_code, const char *message) {
    TXK_ERROR_REPORT r;
    r.record.clock = the_clock();
    const std::string function = pad("Stock valuation", 35), user = pad("pat", 20);
    std::memcpy(r.record.function, function.data(), function.size());
    std::memcpy(r.record.user_id, user.data(), user.size());
    std::memcpy(r.record.component, "        ", 8);
    std::memcpy(r.record.extension, "   ", 3);
    std::memcpy(r.record.company, "ABC", 3);
    r.code = code;
    r.sub_code = sub_code;
    r.message = fxk_error_message(message);
    r.code_text = fxk_error_code_text(code, sub_code);
    r.program_name = std::string(12, ' ');
    r.entry_point = "";
    r.version = "Version 7.1";
    r.computer = "WS01";
    r.os_name = "Debian GNU/Linux 12 (bookworm), Linux 6.1.0";
    r.date = "Wednesday 9th December 2026";
    r.time = "14:05:09";
    return r;
}

TXK_ACTIVITY_ROW row(const char *user, const char *function, char activity, const char *workstation,
                     const char *client) {
    uint8_t record[64] = {};
    std::memcpy(record, user, std::strlen(user));
    std::memcpy(record + 22, function, std::strlen(function));
    record[57] = static_cast<uint8_t>(activity);
    return fxk_activity_row(record, workstation, client);
}

TEST(Report, ErrorCodeTextAndMessage) {
    struct Case {
        uint16_t code, sub_code;
        const char *text;
    } cases[] = {
        {65, 0, "101"},  {65, 3, "101 / 3"}, {0, 0, "000"},
        {255, 0, "377"}, {0x141, 0, "101"},  {8, 65535, "010 / 65535"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(fxk_error_code_text(c.code, c.sub_code), c.text) << c.code << "/" << c.sub_code;

    EXPECT_EQ(fxk_error_message(nullptr), "");
    EXPECT_EQ(fxk_error_message(std::string(80, 'x').c_str()), std::string(80, 'x'));
    EXPECT_EQ(fxk_error_message(std::string(81, 'x').c_str()), "Error message too long!");
}

TEST(Report, LogBlockOfASingleUser) {
    TXK_ERROR_REPORT r = base_report(65, 0, nullptr);
    EXPECT_EQ(fxk_error_log_block(r),
              "On Wednesday 9th December 2026 at 14:05:09 error code 101 occurred.\r\n"
              "Function Description \"Stock valuation\"\r\n"
              "User ID \"pat\" on Workstation \"WS01\" using Debian GNU/Linux 12 (bookworm), "
              "Linux 6.1.0\r\n"
              "The function was Version 7.1\r\n"
              "The function was running in a singleuser environment\r\n");
    EXPECT_EQ(fxk_error_abort_line(r),
              "Program aborted - Kova error code 101 from \"Stock valuation\"");
}

TEST(Report, LogBlockOfACorruptCompanyGroup) {
    TXK_ERROR_REPORT r = base_report(65, 3, std::string(81, 'm').c_str());
    std::memcpy(r.record.component, "KVPATCH ", 8);
    std::memcpy(r.record.extension, "EXE", 3);
    r.has_entry_point = true;
    r.entry_point = "2";
    r.client = "TSCLIENT7";
    r.rows = {row("pat", "Stock valuation", 'R', "WS01", "TSCLIENT7"),
              row("kim", "Sales ledger posting", 'W', nullptr, nullptr)};
    r.corrupt = true;
    EXPECT_EQ(fxk_error_log_block(r),
              "On Wednesday 9th December 2026 at 14:05:09 error code 101 / 3 occurred.\r\n"
              "Error message too long!\r\n"
              "Function Description \"Stock valuation\"\r\n"
              "User ID \"pat\" on Client Station \"TSCLIENT7\" attached to Terminal Server "
              "\"WS01\" using Debian GNU/Linux 12 (bookworm), Linux 6.1.0\r\n"
              "The function was KVPATCH.EXE Version 7.1 entry point 2\r\n"
              "The multiuser activity in that company group at that time was:\r\n"
              "User                 Function                              Workstation     "
              "Client          Additional Information\r\n" +
                  pad("pat", 20) + " " + pad("Stock valuation", 35) + " R " + pad("WS01", 15) +
                  " " + pad("TSCLIENT7", 48) + "\r\n" + pad("kim", 20) + " " +
                  pad("Sales ledger posting", 35) + " W " + pad("", 15) + " " + pad("", 48) +
                  " CORRUPTIBLE\r\n"
                  "AS A RESULT, THIS COMPANY GROUP IS NOW CORRUPT!\r\n");
}

TEST(Report, ActivityRowsFromUsersRecords) {
    // Letters compare as signed bytes: from 'V' on a function is corruptible.
    EXPECT_FALSE(fxk_activity_corruptible(row("a", "f", 'U', nullptr, nullptr)));
    EXPECT_TRUE(fxk_activity_corruptible(row("a", "f", 'V', nullptr, nullptr)));
    EXPECT_FALSE(fxk_activity_corruptible(row("a", "f", '\xE0', nullptr, nullptr)));
    TXK_ACTIVITY_ROW r = row("kim", "Payroll", 'R', "WS02", nullptr);
    EXPECT_EQ(std::string(r.user_id, 20), pad("kim", 20)) << "NULs of the record become blanks";
    EXPECT_EQ(std::string(r.function, 35), pad("Payroll", 35));
    EXPECT_EQ(std::string(r.workstation, 15), pad("WS02", 15));
    EXPECT_EQ(std::string(r.client, 48), pad("", 48));
}

TEST(Report, PrintedReportIsPagedIn132Columns) {
    TXK_ERROR_REPORT r = base_report(65, 3, "Stock file damaged");
    std::string text = fxk_error_print_text(r, 66);
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    ASSERT_GE(lines.size(), 16u);
    EXPECT_EQ(lines[0],
              pad("", 51) + "KOVA UNEXPECTED ERROR REPORT" + pad("", 121 - 79) + "PAGE     1");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], pad("FUNCTION NAME", 40) + "Stock valuation");
    EXPECT_EQ(lines[3], pad("ERROR CODE", 40) + "101 / 3");
    EXPECT_EQ(lines[4], pad("ERROR TEXT", 40) + "Stock file damaged");
    EXPECT_EQ(lines[5], "PROGRAM NAME") << "blanks when the component is not identified";
    EXPECT_EQ(lines[10], pad("WORKSTATION OPERATING SYSTEM", 40) + r.os_name);
    EXPECT_EQ(lines[13], pad("TIME", 40) + "14:05:09");
    EXPECT_EQ(lines[14], "");
    EXPECT_EQ(lines[15], "FUNCTION WAS RUNNING IN A SINGLE USER ENVIRONMENT");

    // Without a message there is no ERROR TEXT line; 100 users fill two pages of 66 lines.
    r = base_report(65, 0, nullptr);
    for (int i = 0; i < 100; ++i)
        r.rows.push_back(row(("user" + std::to_string(i)).c_str(), "Payroll", i == 99 ? 'W' : 'R',
                             "WS02", "CLIENT-WITH-A-LONG-NAME-0123456789"));
    text = fxk_error_print_text(r, 66);
    EXPECT_EQ(text.find("ERROR TEXT"), std::string::npos);
    size_t feed = text.find('\f');
    ASSERT_NE(feed, std::string::npos);
    EXPECT_EQ(text.find('\f', feed + 1), std::string::npos);
    std::string first = text.substr(0, feed), second = text.substr(feed + 1);
    size_t first_lines = 0;
    for (char c : first) first_lines += c == '\n';
    EXPECT_EQ(first_lines, 66u);
    EXPECT_EQ(second.find(pad("", 51) + "KOVA UNEXPECTED ERROR REPORT"), 0u);
    EXPECT_NE(second.find("PAGE     2\r\n\r\n"), std::string::npos);
    EXPECT_NE(first.find("USER                 FUNCTION                           STATUS "
                         "WORKSTATION    CLIENT          ADDITIONAL INFORMATION\r\n"),
              std::string::npos);
    EXPECT_NE(first.find(pad("user0", 21) + pad("Payroll", 37) + pad("R", 5) + pad("WS02", 15) +
                         "CLIENT-WITH-A-LONG-NAME-0123456789\r\n"),
              std::string::npos);
    // A corruptible row keeps its marker at column 94; the client gives up the rest.
    EXPECT_NE(second.find(pad("user99", 21) + pad("Payroll", 37) + pad("W", 5) + pad("WS02", 15) +
                          pad("CLIENT-WITH-A-L", 16) + "CORRUPTIBLE\r\n"),
              std::string::npos);
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        EXPECT_LE(end - at, 132u);
}

TEST(Report, MailSubjectAndWhoMayMail) {
    EXPECT_EQ(fxk_error_mail_subject("Main system", "Acme Ltd", "ABC"),
              "Error report from \"Main system\" Company \"Acme Ltd\" (ABC)");

    kova_test::TempPrefix prefix;
    std::string home = prefix.map_drive('d');
    kova_test::write_file(home + "/kova.ini", "[system]\r\ncompany=ABC\r\n");
    fxi_set_data_home("D:\\");
    fxi_load_installation();
    struct Case {
        const char *setting; // emailerrors of the company file; null: no file
        const char *user_domain, *kova_domain;
        bool allowed;
    } cases[] = {
        {"Yes", nullptr, nullptr, true},    {"y", "OFFICE", "N", true},
        {nullptr, nullptr, nullptr, false}, {"No", nullptr, nullptr, false},
        {"Y", "SYSKOVA", nullptr, false},   {"Y", "syskova", nullptr, false},
        {"Y", nullptr, "yes", false},
    };
    for (const Case &c : cases) {
        std::filesystem::remove(home + "/kovaABC.ini");
        if (c.setting)
            kova_test::write_file(home + "/kovaABC.ini",
                                  std::string("[support]\r\nemailerrors=") + c.setting + "\r\n");
        SetEnvironmentVariableA("USERDOMAIN", c.user_domain);
        SetEnvironmentVariableA("KOVADOMAIN", c.kova_domain);
        EXPECT_EQ(fxk_error_mail_allowed(), c.allowed)
            << (c.setting ? c.setting : "-") << " " << (c.user_domain ? c.user_domain : "-") << " "
            << (c.kova_domain ? c.kova_domain : "-");
    }
    SetEnvironmentVariableA("USERDOMAIN", nullptr);
    SetEnvironmentVariableA("KOVADOMAIN", nullptr);
}

TEST(Report, DumpArchiveNameAndDumpType) {
    TXD_CLOCK clock = the_clock();
    EXPECT_EQ(fxk_dump_archive_name(clock, false), "20261209140509");
    TXK_SIGNON saved = fxk_signon();
    fxk_signon().component = "KVSTOCK";
    fxk_signon().entry_point = 12;
    fxk_signon().user_id = "pat smith";
    fxk_signon().function = "Stock: value/age?";
    EXPECT_EQ(fxk_dump_archive_name(clock, true),
              "20261209140509_KVSTOCK_EP12_pat_smith_Stock__value_age_");
    fxk_signon() = saved;

    struct Case {
        WORD major, minor;
        DWORD type;
    } cases[] = {{4, 0, 0x5},   {5, 1, 0x5},     {5, 2, 0x225},
                 {6, 1, 0x225}, {6, 2, 0x21A25}, {10, 0, 0x21A25}};
    for (const Case &c : cases)
        EXPECT_EQ(fxk_dump_type(c.major, c.minor), c.type) << c.major << "." << c.minor;
}

TEST(Report, OperatingSystemNames) {
    char name[81];
    EXPECT_EQ(fxk_os_name(name), kova_host_os_name().substr(0, 80)) << "the host is named";
    EXPECT_NE(std::string(name).find(kova_test::on_windows() ? "Windows" : "Linux "),
              std::string::npos)
        << name;

    auto version = [](DWORD platform, DWORD major, DWORD minor, DWORD build, const char *pack,
                      BYTE product, WORD suite) {
        OSVERSIONINFOEXA v{};
        v.dwPlatformId = platform;
        v.dwMajorVersion = major;
        v.dwMinorVersion = minor;
        v.dwBuildNumber = build;
        std::strcpy(v.szCSDVersion, pack);
        v.wProductType = product;
        v.wSuiteMask = suite;
        return v;
    };
    const DWORD nt = VER_PLATFORM_WIN32_NT, nine = VER_PLATFORM_WIN32_WINDOWS;
    const BYTE ws = VER_NT_WORKSTATION, server = VER_NT_SERVER;
    struct Case {
        OSVERSIONINFOEXA v;
        bool extended;
        const char *product_type;
        const char *name;
    } cases[] = {
        {version(nt, 10, 0, 19045, "", ws, 0x100), true, nullptr,
         "Windows 10 Professional (Build 19045)"},
        {version(nt, 10, 0, 14393, "", server, 0), true, nullptr,
         "Microsoft Windows 2016 Server (Build 14393)"},
        {version(nt, 5, 2, 3790, "Service Pack 2", server, 0x2), true, nullptr,
         "Microsoft Windows 2003 Server Enterprise Edition Service Pack 2 (Build 3790)"},
        {version(nt, 5, 1, 2600, "Service Pack 3", ws, 0x200), true, nullptr,
         "Microsoft Windows XP Home Edition Service Pack 3 (Build 2600)"},
        {version(nt, 4, 0, 1381, "Service Pack 5", ws, 0), true, nullptr,
         "Microsoft Windows NT Workstation 4 Service Pack 5 (Build 1381)"},
        {version(nt, 5, 0, 2195, "", 0, 0), false, "LanmanNT",
         "Microsoft Windows 2000 Server (Build 2195)"},
        {version(nt, 6, 4, 9999, "", ws, 0), true, nullptr,
         "Unknown Windows Version 6 OS Professional (Build 9999)"},
        {version(nine, 4, 0, 950, " B", 0, 0), true, nullptr, "Microsoft Windows 95 OSR2"},
        {version(nine, 4, 10, 2222, " A", 0, 0), true, nullptr, "Microsoft Windows 98 SE"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(fxk_os_name_windows(c.v, c.extended, c.product_type), c.name);
}

} // namespace
