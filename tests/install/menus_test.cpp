// Consolidated menus: the release-7 record conversion and the rebuild over fixture
// installations.
#include "kernel/install/menus.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

using Record = std::array<uint8_t, DXK_MENU_RECORD>;

uint8_t *entry(Record &record, size_t k) {
    return record.data() + DXK_MENU_HEADER + DXK_MENU_ENTRY * k;
}

TEST(MenuRecord, MigrationSetsFormatChecksumsAndProgramReferences) {
    Record record{};
    record[38] = 0x34; // the old header checksum counts in the new one
    record[39] = 0x12;
    uint8_t *program = entry(record, 0);
    program[38] = 'x';
    std::memcpy(program + 43, "ABC", 3);
    program[60] = 0x99;
    uint8_t *empty = entry(record, 1);
    empty[38] = 'q';
    empty[60] = 0x55;
    uint8_t *last = entry(record, 30);
    last[38] = '7';
    last[45] = 1; // not all three bytes zero: a program

    Record before_empty = record;
    fxk_menu_migrate_record(record.data());

    EXPECT_EQ(record[43] | record[44] << 8, DXK_MENU_FORMAT_MIGRATED);
    // 0x1234 + 0x0800 (bytes 42-43) + 0x0001 (bytes 44-45)
    EXPECT_EQ(record[38] | record[39] << 8, 0x1A35);

    EXPECT_EQ(std::memcmp(program + 35, "ABC", 3), 0);
    EXPECT_EQ(std::memcmp(program + 43, "KVX", 3), 0);
    EXPECT_EQ(program[60], 0x37); // 'A'+'B'+'C'+'x'+'K'+'V'+'X' = 0x237
    EXPECT_EQ(program[60], fxk_menu_entry_sum(program));

    EXPECT_EQ(std::memcmp(empty, entry(before_empty, 1), DXK_MENU_ENTRY), 0);

    EXPECT_EQ(last[37], 1);
    EXPECT_EQ(std::memcmp(last + 43, "KV7", 3), 0);
    EXPECT_EQ(last[60], fxk_menu_entry_sum(last));
}

} // namespace
