// `tarnwick-bundle status ROOT`: what the bundle holds and what needs attention.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "cli.hpp"
#include "tarnwick/bundle/command_line.hpp"

namespace tarnwick::cli {
namespace {

namespace st = tarnwick::bundle::status;

struct StatusOptions {
    std::string root;
    bool json = false;
    std::string html;
    int jobs = 1;
    bool all = false;
};

// Lines of the terminal standard output goes to; 24 when that is not a terminal of known size.
std::size_t screen_lines() {
    winsize size{};
    if (::isatty(STDOUT_FILENO) && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0)
        return size.ws_row;
    if (const char* lines = std::getenv("LINES"); lines && std::atoi(lines) > 0)
        return static_cast<std::size_t>(std::atoi(lines));
    return 24;
}

int run_status(const StatusOptions& options) {
    require_existing_bundle(options.root);
    check_output_path(options.html);
    const bool page_only = page_replaces_view(options.html, options.json);
    const st::BundleStatus status = st::bundle_status(options.root, st::Options{options.jobs});
    if (!options.html.empty()) write_text_file(options.html, st::html_view(status));
    if (options.json)
        std::cout << st::json_view(status);
    else if (!page_only)
        std::cout << st::text_view(status, options.all ? 0 : screen_lines() - 1);  // one line for the prompt
    std::cout.flush();
    return status.all_good() ? EXIT_OK : EXIT_FAILED;
}

}  // namespace

void add_status_command(CLI::App& app, Commands& commands) {
    auto options = std::make_shared<StatusOptions>();
    CLI::App* command = app.add_subcommand(
        "status",
        "show what the bundle holds: per store file its days, gaps and leftovers, the instruments its recorded "
        "selection names without a store file (absent), and a summary per group; "
        "exit 0 when everything is current and complete, 1 otherwise. Reads only, never asks the service");
    command->add_option("data_bundle_path", options->root, "the folder that holds the bundle folder \"bundle\"")
        ->required();
    command->add_flag("--json", options->json, "print one JSON document instead of the text view");
    command
        ->add_option("--html", options->html,
                     "also write a coverage page (one self-contained HTML file) to FILE (-: to standard output, in "
                     "place of the text view)")
        ->option_text("FILE");
    command->add_option("-j,--concurrency", options->jobs, "processes reading files at once, 1 to 4096 (default: 1)")
        ->option_text("N")
        ->check(worker_count());
    command->add_flag("--all", options->all, "list every file that needs attention, not just a screenful");
    commands.emplace_back(command, [options] { return run_status(*options); });
}

}  // namespace tarnwick::cli
