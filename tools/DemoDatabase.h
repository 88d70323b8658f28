#pragma once

#include "TemporarySibling.h"

#include <cstdint>
#include <stdexcept>
#include <string>

// Creating databases of the program's schema and filling them with demo records. Used by the
// tamrixdata-db tool, the tests and the benchmarks, so that all of them build their data the same way.
// Plain C++ over the SQLite C API; every failure is a std::runtime_error with a readable message.

// The schema (two tables and one index), embedded when the library is built.
const std::string& SchemaSql();

// Creates an empty database of the schema at path. An existing file is an error unless overwrite
// is true; then it is replaced as a whole (the new database is built beside it and renamed over it,
// so a failure leaves the old file as it was).
void CreateEmptyDatabase(const std::string& path, bool overwrite);

struct DemoOptions {
    std::uint64_t seed = 1;
    int maxParagraphs = 6; // paragraphs per record are drawn from 0..maxParagraphs (0..6)
};

inline constexpr int MaxDemoParagraphs = 6;
inline constexpr int MinParagraphChars = 50;
inline constexpr int MaxParagraphChars = 2000;
inline constexpr int MinTitleChars = 10;
inline constexpr int MaxTitleChars = 30;

// Appends count demo records (a Title row and its Content rows each) to the existing database at
// path, in one transaction: on failure nothing is added. The same seed gives the same records.
void FillDemoRecords(const std::string& path, int count, const DemoOptions& options);

// CreateEmptyDatabase and FillDemoRecords in one: the file appears only when it is complete.
void CreateDemoDatabase(const std::string& path, int count, const DemoOptions& options, bool overwrite);
