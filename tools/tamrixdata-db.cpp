// tamrixdata-db: creates, fills, exports, imports, backs up and checks the program's databases.
// GNU-style command line: options anywhere (--opt=value or --opt value), "--" ends them; exit code
// 0 done, 1 failed (or check found problems), 2 bad command line.

#include "Commands.h"
#include "DemoDatabase.h"
#include "MdbImport.h"
#include "PostgresEngine.h"
#include "ServerDatabase.h"
#include "TextCase.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <getopt.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* Help = R"(Usage: tamrixdata-db [OPTION]... COMMAND ARGUMENT...
Creates, exports, imports, backs up and checks TamrixData databases (NoteData.db).

Commands:
  init FILE            create FILE as an empty database with the tables Title and Content
  demo N FILE          create FILE with N demo records (0 to 6 paragraphs each)
  export DB [OUT]      write every record of DB, its key, eight fields and paragraphs in order,
                       to OUT, or to standard output without OUT (or with OUT "-")
  import DB IN         add the records of IN, an export in CSV or JSON, to DB in one transaction;
                       the records get new keys; a fault in IN changes nothing and is reported
                       with its line ("-" reads standard input); IN is read as a stream
  import DB FILE.mdb   bring the records of the earlier Windows version's NoteData.mdb (an Access
                       file, chosen by its .mdb name or its signature) into DB in one transaction:
                       into an empty DB with the keys they had, else with new keys after DB's own;
                       then a summary (pending paragraphs, paragraphs whose record is gone, text
                       longer than its column, tables and columns ignored); a file that cannot be
                       read whole changes nothing
  backup DB DEST       copy DB to DEST, consistently, also while the program or another process
                       uses DB; a damaged copy is kept and reported
  check DB             report damage (SQLite's integrity check), missing tables or columns,
                       paragraphs whose record is gone, and keys the program cannot use:
                       records with a TitleIndex below 1 (never listed) and paragraphs whose
                       ContentTitle is not an integer; paragraphs with ContentTitle 0 (an
                       unfinished new record of the editor) are noted, not counted as problems

Options:
      --format=FORMAT       export: json, csv or markdown; import: json, csv or mdb. Without it, the
                            name of OUT or IN decides (.json, .csv, .md, .mdb), else export writes
                            JSON, and import reads an Access file by its signature, JSON when IN
                            starts with '[', CSV otherwise
      --keep-keys           import of an .mdb, or of a database file onto a server: keep the
                            keys also when DB holds records; refuses, changing nothing, when a key
                            is taken
      --codepage=N          import of an .mdb: the code page of a Jet 3 (Access 97) file's text
                            (default 936, Simplified Chinese); Jet 4 files hold Unicode
      --if-empty            import of an .mdb: refuse, changing nothing, when DB holds records
  -f, --force               init, demo, export, backup: replace an existing FILE, OUT or DEST
      --seed=S              demo: seed of the demo data (default 1); the same seed gives the same data
      --max-paragraphs=K    demo: most paragraphs per record, 0 to 6 (default 6)
      --repair              check on a server: remove what editors that died left behind
  -h, --help                show this help and exit
  -V, --version             show the version and exit

Formats:
  json      an array of records: {"TitleIndex": 1, "TitleTxt": "...", "Title1": ... "Title8": ...,
            "Paragraphs": ["...", ...]}; NULL is null, apart from the empty text ""; a byte
            that is not UTF-8 is written as \udcXX and read back as that byte
  csv       RFC 4180 with a header line, one line per paragraph with its record's key and fields
            repeated, columns TitleIndex,TitleTxt,Title1..Title8,Paragraph,ContentTxt; a record
            without paragraphs is one line with empty Paragraph and ContentTxt; NULL is written
            as an empty cell and read back as empty text
  markdown  for reading: a heading per record, its fields as a list, then its paragraphs
Text is written byte for byte as stored; text that is not UTF-8 is reported on standard error,
escaped in JSON, and refused by a CSV export (which writes no file then).

New files (init, demo, export, backup) are written beside their target and renamed into place
when complete; an interrupted or failed run leaves no partial file behind. Long runs show their
progress when standard error is a terminal.

On a server: wherever a database FILE or DB is named, a PostgreSQL connection string or URI
(postgresql://host/records, service=records) may stand instead. init creates the tables there;
demo adds records; import also takes a database file (NoteData.db), and with --keep-keys keeps
its record numbers (an .mdb keeps them when the server's tables are empty, as for a file; the
paragraphs that belong to no record stay behind and are reported); backup writes an SQLite
database from one consistent snapshot; check also reports the pending paragraphs of editors that
died, and --repair removes them.

Exit status: 0 done, 1 failed or check found a problem (or backup copied a damaged database),
2 bad command line, 128 + the signal when SIGINT, SIGTERM or SIGHUP ended an import.
)";

constexpr const char* TryHelp = "Try 'tamrixdata-db --help'.";

struct UsageError {
    std::string message;
};

template <typename Number> Number ParseNumber(std::string_view text, std::string_view what, Number low, Number high) {
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw UsageError{std::string(what) + " must be an integer from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not '" + std::string(text) + "'"};
    return value;
}

enum Option : int {
    OptionFormat = 256,
    OptionSeed,
    OptionMaxParagraphs,
    OptionKeepKeys,
    OptionCodePage,
    OptionIfEmpty,
    OptionRepair
};

struct Command {
    std::string_view name;
    std::string_view arguments; // for messages
    std::size_t required;
    std::size_t optional;
    std::vector<int> options; // besides --help and --version
};

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"init", "FILE", 1, 0, {'f'}},
        {"demo", "N FILE", 2, 0, {'f', OptionSeed, OptionMaxParagraphs}},
        {"export", "DB [OUT]", 1, 1, {'f', OptionFormat}},
        {"import", "DB IN", 2, 0, {OptionFormat, OptionKeepKeys, OptionCodePage, OptionIfEmpty}},
        {"backup", "DB DEST", 2, 0, {'f'}},
        {"check", "DB", 1, 0, {OptionRepair}},
    };
    return commands;
}

// Whether a file name ends with the extension, in any letter case.
bool EndsWith(std::string_view text, std::string_view extension) {
    return text.size() >= extension.size() && EqualsIgnoreCase(text.substr(text.size() - extension.size()), extension);
}

struct Options {
    bool force = false;
    std::optional<Format> format;
    bool mdb = false; // --format=mdb
    MdbImportOptions mdbImport;
    DemoOptions demo;
    bool repair = false;
    std::vector<int> given; // the options given, for the command's check
};

Format ParseFormat(std::string_view text) {
    if (text == "csv")
        return Format::Csv;
    if (text == "json")
        return Format::Json;
    if (text == "markdown" || text == "md")
        return Format::Markdown;
    throw UsageError{"unknown format '" + std::string(text) + "' (json, csv or markdown)"};
}

std::string OptionName(int option) {
    switch (option) {
    case OptionFormat:
        return "--format";
    case OptionSeed:
        return "--seed";
    case OptionMaxParagraphs:
        return "--max-paragraphs";
    case OptionKeepKeys:
        return "--keep-keys";
    case OptionCodePage:
        return "--codepage";
    case OptionIfEmpty:
        return "--if-empty";
    case OptionRepair:
        return "--repair";
    case 'f':
        return "--force";
    case 'h':
        return "--help";
    default:
        return "--version";
    }
}

// Returns nullopt for --help and --version, which have been answered.
std::optional<Options> ParseOptions(int argc, char** argv) {
    static const option longOptions[] = {
        {"format", required_argument, nullptr, OptionFormat},
        {"force", no_argument, nullptr, 'f'},
        {"seed", required_argument, nullptr, OptionSeed},
        {"max-paragraphs", required_argument, nullptr, OptionMaxParagraphs},
        {"keep-keys", no_argument, nullptr, OptionKeepKeys},
        {"codepage", required_argument, nullptr, OptionCodePage},
        {"if-empty", no_argument, nullptr, OptionIfEmpty},
        {"repair", no_argument, nullptr, OptionRepair},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    opterr = 0;
    for (int option; (option = getopt_long(argc, argv, ":fhV", longOptions, nullptr)) != -1;) {
        switch (option) {
        case 'h':
            std::fputs(Help, stdout);
            return std::nullopt;
        case 'V':
            std::printf("tamrixdata-db %s\nLicense: MIT\n", TAMRIX_VERSION);
            return std::nullopt;
        case 'f':
            options.force = true;
            break;
        case OptionFormat:
            if (std::string_view(optarg) == "mdb") {
                options.mdb = true;
                options.format.reset();
            } else {
                options.format = ParseFormat(optarg);
                options.mdb = false;
            }
            break;
        case OptionKeepKeys:
            options.mdbImport.keepKeys = true;
            break;
        case OptionIfEmpty:
            options.mdbImport.ifEmpty = true;
            break;
        case OptionCodePage:
            options.mdbImport.codePage = ParseNumber<int>(optarg, "the code page", 1, 65535);
            break;
        case OptionSeed:
            options.demo.seed = ParseNumber<std::uint64_t>(optarg, "the seed", 0, UINT64_MAX);
            break;
        case OptionMaxParagraphs:
            options.demo.maxParagraphs = ParseNumber<int>(optarg, "the paragraph maximum", 0, MaxDemoParagraphs);
            break;
        case OptionRepair:
            options.repair = true;
            break;
        case ':':
            throw UsageError{"option '" + OptionName(optopt) + "' needs a value"};
        default: {
            // An unknown long option, an unknown letter, or a value given to an option without one.
            std::string_view written = argv[optind - 1];
            if (optopt == 0 || (written.starts_with("--") && written.find('=') == std::string_view::npos))
                throw UsageError{"unknown option '" + std::string(written.substr(0, written.find('='))) + "'"};
            if (written.starts_with("--"))
                throw UsageError{"option '" + OptionName(optopt) + "' takes no value"};
            throw UsageError{std::string("unknown option '-") + static_cast<char>(optopt) + "'"};
        }
        }
        options.given.push_back(option);
    }
    return options;
}

Format ExportFormat(const std::string& output, const Options& options) {
    return options.format.value_or(EndsWith(output, ".csv")                                   ? Format::Csv
                                   : EndsWith(output, ".md") || EndsWith(output, ".markdown") ? Format::Markdown
                                                                                              : Format::Json);
}

// A command whose database is a server; -1 when it names a file.
int RunOnServer(std::string_view name, const std::vector<std::string>& arguments, const Options& options) {
    const std::string& database = name == "demo" ? arguments[1] : arguments[0];
    if (!IsServerConnection(database))
        return -1;
    if (options.force && name != "export" && name != "backup")
        throw UsageError{"--force does not apply to a server: its tables are never replaced"};
    if (name == "init")
        return InitServer(database);
    if (name == "demo")
        return DemoServer(database, ParseNumber<int>(arguments[0], "the number of records N", 0, INT32_MAX),
                          options.demo);
    if (name == "export") {
        const std::string output = arguments.size() > 1 ? arguments[1] : "-";
        return ExportServer(database, output, ExportFormat(output, options), options.force);
    }
    if (name == "import") {
        if (options.format == Format::Markdown)
            throw UsageError{"markdown is for reading and cannot be imported (json or csv)"};
        if (options.mdb || EndsWith(arguments[1], ".mdb") || HasJetSignature(arguments[1]))
            return ImportMdbToServer(database, arguments[1], options.mdbImport);
        return ImportToServer(database, arguments[1], options.format, options.mdbImport.keepKeys);
    }
    if (name == "backup")
        return BackupServer(database, arguments[1], options.force);
    return CheckServer(database, options.repair);
}

int Run(int argc, char** argv) {
    std::optional<Options> parsed = ParseOptions(argc, argv);
    if (!parsed)
        return 0;
    Options& options = *parsed;
    std::vector<std::string> positional(argv + optind, argv + argc);
    if (positional.empty())
        throw UsageError{"no command given"};
    const Command* command = nullptr;
    for (const Command& candidate : Commands()) {
        if (candidate.name == positional.front())
            command = &candidate;
    }
    if (!command)
        throw UsageError{"unknown command '" + positional.front() + "'"};
    std::size_t count = positional.size() - 1;
    if (count < command->required)
        throw UsageError{std::string(command->name) + " needs " + std::string(command->arguments)};
    if (count > command->required + command->optional)
        throw UsageError{"unexpected argument '" + positional[command->required + command->optional + 1] + "'"};
    for (int option : options.given) {
        if (std::find(command->options.begin(), command->options.end(), option) == command->options.end())
            throw UsageError{"option '" + OptionName(option) + "' does not apply to " + std::string(command->name)};
    }

    const std::vector<std::string> arguments(positional.begin() + 1, positional.end());
    std::string_view name = command->name;
    if (const int status = RunOnServer(name, arguments, options); status >= 0)
        return status;
    if (options.repair)
        throw UsageError{"--repair applies to a server only"};
    if (name == "init") {
        CreateEmptyDatabase(arguments[0], options.force);
        return 0;
    }
    if (name == "demo") {
        int records = ParseNumber<int>(arguments[0], "the number of records N", 0, INT32_MAX);
        CreateDemoDatabase(arguments[1], records, options.demo, options.force);
        return 0;
    }
    if (name == "export") {
        const std::string output = arguments.size() > 1 ? arguments[1] : "-";
        return ExportRecords(arguments[0], output, ExportFormat(output, options), options.force);
    }
    if (name == "import") {
        const std::string& source = arguments[1];
        if (options.mdb || (!options.format && (EndsWith(source, ".mdb") || HasJetSignature(source))))
            return ImportMdb(arguments[0], source, options.mdbImport);
        for (int option : {OptionKeepKeys, OptionCodePage, OptionIfEmpty}) {
            if (std::find(options.given.begin(), options.given.end(), option) != options.given.end())
                throw UsageError{"option '" + OptionName(option) + "' applies to the import of an .mdb file only"};
        }
        if (options.format == Format::Markdown)
            throw UsageError{"markdown is for reading and cannot be imported (json or csv)"};
        std::optional<Format> format = options.format;
        if (!format && EndsWith(source, ".csv"))
            format = Format::Csv;
        else if (!format && EndsWith(source, ".json"))
            format = Format::Json;
        return ImportRecords(arguments[0], source, format);
    }
    if (name == "backup")
        return BackupDatabase(arguments[0], arguments[1], options.force);
    return CheckDatabase(arguments[0]);
}

// The database handles name the statement that failed, which is no help to a user and would show
// the schema: a failure that was not explained on its way is told with SQLite's words alone.
std::string WithoutStatement(std::string_view message) {
    for (std::string_view prefix : {"cannot prepare \"", "cannot run \""}) {
        std::size_t start = message.find(prefix);
        std::size_t end = start == std::string_view::npos ? start : message.find("\": ", start + prefix.size());
        if (end != std::string_view::npos)
            return std::string(message.substr(0, start)) + "database error" + std::string(message.substr(end + 1));
    }
    return std::string(message);
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "tamrixdata-db: %s. %s\n", error.message.c_str(), TryHelp);
        return 2;
    } catch (const FileExistsError& error) {
        std::fprintf(stderr, "tamrixdata-db: %s (use --force to replace it)\n", error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tamrixdata-db: %s\n", WithoutStatement(error.what()).c_str());
        return 1;
    }
}
