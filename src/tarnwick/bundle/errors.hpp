#pragma once
// The error taxonomy that the module's callers act on.
//
//  OsError           the file system or the storage library could not open, lock, read or write
//                    a file; `kind()` tells "held by another process" and "permission denied"
//                    apart from other I/O failures. Updaters report it with the permission text,
//                    checks list the file as blocked.
//  ValueError        a value is wrong (unknown instrument, a malformed date, damaged content).
//  TypeError         an argument has the wrong type (the Python front end and the CLI raise it).
//  ProgramExit       the command wants the program to end with a status; the library never calls
//                    exit() itself because the Python host loads it into its own process.
//  RebuildDeclined   a ProgramExit(0): the user did not confirm the rebuild, nothing was changed.
//  EndOfInput        standard input ended while a question waited for its answer (the Python
//                    host's own input() raises EOFError there).
//
// The service's own permission error lives in service/errors.hpp.
#include <stdexcept>
#include <string>

namespace tarnwick::bundle {

class OsError : public std::runtime_error {
public:
    enum class Kind { WouldBlock, PermissionDenied, Other };
    OsError(Kind kind, int err_no, const std::string& what) : std::runtime_error(what), kind_(kind), errno_(err_no) {}
    Kind kind() const noexcept { return kind_; }
    int error_number() const noexcept { return errno_; }

    // Builds the error from an errno value, choosing the kind from it.
    static OsError from_errno(int err_no, const std::string& what);

private:
    Kind kind_;
    int errno_;
};

class ValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TypeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ProgramExit : public std::runtime_error {
public:
    explicit ProgramExit(int status) : std::runtime_error("program exit"), status_(status) {}
    int status() const noexcept { return status_; }

private:
    int status_;
};

class RebuildDeclined : public ProgramExit {
public:
    RebuildDeclined() : ProgramExit(0) {}
};

class EndOfInput : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace tarnwick::bundle
