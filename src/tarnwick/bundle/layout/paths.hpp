#pragma once
// Where things live in a data bundle, and store file removal.
#include <cstdint>
#include <string>

namespace tarnwick::bundle::layout {

std::string bundle_dir(const std::string& data_bundle_path);   // <root>/bundle
std::string minbar_root(const std::string& data_bundle_path);  // <root>/bundle/h5
std::string tick_root(const std::string& data_bundle_path);    // <root>/bundle/ticks
std::string trading_dates_file(const std::string& data_bundle_path);
std::string suspended_days_file(const std::string& data_bundle_path);
std::string instruments_file(const std::string& data_bundle_path);
// Throws OsError (no such file) unless <root>/bundle is a folder: what every command that only
// works on an existing bundle (status, the audit, reads) says the same way.
void require_bundle_dir(const std::string& data_bundle_path);

inline constexpr const char* EQUITIES_GROUP = "equities";
inline constexpr const char* FUTURE_GROUP = "future";
inline constexpr const char* OPTION_GROUP = "option";

// The module's own records in a bundle folder (the recorded selection): hidden, so no store file
// pattern matches it, and nothing the host reads.
inline constexpr const char* RECORDS_FOLDER_NAME = ".tarnwick";

// "{}.h5" filled with the identifier.
std::string store_file_name(const std::string& order_book_id);
// The name a store file is built under before it is renamed into place. It does not end in
// ".h5", so no listing of store files ever sees a half-written file.
std::string temporary_store_path(const std::string& h5_file);

// Creates `dir` and its missing parents; an existing directory is fine. Throws OsError.
void make_directories(const std::string& dir);

// Publishes a new store file built under its temporary name: renames it to `h5_file` unless
// that exists already (another run created it meanwhile: OsError, would block, and the
// temporary file stays for the caller to discard). Call it while the new file is still open
// and locked.
void publish_new_store_file(const std::string& temporary, const std::string& h5_file);
// A store file that a rebuild replaces, held as its writer would hold it from before the new
// file is built until it is replaced, so that no update writes into the old file meanwhile (its
// days would vanish with it). Readers go on reading the old file (it never changes; the new one
// takes its name only when complete). Throws OsError (would block) when another process updates
// it. A missing file holds nothing.
class HeldStoreFile {
public:
    explicit HeldStoreFile(const std::string& h5_file);
    ~HeldStoreFile();
    HeldStoreFile(const HeldStoreFile&) = delete;
    HeldStoreFile& operator=(const HeldStoreFile&) = delete;

private:
    int fd_ = -1;
};
// Puts a complete new store file, built under its temporary name, in place of `h5_file`
// (whatever stands there), drops the journal the old file may have left, and syncs the folder.
// Call it while the new file is still open and locked, and the old one held.
void replace_store_file(const std::string& temporary, const std::string& h5_file);
// Deletes a temporary store file of this run; never throws.
void discard_new_store_file(const std::string& temporary) noexcept;
// Deletes a temporary store file whose creation failed in this run (a full disk leaves it
// empty), unless another process holds it: that one is making it now. Never throws.
void discard_failed_new_store_file(const std::string& temporary) noexcept;

// Throws OsError (no space left on device) naming both figures unless the file system of
// `h5_file` has room for `bytes` of new data, the file's metadata and the reserve kept free
// (host/disk_space.hpp), so that an update stops before it writes rather than in the middle.
void reserve_free_space(const std::string& h5_file, std::uint64_t bytes);

// Deletes one store file. A missing file is ignored; any other failure (permission denied, the
// path is a directory) throws OsError.
void remove_h5(const std::string& h5_file);

}  // namespace tarnwick::bundle::layout
