// Reading a table definition document into its model: the table's attributes and elements,
// its columns with their object types and checks, and the renaming of version-less documents.
#include "kernel/install/tabledef.h"
#include "kernel/install/tabledef_names.h"
#include "kernel/text/format.h"

#include <pugixml.hpp>

#include <cctype>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

namespace {

// Element texts as the platform's DOM gives them: every text and CDATA piece below the
// element, in document order, brought into the ANSI code page.
std::string node_text(const pugi::xml_node &node) {
    std::string utf8;
    std::vector<pugi::xml_node> pending;
    for (pugi::xml_node child = node.last_child(); child; child = child.previous_sibling())
        pending.push_back(child);
    while (!pending.empty()) {
        pugi::xml_node current = pending.back();
        pending.pop_back();
        if (current.type() == pugi::node_pcdata || current.type() == pugi::node_cdata)
            utf8 += current.value();
        for (pugi::xml_node child = current.last_child(); child; child = child.previous_sibling())
            pending.push_back(child);
    }
    return tabledef_ansi_from_utf8(utf8);
}

std::string child_text(const pugi::xml_node &node, const char *name) {
    pugi::xml_node child = node.child(name);
    return child ? node_text(child) : std::string();
}

std::string attribute_text(const pugi::xml_node &node, const char *name) {
    return tabledef_ansi_from_utf8(node.attribute(name).value());
}

bool equal_nocase(const std::string &a, const char *b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A "yes" flag element: present with the value yes in any case.
bool yes(const pugi::xml_node &node, const char *name) {
    pugi::xml_node child = node.child(name);
    return child && equal_nocase(node_text(child), "yes");
}

// Decimal numbers: leading blanks, an optional sign, then digits; anything else ends the
// number. Values beyond the field's range are clamped to it.
int64_t parse_number(const std::string &text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (value < int64_t(1) << 40) value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

uint32_t to_unsigned(int64_t value) {
    if (value < 0) return 0;
    if (value > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(value);
}

int32_t to_signed(int64_t value) {
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

// Reads an unsigned number element into `field`; false (field untouched) when absent.
bool read_unsigned(const pugi::xml_node &node, const char *name, uint32_t &field) {
    pugi::xml_node child = node.child(name);
    if (!child) return false;
    field = to_unsigned(parse_number(node_text(child)));
    return true;
}

bool read_signed(const pugi::xml_node &node, const char *name, int32_t &field) {
    pugi::xml_node child = node.child(name);
    if (!child) return false;
    field = to_signed(parse_number(node_text(child)));
    return true;
}

// An index of `names` matching `text` exactly; -1 when none does.
template <size_t N> int find_name(const char *const (&names)[N], const std::string &text) {
    for (size_t i = 0; i < N; ++i)
        if (text == names[i]) return static_cast<int>(i);
    return -1;
}

// Reads a check element. False with the check's own message when it cannot be read. An
// element with no content at all is the written form of method None.
bool read_check(const pugi::xml_node &node, TXK_TCHECK &check, std::string &message) {
    check = TXK_TCHECK{};
    if (!node.first_child()) return true;
    pugi::xml_node method = node.child("method");
    if (!method) {
        message = "No check method";
        return false;
    }
    std::string name = node_text(method);
    int index = -1;
    for (size_t i = 0; i < std::size(tabledef_check_method_names); ++i)
        if (equal_nocase(name, tabledef_check_method_names[i])) index = static_cast<int>(i);
    if (index < 0) {
        fxd_fmt_assign(message, "Invalid check method %str%", name.c_str());
        return false;
    }
    check.method = static_cast<TXK_TCHECK_METHOD>(index);
    auto need = [&](const char *element, uint32_t &field, const char *missing) {
        if (read_unsigned(node, element, field)) return true;
        message = missing;
        return false;
    };
    switch (check.method) {
    case DXK_CHECK_FEATURESET:
    case DXK_CHECK_FEATURECLEAR:
        return need("feature", check.feature, "No check feature found");
    case DXK_CHECK_RECORDSIZE:
        return need("recsize", check.recsize, "No check recsize found");
    case DXK_CHECK_BITSET:
    case DXK_CHECK_BITCLEAR:
    case DXK_CHECK_ACTIVEBIT:
        if (!need("offset", check.offset, "No check offset found") ||
            !need("bit", check.bit, "No check bit found"))
            return false;
        return check.method != DXK_CHECK_ACTIVEBIT ||
               need("recno", check.recno, "No check recno found (arbit)");
    case DXK_CHECK_BYTEEQUAL:
    case DXK_CHECK_BYTELESS:
    case DXK_CHECK_BYTEGREATER:
    case DXK_CHECK_ACTIVEBYTE:
        if (!need("offset", check.offset, "No check offset found") ||
            !need("value", check.value, "No check value found"))
            return false;
        return check.method != DXK_CHECK_ACTIVEBYTE ||
               need("recno", check.recno, "No check recno found (arbyte)");
    case DXK_CHECK_NONE:
        break;
    }
    return true;
}

void warn(TXK_TCOLUMN &column, const char *format, const std::string &value) {
    std::string message;
    column.warnings.push_back(fxd_fmt_assign(message, format, value.c_str()));
}

TXK_TCOLUMN read_column(const pugi::xml_node &node) {
    TXK_TCOLUMN column;
    column.name = attribute_text(node, "name");
    column.union_name = child_text(node, "union");
    column.struct_name = child_text(node, "struct");
    column.flagbitname = child_text(node, "flagbitname");
    column.description = child_text(node, "description");
    column.cnotes = child_text(node, "cnotes");
    if (column.cnotes.size() > 250) {
        column.cnotes.resize(250);
        warn(column, "Truncated cnotes %str% - file reformatted by an XML editor?", column.name);
    }
    column.defaultvalue = child_text(node, "defaultvalue");
    std::string sql = child_text(node, "sql");
    if (sql.size() < 251) column.sql = sql;

    // An object type decides link, type and length; the datatype element then only counts
    // when the document forces it.
    bool type_set = false;
    if (pugi::xml_node objtype = node.child("objtype")) {
        std::string name = node_text(objtype);
        const TXK_TOBJTYPE *row = nullptr;
        for (const TXK_TOBJTYPE &candidate : tabledef_objtypes)
            if (name == candidate.name) row = &candidate;
        if (row) {
            column.linktable = row->linktable;
            column.linkcol = row->linkcol;
            if (!yes(node, "dataforcetype")) {
                column.datatype = row->datatype;
                column.length = row->length;
                column.dps = 0;
                type_set = true;
            }
            if (row->datatype != DXK_TD_TEXT) {
                column.sqltype = row->sqltype;
                column.sqllen = row->sqllen;
                column.sqlprec = 0;
            }
        } else if (name != "none") {
            warn(column, "Invalid objtype %str% - converted to none", name);
        }
    }
    if (pugi::xml_node linktable = node.child("linktable")) column.linktable = node_text(linktable);
    if (pugi::xml_node linkcol = node.child("linkcol")) column.linkcol = node_text(linkcol);

    column.nullifff = yes(node, "nullifff");
    column.nullif0 = yes(node, "nullif0");
    if (yes(node, "rjust")) column.just = DXK_JUST_RIGHT;
    column.unicode = yes(node, "unicode");
    column.notesfmt = yes(node, "notesfmt");
    column.igjust = yes(node, "igjust");
    std::string just = child_text(node, "just");
    if (just == "right")
        column.just = DXK_JUST_RIGHT;
    else if (just == "none")
        column.just = DXK_JUST_NONE;
    std::string fill = child_text(node, "fillchar");
    if (!fill.empty()) column.fillchar = fill[0];

    // A computed column's type comes from its function, so it needs no datatype element.
    std::string compfunc = child_text(node, "compfunc");
    if (!compfunc.empty()) {
        int index = find_name(tabledef_compfunc_names, compfunc);
        if (index < 0)
            warn(column, "Invalid computed column function %str% - converted to none", compfunc);
        else
            column.compfunc = static_cast<TXK_TCOMPFUNC>(index);
    }
    if (!type_set) {
        if (pugi::xml_node datatype = node.child("datatype")) {
            std::string name = node_text(datatype);
            int index = find_name(tabledef_datatype_names, name);
            if (index < 0) {
                warn(column, "Invalid datatype %str% - converted to text", name);
                column.datatype = DXK_TD_TEXT;
            } else {
                column.datatype = static_cast<TXK_TDTYPE>(index);
            }
        } else if (column.compfunc == DXK_COMP_NONE) {
            column.warnings.push_back("No datatype specified - null assumed");
            column.datatype = DXK_TD_RESERVED;
        }
    }
    read_unsigned(node, "length", column.length);
    read_unsigned(node, "offset", column.offset);
    read_unsigned(node, "dispformat", column.dispformat);
    read_unsigned(node, "dispdps", column.dispdps);
    if (read_unsigned(node, "repeat", column.repeat) && column.repeat == 0) column.repeat = 1;
    std::string dispjust = child_text(node, "dispjust");
    if (dispjust == "right")
        column.dispjust = DXK_DISPJUST_RIGHT;
    else if (dispjust == "centre")
        column.dispjust = DXK_DISPJUST_CENTRE;
    column.totalrequired = yes(node, "totalrequired");
    column.prvcosting = yes(node, "prvcosting");

    if (column.compfunc != DXK_COMP_NONE)
        column.datatype = tabledef_compfunc_types[column.compfunc];
    switch (column.datatype) {
    case DXK_TD_BCD:
        if (!read_unsigned(node, "dps", column.dps) && !type_set)
            column.warnings.push_back("No dps specified - none assumed");
        break;
    case DXK_TD_FFORM:
    case DXK_TD_BLOCK:
        if (!read_unsigned(node, "linelen", column.linelen))
            column.warnings.push_back("No line length specified - set to zero");
        break;
    case DXK_TD_FLAGB:
        if (!read_unsigned(node, "bit", column.bit))
            column.warnings.push_back("No bit specified - zero assumed");
        break;
    default:
        break;
    }
    if (uint32_t fixed = tabledef_datatype_lengths[column.datatype]) column.length = fixed;

    if (pugi::xml_node sqltype = node.child("sqltype")) {
        std::string name = node_text(sqltype);
        int index = find_name(tabledef_sqltype_names, name);
        if (index < 0) {
            warn(column, "Invalid sqltype %str% - converted to auto", name);
            column.sqltype = DXK_SQL_AUTO;
        } else {
            column.sqltype = static_cast<TXK_TSQLTYPE>(index);
        }
    }
    if (column.sqltype != DXK_SQL_AUTO) {
        read_unsigned(node, "sqllen", column.sqllen);
        read_unsigned(node, "sqlprec", column.sqlprec);
    }

    column.is_private = yes(node, "private");
    column.primarykey = yes(node, "primarykey");
    column.fulltext = yes(node, "fulltext");
    column.notnull = yes(node, "notnull");
    column.descol = yes(node, "descol");
    for (pugi::xml_node check_node : node.children("dcheck")) {
        TXK_TCHECK check;
        std::string message;
        if (read_check(check_node, check, message))
            column.checks.push_back(check);
        else
            column.warnings.push_back(message);
    }
    column.drillquery = child_text(node, "drillquery");
    column.drilldesc = child_text(node, "drilldesc");
    for (pugi::xml_node param : node.children("compparam"))
        column.compparams.push_back(node_text(param));
    column.compscript = child_text(node, "compscript");
    return column;
}

// Fixed-length file-manager names: cut or blank-padded to 8 characters.
std::string fm_text(std::string text) {
    text.resize(8, ' ');
    return text;
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// The document as UTF-8 for the parser. Documents without a byte-order mark that declare a
// Windows or Latin-1 code page are taken as Windows-1252, the code page of the suite's texts,
// even on a system whose ANSI code page is another; everything else the parser recognises by
// itself.
std::string declared_ansi_to_utf8(const char *text, size_t length, bool &converted) {
    converted = false;
    std::string_view view(text, length);
    if (!view.starts_with("<?xml")) return {};
    size_t end = view.find("?>");
    if (end == std::string_view::npos) return {};
    std::string declaration(view.substr(0, end));
    for (char &c : declaration) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t at = declaration.find("encoding");
    if (at == std::string::npos) return {};
    at = declaration.find_first_of("'\"", at);
    if (at == std::string::npos) return {};
    size_t close = declaration.find(declaration[at], at + 1);
    if (close == std::string::npos) return {};
    std::string encoding = declaration.substr(at + 1, close - at - 1);
    if (encoding != "windows-1252" && encoding != "cp1252" && encoding != "iso-8859-1" &&
        encoding != "latin1")
        return {};
    converted = true;
    return tabledef_utf8_from_windows_1252(view);
}

} // namespace

bool fxk_tabledef_parse(const char *text, size_t length, const char *path, TXK_TABLEDEF &def,
                        std::string &message) {
    def = TXK_TABLEDEF{};
    pugi::xml_document document;
    bool converted = false;
    std::string utf8 = declared_ansi_to_utf8(text, length, converted);
    // Fragment parsing keeps text outside the root element, so that it can be refused.
    unsigned options = pugi::parse_default | pugi::parse_ws_pcdata_single | pugi::parse_fragment;
    pugi::xml_parse_result loaded =
        converted ? document.load_buffer(utf8.data(), utf8.size(), options, pugi::encoding_utf8)
                  : document.load_buffer(text, length, options, pugi::encoding_auto);
    // A well-formed document has exactly one root element and no text beside it.
    int roots = 0;
    bool stray_text = false;
    for (pugi::xml_node node : document.children()) {
        roots += node.type() == pugi::node_element;
        if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata)
            for (const char *c = node.value(); *c; ++c)
                stray_text |= !std::isspace(static_cast<unsigned char>(*c));
    }
    if (!loaded || roots != 1 || stray_text) {
        fxd_fmt_assign(message, "Error loading file %str%", path);
        return false;
    }
    pugi::xml_node table = document.child("table");
    if (!table) {
        fxd_fmt_assign(message, "Table node not found in %str%", path);
        return false;
    }

    def.name = attribute_text(table, "name");
    std::string type = attribute_text(table, "type");
    int type_index = find_name(tabledef_table_type_names, type);
    def.type = type_index > 0 ? static_cast<TXK_TTYPE>(type_index) : DXK_TABLE_RAW;
    def.structure = attribute_text(table, "structure");
    def.armclass = attribute_text(table, "armclass");
    def.arminclude = child_text(table, "arminclude");
    def.noexport = bool(table.child("noexport"));
    def.map = bool(table.child("map"));
    def.recordadded = bool(table.child("recordadded"));
    pugi::xml_node description = table.child("description");
    if (!description) {
        fxd_fmt_assign(message, "Description tag not found in %str%", path);
        return false;
    }
    def.description = node_text(description);
    def.notes = child_text(table, "notes");
    def.where = child_text(table, "where");
    def.group = child_text(table, "group");
    def.docgen = bool(table.child("docgen"));
    def.csvexport = bool(table.child("csvexport"));
    def.ftpexport = bool(table.child("ftpexport"));
    def.backgroundpexport = bool(table.child("backgroundpexport"));
    def.sqlproc = bool(table.child("sqlproc"));
    def.linestable = child_text(table, "linestable");
    def.lineslink = child_text(table, "lineslink");
    def.ftpserver = child_text(table, "ftpserver");
    def.ftpuserid = child_text(table, "ftpuserid");
    def.ftppassword = child_text(table, "ftppassword");
    def.ftpfolder = child_text(table, "ftpfolder");
    def.sqlprocserver = child_text(table, "sqlprocserver");
    def.sqlprocuser = child_text(table, "sqlprocuser");
    def.sqlprocpass = child_text(table, "sqlprocpass");
    def.sqlprocproc = child_text(table, "sqlprocproc");
    for (pugi::xml_node from : table.children("from"))
        def.from.push_back({child_text(from, "table"), child_text(from, "alias")});
    for (pugi::xml_node name : table.children("fm_name"))
        def.fm_names.push_back(fm_text(node_text(name)));
    for (pugi::xml_node index : table.children("fm_index")) {
        TXK_TFMINDEX entry{fm_text(child_text(index, "name")), child_text(index, "ordersql"), 0};
        read_unsigned(index, "keylen", entry.keylen);
        def.fm_indexes.push_back(entry);
        // An ordered index is offered to SQL as a computed column of the index's key.
        if (!entry.ordersql.empty()) {
            TXK_TCOLUMN column;
            column.name = tabledef_trimmed(entry.name);
            column.compfunc = DXK_COMP_SYSTEM;
            column.datatype = tabledef_compfunc_types[DXK_COMP_SYSTEM];
            column.length = entry.keylen;
            def.columns.push_back(column);
        }
    }
    for (pugi::xml_node index : table.children("sql_index"))
        def.sql_indexes.push_back({child_text(index, "columns"), child_text(index, "include")});
    read_unsigned(table, "size", def.size);
    read_signed(table, "version", def.version);
    read_signed(table, "minver", def.minver);
    read_signed(table, "maxver", def.maxver);
    read_signed(table, "minrec", def.minrec);
    read_signed(table, "maxrec", def.maxrec);
    read_signed(table, "priority", def.priority);
    for (pugi::xml_node check_node : table.children("fm_tcheck")) {
        TXK_TCHECK check;
        std::string check_message;
        if (!read_check(check_node, check, check_message)) {
            fxd_fmt_assign(message, "%str% in %str%", check_message.c_str(), path);
            return false;
        }
        def.checks.push_back(check);
    }
    if (def.type == DXK_TABLE_RAW)
        for (char &c : def.name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    for (pugi::xml_node column : table.children("column"))
        def.columns.push_back(read_column(column));

    // Documents written before versions existed name their module's tables with a %code%
    // placeholder; the code itself is the name now.
    if (def.version == 0) {
        for (const char *code : {"far", "acc", "hir", "pay", "job"}) {
            std::string bare(code), enclosed = "%" + bare + "%";
            replace_all(def.name, enclosed, bare);
            for (TXK_TCOLUMN &column : def.columns) replace_all(column.linktable, enclosed, bare);
        }
        def.version = 1;
    }

    fxk_tabledef_layout(def);
    return true;
}
