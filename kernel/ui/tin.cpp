// Toggle strings, button strings and validation strings of prompt pages.
#include "kernel/ui/tin.h"

#include <cctype>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// The value a validation check sees: without trailing blanks and NULs.
std::string_view trimmed(const char *value, size_t length) {
    if (!value) return {};
    while (length > 0 && (value[length - 1] == ' ' || value[length - 1] == '\0')) --length;
    return {value, length};
}

// A decimal number as number fields write it: optional sign, digits, optional fraction.
bool as_number(std::string_view text, double *number) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), *number, std::chars_format::fixed);
    return error == std::errc() && end == text.data() + text.size();
}

// Order of two values of a field type: numbers by value, everything else byte by byte (a
// shorter value that equals the start of a longer one sorts first).
int compare(char type, std::string_view a, std::string_view b) {
    if (type == 'N' || type == 'R' || type == 'B') {
        double x, y;
        if (as_number(a, &x) && as_number(b, &y)) return x < y ? -1 : x > y ? 1 : 0;
    }
    int order = a.compare(b);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

bool takes_validation(char type) {
    return type && std::strchr("BDLNRV", type) != nullptr;
}

} // namespace

const char *fxp_tin_toggle_next(const char *position, TXP_TIN_TOGGLE *item, bool quiet) {
    *item = TXP_TIN_TOGGLE{};
    if (!position || !*position) return nullptr;
    const char *label_end = std::strchr(position, '|');
    const char *value_end = label_end ? std::strchr(label_end + 1, '|') : nullptr;
    if (!value_end) {
        if (!quiet) fxp_msg_error(DXP_TIN_MSG_TOGGLE);
        return nullptr;
    }
    item->label = position;
    item->label_length = static_cast<size_t>(label_end - position);
    item->value = label_end + 1;
    item->value_length = static_cast<size_t>(value_end - label_end - 1);
    return value_end + 1;
}

uint16_t fxp_tin_button_value(const char *text, size_t length) {
    if (!text || length == 0) return 0;
    uint32_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
        if (value > 0xFFFF) return 0;
    }
    return static_cast<uint16_t>(value);
}

std::string fxp_tin_button_text(const std::string &label) {
    std::string text;
    for (size_t i = 0; i < label.size(); ++i) {
        // "&&" shows one '&'; a single '&' only marks the hot key.
        if (label[i] == '&') {
            if (i + 1 < label.size() && label[i + 1] == '&') text += '&', ++i;
            continue;
        }
        text += label[i];
    }
    return text;
}

int fxp_tin_button_hot_key(const std::string &label) {
    for (size_t i = 0; i + 1 < label.size(); ++i) {
        if (label[i] != '&') continue;
        if (label[i + 1] != '&') return std::toupper(static_cast<unsigned char>(label[i + 1]));
        ++i;
    }
    std::string text = fxp_tin_button_text(label);
    return text.empty() ? 0 : std::toupper(static_cast<unsigned char>(text[0]));
}

bool fxp_tin_validate(char type, const char *spec, const char *value, size_t length, bool quiet) {
    if (!spec || !*spec) return true;
    if (!takes_validation(type)) {
        if (!quiet) {
            std::string message = "Warning - validation string not used on type '";
            message += type;
            message += "' fields!";
            fxp_msg_error(message.c_str());
        }
        return true;
    }
    std::string_view text = trimmed(value, length);
    for (const char *item = spec; *item;) {
        const char *bar = std::strchr(item, '|');
        if (!bar) {
            if (!quiet) fxp_msg_error(DXP_TIN_MSG_VALIDATION);
            return false;
        }
        std::string_view entry(item, static_cast<size_t>(bar - item));
        item = bar + 1;
        bool excluded = !entry.empty() && entry.front() == '!';
        if (excluded) entry.remove_prefix(1);
        bool match;
        size_t comma = entry.find(',');
        if (comma != std::string_view::npos) {
            match = compare(type, text, entry.substr(0, comma)) >= 0 &&
                    compare(type, text, entry.substr(comma + 1)) <= 0;
        } else {
            match = entry == "..." || compare(type, text, entry) == 0;
        }
        if (match) return !excluded;
    }
    return false;
}
