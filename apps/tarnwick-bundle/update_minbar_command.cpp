#include <memory>

#include "cli.hpp"
#include "tarnwick/bundle/bundle.hpp"

namespace tarnwick::cli {

void add_update_minbar_command(CLI::App& app, Commands& commands) {
    auto options = std::make_shared<SelectionOptions>();
    CLI::App* command =
        app.add_subcommand("update-minbar", "create or extend the minute-bar files of the selected instruments");
    add_selection_options(*command, *options,
                          "minute-bar root folder (a bundle's <root>/bundle/h5); files go to its "
                          "equities/, future/ and option/ folders");
    commands.emplace_back(command, [options] {
        const bool ok = bundle::update_minbar(options->path, options->tags, options->with_derivatives,
                                              options->concurrency, options->rebuild, options->enable_bjse);
        return ok ? EXIT_OK : EXIT_FAILED;
    });
}

}  // namespace tarnwick::cli
