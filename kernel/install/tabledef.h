// Table definitions: the model of one table's definition document, its parsing, the layout of
// its columns, its normalised written form, and the rebuild of each company's consolidated
// definition document in the data home.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Data types; the value is the stored code.
enum TXK_TDTYPE : uint8_t {
    DXK_TD_RESERVED,
    DXK_TD_TEXT,
    DXK_TD_FFORM,
    DXK_TD_BCDU,
    DXK_TD_BCD,
    DXK_TD_BYTE,
    DXK_TD_DATE2,
    DXK_TD_FLAGB,
    DXK_TD_BLOCK,
    DXK_TD_NUMTEXT,
    DXK_TD_WORD,
    DXK_TD_DWORD,
    DXK_TD_CLOCK,
    DXK_TD_TIME,
    DXK_TD_BLOB,
    DXK_TD_TIME2,
    DXK_TD_TIME3,
};

enum TXK_TSQLTYPE : uint8_t {
    DXK_SQL_AUTO,
    DXK_SQL_TINYINT,
    DXK_SQL_SMALLINT,
    DXK_SQL_INT,
    DXK_SQL_BIGINT,
    DXK_SQL_VARCHAR,
    DXK_SQL_DECIMAL,
    DXK_SQL_DATETIME,
};

enum TXK_TCOMPFUNC : uint8_t {
    DXK_COMP_NONE,
    DXK_COMP_RRN,
    DXK_COMP_FILE_NUMBER,
    DXK_COMP_FILE_REFERENCE,
    DXK_COMP_TXAC_CUS_NUMBER,
    DXK_COMP_TXAC_SUP_NUMBER,
    DXK_COMP_TXAC_CUS_REFERENCE,
    DXK_COMP_TXAC_SUP_REFERENCE,
    DXK_COMP_SYSTEM,
};

enum TXK_TTYPE : uint8_t {
    DXK_TABLE_RAW,
    DXK_TABLE_VIEW,
    DXK_TABLE_SCRIPT,
    DXK_TABLE_QUERY,
    DXK_TABLE_TEMPORARY
};

enum TXK_TCHECK_METHOD : uint8_t {
    DXK_CHECK_NONE,
    DXK_CHECK_FEATURESET,
    DXK_CHECK_FEATURECLEAR,
    DXK_CHECK_BITSET,
    DXK_CHECK_BITCLEAR,
    DXK_CHECK_RECORDSIZE,
    DXK_CHECK_BYTEEQUAL,
    DXK_CHECK_BYTELESS,
    DXK_CHECK_BYTEGREATER,
    DXK_CHECK_ACTIVEBYTE,
    DXK_CHECK_ACTIVEBIT,
};

enum TXK_TJUST : uint8_t { DXK_JUST_DEFAULT, DXK_JUST_RIGHT, DXK_JUST_NONE };
enum TXK_TDISPJUST : uint8_t { DXK_DISPJUST_DEFAULT, DXK_DISPJUST_RIGHT, DXK_DISPJUST_CENTRE };

// A table check (`fm_tcheck`) or column check (`dcheck`). Only the fields of its method count.
struct TXK_TCHECK {
    TXK_TCHECK_METHOD method = DXK_CHECK_NONE;
    uint32_t feature = 0, recsize = 0, offset = 0, bit = 0, value = 0, recno = 0;
};

struct TXK_TCOLUMN {
    std::string name;
    std::string union_name, struct_name, flagbitname;
    std::string description, cnotes, defaultvalue, sql;
    std::string linktable, linkcol;
    std::string drillquery, drilldesc;
    std::string compscript;
    std::vector<std::string> compparams;
    std::vector<TXK_TCHECK> checks;
    TXK_TDTYPE datatype = DXK_TD_RESERVED;
    TXK_TSQLTYPE sqltype = DXK_SQL_AUTO;
    TXK_TCOMPFUNC compfunc = DXK_COMP_NONE;
    TXK_TJUST just = DXK_JUST_DEFAULT;
    TXK_TDISPJUST dispjust = DXK_DISPJUST_DEFAULT;
    char fillchar = 0; // 0: not set
    uint32_t length = 0, offset = 0, repeat = 1;
    uint32_t dispformat = 0, dispdps = 0, dps = 0, linelen = 0, bit = 0;
    uint32_t sqllen = 0, sqlprec = 0;
    bool nullifff = false, nullif0 = false, unicode = false, notesfmt = false, igjust = false;
    bool totalrequired = false, prvcosting = false;
    bool is_private = false, primarykey = false, fulltext = false, notnull = false, descol = false;
    bool spare = false; // made by the layout; never written
    // Warnings of the parse, and the findings of the layout and the column checks; kept with
    // the definition, never reported by the rebuild.
    std::vector<std::string> warnings, findings;

    // Bytes the column occupies: length × repeat.
    uint64_t extent() const { return uint64_t(length) * (repeat ? repeat : 1); }
};

struct TXK_TFMINDEX {
    std::string name; // 8 characters, blank-padded
    std::string ordersql;
    uint32_t keylen = 0;
};

struct TXK_TSQLINDEX {
    std::string columns, include;
};

struct TXK_TFROM {
    std::string table, alias;
};

struct TXK_TABLEDEF {
    std::string name;
    TXK_TTYPE type = DXK_TABLE_RAW;
    std::string structure, armclass, arminclude;
    bool noexport = false, map = false, recordadded = false;
    std::string description, notes, where, group;
    bool docgen = false, csvexport = false, ftpexport = false, backgroundpexport = false;
    bool sqlproc = false;
    std::string linestable, lineslink;
    std::string ftpserver, ftpuserid, ftppassword, ftpfolder;
    std::string sqlprocserver, sqlprocuser, sqlprocpass, sqlprocproc;
    std::vector<TXK_TCOLUMN> columns;
    std::vector<TXK_TFROM> from;
    std::vector<std::string> fm_names; // each 8 characters, blank-padded
    std::vector<TXK_TFMINDEX> fm_indexes;
    std::vector<TXK_TSQLINDEX> sql_indexes;
    std::vector<TXK_TCHECK> checks;
    uint32_t size = 0;
    int32_t version = 0, minver = 0, maxver = 0, minrec = 0, maxrec = -1, priority = 0;
    // Positions in `columns` of the record-number and file-number columns; -1 when absent.
    int rrn_column = -1, file_number_column = -1;
    // Findings of the checks across columns; kept, never reported by the rebuild.
    std::vector<std::string> findings;
};

// Parses a definition document held in memory (any encoding XML declares or marks; texts are
// kept in the ANSI code page). `path` names the document in messages. Lays out the columns.
// False with the message on failure.
bool fxk_tabledef_parse(const char *text, size_t length, const char *path, TXK_TABLEDEF &def,
                        std::string &message);

// Reads a definition document through the file layer and parses it.
bool fxk_tabledef_load(const char *path, TXK_TABLEDEF &def, std::string &message);

// Lays out and checks the columns (record-number column, offsets, spares, overlaps, checks).
void fxk_tabledef_layout(TXK_TABLEDEF &def);

// The consolidated document (UTF-8) holding one `table` element per definition; each pair
// gives the definition and the source's name and extension (`fspec`).
struct TXK_TABLEDEF_SOURCE {
    const TXK_TABLEDEF *def;
    std::string fspec;
};
std::string fxk_tabledef_document(const std::vector<TXK_TABLEDEF_SOURCE> &tables);

// Rebuilds every company's consolidated document below the data home on the drive of `path`
// (none: the data home's own drive). True when no company reported an error; otherwise false
// with the collected lines, each ending in CR LF, appended to `errors`.
bool fxk_tabledef_rebuild(const char *path, std::string &errors);
