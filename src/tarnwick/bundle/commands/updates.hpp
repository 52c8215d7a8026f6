#pragma once
// The bundle update commands.
//
// update_bundle_from_tickwirec: the full update of <data_bundle_path>/bundle from the service:
//   1. with enable_bjse, checks that the service lists Beijing Stock Exchange stocks and lets
//      this user fetch them; otherwise prints a message and ends the program (status 0);
//   2. with rebuild, asks for confirmation (up to three answers; exactly "Y" goes on, exactly
//      "n" ends the program with status 0, so does a third other answer);
//   3. day bars and base data (when `base`), then minute bars (when tags are given), then ticks;
//      each runs whatever the earlier ones gave, and the result is true only if all succeeded.
//
// update_bundle_from_exist_file: the incremental update: day bars and base data, then every
// minute-bar and tick store file already in the bundle is extended (identifiers from the file
// names; "-sample.h5" files and a "ticks" folder inside "h5" are left out). It neither reads nor
// changes the recorded selection.
//
// update_bundle_to_selection: brings the bundle to its recorded selection (selection/record.hpp):
// what update_bundle_from_exist_file does, after resolving every recorded request again (so new
// listings and new contracts join, and the record is refreshed), and with the instruments of the
// requests that have no store file added to each kind's update. Without a recorded selection it
// is the incremental update and says so.
//
// "Ends the program" is a ProgramExit exception: the library never calls exit() itself.
#include <string>
#include <vector>

namespace tarnwick::bundle::commands {

bool update_bundle_from_tickwirec(int concurrency, const std::string& data_bundle_path, bool base,
                                  const std::vector<std::string>& minbar, const std::vector<std::string>& tick,
                                  bool with_derivatives, bool rebuild = false, bool enable_bjse = false);

bool update_bundle_from_exist_file(int concurrency, const std::string& data_bundle_path);

bool update_bundle_to_selection(int concurrency, const std::string& data_bundle_path);

// The identifiers of the store files an incremental update extends.
std::vector<std::string> existing_minbar_ids(const std::string& h5_folder);
std::vector<std::string> existing_tick_ids(const std::string& tick_folder);

}  // namespace tarnwick::bundle::commands
