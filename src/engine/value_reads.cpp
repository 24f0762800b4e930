// The out-of-line reads of value_reads.hpp: the ones that run Python code or
// make an exception.
#include "engine/value_reads.hpp"

namespace quillane {

Result<std::optional<int64_t>> read_index_integer(PyObject* value) {
    long long integer = PyLong_AsLongLong(value);
    if (integer != -1 || PyErr_Occurred() == nullptr) {
        return static_cast<int64_t>(integer);
    }
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (PyErr_GivenExceptionMatches(raised.get(), PyExc_Exception) != 0 &&
        PyErr_GivenExceptionMatches(raised.get(), PyExc_MemoryError) == 0 &&
        PyErr_GivenExceptionMatches(raised.get(), PyExc_RecursionError) == 0) {
        return std::optional<int64_t>();  // not an int: the error is the answer
    }
    PyErr_SetRaisedException(raised.release());
    return fail(error_of_failed_call());
}

PendingError no_utf8_form(PyObject* text) {
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(text, &size) != nullptr) [[unlikely]] {
        throw_fault("a str with a lone surrogate had a UTF-8 form");
    }
    return error_of_failed_call();
}

}  // namespace quillane
