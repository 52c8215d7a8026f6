#pragma once
// Turning the Python arguments of the entry functions into the library's C++ arguments.
//
// Two kinds of parameter:
//  - enforced ones carry a declared type in the host's function table. They are checked before
//    the call does anything else; a mismatch raises TypeError worded as the host's runtime type
//    checks word it:  type of argument "concurrency" must be int; got str instead
//    (bool counts as int, as isinstance() says);
//  - the others accept what the Python operation behind them accepts: a truth value is bool(x),
//    a path is what os.fspath() accepts, a tag collection is any iterable of str (a set, list,
//    tuple, dict keys, a generator) but not one str (its characters would be taken for tags),
//    a count is what operator.index() accepts. A value the library cannot use raises TypeError
//    naming the argument.
//
// Text crosses in the file-system encoding (UTF-8 with surrogateescape), the encoding of
// os.fsencode(): a path that came from os.listdir() as undecodable bytes names the same file.
//
// REQUIRES: the GIL is held.
#include <pybind11/pybind11.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarnwick::python {

namespace py = pybind11;

// Enforced parameters.
std::string enforced_str(py::handle value, const char* name);
int enforced_int(py::handle value, const char* name);
std::optional<std::string> enforced_optional_str(py::handle value, const char* name);  // None -> nullopt
std::vector<std::string> enforced_str_list(py::handle value, const char* name);
// A flag that deletes files when true (`rebuild`): True, False, the integers 0 and 1 (callers
// commonly pass integers for flags) and None (false). Any other value is refused, a str above
// all: "False" is a true value in Python and would delete years of data. TypeError for another
// type, ValueError for another integer.
bool rebuild_flag(py::handle value, const char* name);

// The other parameters.
bool truth(py::handle value);
std::string path_like(py::handle value, const char* name);
int index_like(py::handle value, const char* name);
std::vector<std::string> str_collection(py::handle value, const char* name);

// C++ text back to Python: identifiers and paths as os.fsdecode() gives them.
py::str fs_text(const std::string& text);
py::set fs_text_set(const std::set<std::string>& texts);
// Console and error texts: invalid UTF-8 becomes U+FFFD, so a message can always be shown.
py::str display_text(const std::string& text);

}  // namespace tarnwick::python
