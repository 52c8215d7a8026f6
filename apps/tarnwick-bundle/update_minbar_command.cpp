#include "cli.hpp"
#include "tarnwick/bundle/command_line.hpp"

namespace tarnwick::cli {

void add_update_minbar_command(CLI::App& app, Commands& commands) {
    add_driver_command(app, commands, "update-minbar",
                       "create or extend the minute-bar files of the selected instruments",
                       "minute-bar root folder (a bundle's <root>/bundle/h5); files go to its equities/, future/ and "
                       "option/ folders",
                       &bundle::update_minbar, Store::MinuteBars);
}

}  // namespace tarnwick::cli
