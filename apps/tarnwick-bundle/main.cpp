// tarnwick-bundle: the command line of the bundle module, one sub-command per entry function.
#include <iostream>

#include "cli.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/service/errors.hpp"

namespace {

namespace tb = tarnwick::bundle;
using namespace tarnwick::cli;

int run(int argc, char** argv) {
    CLI::App app{
        "tarnwick-bundle: keeps the intraday part of a local market-data bundle (minute bars and ticks in\n"
        "HDF5 store files, one per instrument), fetched from the market-data service."};
    app.require_subcommand(1);
    Commands commands;
    add_update_minbar_command(app, commands);
    add_update_tick_command(app, commands);
    add_update_command(app, commands);
    add_check_command(app, commands);
    add_download_sample_command(app, commands);
    add_make_sample_command(app, commands);
    add_status_command(app, commands);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? EXIT_OK : EXIT_USAGE;
    }
    for (auto& [command, action] : commands)
        if (command->parsed()) return action();
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const tb::ProgramExit& exit) {
        return exit.status();
    } catch (const tb::service::PermissionDenied& error) {
        std::cerr << "tarnwick-bundle: the market-data service refused access: " << error.what() << '\n';
    } catch (const std::exception& error) {
        std::cerr << "tarnwick-bundle: error: " << error.what() << '\n';
    }
    return EXIT_ERROR;
}
