#pragma once
// Running library code inside the interpreter's process.
//
// The entry functions run for minutes (fetches, HDF5 compression, waiting for worker processes),
// so the library runs without the GIL: other Python threads of the host keep running. Three
// things make that safe:
//
//  1. Console. The library's console is routed to the interpreter's sys.stdout / sys.stdin (a
//     host that redirects them sees every message and answers every question). Each hook takes
//     the GIL for one write or one line read, and flushes after each write: worker processes
//     print to file descriptor 1 directly, and nothing of ours may still sit in sys.stdout's
//     buffer when they do. An exception the interpreter raises in a hook (KeyboardInterrupt
//     from a Ctrl-C caught meanwhile, whose handler the hook runs; an error of sys.stdout or
//     sys.stdin) ends the call: the hook keeps it and throws to unwind the library, and the
//     kept exception is raised when the call returns, also when library code on the way caught
//     and logged what the hook threw.
//
//  2. One library call at a time. The library's process-wide state (the current service client,
//     the clock, the console) is not made for concurrent use, so calls from several Python
//     threads queue up (a recursive lock: a hook's Python code may call in again).
//
//  3. Fork. The worker pool forks while a call runs. Workers never run Python code: the pool
//     drops the console hooks in the worker before anything else, and the hooks hold no Python
//     object (destroying one there would touch the interpreter). A worker must not inherit a
//     lock that a thread of the host, which does not exist in the worker, held at the fork:
//     HDF5's global lock above all, which h5py takes in other threads of the host, partly
//     without the GIL. Around each fork made during a call this thread therefore holds the GIL,
//     as os.fork() does, and h5py's global lock when h5py is loaded, so no other thread is
//     inside HDF5 through h5py. In the worker, signals that the interpreter handles (SIGINT,
//     handlers set with signal.signal) get their default action back: the interpreter's handler
//     only sets a flag for an evaluation loop that never runs there, which would make the
//     worker deaf to Ctrl-C.
//
// REQUIRES: install_library_hooks() before the first LibraryCall.
#include <pybind11/pybind11.h>

#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace tarnwick::python {

namespace py = pybind11;

// Installs the console hooks and the fork handlers; once per process.
void install_library_hooks();

// False when the environment variable TARNWICK_NO_SYNC is set to anything but "" or "0".
bool sync_requested();

// Held for the duration of one call into the library. REQUIRES: constructed with the GIL held.
// Use it through call_library(), which also raises the exception a console hook kept.
class LibraryCall {
public:
    LibraryCall();
    ~LibraryCall();
    LibraryCall(const LibraryCall&) = delete;
    LibraryCall& operator=(const LibraryCall&) = delete;

private:
    // Whether this call syncs: read from the environment (TARNWICK_NO_SYNC) at every call, with
    // the GIL still held, so that the module keeps no setting of its own between calls.
    bool sync_ = sync_requested();
    py::gil_scoped_release release_;  // the lock below is waited for without the GIL
    std::unique_lock<std::recursive_mutex> lock_;
};

// Raises the exception kept by a console hook during the call, if any. REQUIRES: the GIL.
void raise_kept_exception();

// Runs `body` (library code) under a LibraryCall and returns its result.
template <class Body>
auto call_library(Body&& body) -> std::invoke_result_t<Body&> {
    using Result = std::invoke_result_t<Body&>;
    if constexpr (std::is_void_v<Result>) {
        call_library([&body] {
            body();
            return true;
        });
    } else {
        std::optional<Result> result;
        try {
            LibraryCall call;
            result.emplace(body());
        } catch (...) {
            raise_kept_exception();  // the interpreter's exception is the cause: it goes first
            throw;
        }
        raise_kept_exception();
        return std::move(*result);
    }
}

}  // namespace tarnwick::python
