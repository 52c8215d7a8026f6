#pragma once
// File names as the views show them. A name is bytes: it may hold control characters (a name
// from an archive can carry ESC sequences or a line break) and bytes that are not UTF-8.
#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwick::bundle::status {

// The length of the well-formed UTF-8 sequence that starts at `text[at]` (1 to 4), or 0 when
// the bytes there are not one (a stray continuation byte, an overlong form, a surrogate, a
// value past U+10FFFF, a sequence cut short).
std::size_t utf8_sequence(std::string_view text, std::size_t at);

// `text` as valid UTF-8 that cannot steer a terminal: control characters (C0, DEL), bytes that
// are not UTF-8 and the backslash become "\x1b", "\xff", "\\"; C1 controls (which terminals may
// take for ESC sequences) become "\u009b". Distinct names stay distinct.
std::string printable(std::string_view text);

}  // namespace tarnwick::bundle::status
