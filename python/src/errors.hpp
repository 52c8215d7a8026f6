#pragma once
// The library's errors as Python exceptions.
//
//   tarnwick::bundle::OsError         BlockingIOError (would block: the file is held by another
//                                     process), PermissionError (permission denied), otherwise
//                                     OSError(errno, text), which Python turns into its subclass
//                                     for that errno (FileNotFoundError, IsADirectoryError, ...)
//   std::filesystem errors            OSError(errno, text, path) likewise
//   tarnwick::bundle::ValueError      ValueError
//   tarnwick::bundle::TypeError       TypeError
//   tarnwick::bundle::EndOfInput      EOFError (standard input ended at a question, as input() says)
//   service::PermissionDenied         tarnwick.bundle.PermissionDenied (the service refused the
//                                     data; an Exception, not an OSError)
//   tarnwick::bundle::ProgramExit     SystemExit(status): the command ends the program, and the
//                                     host's interpreter ends as it would on sys.exit()
// Anything else keeps pybind11's mapping (std::exception -> RuntimeError).
#include <pybind11/pybind11.h>

namespace tarnwick::python {

namespace py = pybind11;

// Adds PermissionDenied to the module and installs the translation.
void register_errors(py::module_& module);

}  // namespace tarnwick::python
