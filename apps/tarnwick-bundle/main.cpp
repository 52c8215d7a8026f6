// tarnwick-bundle: the command line of the bundle module, one sub-command per entry function.
#include <algorithm>
#include <iostream>
#include <memory>

#include "cli.hpp"
#include "tarnwick/bundle/command_line.hpp"

namespace {

namespace tb = tarnwick::bundle;
using namespace tarnwick::cli;

// Options every command takes.
struct OutputOptions {
    bool quiet = false;
    bool no_sync = false;
    std::string log_file;
};

// The commands that only read store files: --no-sync would mean nothing there.
bool only_reads(const CLI::App& command) {
    const std::string name = command.get_name();
    const CLI::App* parent = command.get_parent();
    return name == "read" || name == "status" ||
           (name == "content" && parent != nullptr && parent->get_name() == "check");
}

void add_output_options(CLI::App& command, OutputOptions& options) {
    command.add_flag("-q,--quiet", options.quiet, "show no progress display on standard error");
    command.add_option("--log-file", options.log_file,
                       "append the log to this file too (like TARNWICK_LOG_FILE, which it replaces)")
        ->option_text("PATH");
    if (!only_reads(command))
        command.add_flag("--no-sync", options.no_sync,
                         "do not sync written files to disk (faster for a first bulk download; a power cut "
                         "during or shortly after the run can damage the files it wrote, a kill cannot)");
    for (CLI::App* sub : command.get_subcommands({})) add_output_options(*sub, options);
}

std::vector<std::string> names_of(CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* sub : app.get_subcommands({})) names.push_back(sub->get_name());
    return names;
}

// CLI11 answers an unknown command with "A subcommand is required"; say what was wrong and
// what was probably meant. Only the words where a command is expected are looked at.
bool unknown_command(CLI::App& app, int argc, char** argv) {
    CLI::App* level = &app;
    std::string path = PROGRAM;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.starts_with("-")) return false;  // options first: leave them to the parser
        const auto names = names_of(*level);
        if (names.empty()) return false;
        CLI::App* sub = nullptr;
        for (CLI::App* candidate : level->get_subcommands({}))
            if (candidate->get_name() == word) sub = candidate;
        if (sub == nullptr) {
            std::string text = "unknown command \"" + word + "\" for " + path;
            if (const auto nearest = nearest_name(word, names))
                text += "; did you mean \"" + *nearest + "\"?";
            else
                text += "; run " + path + " --help for the commands";
            note(text);
            return true;
        }
        level = sub;
        path += " " + word;
    }
    return false;
}

// CLI11 answers an option a command does not take with "The following arguments were not
// expected"; name the command and the option probably meant, as for commands.
bool unknown_option(CLI::App& app, int argc, char** argv) {
    CLI::App* level = &app;
    std::string path = PROGRAM;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") break;
        if (word.starts_with("-")) {
            words.push_back(word.substr(0, word.find('=')));
            continue;
        }
        for (CLI::App* sub : level->get_subcommands({}))
            if (sub->get_name() == word) {
                level = sub;
                path += " " + word;
            }
    }
    std::vector<std::string> names;
    for (const CLI::Option* option : level->get_options()) {
        for (const auto& name : option->get_lnames()) names.push_back("--" + name);
        for (const auto& name : option->get_snames()) names.push_back("-" + name);
    }
    for (const auto& word : words) {
        if (std::find(names.begin(), names.end(), word) != names.end()) continue;
        if (word.size() == 2 || !word.starts_with("--")) continue;  // -j5 and other short forms: CLI11's text
        std::string text = "unknown option \"" + word + "\" for " + path;
        if (const auto nearest = nearest_name(word, names))
            text += "; did you mean \"" + *nearest + "\"?";
        else
            text += "; run " + path + " --help for its options";
        note(text);
        return true;
    }
    return false;
}

// The settings read from the environment (or given as options) that every worker would
// otherwise trip over one by one: checked once here, before anything starts.
void apply_output_options(const OutputOptions& options) {
    tb::show_progress(!options.quiet);
    tb::set_syncing(!options.no_sync);
    if (!options.log_file.empty()) tb::set_log_file(options.log_file);
    tb::open_system_log();
    tb::now();
}

int run(int argc, char** argv) {
    CLI::App app{
        "tarnwick-bundle: keeps the intraday part of a local market-data bundle (minute bars and ticks in\n"
        "HDF5 store files, one per instrument), fetched from the market-data service.",
        PROGRAM};
    app.set_version_flag("--version", std::string(PROGRAM) + " " + TARNWICK_VERSION);
    app.require_subcommand(1);
    Commands commands;
    add_update_minbar_command(app, commands);
    add_update_tick_command(app, commands);
    add_update_command(app, commands);
    add_check_command(app, commands);
    add_download_sample_command(app, commands);
    add_make_sample_command(app, commands);
    add_status_command(app, commands);
    add_read_command(app, commands);
    auto output = std::make_shared<OutputOptions>();
    for (CLI::App* command : app.get_subcommands({})) add_output_options(*command, *output);

    if (unknown_command(app, argc, argv)) return EXIT_USAGE;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr && unknown_option(app, argc, argv))
            return EXIT_USAGE;
        const int status = app.exit(error);
        return status == 0 ? EXIT_OK : EXIT_USAGE;
    }
    try {
        apply_output_options(*output);
    } catch (const tb::ValueError& error) {
        note(error.what());
        return EXIT_USAGE;
    } catch (const tb::OsError& error) {
        note(error.what());
        return EXIT_USAGE;
    }
    for (auto& [command, action] : commands)
        if (command->parsed()) return action();
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const UsageError& error) {
        note(error.what());
        return EXIT_USAGE;
    } catch (const tb::RebuildDeclined& declined) {
        note("the rebuild was not confirmed; nothing was changed");
        return declined.status();
    } catch (const tb::ProgramExit& exit) {
        return exit.status();
    } catch (const tb::Interrupted& interrupted) {
        return interrupted.exit_status();
    } catch (const tb::PermissionDenied& error) {
        std::cerr << "tarnwick-bundle: the market-data service refused access: " << error.what() << '\n';
    } catch (const std::exception& error) {
        std::cerr << "tarnwick-bundle: error: " << error.what() << '\n';
    }
    return EXIT_ERROR;
}
