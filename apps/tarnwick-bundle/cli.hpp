#pragma once
// Shared pieces of the command line. Each sub-command lives in its own file and registers
// itself from main.cpp with a function `void add_<name>_command(CLI::App&, Commands&)`.
//
// Exit status: 0 when the command succeeded, 1 when it ran but reported a failure (some
// instrument was not updated), 2 for bad arguments, 3 when an error stopped the command.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

namespace tarnwick::cli {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_ERROR = 3;

// Each registered sub-command with the action to run when it was given.
using Commands = std::vector<std::pair<CLI::App*, std::function<int()>>>;

int default_concurrency();
// Validates a worker count, naming the expectation and the given text on failure.
CLI::Validator worker_count();

// The options of the update commands that take a selection of instruments.
struct SelectionOptions {
    std::string path;
    std::vector<std::string> tags;
    bool with_derivatives = false;
    int concurrency = default_concurrency();
    bool rebuild = false;
    bool enable_bjse = false;
};
void add_selection_options(CLI::App& command, SelectionOptions& options, const std::string& path_help);

// The signature both update drivers share.
using Driver = bool (*)(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                        int concurrency, bool rebuild, bool enable_bjse);
// A command that runs one update driver over a selection of instruments.
void add_driver_command(CLI::App& app, Commands& commands, const std::string& name, const std::string& help,
                        const std::string& path_help, Driver driver);

void add_update_minbar_command(CLI::App& app, Commands& commands);
void add_update_tick_command(CLI::App& app, Commands& commands);
void add_update_command(CLI::App& app, Commands& commands);
void add_check_command(CLI::App& app, Commands& commands);
void add_download_sample_command(CLI::App& app, Commands& commands);
void add_make_sample_command(CLI::App& app, Commands& commands);
void add_status_command(CLI::App& app, Commands& commands);

}  // namespace tarnwick::cli
