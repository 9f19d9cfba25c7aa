// kvz's output: ANSI kernel texts printed as UTF-8, JSON documents, and stamps as text.
#include "kvz/kvz.h"

#include "kernel/text/dates.h"
#include "platform/win32.h"

#include <cstdio>

std::string kvz_utf8(const std::string &ansi) {
    if (ansi.empty()) return {};
    int length = static_cast<int>(ansi.size());
    int wide_size = MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, nullptr, 0);
    std::vector<WCHAR> wide(static_cast<size_t>(wide_size));
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, wide.data(), wide_size);
    int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, utf8.data(), size, nullptr, nullptr);
    return utf8;
}

void kvz_out(const std::string &utf8_line) {
    std::fwrite(utf8_line.data(), 1, utf8_line.size(), stdout);
    std::fputc('\n', stdout);
}

void kvz_err(const std::string &utf8_line) {
    std::fflush(stdout); // keeps the two streams in order on one terminal
    std::fwrite(utf8_line.data(), 1, utf8_line.size(), stderr);
    std::fputc('\n', stderr);
}

int kvz_fail(const std::string &ansi_text) {
    kvz_err("kvz: " + kvz_utf8(ansi_text));
    return KVZ_FAILED;
}

void kvz_out_json(const nlohmann::ordered_json &document) {
    // Every text was converted to UTF-8 before it went in; replacing keeps a stray byte from
    // ending the program.
    kvz_out(document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

namespace {

int bcd(uint8_t value) {
    return (value >> 4) * 10 + (value & 0x0F);
}

} // namespace

std::string kvz_clock_text(const TXD_CLOCK &clock) {
    if (clock.date.day == 0 && clock.date.month == 0) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%02d%02d-%02d-%02d %02d:%02d:%02d", bcd(clock.date.century),
                  bcd(clock.date.year), bcd(clock.date.month), bcd(clock.date.day),
                  bcd(clock.time.hour), bcd(clock.time.minute), bcd(clock.time.second));
    return text;
}

std::string kvz_date2_text(const TXD_DATE2 &date, const TXD_TIME &time) {
    TXD_CLOCK clock{};
    fxd_date2_to_date(&date, &clock.date);
    clock.time = time;
    return kvz_clock_text(clock);
}
