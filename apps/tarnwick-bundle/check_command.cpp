#include <iostream>
#include <memory>

#include "cli.hpp"
#include "tarnwick/bundle/command_line.hpp"

namespace tarnwick::cli {
namespace {

struct ContentOptions {
    std::string root;
    bool json = false;
    std::string html;
    int jobs = default_concurrency();
    bool all = false;
};

// `check content ROOT`: reads every minute-bar and tick file and reports what their content
// shows; changes nothing. With --html, the coverage page of `status --html` with the days that
// have findings marked.
int run_content(const ContentOptions& options) {
    namespace tb = tarnwick::bundle;
    require_existing_bundle(options.root);
    check_output_path(options.html);
    const bool page_only = page_replaces_view(options.html, options.json);
    const tb::audit::Report report = tb::audit::audit_bundle(options.root, tb::audit::Options{options.jobs});
    if (!options.html.empty()) {
        tb::status::DayMarks marks;
        for (const auto& f : report.findings) {
            const auto& paths = f.store == tb::audit::Store::Minbar ? report.minbar_paths : report.tick_paths;
            const auto path = paths.find(f.instrument);
            if (path == paths.end()) continue;
            std::string& text = marks[path->second][f.date];
            text += (text.empty() ? "" : "; ") + std::string(tb::audit::kind_name(f.kind)) + ": " + f.reason;
        }
        const auto status = tb::status::bundle_status(options.root, tb::status::Options{options.jobs});
        write_text_file(options.html, tb::status::html_view(status, marks));
    }
    if (!page_only)
        std::cout << (options.json ? tb::audit::json_view(report) : tb::audit::text_view(report, options.all ? 0 : 40));
    std::cout.flush();
    return report.clean() ? EXIT_OK : EXIT_FAILED;
}

}  // namespace

void add_check_command(CLI::App& app, Commands& commands) {
    CLI::App* check = app.add_subcommand(
        "check",
        "check the store files against the trading calendar, report bad files and offer to delete them "
        "(minbar, tick), or audit what they hold, read-only (content)");
    check->require_subcommand(1);
    auto root = std::make_shared<std::string>();
    auto workers = std::make_shared<int>(default_concurrency());
    CLI::App* minbar = check->add_subcommand("minbar", "check the minute-bar files of a data bundle");
    minbar->add_option("data_bundle_path", *root, "the folder that holds the bundle folder \"bundle\"")->required();
    add_concurrency_option(*minbar, *workers);
    CLI::App* tick = check->add_subcommand("tick", "check the tick files of a data bundle");
    tick->add_option("data_bundle_path", *root, "the folder that holds the bundle folder \"bundle\"")->required();
    add_concurrency_option(*tick, *workers);
    auto content_options = std::make_shared<ContentOptions>();
    CLI::App* content = check->add_subcommand(
        "content",
        "read every minute-bar and tick file day by day and report what the bars and ticks themselves show "
        "(thin days, time order, sessions, OHLC, volume and turnover, limits, bars against ticks); exit 0 when "
        "nothing is found, 1 otherwise. Reads only: never changes, settles or deletes a file");
    content->add_option("data_bundle_path", content_options->root, "the folder that holds the bundle folder \"bundle\"")
        ->required();
    content->add_flag("--json", content_options->json, "print one JSON document instead of the text view");
    content
        ->add_option("--html", content_options->html,
                     "also write the coverage page (as status --html) with the days that have findings marked "
                     "(-: to standard output, in place of the text view)")
        ->option_text("FILE");
    add_concurrency_option(*content, content_options->jobs);
    content->add_flag("--all", content_options->all, "list every finding, not just the first 40");
    commands.emplace_back(content, [content_options] { return run_content(*content_options); });
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
