#include "tarnwick/bundle/h5/undo_journal.hpp"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>

#include "tarnwick/bundle/h5/journal.hpp"

namespace tarnwick::bundle::h5::detail {

namespace {

void print_to_stderr(const std::string& text) { std::fprintf(stderr, "warning: %s\n", text.c_str()); }
JournalWarningReporter journal_warning_reporter = print_to_stderr;

// Moves a journal that is not its file's out of the way under a name that says so and when,
// never over another one. 0 or errno.
int set_aside(const std::string& journal_file, std::string& kept_as) {
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    for (int n = 1;; ++n) {
        kept_as = journal_file + REJECTED_INFIX + stamp + (n > 1 ? "-" + std::to_string(n) : "");
        const int err = fs::env().rename(journal_file, kept_as, /*replace=*/false);
        if (err != EEXIST || n >= 100) return err;
    }
}

}  // namespace

void report_journal_warning(const std::string& text) { journal_warning_reporter(text); }

int settle_stale_journal(const std::string& journal_file, int file, Settled& outcome) {
    outcome = Settled::NoJournal;
    Descriptor journal;
    if (const int err = Descriptor::open(journal_file, O_RDONLY, 0, journal)) return err == ENOENT ? 0 : err;
    JournalContents contents;
    if (const int err = read_journal(journal.get(), UINT64_MAX, contents)) return err;
    if (contents.identity == JournalContents::Identity::Unknown) {
        outcome = Settled::NewerFormat;
        return 0;
    }
    bool belongs = false;
    if (const int err = belongs_to(contents, journal.get(), file, belongs)) return err;
    if (belongs) {
        if (const int err = restore(contents, journal.get(), file)) return err;
        outcome = Settled::RolledBack;
    } else if (contents.identity != JournalContents::Identity::None) {
        outcome = Settled::NotItsFile;
    }
    journal.reset();
    if (outcome == Settled::NotItsFile) {
        // Not applied, and not deleted either: the file beside it may be one that a power cut
        // left torn where the sync order was not kept (--no-sync, a disk that ignores flushes),
        // and the journal is what is left of its last good state.
        std::string kept_as;
        if (const int err = set_aside(journal_file, kept_as)) return err;
        report_journal_warning("the undo journal \"" + journal_file +
                               "\" does not belong to the file beside it (another file of its name, or a file "
                               "changed since) and was not applied; it is kept as \"" + kept_as +
                               "\": see the README on rejected journals, then remove it");
        return 0;
    }
    // Whether it restored nothing (never started, or committed) or was just applied: it has
    // done its work. A lost unlink repeats harmlessly.
    const int err = fs::env().unlink(journal_file);
    return err == ENOENT ? 0 : err;
}

}  // namespace tarnwick::bundle::h5::detail

namespace tarnwick::bundle::h5 {

JournalWarningReporter set_journal_warning_reporter(JournalWarningReporter reporter) {
    return std::exchange(detail::journal_warning_reporter, reporter ? reporter : detail::print_to_stderr);
}

}  // namespace tarnwick::bundle::h5
