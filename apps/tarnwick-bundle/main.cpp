// tarnwick-bundle: the command line of the bundle module, one sub-command per entry function.
//
// Exit status: 0 when the command succeeded, 1 when it ran but reported a failure (some
// instrument was not updated), 2 for bad arguments, 3 when an error stopped the command.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "tarnwick/bundle/bundle.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/service/errors.hpp"

namespace {

namespace tb = tarnwick::bundle;

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_ERROR = 3;

int default_concurrency() {
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return cpus > 0 ? static_cast<int>(cpus) : 1;
}

// Reads a worker count, naming the option, the expectation and the given text on failure.
CLI::Validator worker_count() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            std::size_t used = 0;
            long value = 0;
            try {
                value = std::stol(text, &used);
            } catch (...) {
                used = 0;
            }
            if (used != text.size() || value < 1 || value > 4096)
                return fmt::format("expected a whole number of worker processes from 1 to 4096, got \"{}\"", text);
            return {};
        },
        "N>=1");
}

struct SelectionOptions {
    std::string path;
    std::vector<std::string> tags;
    bool with_derivatives = false;
    int concurrency = default_concurrency();
    bool rebuild = false;
    bool enable_bjse = false;
};

void add_selection_options(CLI::App& command, SelectionOptions& options, const std::string& path_help) {
    command.add_option("path", options.path, path_help)->required();
    command
        .add_option("tags", options.tags,
                    "instrument identifiers, futures underlying symbols or category words: "
                    "stock, futures, fund, index, option, convertible, all")
        ->required();
    command.add_flag("--with-derivatives", options.with_derivatives,
                     "also update futures and options written on the selected instruments");
    command.add_option("-j,--concurrency", options.concurrency, "number of worker processes (default: processors)")
        ->check(worker_count());
    command.add_flag("--rebuild", options.rebuild, "delete each selected file and build it again from 2005-01-04");
    command.add_flag("--enable-bjse", options.enable_bjse, "include Beijing Stock Exchange stocks in \"stock\"");
}

int run(int argc, char** argv) {
    CLI::App app{
        "tarnwick-bundle: keeps the intraday part of a local market-data bundle (minute bars and ticks in\n"
        "HDF5 store files, one per instrument), fetched from the market-data service."};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "show the help of every command");

    SelectionOptions minbar;
    CLI::App* update_minbar = app.add_subcommand(
        "update-minbar", "create or extend the minute-bar files of the selected instruments");
    add_selection_options(*update_minbar, minbar,
                          "minute-bar root folder (a bundle's <root>/bundle/h5); files go to its "
                          "equities/, future/ and option/ folders");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : EXIT_USAGE;
    }

    if (update_minbar->parsed()) {
        const bool ok = tb::update_minbar(minbar.path, minbar.tags, minbar.with_derivatives, minbar.concurrency,
                                          minbar.rebuild, minbar.enable_bjse);
        return ok ? 0 : EXIT_FAILED;
    }
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const tb::ProgramExit& exit) {
        return exit.status();
    } catch (const tb::ValueError& error) {
        std::cerr << "tarnwick-bundle: error: " << error.what() << '\n';
    } catch (const tb::OsError& error) {
        std::cerr << "tarnwick-bundle: error: " << error.what() << '\n';
    } catch (const tb::service::PermissionDenied& error) {
        std::cerr << "tarnwick-bundle: the market-data service refused access: " << error.what() << '\n';
    } catch (const std::exception& error) {
        std::cerr << "tarnwick-bundle: error: " << error.what() << '\n';
    }
    return EXIT_ERROR;
}
