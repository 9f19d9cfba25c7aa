// The names a table definition document uses for its enumerations, the predefined object
// types, and the text helpers shared by reading and writing definitions.
#pragma once

#include "kernel/install/tabledef.h"

#include <string>
#include <string_view>

// Indexed by the stored codes of tabledef.h.
inline constexpr const char *tabledef_datatype_names[] = {
    "reserved", "text", "fform", "bcdu",  "bcd",  "byte", "date2", "flagb", "block",
    "numtext",  "word", "dword", "clock", "time", "blob", "time2", "time3"};
// Lengths fixed by the data type; 0 where the document gives the length.
inline constexpr uint32_t tabledef_datatype_lengths[] = {0, 0, 0, 0, 0, 1, 3, 1, 0,
                                                         0, 2, 4, 7, 3, 0, 4, 2};
inline constexpr const char *tabledef_sqltype_names[] = {
    "auto", "tinyint", "smallint", "int", "bigint", "varchar", "decimal", "datetime"};
inline constexpr const char *tabledef_compfunc_names[] = {"none",
                                                          "rrn",
                                                          "file_number",
                                                          "file_reference",
                                                          "txac_cus_number",
                                                          "txac_sup_number",
                                                          "txac_cus_reference",
                                                          "txac_sup_reference",
                                                          "system"};
// The data type a computed column takes from its function: numbers are double words,
// references and index keys are texts.
inline constexpr TXK_TDTYPE tabledef_compfunc_types[] = {
    DXK_TD_RESERVED, DXK_TD_DWORD, DXK_TD_DWORD, DXK_TD_TEXT, DXK_TD_DWORD,
    DXK_TD_DWORD,    DXK_TD_TEXT,  DXK_TD_TEXT,  DXK_TD_TEXT};
inline constexpr const char *tabledef_check_method_names[] = {
    "None",      "FeatureSet", "FeatureClear", "BitSet",     "BitClear", "RecordSize",
    "ByteEqual", "ByteLess",   "ByteGreater",  "ActiveByte", "ActiveBit"};
inline constexpr const char *tabledef_table_type_names[] = {"raw", "view", "script", "query",
                                                            "temporary"};

static_assert(std::size(tabledef_datatype_names) == DXK_TD_TIME3 + 1);
static_assert(std::size(tabledef_datatype_lengths) == DXK_TD_TIME3 + 1);
static_assert(std::size(tabledef_sqltype_names) == DXK_SQL_DATETIME + 1);
static_assert(std::size(tabledef_compfunc_names) == DXK_COMP_SYSTEM + 1);
static_assert(std::size(tabledef_compfunc_types) == DXK_COMP_SYSTEM + 1);
static_assert(std::size(tabledef_check_method_names) == DXK_CHECK_ACTIVEBIT + 1);
static_assert(std::size(tabledef_table_type_names) == DXK_TABLE_TEMPORARY + 1);

// A predefined object type: the column it links to and the type of its values.
struct TXK_TOBJTYPE {
    const char *name, *linktable, *linkcol;
    TXK_TDTYPE datatype;
    uint32_t length;
    TXK_TSQLTYPE sqltype;
    uint32_t sqllen;
};

inline constexpr TXK_TOBJTYPE tabledef_objtypes[] = {
    {"txac_cus_reference", "acccus01", "cusrf", DXK_TD_TEXT, 10, DXK_SQL_VARCHAR, 10},
    {"txac_sup_reference", "accsup01", "suprf", DXK_TD_TEXT, 10, DXK_SQL_VARCHAR, 10},
    {"txac_stk_reference", "accstk00", "ref", DXK_TD_TEXT, 10, DXK_SQL_VARCHAR, 10},
    {"txac_som_reference", "accsom00", "ref", DXK_TD_TEXT, 6, DXK_SQL_VARCHAR, 6},
    {"txac_spm_reference", "accspm01", "drf", DXK_TD_TEXT, 6, DXK_SQL_VARCHAR, 6},
    {"txac_pgd_number", "accpgd00", "record", DXK_TD_BCDU, 2, DXK_SQL_DECIMAL, 10},
    {"txac_loc_number", "accloc00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
    {"txac_dep_number", "accdep00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
    {"txac_ccc_number", "accccc00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
    {"txac_sad_number", "accsad00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
    {"txac_cgd_number", "acccgd00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
    {"txac_sgd_number", "accsgd00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
    {"txac_ttd_number", "accttd00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
    {"txac_osd_number", "accosd00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
    {"txac_ngd_number", "accngd00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
    {"txac_nom_number", "accnom02", "record", DXK_TD_WORD, 2, DXK_SQL_DECIMAL, 10},
    {"txac_sld_number", "accsld00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
    {"txac_pld_number", "accpld00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
    {"txac_con_reference", "acccon00", "cref", DXK_TD_TEXT, 10, DXK_SQL_VARCHAR, 10},
    {"txac_ctr_reference", "accctr00", "trnrf", DXK_TD_TEXT, 13, DXK_SQL_VARCHAR, 13},
    {"txac_stn_reference", "accstn00", "trnrf", DXK_TD_TEXT, 13, DXK_SQL_VARCHAR, 13},
    {"txaf_fas_reference", "farfas00", "fan", DXK_TD_TEXT, 10, DXK_SQL_VARCHAR, 10},
    {"txaf_fal_number", "farfal00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
    {"txaf_fgd_reference", "farfgd00", "grp", DXK_TD_TEXT, 4, DXK_SQL_VARCHAR, 10},
    {"txaf_fmf_reference", "farfmf00", "cde", DXK_TD_TEXT, 2, DXK_SQL_VARCHAR, 10},
    {"txaf_fsd_number", "farfsd00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
    {"txaf_ftt_number", "farftt00", "record", DXK_TD_BYTE, 1, DXK_SQL_DECIMAL, 10},
};

// The kernel's texts are in the ANSI code page; the documents are Unicode.
std::string tabledef_ansi_from_utf8(std::string_view utf8);
std::string tabledef_utf8_from_ansi(std::string_view ansi);
// Text in Windows-1252 (what a document declaring it or Latin-1 holds) as UTF-8, whatever
// the system's ANSI code page is.
std::string tabledef_utf8_from_windows_1252(std::string_view text);

// A fixed-length text without its trailing blanks.
std::string tabledef_trimmed(const std::string &text);
