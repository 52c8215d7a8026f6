#pragma once
// How store files are opened. The mode letters are those of the host's HDF5 tools:
// "r" read only, "r+" read/write (must exist), "a" read/write, created when missing,
// "w" created (truncating).
#include <string>

#include "tarnwick/bundle/h5/h5.hpp"

namespace tarnwick::bundle::layout {

// The mode for a store file: "a", which reads, writes, extends and creates it.
std::string get_h5_mode(const std::string& h5_file);

h5::File open_h5(const std::string& h5_file, const std::string& mode);

// open_h5(temporary, "w") for a new store file built under its temporary name: when the
// creation fails (a full disk fails it after the file exists), the empty file does not stay
// behind, unless another process holds it (OsError, would block: that run is making it).
h5::File create_new_store_file(const std::string& temporary);

}  // namespace tarnwick::bundle::layout
