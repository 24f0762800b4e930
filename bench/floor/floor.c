/*
 * The floor of the benchmarks: the least work any validator of this data
 * must do, and nothing more. `walk(data)` visits every value reachable
 * through lists and dicts, makes each value's type test, reads the number of
 * an int or a float, takes the UTF-8 form and code-point length of every str
 * (dict keys included) through PyUnicode_AsUTF8AndSize, and returns how many
 * values it visited. It knows no schema, checks no bound and builds nothing.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* What the walk reads goes here, so that no read can be left out. */
static volatile unsigned long long sink;

static int visit_str(PyObject *text)
{
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == NULL) {
        return -1;
    }
    sink += (unsigned long long)size + (unsigned long long)PyUnicode_GET_LENGTH(text);
    return 0;
}

static int visit(PyObject *value, Py_ssize_t *count)
{
    ++*count;
    if (PyList_Check(value)) {
        if (Py_EnterRecursiveCall(" in the floor walk")) {
            return -1;
        }
        int status = 0;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); i++) {
            if (visit(PyList_GET_ITEM(value, i), count) < 0) {
                status = -1;
                break;
            }
        }
        Py_LeaveRecursiveCall();
        return status;
    }
    if (PyDict_Check(value)) {
        if (Py_EnterRecursiveCall(" in the floor walk")) {
            return -1;
        }
        int status = 0;
        Py_ssize_t position = 0;
        PyObject *key;
        PyObject *item;
        while (PyDict_Next(value, &position, &key, &item)) {
            if ((PyUnicode_Check(key) && visit_str(key) < 0) || visit(item, count) < 0) {
                status = -1;
                break;
            }
        }
        Py_LeaveRecursiveCall();
        return status;
    }
    if (PyUnicode_Check(value)) {
        return visit_str(value);
    }
    if (PyLong_Check(value)) {
        int overflow;
        long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (number == -1 && PyErr_Occurred()) {
            return -1;
        }
        sink += (unsigned long long)number + (unsigned long long)overflow;
        return 0;
    }
    if (PyFloat_Check(value)) {
        double number = PyFloat_AS_DOUBLE(value);
        sink += (unsigned long long)(number != number);
        return 0;
    }
    return 0;
}

static PyObject *walk(PyObject *module, PyObject *data)
{
    (void)module;
    Py_ssize_t count = 0;
    if (visit(data, &count) < 0) {
        return NULL;
    }
    return PyLong_FromSsize_t(count);
}

static PyMethodDef methods[] = {
    {"walk", walk, METH_O,
     "walk(data) -> int\n\nVisit every value of data through lists and dicts, with the type test, "
     "number read or UTF-8 form each needs; return how many values were visited."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    .m_name = "quillane_bench_floor",
    .m_doc = "The least work any validator must do on a value: the benchmarks' floor.",
    .m_size = 0,
    .m_methods = methods,
};

PyMODINIT_FUNC PyInit_quillane_bench_floor(void)
{
    return PyModuleDef_Init(&module_def);
}
