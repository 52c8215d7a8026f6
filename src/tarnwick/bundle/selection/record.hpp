#pragma once
// The bundle's recorded selection: what the updates that resolve tags were asked for (the tags,
// with_derivatives, enable_bjse) and what that resolved to, kept per kind of store (minute bars,
// ticks) in <bundle>/.tarnwick/selection.json. It lets `status` name the instruments that were
// asked for and have no store file (a first download that was stopped, a file `check` deleted)
// and lets `update-existing --selection` fetch them and resolve the tags again.
//
// The file is JSON (schema in the README, "The recorded selection"). The hidden folder is matched
// by no store file pattern, and the host reads nothing in it.
//
// How requests combine: each kind keeps a list of requests. A request with the same tags (as a
// set) and the same two switches as a recorded one replaces it, with its new resolution; any
// other request is added. So `update-minbar ... stock` then `update-minbar ... IF` records both,
// and running `... stock` again refreshes the first. Ticks and minute bars never affect each
// other. Removing a request means editing or deleting the file.
//
// Writes hold an exclusive lock on the folder .tarnwick (flock, no lock file) across
// read-merge-write, and replace the file atomically (host/atomic_file.hpp), so concurrent
// updates of one bundle each add their request and a reader sees a whole file.
#include <set>
#include <string>
#include <vector>

namespace tarnwick::bundle::selection {

enum class StoreKind { Minbar, Tick };
const char* store_kind_name(StoreKind kind);  // "minbar", "tick"

struct Request {
    std::vector<std::string> tags;  // sorted, without duplicates
    bool with_derivatives = false;
    bool enable_bjse = false;
    std::string resolved_at;               // local time of the resolution, "YYYY-MM-DD HH:MM:SS"
    std::vector<std::string> instruments;  // what the tags resolved to, sorted

    // Whether `other` asks for the same thing (tags and switches; not what they resolved to).
    bool same_request(const Request& other) const;
};

// Builds a request from the words an update was given; stamps it with the clock's "now".
Request make_request(const std::vector<std::string>& tags, bool with_derivatives, bool enable_bjse,
                     const std::set<std::string>& instruments);

struct RecordedSelection {
    std::vector<Request> minbar;
    std::vector<Request> tick;

    std::vector<Request>& of(StoreKind kind) { return kind == StoreKind::Minbar ? minbar : tick; }
    const std::vector<Request>& of(StoreKind kind) const { return kind == StoreKind::Minbar ? minbar : tick; }
    // Every instrument the requests of `kind` resolved to.
    std::set<std::string> instruments(StoreKind kind) const;
    bool empty() const { return minbar.empty() && tick.empty(); }
};

// "<bundle_dir>/.tarnwick/selection.json".
std::string selection_file(const std::string& bundle_dir);

// The store folder an update driver was given, when it is a bundle's ("<bundle>/h5" for minute
// bars, "<bundle>/ticks" for ticks, the bundle folder named "bundle"): that bundle folder;
// otherwise empty (an update into a loose folder records nothing).
std::string bundle_of_store_folder(const std::string& store_folder, StoreKind kind);

// The bundle's recorded selection; empty when nothing was recorded. Throws ValueError naming the
// file when it is not a selection document, OsError when it cannot be read.
RecordedSelection load_selection(const std::string& bundle_dir);

// Merges `request` into the bundle's record for `kind` (see above): replaces the same request,
// else adds it. Creates the folder .tarnwick when missing. Throws OsError/ValueError naming the
// file; the record is then as it was.
void record_request(const std::string& bundle_dir, StoreKind kind, const Request& request);
// record_request() for an update that goes on either way: a failure is a warning in the host's
// log (naming the file and the cause) and gives false. The record is this program's addition:
// an update's result never depends on it.
bool try_record_request(const std::string& bundle_dir, StoreKind kind, const Request& request) noexcept;

}  // namespace tarnwick::bundle::selection
