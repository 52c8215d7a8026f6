#include "library_call.hpp"

#include <pthread.h>

#include <csignal>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "arguments.hpp"
#include "tarnwick/bundle/python_module.hpp"

namespace tarnwick::python {
namespace {

std::recursive_mutex& library_mutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

// > 0 while this thread runs library code without the GIL.
thread_local int library_depth = 0;

// A console hook's stretch of Python code. It is not library code: a fork it makes (a
// subprocess started by a custom sys.stdout, say) is the interpreter's own business.
class PythonScope {
public:
    PythonScope() : saved_depth_(std::exchange(library_depth, 0)) {}
    ~PythonScope() { library_depth = saved_depth_; }
    PythonScope(const PythonScope&) = delete;
    PythonScope& operator=(const PythonScope&) = delete;

private:
    int saved_depth_;
    py::gil_scoped_acquire gil_;
};

// The first exception the interpreter raised during a console operation of the current call:
// KeyboardInterrupt from the Ctrl-C handler, or an error of sys.stdout / sys.stdin. It is kept
// until the call returns, because library code between the hook and the caller may catch and
// log what the hook throws (a file update does), and the caller must still see it. Touched with
// the GIL held only.
thread_local PyObject* kept_type = nullptr;
thread_local PyObject* kept_value = nullptr;
thread_local PyObject* kept_traceback = nullptr;

class StoppedByInterpreter : public std::runtime_error {
public:
    StoppedByInterpreter()
        : std::runtime_error("stopped by the Python interpreter (Ctrl-C, or sys.stdout / sys.stdin failed)") {}
};

[[noreturn]] void keep_and_stop(py::error_already_set& error) {
    if (kept_type == nullptr) {
        error.restore();
        PyErr_Fetch(&kept_type, &kept_value, &kept_traceback);
    }
    throw StoppedByInterpreter();
}

// Runs the interpreter's handlers of the signals caught so far; once an exception is kept,
// every further console operation of the call stops the library as well.
void stop_if_interrupted() {
    if (kept_type != nullptr) throw StoppedByInterpreter();
    if (PyErr_CheckSignals() != 0) {
        py::error_already_set error;
        keep_and_stop(error);
    }
}

// The pool's poll for stop requests while it waits for its workers: the interpreter owns
// SIGINT, so a Ctrl-C is seen by running its handlers; the KeyboardInterrupt they raise is kept
// and raised when the call returns.
int poll_interpreter_signals() {
    if (library_depth == 0) return 0;
    PythonScope python;
    if (kept_type != nullptr) return SIGINT;
    if (PyErr_CheckSignals() == 0) return 0;
    py::error_already_set error;
    error.restore();
    PyErr_Fetch(&kept_type, &kept_value, &kept_traceback);
    return SIGINT;
}

void write_console(const std::string& text) {
    PythonScope python;
    stop_if_interrupted();
    PyObject* out = PySys_GetObject("stdout");  // borrowed; None when the host closed it
    if (out == nullptr || out == Py_None) return;
    try {
        const py::handle stream(out);
        stream.attr("write")(display_text(text));
        stream.attr("flush")();
    } catch (py::error_already_set& error) {
        keep_and_stop(error);
    }
}

// One line as input() reads it: without its line break; nullopt at the end of input.
std::optional<std::string> read_console_line() {
    PythonScope python;
    stop_if_interrupted();
    PyObject* in = PySys_GetObject("stdin");
    if (in == nullptr || in == Py_None) return std::nullopt;
    std::string text;
    try {
        const py::object line = py::handle(in).attr("readline")();
        if (PyUnicode_Check(line.ptr())) {
            const py::object encoded =
                py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(line.ptr(), "utf-8", "surrogateescape"));
            if (!encoded) throw py::error_already_set();
            text = std::string(py::bytes(encoded));
        } else if (PyBytes_Check(line.ptr())) {
            text = std::string(py::bytes(line));
        } else {
            PyErr_SetString(PyExc_TypeError, "sys.stdin.readline() returned neither str nor bytes");
            throw py::error_already_set();
        }
    } catch (py::error_already_set& error) {
        keep_and_stop(error);
    }
    if (text.empty()) return std::nullopt;
    if (text.back() == '\n') text.pop_back();
    return text;
}

// Fork handlers (see the header). They act only for forks made by library code, i.e. by the
// worker pool during a call; the interpreter's own forks are left to it.
thread_local bool fork_holds_gil = false;
thread_local PyGILState_STATE fork_gil_state;
thread_local PyObject* fork_h5py_lock = nullptr;  // a reference to h5py's lock while this thread holds it
thread_local sigset_t fork_saved_mask;

// h5py calls HDF5 under its global lock `phil`, partly without the GIL (reads and writes), and
// HDF5's own global lock is then taken; a worker forked at that moment would wait for it
// forever. Holding `phil` across the fork keeps every h5py thread out of HDF5. Only when the
// host has loaded h5py; nothing is imported here.
PyObject* acquire_h5py_lock() {
    PyObject* name = PyUnicode_FromString("h5py._objects");
    if (name == nullptr) return nullptr;
    PyObject* objects = PyImport_GetModule(name);
    Py_DECREF(name);
    if (objects == nullptr) return nullptr;
    PyObject* lock = PyObject_GetAttrString(objects, "phil");
    Py_DECREF(objects);
    if (lock == nullptr) return nullptr;
    // Waits without the GIL when another thread holds it (h5py's lock releases the GIL while
    // waiting), so the holder can finish its HDF5 call.
    PyObject* acquired = PyObject_CallMethod(lock, "acquire", nullptr);
    if (acquired == nullptr) {
        Py_DECREF(lock);
        return nullptr;
    }
    Py_DECREF(acquired);
    return lock;
}

void release_h5py_lock(PyObject* lock) {
    PyObject* released = PyObject_CallMethod(lock, "release", nullptr);
    Py_XDECREF(released);
    Py_DECREF(lock);
}

void before_fork() {
    if (library_depth == 0 || !Py_IsInitialized()) return;
    // Signals wait until the worker has its default handlers: a Ctrl-C that arrived between the
    // fork and the reset would otherwise be swallowed by the interpreter's handler there.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &fork_saved_mask);
    fork_gil_state = PyGILState_Ensure();
    fork_holds_gil = true;
    // Nothing here may leave a Python error behind: the library code around the fork knows
    // nothing of the interpreter.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    fork_h5py_lock = acquire_h5py_lock();
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

void after_fork_in_parent() {
    if (!fork_holds_gil) return;
    if (fork_h5py_lock != nullptr) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        release_h5py_lock(std::exchange(fork_h5py_lock, nullptr));
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }
    fork_holds_gil = false;
    PyGILState_Release(fork_gil_state);
    pthread_sigmask(SIG_SETMASK, &fork_saved_mask, nullptr);
}

void after_fork_in_worker() {
    if (!fork_holds_gil) return;
    fork_holds_gil = false;
    fork_h5py_lock = nullptr;  // the worker's copy of the interpreter is never touched
    // Async-signal-safe calls only: the worker is a copy of a multi-threaded process.
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction action {};
        if (::sigaction(sig, nullptr, &action) != 0) continue;
        const bool has_handler =
            (action.sa_flags & SA_SIGINFO) != 0 || (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN);
        if (!has_handler) continue;
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        sigemptyset(&default_action.sa_mask);
        ::sigaction(sig, &default_action, nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &fork_saved_mask, nullptr);
}

}  // namespace

void install_library_hooks() {
    static bool installed = false;  // guarded by the GIL
    if (installed) return;
    bundle::set_console({write_console, read_console_line});
    bundle::set_interrupt_poll(poll_interpreter_signals);
    if (const int error = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_worker); error != 0)
        throw std::system_error(error, std::generic_category(), "cannot install the fork handlers");
    installed = true;
}

void raise_kept_exception() {
    if (kept_type == nullptr) return;
    PyErr_Restore(std::exchange(kept_type, nullptr), std::exchange(kept_value, nullptr),
                  std::exchange(kept_traceback, nullptr));
    throw py::error_already_set();
}

bool sync_requested() {
    const char* value = std::getenv("TARNWICK_NO_SYNC");
    return value == nullptr || *value == '\0' || std::string_view(value) == "0";
}

LibraryCall::LibraryCall() : lock_(library_mutex()) {
    ++library_depth;
    bundle::set_syncing(sync_);
}

LibraryCall::~LibraryCall() { --library_depth; }

}  // namespace tarnwick::python
