#include "cli.hpp"
#include "tarnwick/bundle/command_line.hpp"

namespace tarnwick::cli {

void add_update_tick_command(CLI::App& app, Commands& commands) {
    add_driver_command(app, commands, "update-tick", "create or extend the tick files of the selected instruments",
                       "tick folder (a bundle's <root>/bundle/ticks), created when missing; one <id>.h5 file per "
                       "instrument",
                       &bundle::update_tick, Store::Ticks);
}

}  // namespace tarnwick::cli
