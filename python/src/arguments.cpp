#include "arguments.hpp"

#include <climits>
#include <cstring>

namespace tarnwick::python {
namespace {

// The type's name as the host's type checks print it: "str", "NoneType", "pathlib.PosixPath".
std::string type_name(py::handle value) {
    const py::handle type(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())));
    const std::string module = py::str(type.attr("__module__"));
    const std::string qualname = py::str(type.attr("__qualname__"));
    return module == "builtins" ? qualname : module + "." + qualname;
}

[[noreturn]] void wrong_type(const std::string& argument, const std::string& expected, py::handle given) {
    throw py::type_error("type of argument " + argument + " must be " + expected + "; got " + type_name(given) +
                         " instead");
}

std::string quoted(const char* name) { return std::string("\"") + name + "\""; }

// The Python error just raised by a conversion, with the argument's name in front when it is a
// TypeError (the interpreter's own text does not say which argument it was).
[[noreturn]] void rethrow_naming(const char* name) {
    py::error_already_set error;
    if (error.matches(PyExc_TypeError))
        throw py::type_error("argument " + quoted(name) + ": " + std::string(py::str(error.value())));
    throw error;
}

// The bytes of a path or identifier; a NUL would silently cut the name short in the C library.
std::string checked_bytes(PyObject* bytes, const char* name) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) throw py::error_already_set();
    if (std::memchr(data, '\0', static_cast<std::size_t>(size)) != nullptr)
        throw py::value_error("argument " + quoted(name) + ": embedded null byte");
    return std::string(data, static_cast<std::size_t>(size));
}

// REQUIRES: PyUnicode_Check(text).
std::string fs_bytes(PyObject* text, const char* name) {
    const py::object encoded = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(text));
    if (!encoded) throw py::error_already_set();
    return checked_bytes(encoded.ptr(), name);
}

int to_int(PyObject* number, const char* name) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, ("argument " + quoted(name) + " is out of range").c_str());
        throw py::error_already_set();
    }
    return static_cast<int>(value);
}

}  // namespace

std::string enforced_str(py::handle value, const char* name) {
    if (!PyUnicode_Check(value.ptr())) wrong_type(quoted(name), "str", value);
    return fs_bytes(value.ptr(), name);
}

int enforced_int(py::handle value, const char* name) {
    if (!PyLong_Check(value.ptr())) wrong_type(quoted(name), "int", value);
    return to_int(value.ptr(), name);
}

std::optional<std::string> enforced_optional_str(py::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    if (!PyUnicode_Check(value.ptr())) wrong_type(quoted(name), "one of (str, NoneType)", value);
    return fs_bytes(value.ptr(), name);
}

std::vector<std::string> enforced_str_list(py::handle value, const char* name) {
    if (!PyList_Check(value.ptr())) wrong_type(quoted(name), "list", value);
    // Elements are checked first, all of them, so that nothing is converted from a list that
    // is then rejected.
    const py::list list = py::reinterpret_borrow<py::list>(value);
    for (std::size_t i = 0; i < list.size(); ++i)
        if (!PyUnicode_Check(list[i].ptr())) wrong_type(quoted(name) + "[" + std::to_string(i) + "]", "str", list[i]);
    std::vector<std::string> texts;
    texts.reserve(list.size());
    for (const py::handle item : list) texts.push_back(fs_bytes(item.ptr(), name));
    return texts;
}

bool rebuild_flag(py::handle value, const char* name) {
    if (value.is_none()) return false;
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
    if (!PyLong_Check(value.ptr())) wrong_type(quoted(name), "bool, 0, 1 or None", value);
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || (number != 0 && number != 1))
        throw py::value_error("argument " + quoted(name) + " must be True, False, 0, 1 or None; got " +
                              std::string(py::repr(value)));
    return number == 1;
}

bool truth(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

std::string path_like(py::handle value, const char* name) {
    const py::object path = py::reinterpret_steal<py::object>(PyOS_FSPath(value.ptr()));
    if (!path) rethrow_naming(name);
    if (PyBytes_Check(path.ptr())) return checked_bytes(path.ptr(), name);
    return fs_bytes(path.ptr(), name);
}

int index_like(py::handle value, const char* name) {
    const py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) rethrow_naming(name);
    return to_int(number.ptr(), name);
}

std::vector<std::string> str_collection(py::handle value, const char* name) {
    // A str is a collection of its characters: "000001.XSHE" would become eleven one-letter tags.
    if (PyUnicode_Check(value.ptr()))
        throw py::type_error("argument " + quoted(name) + " must be a collection of str, not a str; write [" +
                             std::string(py::repr(value)) + "]");
    const py::object iterator = py::reinterpret_steal<py::object>(PyObject_GetIter(value.ptr()));
    if (!iterator) rethrow_naming(name);
    std::vector<std::string> texts;
    while (true) {
        const py::object item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
        if (!item) {
            if (PyErr_Occurred()) throw py::error_already_set();
            break;
        }
        if (!PyUnicode_Check(item.ptr()))
            throw py::type_error("argument " + quoted(name) + " must be a collection of str; got an element of type " +
                                 type_name(item));
        texts.push_back(fs_bytes(item.ptr(), name));
    }
    return texts;
}

py::str fs_text(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!decoded) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

py::set fs_text_set(const std::set<std::string>& texts) {
    py::set result;
    for (const auto& text : texts) result.add(fs_text(text));
    return result;
}

py::str display_text(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!decoded) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

}  // namespace tarnwick::python
