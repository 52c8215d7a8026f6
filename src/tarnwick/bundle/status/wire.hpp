#pragma once
// A file's status as bytes, to carry it from the child that read the file to the parent.
#include <string>
#include <string_view>

#include "tarnwick/bundle/status/status.hpp"

namespace tarnwick::bundle::status {

std::string encode(const FileStatus& file);
// Throws std::runtime_error on bytes that encode() did not make.
FileStatus decode(std::string_view bytes);

}  // namespace tarnwick::bundle::status
