#pragma once
// Building a sample bundle archive from the current service: a full update of a few
// instruments (base data, minute bars of a stock, a fund, a future and an option, ticks of a
// stock and a future) into a scratch folder, packed as a bzip2 tar whose member paths are
// relative to the bundle folder, so that download_simple_bundle can install it.
#include <string>

namespace tarnwick::bundle::commands {

// Writes the archive to `out_path` (replaced only once complete). True when every update of
// the scratch bundle succeeded; the archive is written only then. ValueError, before anything is
// built, when `out_path` is one of a bundle's own files (layout/output_guard.hpp).
bool make_sample_archive(const std::string& out_path, int concurrency);

}  // namespace tarnwick::bundle::commands
