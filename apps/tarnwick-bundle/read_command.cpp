// `tarnwick-bundle read ROOT ID...`: the records of a range of trading days as CSV or NPY.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "cli.hpp"
#include "tarnwick/bundle/command_line.hpp"

namespace tarnwick::cli {
namespace {

namespace rd = tarnwick::bundle::reading;

struct ReadOptions {
    std::string root;
    std::vector<std::string> ids;
    bool ticks = false;
    std::string fields;
    std::string start;
    std::string end;
    std::string format = "csv";
    bool iso_times = false;
    bool scaled_prices = false;
    unsigned jobs = 0;
    std::string output;
};

std::vector<std::string> field_list(const std::string& text) {
    std::vector<std::string> fields;
    for (std::size_t at = 0; !text.empty() && at <= text.size();) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        if (comma == at) throw UsageError(fmt::format("--fields \"{}\": an empty field name", text));
        fields.push_back(text.substr(at, comma - at));
        at = comma + 1;
    }
    return fields;
}

// YYYYMMDD or YYYY-MM-DD, a date of the calendar: a bad day is a bad argument like any other.
std::optional<int> trading_day(const std::string& text, const char* option) {
    if (text.empty()) return std::nullopt;
    std::string digits;
    for (char c : text)
        if (c != '-') digits.push_back(c);
    const bool dashed = text.size() == 10 && text[4] == '-' && text[7] == '-';
    const auto bad = [&] {
        return UsageError(fmt::format("{} \"{}\": expected a trading day YYYYMMDD or YYYY-MM-DD", option, text));
    };
    if (digits.size() != 8 || (digits.size() != text.size() && !dashed) ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        throw bad();
    const int day = std::stoi(digits);
    using namespace std::chrono;
    if (!year_month_day{year{day / 10000}, month{static_cast<unsigned>(day / 100 % 100)},
                        std::chrono::day{static_cast<unsigned>(day % 100)}}
             .ok())
        throw bad();
    return day;
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
        file_ = to_stdout() ? stdout : std::fopen(path_.c_str(), "wb");
        if (file_ == nullptr) throw bundle::OsError::from_errno(errno, cannot_write(path_, errno));
        return file_;
    }
    void close() {
        if (file_ != nullptr && file_ != stdout && std::fclose(std::exchange(file_, nullptr)) != 0)
            throw bundle::OsError::from_errno(errno, cannot_write(path_, errno));
    }
    // "-o -" is standard output, as for most tools.
    bool to_stdout() const { return path_.empty() || path_ == "-"; }

private:
    std::string path_;
    std::FILE* file_ = nullptr;
};

int run_read(const ReadOptions& options) {
    require_existing_bundle(options.root);
    const rd::DayRange days{trading_day(options.start, "--start"), trading_day(options.end, "--end")};
    if (days.first && days.last && *days.first > *days.last)
        throw UsageError(fmt::format("--start {} is after --end {}", options.start, options.end));
    const bool npy = options.format == "npy";
    if (npy && (options.iso_times || options.scaled_prices))
        throw UsageError("--iso-times and --scaled-prices change how CSV shows values; NPY keeps them as stored");
    check_output_path(options.output);
    Output output(options.output);
    if (npy && output.to_stdout() && ::isatty(STDOUT_FILENO))
        throw UsageError("NPY is binary: give -o FILE or send standard output to a file or a pipe");
    rd::PanelRequest request;
    request.order_book_ids = options.ids;
    request.days = days;
    request.ticks = options.ticks;
    request.threads = options.jobs;
    const rd::Table table = rd::read_table(options.root, request, field_list(options.fields), npy && options.ids.size() > 1);
    rd::write_table(table, npy ? rd::Format::Npy : rd::Format::Csv, {options.iso_times, options.scaled_prices},
                    output.open());
    output.close();
    return EXIT_OK;
}

}  // namespace

void add_read_command(CLI::App& app, Commands& commands) {
    auto options = std::make_shared<ReadOptions>();
    CLI::App* command = app.add_subcommand(
        "read",
        "write the minute bars (or ticks) of instruments' trading days as CSV or NPY, values as stored "
        "(integer times, tick prices x10000) unless asked otherwise; reads only the days asked for, on every core, "
        "and refuses a file an update is writing or left half written");
    command->add_option("data_bundle_path", options->root, "the folder that holds the bundle folder \"bundle\"")
        ->required();
    command->add_option("order_book_id", options->ids,
                        "the instrument identifiers, e.g. 000001.XSHE IF2612; with more than one, CSV has an "
                        "order_book_id column first and NPY an order_book_id field (|S<longest>) in every record")
        ->required();
    command->add_flag("--ticks", options->ticks, "read the tick file instead of the minute bars");
    command->add_option("--start", options->start, "first trading day, YYYYMMDD or YYYY-MM-DD (default: the first held)")
        ->option_text("D");
    command->add_option("--end", options->end, "last trading day, YYYYMMDD or YYYY-MM-DD, inclusive (default: the last held)")
        ->option_text("D");
    command->add_option("--format", options->format, "csv (one header line of field names) or npy (numpy.load)")
        ->check(CLI::IsMember({"csv", "npy"}))
        ->option_text("csv|npy");
    command->add_option("--fields", options->fields,
                        "only these fields, in this order, e.g. datetime,close (default: all stored fields)")
        ->option_text("a,b");
    command->add_flag("--iso-times", options->iso_times,
                      "CSV: ISO 8601 times (bars: YYYY-MM-DDTHH:MM:SS; ticks: date YYYY-MM-DD, time HH:MM:SS.mmm)");
    command->add_flag("--scaled-prices", options->scaled_prices, "CSV: tick prices divided by 10000");
    command->add_option("-j,--jobs", options->jobs, "threads that inflate chunks (default: the machine's cores)")
        ->check(CLI::PositiveNumber)
        ->option_text("N");
    command->add_option("-o,--output", options->output, "write to FILE instead of standard output (-: standard output)")
        ->option_text("FILE|-");
    commands.emplace_back(command, [options] { return run_read(*options); });
}

}  // namespace tarnwick::cli
