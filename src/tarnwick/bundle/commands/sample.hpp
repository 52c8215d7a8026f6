#pragma once
// Installing the sample data bundle, `download_simple_bundle`: the archive
// "zvbundle_sample.tar.bz2" is downloaded from the maker's sample-bundle server (or taken from
// a file the user already has) and unpacked into <data_bundle_path>/bundle.
//
// Steps:
//   1. Create the bundle folder with its missing parents. When it already holds files, a warning
//      in the log (standard error, not the console) says that the sample's files will replace
//      those of the same name (before a download starts, or before "解压中...").
//   2. Download (no file given): GET the archive URL through the proxy of HARRIER_PROXY (read
//      once) and read only the response's head. A status other than 2xx fails here, naming the
//      URL and the status, so that an error page is never saved and then reported as a broken
//      archive. The size is the "content-length" header; a missing or non-numeric one fails
//      here too, and so does a size that the temporary folder's file system cannot hold. Only
//      then is "tarnwick.bundle" in the temporary folder (TMPDIR) created, truncated, and filled
//      by the host's `download`; then "bundle 数据下载完毕，解压中...". A download that fails
//      (the network, a full disk) removes its partial file.
//   3. Local file: a path where nothing exists prints "{path}文件不存在"; a file whose last
//      component is not exactly "zvbundle_sample.tar.bz2" prints the wrong-name line and the
//      link to download it. Both end the call without unpacking. Otherwise "解压中...".
//   4. Unpack into the bundle folder, all or nothing (commands/archive.hpp: nothing is written
//      outside it, and a failed unpacking leaves the bundle as it was).
//   5. Delete the downloaded file (never a local one) and print "bundle 数据解压完成".
//
// Any other failure propagates (OsError for the network and the disk, with the system's reason
// such as "No space left on device"; ValueError for a bad header or a damaged, truncated or
// refused archive) with no console line of its own, so "bundle 数据解压完成" is never printed for
// a failed install. A downloaded archive that fails to unpack stays in the temporary folder,
// where the next download overwrites it.
//
// REQUIRES: no other download into the same temporary folder at the same time (they share the
// file name).
#include <optional>
#include <string>

namespace tarnwick::bundle::commands {

inline constexpr const char* SAMPLE_ARCHIVE_NAME = "zvbundle_sample.tar.bz2";
// The sample-bundle server's archive, which is also the link shown to the user. The server's
// host name is the one place to change when the bundles move.
inline constexpr const char* SAMPLE_ARCHIVE_URL = "http://bundles.tarnwick.example/bundles_v4/zvbundle_sample.tar.bz2";
inline constexpr const char* DOWNLOAD_FILE_NAME = "tarnwick.bundle";

// Where a download is written: the system's temporary folder joined with "tarnwick.bundle".
std::string download_target();

enum class SampleOutcome { Downloaded, LocalArchiveUnpacked, LocalArchiveMissing, LocalArchiveWronglyNamed };

// The installation, telling which of its four outcomes it had (the command line turns the two
// refusals into a failing exit status).
SampleOutcome install_sample_bundle(const std::string& data_bundle_path,
                                    const std::optional<std::string>& file_path = std::nullopt);

// The entry function. `sample` is accepted and not used: the sample archive is the only one
// there is. An empty `file_path` means download, as nullopt does.
void download_simple_bundle(const std::string& data_bundle_path, bool sample,
                            const std::optional<std::string>& file_path = std::nullopt);

}  // namespace tarnwick::bundle::commands
