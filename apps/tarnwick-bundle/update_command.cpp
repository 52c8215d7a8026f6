#include <memory>
#include <utility>

#include <fmt/format.h>

#include "cli.hpp"
#include "tarnwick/bundle/command_line.hpp"

namespace tarnwick::cli {
namespace {

struct UpdateOptions {
    std::string root;
    bool base = false;
    std::vector<std::string> minbar;
    std::vector<std::string> tick;
    bool with_derivatives = false;
    bool rebuild = false;
    bool enable_bjse = false;
    int concurrency = default_concurrency();
    bool dry_run = false;
    bool json = false;
};

}  // namespace

void add_update_command(CLI::App& app, Commands& commands) {
    auto options = std::make_shared<UpdateOptions>();
    CLI::App* update = app.add_subcommand(
        "update", "full update from the service: day bars and base data, minute bars, ticks (each when asked for)");
    update->add_option("data_bundle_path", options->root, "the folder that holds (or will hold) the bundle folder")
        ->required();
    update->add_flag("--base", options->base, "update day bars and base data");
    update
        ->add_option("--minbar", options->minbar,
                     "tags whose minute bars to update: identifiers, futures underlying symbols or category words: "
                     "stock, futures, fund, index, option, convertible, all")
        ->expected(1, -1)
        ->option_text("TAG...");
    update->add_option("--tick", options->tick, "tags whose ticks to update (the same kinds of tags)")
        ->expected(1, -1)
        ->option_text("TAG...");
    update->add_flag("--with-derivatives", options->with_derivatives,
                     "also update futures and options written on the selected instruments");
    update->add_flag("--rebuild", options->rebuild,
                     "delete the selected minute-bar and tick files and build them again (asks first)");
    update->add_flag("--enable-bjse", options->enable_bjse, "include Beijing Stock Exchange stocks");
    add_concurrency_option(*update, options->concurrency);
    add_dry_run_options(*update, options->dry_run, options->json);
    commands.emplace_back(update, [options] {
        if (!options->base && options->minbar.empty() && options->tick.empty()) {
            note("nothing to update: give --base, --minbar TAGS or --tick TAGS");
            return EXIT_FAILED;
        }
        require_not_a_bundle_folder(options->root);
        // The command expects a ready client, as the host hands it one: initialised here with
        // the exchange setting the user asked for.
        bundle::_init_tickwire(options->enable_bjse);
        if (options->dry_run)
            return print_plan(
                bundle::commands::plan_bundle_update(options->root, options->base, options->minbar, options->tick,
                                                     options->with_derivatives, options->rebuild, options->enable_bjse),
                options->json);
        SelectionCounts counts;
        bool ok = bundle::update_bundle_from_tickwirec(options->concurrency, options->root, options->base,
                                                       options->minbar, options->tick, options->with_derivatives,
                                                       options->rebuild, options->enable_bjse);
        // The runs come in the order minute bars, ticks, each only when its tags were given.
        std::size_t run = 0;
        for (const auto& [tags, what] :
             {std::pair{&options->minbar, "--minbar"}, std::pair{&options->tick, "--tick"}}) {
            if (tags->empty()) continue;
            if (run < counts.runs().size() && counts.runs()[run] == 0) {
                note(fmt::format("no instrument matched the {} tags; nothing was updated for them", what));
                ok = false;
            }
            ++run;
        }
        return ok ? EXIT_OK : EXIT_FAILED;
    });

    auto existing = std::make_shared<UpdateOptions>();
    CLI::App* update_existing = app.add_subcommand(
        "update-existing", "incremental update: day bars and base data, then every store file already in the bundle");
    update_existing->add_option("data_bundle_path", existing->root, "the folder that holds the bundle folder")
        ->required();
    add_concurrency_option(*update_existing, existing->concurrency);
    add_dry_run_options(*update_existing, existing->dry_run, existing->json);
    auto to_selection = std::make_shared<bool>(false);
    update_existing->add_flag(
        "--selection", *to_selection,
        "also bring the bundle to its recorded selection: resolve again the tags that update, update-minbar and "
        "update-tick were given here (new listings and contracts join) and fetch every selected instrument that "
        "has no store file (what status calls absent)");
    commands.emplace_back(update_existing, [existing, to_selection] {
        require_existing_bundle(existing->root);
        if (existing->dry_run)
            return print_plan(bundle::commands::plan_existing_update(existing->root, *to_selection), existing->json);
        const bool ok = *to_selection ? bundle::update_bundle_to_selection(existing->concurrency, existing->root)
                                      : bundle::update_bundle_from_exist_file(existing->concurrency, existing->root);
        return ok ? EXIT_OK : EXIT_FAILED;
    });
}

}  // namespace tarnwick::cli
