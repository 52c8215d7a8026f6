#include "errors.hpp"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "arguments.hpp"
#include "tarnwick/bundle/python_module.hpp"

namespace tarnwick::python {
namespace {

namespace tb = tarnwick::bundle;

// A new reference kept for the life of the process: the class must outlive every module
// object, and dropping it while the interpreter shuts down would touch a dead interpreter.
PyObject* permission_denied_class = nullptr;

// Raises type(*args). The instance is made here rather than left to the interpreter's lazy
// normalisation, which not every consumer performs (the top level's SystemExit handling reads
// the raw value); OSError(errno, ...) also picks its subclass for the errno at this point.
void set_error(PyObject* type, const py::object& args) {
    PyObject* instance = PyObject_Call(type, args.ptr(), nullptr);
    if (instance == nullptr) return;  // the constructor's own error stands
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance)), instance);
    Py_DECREF(instance);
}

void set_os_error(const tb::OsError& error) {
    const int err_no = error.error_number();
    const py::str text = display_text(error.what());
    switch (error.kind()) {
        case tb::OsError::Kind::WouldBlock:
            set_error(PyExc_BlockingIOError, py::make_tuple(err_no != 0 ? err_no : EWOULDBLOCK, text));
            return;
        case tb::OsError::Kind::PermissionDenied:
            set_error(PyExc_PermissionError, py::make_tuple(err_no != 0 ? err_no : EACCES, text));
            return;
        case tb::OsError::Kind::Other:
            set_error(PyExc_OSError, err_no != 0 ? py::make_tuple(err_no, text) : py::make_tuple(text));
            return;
    }
}

bool is_errno(const std::error_code& code) {
    return code.category() == std::generic_category() || code.category() == std::system_category();
}

void translate(std::exception_ptr thrown) {
    try {
        if (thrown) std::rethrow_exception(thrown);
    } catch (const tb::ProgramExit& exit) {
        set_error(PyExc_SystemExit, py::make_tuple(exit.status()));
    } catch (const tb::Interrupted& interrupted) {
        // Ctrl-C reaches the interpreter as its own KeyboardInterrupt (raised before this when
        // the interpreter's handler saw it); SIGTERM ends the program as its default would.
        if (interrupted.signal() == SIGINT)
            set_error(PyExc_KeyboardInterrupt, py::make_tuple());
        else
            set_error(PyExc_SystemExit, py::make_tuple(interrupted.exit_status()));
    } catch (const tb::EndOfInput& error) {
        set_error(PyExc_EOFError, py::make_tuple(display_text(error.what())));
    } catch (const tb::OsError& error) {
        set_os_error(error);
    } catch (const tb::ValueError& error) {
        set_error(PyExc_ValueError, py::make_tuple(display_text(error.what())));
    } catch (const tb::TypeError& error) {
        set_error(PyExc_TypeError, py::make_tuple(display_text(error.what())));
    } catch (const tb::PermissionDenied& error) {
        set_error(permission_denied_class, py::make_tuple(display_text(error.what())));
    } catch (const std::filesystem::filesystem_error& error) {
        if (!is_errno(error.code())) throw;
        const std::string path = error.path1().string();
        if (path.empty())
            set_error(PyExc_OSError, py::make_tuple(error.code().value(), display_text(error.what())));
        else
            set_error(PyExc_OSError, py::make_tuple(error.code().value(), display_text(error.what()), fs_text(path)));
    } catch (const std::system_error& error) {
        if (!is_errno(error.code())) throw;
        set_error(PyExc_OSError, py::make_tuple(error.code().value(), display_text(error.what())));
    }
}

}  // namespace

void register_errors(py::module_& module) {
    if (permission_denied_class == nullptr) {
        permission_denied_class = PyErr_NewExceptionWithDoc(
            "tarnwick.bundle.PermissionDenied",
            "The market-data service refused the requested data: the account has no right to it.", PyExc_Exception,
            nullptr);
        if (permission_denied_class == nullptr) throw py::error_already_set();
    }
    module.attr("PermissionDenied") = py::handle(permission_denied_class);
    py::register_exception_translator(translate);
}

}  // namespace tarnwick::python
