// Laying out a table definition's columns: the record-number column, offsets, spare columns
// for unused flag bits and unused bytes, overlaps, and the checks across columns.
#include "kernel/install/tabledef.h"
#include "kernel/install/tabledef_names.h"
#include "kernel/text/format.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace {

void order_by_offset(std::vector<TXK_TCOLUMN> &columns) {
    std::stable_sort(
        columns.begin(), columns.end(),
        [](const TXK_TCOLUMN &a, const TXK_TCOLUMN &b) { return a.offset < b.offset; });
}

// Flag columns of one byte are ordered by bit, and every bit no column names gets a spare
// flag column carrying the byte's name.
void fill_flag_bytes(std::vector<TXK_TCOLUMN> &columns) {
    std::vector<TXK_TCOLUMN> result;
    for (size_t i = 0; i < columns.size();) {
        if (columns[i].datatype != DXK_TD_FLAGB) {
            result.push_back(std::move(columns[i++]));
            continue;
        }
        // The group: every flag column at this offset (other columns at the offset stay
        // where they are, after it).
        uint32_t offset = columns[i].offset;
        std::vector<TXK_TCOLUMN> group, others;
        size_t j = i;
        for (; j < columns.size() && columns[j].offset == offset; ++j)
            (columns[j].datatype == DXK_TD_FLAGB ? group : others).push_back(std::move(columns[j]));
        std::stable_sort(group.begin(), group.end(),
                         [](const TXK_TCOLUMN &a, const TXK_TCOLUMN &b) { return a.bit < b.bit; });
        std::set<uint32_t> present;
        for (const TXK_TCOLUMN &column : group) present.insert(column.bit);
        std::string byte_name = group.front().name;
        size_t next = 0;
        for (uint32_t bit = 0; bit < 8; ++bit) {
            while (next < group.size() && group[next].bit <= bit)
                result.push_back(std::move(group[next++]));
            if (present.count(bit)) continue;
            TXK_TCOLUMN spare;
            spare.name = byte_name;
            spare.datatype = DXK_TD_FLAGB;
            spare.length = 1;
            spare.offset = offset;
            spare.bit = bit;
            spare.description = "Spare";
            spare.spare = true;
            result.push_back(std::move(spare));
        }
        while (next < group.size()) result.push_back(std::move(group[next++]));
        for (TXK_TCOLUMN &column : others) result.push_back(std::move(column));
        i = j;
    }
    columns = std::move(result);
}

TXK_TCOLUMN gap_spare(uint32_t &number, uint64_t offset, uint64_t end) {
    TXK_TCOLUMN spare;
    fxd_fmt_assign(spare.name, "sp%dword%,5", ++number);
    spare.description = "Spare";
    spare.datatype = DXK_TD_RESERVED;
    spare.offset = static_cast<uint32_t>(offset);
    spare.length = static_cast<uint32_t>(end - offset);
    spare.spare = true;
    return spare;
}

bool in_union(const std::vector<TXK_TCOLUMN> &columns, size_t i) {
    return !columns[i].union_name.empty();
}

// Unused bytes before the first column, between columns and up to the record size get spare
// columns. A union's members end together at the largest member's end; a spare never covers
// a byte that an earlier column covers.
void fill_gaps(std::vector<TXK_TCOLUMN> &columns, uint32_t record_size) {
    std::vector<TXK_TCOLUMN> result;
    uint32_t number = 0;
    if (!columns.empty() && columns.front().offset > 0)
        result.push_back(gap_spare(number, 0, columns.front().offset));
    uint64_t covered = 0;
    for (size_t i = 0; i < columns.size(); ++i) {
        covered = std::max(covered, uint64_t(columns[i].offset) + columns[i].extent());
        bool last = i + 1 == columns.size();
        result.push_back(columns[i]);
        if (!last && in_union(columns, i) && columns[i + 1].union_name == columns[i].union_name)
            continue;
        uint64_t next = last ? record_size : columns[i + 1].offset;
        if (covered < next) result.push_back(gap_spare(number, covered, next));
    }
    columns = std::move(result);
}

void mark_overlaps(std::vector<TXK_TCOLUMN> &columns, uint32_t record_size) {
    for (size_t i = 0; i < columns.size(); ++i) {
        TXK_TCOLUMN &column = columns[i];
        bool last = i + 1 == columns.size();
        uint64_t next = last ? record_size : columns[i + 1].offset;
        if (uint64_t(column.offset) + column.extent() <= next) continue;
        if (!last) {
            const TXK_TCOLUMN &following = columns[i + 1];
            bool same_struct =
                !column.struct_name.empty() && column.struct_name == following.struct_name;
            if (!column.union_name.empty() && !same_struct) continue;
            // The bits of one flag byte share it.
            if (column.datatype == DXK_TD_FLAGB && following.datatype == DXK_TD_FLAGB &&
                following.offset == column.offset)
                continue;
        }
        column.findings.push_back("Column overlap");
    }
}

void check_columns(TXK_TABLEDEF &def) {
    int primary_keys = 0;
    std::set<std::tuple<std::string, std::string, std::string, std::string>> seen;
    std::map<uint32_t, std::string> flag_bytes; // offset -> the byte's name
    std::set<std::string> names;
    for (const TXK_TCOLUMN &column : def.columns)
        if (!column.spare) names.insert(column.name);
    for (TXK_TCOLUMN &column : def.columns) {
        if (column.spare) continue;
        if (column.name.empty()) column.findings.push_back("No column name");
        if ((column.datatype == DXK_TD_FFORM || column.datatype == DXK_TD_BLOCK) &&
            column.linelen == 0)
            column.findings.push_back("Zero line length");
        if (!column.union_name.empty() && column.checks.empty())
            column.findings.push_back("Union member without check defined");
        if (column.compfunc == DXK_COMP_NONE && column.length == 0)
            column.findings.push_back("Zero length column");
        primary_keys += column.primarykey;
        for (size_t p = 0; p < column.compparams.size(); ++p) {
            const std::string &param = column.compparams[p];
            if (!names.count(param)) {
                std::string message;
                column.findings.push_back(
                    fxd_fmt_assign(message, "Parameter %dword%,5 (%str%) Invalid column name",
                                   uint32_t(p + 1), param.c_str()));
            }
        }
        if (column.datatype == DXK_TD_FLAGB) {
            auto [byte, added] = flag_bytes.emplace(column.offset, column.name);
            if (!added && byte->second != column.name)
                column.findings.push_back("Flag byte name mismatch");
        }
        // The bits of one flag byte share its name; their bit names tell them apart.
        std::string bit_name = column.datatype == DXK_TD_FLAGB ? column.flagbitname : "";
        if (!seen.insert({column.name, column.union_name, column.struct_name, bit_name}).second)
            column.findings.push_back("Duplicate column name");
    }
    if (def.type == DXK_TABLE_RAW && !def.columns.empty() && primary_keys == 0)
        def.findings.push_back("No primary key for table");
    if (primary_keys > 1) def.findings.push_back("More than one primary key");
}

} // namespace

void fxk_tabledef_layout(TXK_TABLEDEF &def) {
    def.findings.clear();
    if (def.type == DXK_TABLE_RAW && !def.recordadded) {
        TXK_TCOLUMN record;
        record.name = "record";
        record.description = "Record number";
        record.compfunc = DXK_COMP_RRN;
        record.datatype = tabledef_compfunc_types[DXK_COMP_RRN];
        record.length = tabledef_datatype_lengths[record.datatype];
        record.primarykey = true;
        record.notnull = true;
        def.columns.push_back(record);
        def.recordadded = true;
    }

    std::vector<TXK_TCOLUMN> stored, computed;
    for (TXK_TCOLUMN &column : def.columns) {
        if (column.spare) continue;
        column.findings.clear();
        (column.compfunc != DXK_COMP_NONE ? computed : stored).push_back(std::move(column));
    }
    if (def.size == 0) {
        uint64_t total = 0;
        for (TXK_TCOLUMN &column : stored) {
            column.offset = static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
            total += column.extent();
        }
    }
    order_by_offset(stored);
    fill_flag_bytes(stored);
    fill_gaps(stored, def.size);
    if (def.size != 0) mark_overlaps(stored, def.size);

    for (TXK_TCOLUMN &column : computed) stored.push_back(std::move(column));
    order_by_offset(stored);
    def.columns = std::move(stored);

    def.rrn_column = def.file_number_column = -1;
    for (size_t i = 0; i < def.columns.size(); ++i) {
        if (def.columns[i].compfunc == DXK_COMP_RRN && def.rrn_column < 0)
            def.rrn_column = static_cast<int>(i);
        if (def.columns[i].compfunc == DXK_COMP_FILE_NUMBER && def.file_number_column < 0)
            def.file_number_column = static_cast<int>(i);
    }
    check_columns(def);
}
