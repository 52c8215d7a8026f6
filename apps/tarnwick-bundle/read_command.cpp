// `tarnwick-bundle read ROOT ID`: the records of a range of trading days as CSV or NPY.
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "cli.hpp"
#include "tarnwick/bundle/command_line.hpp"

namespace tarnwick::cli {
namespace {

namespace rd = tarnwick::bundle::reading;

struct ReadOptions {
    std::string root;
    std::string id;
    bool ticks = false;
    std::string start;
    std::string end;
    std::string format = "csv";
    std::string output;
};

// YYYYMMDD or YYYY-MM-DD; the library checks that it is a date.
std::optional<int> trading_day(const std::string& text, const char* option) {
    if (text.empty()) return std::nullopt;
    std::string digits;
    for (char c : text)
        if (c != '-') digits.push_back(c);
    const bool dashed = text.size() == 10 && text[4] == '-' && text[7] == '-';
    if (digits.size() != 8 || (digits.size() != text.size() && !dashed) ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError(fmt::format("{} \"{}\": expected a trading day YYYYMMDD or YYYY-MM-DD", option, text));
    return std::stoi(digits);
}

// Standard output, or the file given with -o (replaced only once the records were read).
class Output {
public:
    explicit Output(const std::string& path) : path_(path) {}
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() {
        if (file_ != nullptr && file_ != stdout) std::fclose(file_);
    }
    std::FILE* open() {
        file_ = path_.empty() ? stdout : std::fopen(path_.c_str(), "wb");
        if (file_ == nullptr) throw bundle::OsError::from_errno(errno, fmt::format("cannot write \"{}\"", path_));
        return file_;
    }
    void close() {
        if (file_ != nullptr && file_ != stdout && std::fclose(std::exchange(file_, nullptr)) != 0)
            throw bundle::OsError::from_errno(errno, fmt::format("cannot write \"{}\"", path_));
    }

private:
    std::string path_;
    std::FILE* file_ = nullptr;
};

int run_read(const ReadOptions& options) {
    require_existing_bundle(options.root);
    const rd::DayRange days{trading_day(options.start, "--start"), trading_day(options.end, "--end")};
    const rd::Records records = options.ticks ? rd::read_ticks(options.root, options.id, days)
                                              : rd::read_minbar(options.root, options.id, days);
    Output output(options.output);
    rd::write_records(records, options.format == "npy" ? rd::Format::Npy : rd::Format::Csv, output.open());
    output.close();
    return EXIT_OK;
}

}  // namespace

void add_read_command(CLI::App& app, Commands& commands) {
    auto options = std::make_shared<ReadOptions>();
    CLI::App* command = app.add_subcommand(
        "read",
        "write the minute bars (or ticks) of an instrument's trading days as CSV or NPY, values as stored "
        "(tick prices x10000); reads only the days asked for, and refuses a file an update is writing or left "
        "half written");
    command->add_option("data_bundle_path", options->root, "the folder that holds the bundle folder \"bundle\"")
        ->required();
    command->add_option("order_book_id", options->id, "the instrument identifier, e.g. 000001.XSHE or IF2612")
        ->required();
    command->add_flag("--ticks", options->ticks, "read the tick file instead of the minute bars");
    command->add_option("--start", options->start, "first trading day, YYYYMMDD (default: the first held)")
        ->option_text("D");
    command->add_option("--end", options->end, "last trading day, YYYYMMDD, inclusive (default: the last held)")
        ->option_text("D");
    command->add_option("--format", options->format, "csv (one header line of field names) or npy (numpy.load)")
        ->check(CLI::IsMember({"csv", "npy"}))
        ->option_text("csv|npy");
    command->add_option("-o,--output", options->output, "write to FILE instead of standard output")
        ->option_text("FILE");
    commands.emplace_back(command, [options] { return run_read(*options); });
}

}  // namespace tarnwick::cli
