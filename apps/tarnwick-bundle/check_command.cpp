#include <memory>

#include "cli.hpp"
#include "tarnwick/bundle/checks/minbar_check.hpp"
#include "tarnwick/bundle/checks/tick_check.hpp"

namespace tarnwick::cli {

void add_check_command(CLI::App& app, Commands& commands) {
    CLI::App* check = app.add_subcommand(
        "check", "check the store files against the trading calendar, report bad files and offer to delete them");
    check->require_subcommand(1);
    auto root = std::make_shared<std::string>();
    CLI::App* minbar = check->add_subcommand("minbar", "check the minute-bar files of a data bundle");
    minbar->add_option("data_bundle_path", *root, "the folder that holds the bundle folder \"bundle\"")->required();
    CLI::App* tick = check->add_subcommand("tick", "check the tick files of a data bundle");
    tick->add_option("data_bundle_path", *root, "the folder that holds the bundle folder \"bundle\"")->required();
    commands.emplace_back(minbar, [root] {
        bundle::checks::check_min_bar_data(*root);
        return EXIT_OK;
    });
    commands.emplace_back(tick, [root] {
        bundle::checks::check_tick_data(*root);
        return EXIT_OK;
    });
}

}  // namespace tarnwick::cli
