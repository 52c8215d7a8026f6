#include <iostream>
#include <memory>

#include "cli.hpp"
#include "tarnwick/bundle/command_line.hpp"

namespace tarnwick::cli {

void add_make_sample_command(CLI::App& app, Commands& commands) {
    struct Options {
        std::string output = bundle::SAMPLE_ARCHIVE_NAME;
        int concurrency = default_concurrency();
    };
    auto options = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "make-sample",
        "build a sample bundle archive from the market-data service (base data, a few minute-bar and tick "
        "files), ready for download-sample --file");
    command->add_option("-o,--output", options->output,
                     std::string("the archive to write (default: ") + bundle::SAMPLE_ARCHIVE_NAME + ")")
        ->capture_default_str()
        ->option_text("FILE");
    add_concurrency_option(*command, options->concurrency);
    commands.emplace_back(command, [options] {
        // The archive is built in a scratch folder beside it, for download-sample --file: no stream.
        if (options->output == "-") throw UsageError("make-sample writes its archive to a file: give -o FILE");
        check_output_path(options->output);
        bundle::_init_tickwire(false);
        if (!bundle::make_sample_archive(options->output, options->concurrency)) {
            std::cerr << "tarnwick-bundle: the sample bundle could not be built completely; no archive written\n";
            return EXIT_FAILED;
        }
        std::cout << "sample bundle written to " << options->output << '\n';
        return EXIT_OK;
    });
}

}  // namespace tarnwick::cli
