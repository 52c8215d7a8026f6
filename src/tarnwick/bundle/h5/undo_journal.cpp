#include "tarnwick/bundle/h5/undo_journal.hpp"

#include <cerrno>

namespace tarnwick::bundle::h5::detail {

int settle_stale_journal(const std::string& journal_file, int file, Settled& outcome) {
    outcome = Settled::NoJournal;
    Descriptor journal;
    if (const int err = Descriptor::open(journal_file, O_RDONLY, 0, journal)) return err == ENOENT ? 0 : err;
    JournalContents contents;
    if (const int err = read_journal(journal.get(), UINT64_MAX, contents)) return err;
    bool belongs = false;
    if (const int err = belongs_to(contents, journal.get(), file, belongs)) return err;
    if (belongs) {
        if (const int err = restore(contents, journal.get(), file)) return err;
        outcome = Settled::RolledBack;
    } else if (contents.identity != JournalContents::Identity::None) {
        outcome = Settled::NotItsFile;
    }
    journal.reset();
    // Whether it restored nothing (never started, or committed), was made for another file of
    // this name, or was just applied: it has done its work. A lost unlink repeats harmlessly.
    const int err = fs::env().unlink(journal_file);
    return err == ENOENT ? 0 : err;
}
}  // namespace tarnwick::bundle::h5::detail
