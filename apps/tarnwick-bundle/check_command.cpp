#include <memory>

#include "cli.hpp"
#include "tarnwick/bundle/command_line.hpp"

namespace tarnwick::cli {

void add_check_command(CLI::App& app, Commands& commands) {
    CLI::App* check = app.add_subcommand(
        "check", "check the store files against the trading calendar, report bad files and offer to delete them");
    check->require_subcommand(1);
    auto root = std::make_shared<std::string>();
    auto workers = std::make_shared<int>(default_concurrency());
    CLI::App* minbar = check->add_subcommand("minbar", "check the minute-bar files of a data bundle");
    minbar->add_option("data_bundle_path", *root, "the folder that holds the bundle folder \"bundle\"")->required();
    add_concurrency_option(*minbar, *workers);
    CLI::App* tick = check->add_subcommand("tick", "check the tick files of a data bundle");
    tick->add_option("data_bundle_path", *root, "the folder that holds the bundle folder \"bundle\"")->required();
    add_concurrency_option(*tick, *workers);
    // 0 only when nothing bad is left: a bundle without calendar or data was not checked, and
    // abnormal or blocked files that stay are the reason a script runs the check.
    commands.emplace_back(minbar, [root, workers] {
        require_not_a_bundle_folder(*root);
        const auto lists = bundle::examine_min_bar_files(*root, static_cast<unsigned>(*workers));
        if (!lists) return EXIT_FAILED;
        return bundle::settle_check_result(lists->error_file_path_list, lists->blocking_or_permission_error, "分钟")
                   ? EXIT_OK
                   : EXIT_FAILED;
    });
    commands.emplace_back(tick, [root, workers] {
        require_not_a_bundle_folder(*root);
        const auto lists = bundle::examine_tick_files(*root, static_cast<unsigned>(*workers));
        if (!lists) return EXIT_FAILED;
        return bundle::settle_check_result(lists->error_file_path_list, lists->blocking_or_permission_error, "tick")
                   ? EXIT_OK
                   : EXIT_FAILED;
    });
}

}  // namespace tarnwick::cli
