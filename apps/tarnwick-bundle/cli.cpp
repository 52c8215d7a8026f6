#include "cli.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include <fmt/format.h>

#include "tarnwick/bundle/command_line.hpp"

namespace tarnwick::cli {
namespace {

namespace fs = std::filesystem;

constexpr long MAX_WORKERS = 4096;

bool folder_exists(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

bool entry_exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// What a bundle folder holds besides day bars: the host's calendar and instrument list and the
// two store folders. A folder with any of them, or named "bundle", is taken for one; a "ticks"
// folder beside minute-bar groups is an old minute-bar root's, not a bundle's.
bool looks_like_bundle_folder(const fs::path& path) {
    if (path.filename() == "bundle" || (path.filename().empty() && path.parent_path().filename() == "bundle"))
        return true;
    const bool minbar_groups =
        folder_exists(path / "equities") || folder_exists(path / "future") || folder_exists(path / "option");
    return entry_exists(path / "trading_dates.npy") || entry_exists(path / "instruments.pk") ||
           folder_exists(path / "h5") || (folder_exists(path / "ticks") && !minbar_groups);
}

const char* store_folder_name(Store store) { return store == Store::MinuteBars ? "h5" : "ticks"; }

std::string parent_of(const fs::path& path) {
    const fs::path trimmed = path.filename().empty() ? path.parent_path() : path;
    const fs::path parent = trimmed.parent_path();
    return parent.empty() ? "." : parent.string();
}

std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

CLI::Validator worker_count() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            std::size_t used = 0;
            long value = 0;
            try {
                value = std::stol(text, &used);
            } catch (...) {
                used = 0;
            }
            if (used != text.size() || value < 1 || value > MAX_WORKERS)
                return fmt::format("expected a whole number of worker processes from 1 to {}, got \"{}\"", MAX_WORKERS,
                                   text);
            return {};
        },
        fmt::format("1..{}", MAX_WORKERS));
}

void note(const std::string& text) { std::cerr << PROGRAM << ": " << text << '\n'; }

int default_concurrency() {
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return cpus > 0 ? static_cast<int>(std::min(cpus, MAX_WORKERS)) : 1;
}

void add_concurrency_option(CLI::App& command, int& concurrency) {
    command
        .add_option("-j,--concurrency", concurrency,
                    fmt::format("number of worker processes, 1 to {} (default: the number of processors)", MAX_WORKERS))
        ->option_text("N")
        ->check(worker_count());
}

void add_selection_options(CLI::App& command, SelectionOptions& options, const std::string& path_help) {
    command.add_option("path", options.path, path_help)->required();
    command
        .add_option("tags", options.tags,
                    "instrument identifiers, futures underlying symbols or category words: "
                    "stock, futures, fund, index, option, convertible, all")
        ->required();
    command.add_flag("--with-derivatives", options.with_derivatives,
                     "also update futures and options written on the selected instruments");
    add_concurrency_option(command, options.concurrency);
    command.add_flag("--rebuild", options.rebuild, "delete each selected file and build it again from 2005-01-04");
    command.add_flag("--enable-bjse", options.enable_bjse, "include Beijing Stock Exchange stocks in \"stock\"");
    add_dry_run_options(command, options.dry_run, options.json);
}

void add_dry_run_options(CLI::App& command, bool& dry_run, bool& json) {
    command.add_flag("--dry-run", dry_run,
                     "print what the update would fetch (days, rows, bytes, time) and change nothing; with --rebuild "
                     "nothing is deleted and nothing is asked");
    command.add_flag("--json", json, "with --dry-run: the plan as one JSON document")->needs("--dry-run");
}

int print_plan(const bundle::drivers::Plan& plan, bool json) {
    std::cout << bundle::commands::show_plan(plan, json) << std::flush;
    return EXIT_OK;
}

void add_driver_command(CLI::App& app, Commands& commands, const std::string& name, const std::string& help,
                        const std::string& path_help, Driver driver, Store store) {
    auto options = std::make_shared<SelectionOptions>();
    CLI::App* command = app.add_subcommand(name, help);
    add_selection_options(*command, *options, path_help);
    CLI::Option* refetch =
        command->add_option("--refetch", options->refetch,
                            "START[:END]: fetch these stored trading days again and replace them in each file in one "
                            "transaction (a vendor's correction, a gap); START alone is one day, START: runs to the "
                            "last stored day; the tags must be identifiers");
    command
        ->add_flag("--drop-missing", options->drop_missing,
                   "with --refetch: remove stored days the service no longer serves (never the newest one)")
        ->needs(refetch);
    // A range that is not one is a bad argument (status 2), refused before anything is opened.
    refetch->check(CLI::Validator(
        [](std::string& text) -> std::string {
            try {
                bundle::drivers::parse_day_range(text);
            } catch (const bundle::ValueError& e) {
                return e.what();
            }
            return {};
        },
        "START[:END]"));
    refetch->excludes("--rebuild")->excludes("--dry-run");
    commands.emplace_back(command, [options, driver, store] {
        require_store_folder(options->path, store);
        if (!options->refetch.empty()) {
            const bundle::drivers::DayRange range = bundle::drivers::parse_day_range(options->refetch);
            const auto refetcher =
                store == Store::MinuteBars ? &bundle::minbar::refetch_minbar : &bundle::tick::refetch_tick;
            return refetcher(options->path, options->tags, range, options->drop_missing, options->concurrency)
                       ? EXIT_OK
                       : EXIT_FAILED;
        }
        if (options->dry_run) {
            const auto planner = store == Store::MinuteBars ? &bundle::commands::plan_minbar_update
                                                            : &bundle::commands::plan_tick_update;
            return print_plan(planner(options->path, options->tags, options->with_derivatives, options->rebuild,
                                      options->enable_bjse),
                              options->json);
        }
        SelectionCounts counts;
        const bool ok = driver(options->path, options->tags, options->with_derivatives, options->concurrency,
                               options->rebuild, options->enable_bjse);
        if (!counts.runs().empty() && counts.runs().front() == 0) {
            note("no instrument matched the given tags; nothing was updated");
            return EXIT_FAILED;
        }
        return ok ? EXIT_OK : EXIT_FAILED;
    });
}

void require_store_folder(const std::string& path, Store store) {
    const fs::path folder(path);
    const char* wanted = store_folder_name(store);
    if (folder_exists(folder / "bundle"))
        throw UsageError(fmt::format("\"{}\" is a data root (it holds bundle/); give its store folder \"{}\"", path,
                                     (folder / "bundle" / wanted).string()));
    if (looks_like_bundle_folder(folder))
        throw UsageError(
            fmt::format("\"{}\" is a bundle folder; give its store folder \"{}\"", path, (folder / wanted).string()));
}

void require_not_a_bundle_folder(const std::string& data_bundle_path) {
    const fs::path root(data_bundle_path);
    if (!folder_exists(root / "bundle") && looks_like_bundle_folder(root))
        throw UsageError(fmt::format("\"{}\" is a bundle folder; give the folder that holds it, \"{}\"",
                                     data_bundle_path, parent_of(root)));
}

std::string cannot_write(const std::string& path, int err) {
    return fmt::format("cannot write \"{}\": {}", path, std::strerror(err));
}

void check_output_path(const std::string& path) {
    if (path.empty() || path == "-") return;
    try {
        bundle::refuse_bundle_file_as_output(path);
    } catch (const bundle::ValueError& error) {
        throw UsageError(error.what());
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) throw UsageError(cannot_write(path, EISDIR));
        if (!S_ISREG(st.st_mode)) return;  // a terminal, a pipe, /dev/null: opened when written
        // Opened for writing without truncating: the file keeps its content until the output
        // replaces it.
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) throw UsageError(cannot_write(path, errno));
        ::close(fd);
        return;
    }
    if (errno != ENOENT) throw UsageError(cannot_write(path, errno));
    // A new file: made and removed again, so the system itself says whether it can be.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST) return;  // a link to nowhere (or made meanwhile): the write follows it
        throw UsageError(cannot_write(path, errno));
    }
    ::close(fd);
    ::unlink(path.c_str());
}

bool page_replaces_view(const std::string& html, bool json) {
    if (html != "-") return false;
    if (json) throw UsageError("--json and --html - both write to standard output; give --html a FILE");
    return true;
}

void write_text_file(const std::string& path, const std::string& text) {
    if (path == "-") {
        std::cout << text;
        std::cout.flush();
        if (!std::cout) throw bundle::OsError::from_errno(EIO, cannot_write("standard output", EIO));
        return;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        const int err = errno != 0 ? errno : EIO;
        throw bundle::OsError::from_errno(err, cannot_write(path, err));
    }
}

void require_existing_bundle(const std::string& data_bundle_path) {
    require_not_a_bundle_folder(data_bundle_path);
    if (!folder_exists(fs::path(data_bundle_path) / "bundle"))
        throw UsageError(
            fmt::format("no bundle folder in \"{}\"; give the folder that holds bundle/, or create a bundle with "
                        "\"{} update {} --base\"",
                        data_bundle_path, PROGRAM, data_bundle_path));
}

SelectionCounts::SelectionCounts() {
    bundle::observe_selections([this](std::size_t n) { runs_.push_back(n); });
}

SelectionCounts::~SelectionCounts() { bundle::observe_selections(nullptr); }

std::optional<std::string> nearest_name(const std::string& word, const std::vector<std::string>& names) {
    std::optional<std::string> best;
    std::size_t best_distance = 0;
    for (const auto& name : names) {
        const std::size_t distance = edit_distance(word, name);
        if (!best || distance < best_distance) {
            best = name;
            best_distance = distance;
        }
    }
    // A typo changes a few letters; anything farther is another word altogether.
    if (!best || best_distance > std::max<std::size_t>(2, best->size() / 3)) return std::nullopt;
    return best;
}

}  // namespace tarnwick::cli
