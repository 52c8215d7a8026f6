#include "cli.hpp"

#include <unistd.h>

#include <memory>

#include <fmt/format.h>

namespace tarnwick::cli {

int default_concurrency() {
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return cpus > 0 ? static_cast<int>(cpus) : 1;
}

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

void add_driver_command(CLI::App& app, Commands& commands, const std::string& name, const std::string& help,
                        const std::string& path_help, Driver driver) {
    auto options = std::make_shared<SelectionOptions>();
    CLI::App* command = app.add_subcommand(name, help);
    add_selection_options(*command, *options, path_help);
    commands.emplace_back(command, [options, driver] {
        const bool ok = driver(options->path, options->tags, options->with_derivatives, options->concurrency,
                               options->rebuild, options->enable_bjse);
        return ok ? EXIT_OK : EXIT_FAILED;
    });
}

}  // namespace tarnwick::cli
