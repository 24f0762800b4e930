// Conversion helpers shared by the compiler and the module surface.
#include "runtime/conversions.hpp"

namespace quillane {
namespace {

std::string copy_utf8(const char* bytes, Py_ssize_t size) { return std::string(bytes, static_cast<size_t>(size)); }

bool is_numpy_bool_type(PyTypeObject* type) {
    Ref module_name = Ref::steal(PyType_GetModuleName(type));
    if (!module_name) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module_name.get()) || !PyUnicode_EqualToUTF8(module_name.get(), "numpy")) {
        return false;
    }
    Ref type_name = Ref::steal(PyType_GetName(type));
    if (!type_name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_EqualToUTF8(type_name.get(), "bool_") || PyUnicode_EqualToUTF8(type_name.get(), "bool");
}

// Text of a str object whose UTF-8 form is not available (lone surrogates):
// the surrogates pass through the encoder and every invalid byte sequence is
// then decoded as U+FFFD.
std::optional<std::string> lossy_utf8(PyObject* text) {
    Ref raw = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!raw) {
        PyErr_Clear();
        return std::nullopt;
    }
    Ref repaired = Ref::steal(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
    if (!repaired) {
        PyErr_Clear();
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
    if (bytes == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return copy_utf8(bytes, size);
}

std::string unprintable_text(PyObject* object) {
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(object)));
    if (type_name) {
        Py_ssize_t size = 0;
        if (const char* bytes = PyUnicode_AsUTF8AndSize(type_name.get(), &size)) {
            return "<unprintable " + copy_utf8(bytes, size) + " object>";
        }
    }
    PyErr_Clear();
    return "<unprintable object>";
}

}  // namespace

Result<std::string_view> read_text_view(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        return fail(conversion_error(object, "PyString"));
    }
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(object, &size);
    if (bytes == nullptr) {
        return fail(error_of_failed_call());
    }
    return std::string_view(bytes, static_cast<size_t>(size));
}

Result<std::string> read_text(PyObject* object) {
    QUILLANE_TRY_ASSIGN(std::string_view text, read_text_view(object));
    return std::string(text);
}

Result<bool> read_bool(PyObject* object) {
    if (PyBool_Check(object)) {
        return object == Py_True;
    }
    PyTypeObject* type = Py_TYPE(object);
    if (!is_numpy_bool_type(type)) {
        return fail(conversion_error(object, "PyBool"));
    }
    inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) {
        std::string message = "object of type '" + render_text(reinterpret_cast<PyObject*>(type)) +
                              "' does not define a '__bool__' conversion";
        return fail(PendingError::lazy(PyExc_TypeError, std::move(message)));
    }
    // The slot answers 1 or 0, or -1 with an exception set; anything else is
    // taken as a failure too.
    const int truth_value = truth(object);
    if (truth_value == 0 || truth_value == 1) {
        return truth_value == 1;
    }
    return fail(error_of_failed_call());
}

Result<double> read_double(PyObject* object) {
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return fail(error_of_failed_call());
    }
    return value;
}

Result<uint64_t> read_uint64(PyObject* object) {
    Ref index;
    if (!PyLong_Check(object)) {
        QUILLANE_TRY_ASSIGN(index, steal_or_error(PyNumber_Index(object)));
        object = index.get();
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return fail(error_of_failed_call());
    }
    return static_cast<uint64_t>(value);
}

Result<Py_ssize_t> read_size(PyObject* object) {
    Py_ssize_t size = PyObject_Size(object);
    if (size == -1) {
        return fail(error_of_failed_call());
    }
    return size;
}

std::string render_text(PyObject* object) {
    Ref text = Ref::steal(PyObject_Str(object));
    if (!text) {
        PyErr_WriteUnraisable(object);
        return unprintable_text(object);
    }
    Py_ssize_t size = 0;
    if (const char* bytes = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
        return copy_utf8(bytes, size);
    }
    PyErr_Clear();
    return lossy_utf8(text.get()).value_or(unprintable_text(object));
}

}  // namespace quillane
