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
    auto workers = std::make_shared<unsigned>(0);  // 0: one per processor
    CLI::App* minbar = check->add_subcommand("minbar", "check the minute-bar files of a data bundle");
    minbar->add_option("data_bundle_path", *root, "the folder that holds the bundle folder \"bundle\"")->required();
    minbar->add_option("-j,--concurrency", *workers, "number of processes that examine files (default: processors)")
        ->check(worker_count());
    CLI::App* tick = check->add_subcommand("tick", "check the tick files of a data bundle");
    tick->add_option("data_bundle_path", *root, "the folder that holds the bundle folder \"bundle\"")->required();
    tick->add_option("-j,--concurrency", *workers, "number of processes that examine files (default: processors)")
        ->check(worker_count());
    commands.emplace_back(minbar, [root, workers] {
        bundle::checks::check_min_bar_data(*root, *workers);
        return EXIT_OK;
    });
    commands.emplace_back(tick, [root, workers] {
        bundle::checks::check_tick_data(*root, *workers);
        return EXIT_OK;
    });
}

}  // namespace tarnwick::cli
