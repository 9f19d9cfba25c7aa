// The menu record layout: entry checksums and the conversion of release-7 menu records.
#include "kernel/install/menus.h"

#include <cctype>

namespace {

constexpr size_t header_checksum = 38;
constexpr size_t header_format = 43;
constexpr size_t entry_old_program = 35;
constexpr size_t entry_letter = 38;
constexpr size_t entry_program = 43;
constexpr size_t entry_checksum = 60;

void put_word(uint8_t *at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>(value >> 8);
}

} // namespace

uint8_t fxk_menu_entry_sum(const uint8_t *entry) {
    uint8_t sum = 0;
    for (size_t i = 0; i < DXK_MENU_ENTRY; ++i)
        if (i != entry_checksum) sum = static_cast<uint8_t>(sum + entry[i]);
    return sum;
}

void fxk_menu_migrate_record(uint8_t *record) {
    put_word(record + header_format, DXK_MENU_FORMAT_MIGRATED);
    // The sum covers the header as it stands, its old checksum included.
    uint16_t sum = 0;
    for (size_t i = 0; i < DXK_MENU_HEADER; i += 2)
        sum = static_cast<uint16_t>(sum + (record[i] | record[i + 1] << 8));
    put_word(record + header_checksum, sum);
    for (size_t k = 0; k < DXK_MENU_ENTRIES; ++k) {
        uint8_t *entry = record + DXK_MENU_HEADER + DXK_MENU_ENTRY * k;
        if (entry[entry_program] == 0 && entry[entry_program + 1] == 0 &&
            entry[entry_program + 2] == 0)
            continue;
        for (size_t i = 0; i < 3; ++i) entry[entry_old_program + i] = entry[entry_program + i];
        entry[entry_program] = 'K';
        entry[entry_program + 1] = 'V';
        entry[entry_program + 2] = static_cast<uint8_t>(std::toupper(entry[entry_letter]));
        entry[entry_checksum] = 0;
        entry[entry_checksum] = fxk_menu_entry_sum(entry);
    }
}
