#pragma once

// The commands of tamrixdata-db besides init and demo. Each returns the process's exit code (0
// done, 1 something was found wrong) and raises std::runtime_error (FileExistsError for a target
// that exists) when it fails; a failed command leaves every file as it was.

#include <array>
#include <optional>
#include <string>
#include <string_view>

enum class Format { Csv, Json, Markdown };

// The field names of a record in the order of the Title table, after its key.
inline constexpr const char* TextFieldNames[] = {"TitleTxt", "Title1", "Title2", "Title3", "Title4",
                                                 "Title5",   "Title6", "Title7", "Title8"};
inline constexpr int TextFieldCount = 9;

// The columns of a CSV export, as its header line names them (export writes it, import expects it):
// the key, the text fields, the paragraph's number and its text.
inline constexpr std::array<std::string_view, 12> CsvColumns = {"TitleIndex", "TitleTxt", "Title1",    "Title2",
                                                                "Title3",     "Title4",   "Title5",    "Title6",
                                                                "Title7",     "Title8",   "Paragraph", "ContentTxt"};

// Writes every record of database, with its fields and its paragraphs in order, to output ("-" is
// standard output). Paragraphs that belong to no record, and text that is not UTF-8, are reported
// on standard error.
int ExportRecords(const std::string& database, const std::string& output, Format format, bool overwrite);

// Adds the records of input ("-" is standard input), an export in CSV or JSON, to database in one
// transaction; malformed input changes nothing and its message names the line at fault. Without a
// format, the input's first character decides ('[' for JSON, anything else CSV).
int ImportRecords(const std::string& database, const std::string& input, std::optional<Format> format);

// Copies database to destination through SQLite's online backup.
int BackupDatabase(const std::string& database, const std::string& destination, bool overwrite);

// Reports damage, a schema the program cannot use, and keys it cannot handle, on standard output;
// returns 1 when anything is wrong.
int CheckDatabase(const std::string& database);
