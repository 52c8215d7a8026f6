#include <memory>
#include <optional>

#include "cli.hpp"
#include "tarnwick/bundle/command_line.hpp"

namespace tarnwick::cli {

void add_download_sample_command(CLI::App& app, Commands& commands) {
    struct Options {
        std::string path;
        std::string file;
    };
    auto options = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "download-sample",
        "install the sample bundle: download zvbundle_sample.tar.bz2 (through the proxy in HARRIER_PROXY, if set) "
        "or take the one given with --file, and unpack it into <path>/bundle, replacing files of the same name; "
        "all or nothing: a failed install (damaged archive, full disk) leaves the bundle as it was");
    command->add_option("path", options->path, "data root; the archive is unpacked into its bundle/ folder")
        ->required();
    command->add_option("--file", options->file,
                        "an archive already on disk, named zvbundle_sample.tar.bz2; nothing is downloaded and the "
                        "file is kept")
        ->option_text("FILE");
    commands.emplace_back(command, [options] {
        using bundle::SampleOutcome;
        const auto file = options->file.empty() ? std::nullopt : std::optional<std::string>(options->file);
        const SampleOutcome outcome = bundle::install_sample_bundle(options->path, file);
        // The refusals of a local archive are reported on the console and are not errors of the
        // library call, but a script must still see that nothing was installed.
        const bool installed = outcome == SampleOutcome::Downloaded || outcome == SampleOutcome::LocalArchiveUnpacked;
        return installed ? EXIT_OK : EXIT_FAILED;
    });
}

}  // namespace tarnwick::cli
