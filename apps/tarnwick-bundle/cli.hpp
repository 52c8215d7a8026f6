#pragma once
// Shared pieces of the command line. Each sub-command lives in its own file and registers
// itself from main.cpp with a function `void add_<name>_command(CLI::App&, Commands&)`.
//
// Exit status: 0 when the command succeeded, 1 when it ran but reported a failure (some
// instrument was not updated, a check left bad files) or had nothing to do, 2 for bad
// arguments and settings (before anything is created), 3 when an error stopped the command.
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "tarnwick/bundle/command_line.hpp"

namespace tarnwick::cli {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_ERROR = 3;

constexpr const char* PROGRAM = "tarnwick-bundle";

// Each registered sub-command with the action to run when it was given.
using Commands = std::vector<std::pair<CLI::App*, std::function<int()>>>;

// An argument the command refuses before doing anything (a folder of the wrong level); main
// prints it with the program's name and exits with EXIT_USAGE.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One English line on standard error, after the program's name.
void note(const std::string& text);

int default_concurrency();
// "-j,--concurrency N": 1 to 4096, default the number of processors; the help says both.
void add_concurrency_option(CLI::App& command, int& concurrency);
// Accepts a whole number of worker processes from 1 to 4096.
CLI::Validator worker_count();

// The options of the update commands that take a selection of instruments.
struct SelectionOptions {
    std::string path;
    std::vector<std::string> tags;
    bool with_derivatives = false;
    int concurrency = default_concurrency();
    bool rebuild = false;
    bool enable_bjse = false;
    bool dry_run = false;
    bool json = false;
    std::string refetch;  // "START[:END]": refetch those days instead of updating
    bool drop_missing = false;
};
void add_selection_options(CLI::App& command, SelectionOptions& options, const std::string& path_help);

// The signature both update drivers share.
using Driver = bool (*)(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                        int concurrency, bool rebuild, bool enable_bjse);
// "--dry-run" and "--json" of the update commands: print what the update would do instead.
void add_dry_run_options(CLI::App& command, bool& dry_run, bool& json);
// Prints a plan (text or JSON) on standard output; the exit status of a dry run.
int print_plan(const bundle::drivers::Plan& plan, bool json);

// Which store a driver command updates: the folder below the bundle folder it expects.
enum class Store { MinuteBars, Ticks };
// A command that runs one update driver over a selection of instruments.
void add_driver_command(CLI::App& app, Commands& commands, const std::string& name, const std::string& help,
                        const std::string& path_help, Driver driver, Store store);

// Folder-level guards; each throws UsageError with a hint naming the folder to give instead.
// The data root (the folder holding "bundle") where a store folder is expected, or a bundle
// folder itself.
void require_store_folder(const std::string& path, Store store);
// A bundle folder where its data root is expected.
void require_not_a_bundle_folder(const std::string& data_bundle_path);
// ... and, for the commands that only work on an existing bundle, "bundle" must be there.
void require_existing_bundle(const std::string& data_bundle_path);

// Checks an output file given on the command line (-o, --html) before any work starts, so that a
// long run never ends in a report it cannot write: UsageError when it is one of a bundle's own
// files (or leads to one through a link), a folder, or a place that cannot be written, with the
// system's reason. Changes nothing. "-" (standard output) and "" (none given) pass.
void check_output_path(const std::string& path);

// Writes `text` to the file `path` (made afresh), or to standard output for "-"; OsError naming
// it and the reason when that fails.
void write_text_file(const std::string& path, const std::string& text);

// For a report's --html PAGE beside its text or JSON view on standard output: whether the page
// takes standard output ("-") in place of the view. UsageError when --json asks for it too.
bool page_replaces_view(const std::string& html, bool json);

// "cannot write "PATH": REASON" for the errno `err`.
std::string cannot_write(const std::string& path, int err);

// Counts the instruments each update run of this process selected (the library tells the
// command line through drivers::observe_selections) for as long as it lives.
class SelectionCounts {
public:
    SelectionCounts();
    ~SelectionCounts();
    SelectionCounts(const SelectionCounts&) = delete;
    SelectionCounts& operator=(const SelectionCounts&) = delete;
    const std::vector<std::size_t>& runs() const { return runs_; }

private:
    std::vector<std::size_t> runs_;
};

// The closest of `names` to `word` when it is close enough to be a typo of it.
std::optional<std::string> nearest_name(const std::string& word, const std::vector<std::string>& names);

void add_update_minbar_command(CLI::App& app, Commands& commands);
void add_update_tick_command(CLI::App& app, Commands& commands);
void add_update_command(CLI::App& app, Commands& commands);
void add_check_command(CLI::App& app, Commands& commands);
void add_download_sample_command(CLI::App& app, Commands& commands);
void add_make_sample_command(CLI::App& app, Commands& commands);
void add_status_command(CLI::App& app, Commands& commands);
void add_read_command(CLI::App& app, Commands& commands);

}  // namespace tarnwick::cli
