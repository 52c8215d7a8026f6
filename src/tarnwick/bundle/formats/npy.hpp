#pragma once
// The NPY array file format (numpy.save / numpy.load), for one-dimensional arrays only: the
// host's trading calendar "trading_dates.npy" is one.
//
// Element types (the header's "descr"):
//   integers    '<i1' '<i2' '<i4' '<i8' '<u1' ... '<u8', big-endian '>..', '|i1'/'|u1', '=..'
//   dates       'S<n>' / '|S<n>' (bytes) and '<U<n>' / '>U<n>' (UTF-32 text) holding eight
//               digits YYYYMMDD (trailing NULs are padding, as numpy pads them)
//   days        '<M8[D]' / '>M8[D]' (datetime64[D], days since 1970-01-01)
// Every element is read as an int64: integers as they are, dates and days as YYYYMMDD.
//
// Reading is defensive: the header is parsed as a literal (nothing is evaluated), every length
// is checked against the bytes present before anything is allocated, and malformed or truncated
// input gives a ValueError whose message names the file. The data after the last element is
// ignored, as numpy.load ignores it.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::bundle::formats {

struct NpyElement {
    enum class Kind { Signed, Unsigned, Bytes, Unicode, Days };
    Kind kind = Kind::Signed;
    int width = 8;  // bytes of an integer (1, 2, 4, 8); characters of a text (>= 1); 8 for days
    bool big_endian = false;

    static NpyElement int32() { return {Kind::Signed, 4, false}; }
    static NpyElement int64() { return {Kind::Signed, 8, false}; }
    static NpyElement text(int characters = 8) { return {Kind::Bytes, characters, false}; }

    // The header's descr, e.g. "<i8", "|S8", "<U8", "<M8[D]".
    std::string descr() const;
    // Bytes per element.
    std::size_t item_size() const;
    // Parses a descr; throws ValueError (without a file name) for anything not listed above.
    static NpyElement parse(std::string_view descr);
};

// The bytes of an NPY file (format version 1.0) holding `values` as one-dimensional array of
// `element`. Throws ValueError when a value does not fit the element type (an integer out of
// range, a text date that is not a valid YYYYMMDD in the given number of characters).
std::string encode_npy(std::span<const std::int64_t> values, NpyElement element = NpyElement::int64());

// Writes encode_npy(...) to `path` atomically (see atomic_file.hpp).
void write_npy(const std::string& path, std::span<const std::int64_t> values, NpyElement element = NpyElement::int64());

// The elements of the NPY bytes `bytes`; `name` (a file path) goes into every error message.
std::vector<std::int64_t> decode_npy(std::string_view bytes, const std::string& name);

// Reads the NPY file at `path`. A file that cannot be opened gives OsError; anything malformed
// gives ValueError naming `path`.
std::vector<std::int64_t> read_npy(const std::string& path);

}  // namespace tarnwick::bundle::formats
