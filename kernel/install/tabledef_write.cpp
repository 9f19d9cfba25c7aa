// Writing table definitions in their normalised form into a consolidated document, and the
// code-page helpers shared with reading.
#include "kernel/install/tabledef.h"
#include "kernel/install/tabledef_names.h"
#include "platform/win32.h"

#include <pugixml.hpp>

#include <algorithm>
#include <climits>

namespace {

std::string convert(UINT from, UINT to, std::string_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    int length = static_cast<int>(text.size());
    int wide_length = MultiByteToWideChar(from, 0, text.data(), length, nullptr, 0);
    if (wide_length <= 0) return {};
    std::vector<WCHAR> wide(static_cast<size_t>(wide_length));
    MultiByteToWideChar(from, 0, text.data(), length, wide.data(), wide_length);
    int out_length =
        WideCharToMultiByte(to, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
    if (out_length <= 0) return {};
    std::string out(static_cast<size_t>(out_length), '\0');
    WideCharToMultiByte(to, 0, wide.data(), wide_length, out.data(), out_length, nullptr, nullptr);
    return out;
}

void add_text(pugi::xml_node parent, const char *name, const std::string &ansi) {
    pugi::xml_node node = parent.append_child(name);
    if (!ansi.empty())
        node.append_child(pugi::node_pcdata).set_value(tabledef_utf8_from_ansi(ansi).c_str());
}

void add_if_set(pugi::xml_node parent, const char *name, const std::string &ansi) {
    if (!ansi.empty()) add_text(parent, name, ansi);
}

void add_number(pugi::xml_node parent, const char *name, int64_t value) {
    parent.append_child(name)
        .append_child(pugi::node_pcdata)
        .set_value(std::to_string(value).c_str());
}

void add_yes(pugi::xml_node parent, const char *name, bool set) {
    if (set) add_text(parent, name, "yes");
}

void add_check(pugi::xml_node parent, const char *name, const TXK_TCHECK &check) {
    pugi::xml_node node = parent.append_child(name);
    if (check.method == DXK_CHECK_NONE) return;
    add_text(node, "method", tabledef_check_method_names[check.method]);
    switch (check.method) {
    case DXK_CHECK_FEATURESET:
    case DXK_CHECK_FEATURECLEAR:
        add_number(node, "feature", check.feature);
        break;
    case DXK_CHECK_BITSET:
    case DXK_CHECK_BITCLEAR:
    case DXK_CHECK_ACTIVEBIT:
        add_number(node, "offset", check.offset);
        add_number(node, "bit", check.bit);
        if (check.method == DXK_CHECK_ACTIVEBIT) add_number(node, "recno", check.recno);
        break;
    case DXK_CHECK_RECORDSIZE:
        add_number(node, "recsize", check.recsize);
        break;
    case DXK_CHECK_BYTEEQUAL:
    case DXK_CHECK_BYTELESS:
    case DXK_CHECK_BYTEGREATER:
    case DXK_CHECK_ACTIVEBYTE:
        add_number(node, "offset", check.offset);
        add_number(node, "value", check.value);
        if (check.method == DXK_CHECK_ACTIVEBYTE) add_number(node, "recno", check.recno);
        break;
    case DXK_CHECK_NONE:
        break;
    }
}

void add_column(pugi::xml_node parent, const TXK_TCOLUMN &column) {
    pugi::xml_node node = parent.append_child("column");
    node.append_attribute("name") = tabledef_utf8_from_ansi(column.name).c_str();
    add_if_set(node, "union", column.union_name);
    add_if_set(node, "struct", column.struct_name);
    add_if_set(node, "flagbitname", column.flagbitname);
    add_number(node, "offset", column.offset);
    if (column.datatype != DXK_TD_BLOB) {
        add_number(node, "dispformat", column.dispformat);
        add_number(node, "dispdps", column.dispdps);
    }
    if (column.dispjust == DXK_DISPJUST_RIGHT)
        add_text(node, "dispjust", "right");
    else if (column.dispjust == DXK_DISPJUST_CENTRE)
        add_text(node, "dispjust", "centre");
    add_yes(node, "nullifff", column.nullifff);
    add_yes(node, "nullif0", column.nullif0);
    if (column.just == DXK_JUST_RIGHT)
        add_text(node, "just", "right");
    else if (column.just == DXK_JUST_NONE)
        add_text(node, "just", "none");
    add_yes(node, "unicode", column.unicode);
    add_yes(node, "notesfmt", column.notesfmt);
    add_yes(node, "igjust", column.igjust);
    if (column.fillchar != 0 && column.fillchar != ' ')
        add_text(node, "fillchar", std::string(1, column.fillchar));
    add_text(node, "datatype", tabledef_datatype_names[column.datatype]);
    if (column.sqltype != DXK_SQL_AUTO) {
        add_text(node, "sqltype", tabledef_sqltype_names[column.sqltype]);
        add_number(node, "sqllen", column.sqllen);
        add_number(node, "sqlprec", column.sqlprec);
    }
    add_if_set(node, "linktable", column.linktable);
    add_if_set(node, "linkcol", column.linkcol);
    add_if_set(node, "drillquery", column.drillquery);
    add_if_set(node, "drilldesc", column.drilldesc);
    add_if_set(node, "defaultvalue", column.defaultvalue);
    if (column.compfunc != DXK_COMP_NONE) {
        add_text(node, "compfunc", tabledef_compfunc_names[column.compfunc]);
        for (const std::string &param : column.compparams) add_if_set(node, "compparam", param);
        add_if_set(node, "compscript", column.compscript);
    }
    if (column.compfunc == DXK_COMP_NONE || column.compfunc == DXK_COMP_SYSTEM)
        add_number(node, "length", column.length);
    if (column.datatype == DXK_TD_FLAGB) add_number(node, "bit", column.bit);
    if (column.datatype == DXK_TD_BCD) add_number(node, "dps", column.dps);
    add_yes(node, "totalrequired", column.totalrequired);
    add_yes(node, "prvcosting", column.prvcosting);
    if (column.datatype == DXK_TD_FFORM || column.datatype == DXK_TD_BLOCK)
        add_number(node, "linelen", column.linelen);
    if (column.repeat > 1) add_number(node, "repeat", column.repeat);
    add_text(node, "description", column.description);
    add_if_set(node, "cnotes", column.cnotes);
    add_if_set(node, "sql", column.sql);
    for (const TXK_TCHECK &check : column.checks) add_check(node, "dcheck", check);
    add_yes(node, "private", column.is_private);
    add_yes(node, "primarykey", column.primarykey);
    add_yes(node, "fulltext", column.fulltext);
    add_yes(node, "notnull", column.notnull);
    add_yes(node, "descol", column.descol);
}

void add_table(pugi::xml_node parent, const TXK_TABLEDEF &def, const std::string &fspec) {
    pugi::xml_node node = parent.append_child("table");
    node.append_attribute("fspec") = tabledef_utf8_from_ansi(fspec).c_str();
    node.append_attribute("name") = tabledef_utf8_from_ansi(def.name).c_str();
    node.append_attribute("type") = tabledef_table_type_names[def.type];
    if (!def.structure.empty())
        node.append_attribute("structure") = tabledef_utf8_from_ansi(def.structure).c_str();
    if (!def.armclass.empty())
        node.append_attribute("armclass") = tabledef_utf8_from_ansi(def.armclass).c_str();
    add_if_set(node, "arminclude", def.arminclude);
    add_yes(node, "noexport", def.noexport);
    add_yes(node, "map", def.map);
    add_yes(node, "recordadded", def.recordadded);
    add_text(node, "description", def.description);
    add_text(node, "notes", def.notes);
    add_text(node, "where", def.where);
    add_text(node, "group", def.group);
    for (const TXK_TCHECK &check : def.checks) add_check(node, "fm_tcheck", check);
    if (def.type == DXK_TABLE_RAW)
        for (const std::string &name : def.fm_names)
            add_text(node, "fm_name", tabledef_trimmed(name));
    for (const TXK_TFMINDEX &index : def.fm_indexes) {
        pugi::xml_node entry = node.append_child("fm_index");
        add_text(entry, "name", tabledef_trimmed(index.name));
        add_text(entry, "ordersql", index.ordersql);
        add_number(entry, "keylen", index.keylen);
    }
    for (const TXK_TSQLINDEX &index : def.sql_indexes) {
        pugi::xml_node entry = node.append_child("sql_index");
        add_text(entry, "columns", index.columns);
        add_text(entry, "include", index.include);
    }
    add_number(node, "size", def.size);
    add_number(node, "version", def.version);
    add_number(node, "minver", def.minver);
    add_number(node, "maxver", def.maxver);
    if (def.minrec != 0) add_number(node, "minrec", def.minrec);
    if (def.maxrec != -1) add_number(node, "maxrec", def.maxrec);
    if (def.priority != 0) add_number(node, "priority", def.priority);
    add_yes(node, "docgen", def.docgen);
    add_yes(node, "csvexport", def.csvexport);
    add_yes(node, "ftpexport", def.ftpexport);
    add_yes(node, "backgroundpexport", def.backgroundpexport);
    add_text(node, "ftpserver", def.ftpserver);
    add_text(node, "ftpuserid", def.ftpuserid);
    add_text(node, "ftppassword", def.ftppassword);
    add_text(node, "ftpfolder", def.ftpfolder);
    add_yes(node, "sqlproc", def.sqlproc);
    add_text(node, "sqlprocserver", def.sqlprocserver);
    add_text(node, "sqlprocuser", def.sqlprocuser);
    add_text(node, "sqlprocpass", def.sqlprocpass);
    add_text(node, "sqlprocproc", def.sqlprocproc);
    if (!def.linestable.empty()) {
        add_text(node, "linestable", def.linestable);
        add_text(node, "lineslink", def.lineslink);
    }
    for (const TXK_TCOLUMN &column : def.columns) {
        if (column.spare) continue;
        // Index columns come back from their fm_index entries when the document is read.
        if (column.compfunc == DXK_COMP_SYSTEM &&
            std::any_of(def.fm_indexes.begin(), def.fm_indexes.end(),
                        [&](const TXK_TFMINDEX &index) {
                            return tabledef_trimmed(index.name) == column.name;
                        }))
            continue;
        add_column(node, column);
    }
    for (const TXK_TFROM &from : def.from) {
        pugi::xml_node entry = node.append_child("from");
        add_if_set(entry, "table", from.table);
        add_if_set(entry, "alias", from.alias);
    }
}

struct string_writer : pugi::xml_writer {
    std::string out;
    void write(const void *data, size_t size) override {
        out.append(static_cast<const char *>(data), size);
    }
};

} // namespace

std::string tabledef_ansi_from_utf8(std::string_view utf8) {
    return convert(CP_UTF8, CP_ACP, utf8);
}

std::string tabledef_utf8_from_ansi(std::string_view ansi) {
    return convert(CP_ACP, CP_UTF8, ansi);
}

std::string tabledef_utf8_from_windows_1252(std::string_view text) {
    constexpr UINT windows_1252 = 1252;
    return convert(windows_1252, CP_UTF8, text);
}

std::string tabledef_trimmed(const std::string &text) {
    size_t end = text.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string fxk_tabledef_document(const std::vector<TXK_TABLEDEF_SOURCE> &tables) {
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "UTF-8";
    pugi::xml_node root = document.append_child("tables");
    for (const TXK_TABLEDEF_SOURCE &source : tables) add_table(root, *source.def, source.fspec);
    string_writer writer;
    document.save(writer, "\t", pugi::format_indent, pugi::encoding_utf8);
    return writer.out;
}
