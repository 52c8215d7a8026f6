#pragma once
// Where things live in a data bundle, and store file removal.
#include <string>

namespace tarnwick::bundle::layout {

std::string bundle_dir(const std::string& data_bundle_path);       // <root>/bundle
std::string minbar_root(const std::string& data_bundle_path);      // <root>/bundle/h5
std::string tick_root(const std::string& data_bundle_path);        // <root>/bundle/ticks
std::string trading_dates_file(const std::string& data_bundle_path);
std::string suspended_days_file(const std::string& data_bundle_path);
std::string instruments_file(const std::string& data_bundle_path);

inline constexpr const char* EQUITIES_GROUP = "equities";
inline constexpr const char* FUTURE_GROUP = "future";
inline constexpr const char* OPTION_GROUP = "option";

// "{}.h5" filled with the identifier.
std::string store_file_name(const std::string& order_book_id);
// The name a store file is built under before it is renamed into place. It does not end in
// ".h5", so no listing of store files ever sees a half-written file.
std::string temporary_store_path(const std::string& h5_file);

// Creates `dir` and its missing parents; an existing directory is fine. Throws OsError.
void make_directories(const std::string& dir);

// Deletes one store file. A missing file is ignored; any other failure (permission denied, the
// path is a directory) throws OsError.
void remove_h5(const std::string& h5_file);

}  // namespace tarnwick::bundle::layout
