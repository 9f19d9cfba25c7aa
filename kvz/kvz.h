// The kvz command: its parsed command line, the commands, and the output helpers they share.
#pragma once

#include "kernel/text/format.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

// Exit statuses of every command.
enum KvzStatus : int {
    KVZ_OK = 0,
    KVZ_FAILED = 1, // the patch is unsound, a plan is refused, a file cannot be written ...
    KVZ_USAGE = 2,
};

struct KvzOptions {
    std::string command;
    std::vector<std::string> operands; // DOS paths (host paths are converted on the way in)
    bool json = false;
    std::vector<std::string> keys; // --key, repeatable
    std::string signer;            // --signer
    std::string home;              // --home: the installation's data home
};

int kvz_list(const KvzOptions &options);
int kvz_verify(const KvzOptions &options);
int kvz_plan(const KvzOptions &options);
int kvz_extract(const KvzOptions &options);
int kvz_diff(const KvzOptions &options);
int kvz_keygen(const KvzOptions &options);
int kvz_sign(const KvzOptions &options);

// ---- Output ---------------------------------------------------------------------------------
// Kernel texts are ANSI; what kvz prints is UTF-8, as the terminal and scripts expect.

std::string kvz_utf8(const std::string &ansi);
// One line of UTF-8 (already converted) on standard output or standard error.
void kvz_out(const std::string &utf8_line);
void kvz_err(const std::string &utf8_line);
// "kvz: <text>" on standard error, for an ANSI text; answers KVZ_FAILED.
int kvz_fail(const std::string &ansi_text);
// The JSON document on standard output, indented.
void kvz_out_json(const nlohmann::ordered_json &document);

// "2026-06-01 12:00:00" (local time, as stored); an empty text for an empty stamp.
std::string kvz_clock_text(const TXD_CLOCK &clock);
std::string kvz_date2_text(const TXD_DATE2 &date, const TXD_TIME &time);
