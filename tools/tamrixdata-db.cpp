// tamrixdata-db: creates an empty database of the program's schema, or one filled with demo records.

#include "DemoDatabase.h"

#include <charconv>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* Usage = R"(Usage:
  tamrixdata-db init FILE [--force]
  tamrixdata-db demo N FILE [--seed S] [--max-paragraphs K] [--force]
  tamrixdata-db --help

  init   creates FILE as an empty database with the tables Title and Content
  demo   creates FILE and fills it with N demo records (0 to K paragraphs each)

Options:
  --force               replace FILE if it exists
  --seed S              seed of the demo data (default 1); the same seed gives the same data
  --max-paragraphs K    most paragraphs per record, 0 to 6 (default 6)
)";

struct UsageError {
    std::string message;
};

template <typename Number> Number ParseNumber(std::string_view text, std::string_view what, Number low, Number high) {
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw UsageError{std::string(what) + " must be an integer from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not \"" + std::string(text) + "\""};
    return value;
}

int Run(const std::vector<std::string_view>& arguments) {
    bool force = false;
    DemoOptions options;
    std::vector<std::string_view> positional;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string_view argument = arguments[i];
        auto value = [&]() {
            if (i + 1 >= arguments.size())
                throw UsageError{"option " + std::string(argument) + " needs a value"};
            return arguments[++i];
        };
        if (argument == "--force")
            force = true;
        else if (argument == "--seed")
            options.seed = ParseNumber<std::uint64_t>(value(), "the seed", 0, UINT64_MAX);
        else if (argument == "--max-paragraphs")
            options.maxParagraphs = ParseNumber<int>(value(), "the paragraph maximum", 0, MaxDemoParagraphs);
        // "-5" is a (negative) number, not an option, so that N gets the number's message.
        else if (argument.size() > 1 && argument.front() == '-' && !(argument[1] >= '0' && argument[1] <= '9'))
            throw UsageError{"unknown option " + std::string(argument)};
        else
            positional.push_back(argument);
    }
    if (positional.empty())
        throw UsageError{"no command given"};
    std::string_view command = positional.front();
    std::size_t expected = command == "init" ? 2 : command == "demo" ? 3 : 0;
    if (expected == 0)
        throw UsageError{"unknown command " + std::string(command)};
    if (positional.size() < expected)
        throw UsageError{command == "init" ? "no FILE given" : "N and FILE are required"};
    if (positional.size() > expected)
        throw UsageError{"unexpected argument " + std::string(positional[expected])};

    if (command == "init") {
        CreateEmptyDatabase(std::string(positional[1]), force);
    } else {
        int count = ParseNumber<int>(positional[1], "the number of records N", 0, INT32_MAX);
        CreateDemoDatabase(std::string(positional[2]), count, options, force);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> arguments(argv + 1, argv + argc);
    for (std::string_view argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        }
    }
    try {
        return Run(arguments);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "tamrixdata-db: %s\n\n%s", error.message.c_str(), Usage);
        return 2;
    } catch (const FileExistsError& error) {
        std::fprintf(stderr, "tamrixdata-db: %s (use --force to replace it)\n", error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tamrixdata-db: %s\n", error.what());
        return 1;
    }
}
