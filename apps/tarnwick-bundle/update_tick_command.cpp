#include <memory>

#include "cli.hpp"
#include "tarnwick/bundle/tick/driver.hpp"

namespace tarnwick::cli {

void add_update_tick_command(CLI::App& app, Commands& commands) {
    auto options = std::make_shared<SelectionOptions>();
    CLI::App* command =
        app.add_subcommand("update-tick", "create or extend the tick files of the selected instruments");
    add_selection_options(*command, *options,
                          "tick folder (a bundle's <root>/bundle/ticks), created when missing; one "
                          "<id>.h5 file per instrument");
    commands.emplace_back(command, [options] {
        const bool ok = bundle::tick::update_tick(options->path, options->tags, options->with_derivatives,
                                                  options->concurrency, options->rebuild, options->enable_bjse);
        return ok ? EXIT_OK : EXIT_FAILED;
    });
}

}  // namespace tarnwick::cli
