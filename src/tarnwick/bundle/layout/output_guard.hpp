#pragma once
// Output files of the front ends (the records of `read -o`, a coverage page, a sample archive)
// are written with plain writes: no lock, no journal. Aimed at one of a bundle's own files, such
// a write would replace years of bars without a trace, so every output path is checked here
// first, the same way for every command.
#include <string>

namespace tarnwick::bundle::layout {

// Throws ValueError, naming what the path is, when `output` is, or leads through symbolic links
// to, one of a bundle's own files: a store file or its temporary or journal (in the bundle's
// h5/ or ticks/ tree, or any existing HDF5 file or journal beside one, wherever it lives), a
// base file in the bundle folder (trading_dates.npy, instruments.pk, suspended_days.h5 and
// any other file there), or the bundle's hidden records. Looks only; changes nothing.
void refuse_bundle_file_as_output(const std::string& output);

}  // namespace tarnwick::bundle::layout
