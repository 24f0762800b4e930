/*
 * The floor of the benchmarks: the least work any validator of this data
 * must do, and nothing more. `walk(data)` visits every value reachable
 * through lists and dicts and returns how many it visited. On the way it
 * makes each value's type test, reads the number of an int or a float, reads
 * the length of every str and makes sure the str has a UTF-8 form (no lone
 * surrogate) without building that form, and type-tests every dict key. It
 * knows no schema, checks no bound, allocates nothing and leaves every str
 * as it found it.
 *
 * `fill_utf8(data)` is not part of the floor: it gives every str in data
 * (dict keys included) its cached UTF-8 form, so that the benchmarks can
 * time data in the state any system that asks for that form leaves it in.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

/* Deeper data ends in RecursionError. A counter in the walk's arguments
 * bounds the C stack at the price of a compare per container; a validator
 * whose schema bounds the depth needs not even that. */
#define MAX_DEPTH 1000

/* What the walk reads goes here once it is done, so that no read can be
 * left out by the compiler. */
static volatile uint64_t sink;

struct walk {
    Py_ssize_t count;
    uint64_t reads; /* every number, length and scan result, mixed */
};

/* Whether a 2- or 4-byte str holds a code point in U+D800..U+DFFF. No early
 * exit: text that conforms is read to its end anyway, and the branch-free
 * loop is one the compiler vectorises. */
static int has_surrogate(PyObject *text)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    unsigned found = 0;
    if (PyUnicode_KIND(text) == PyUnicode_2BYTE_KIND) {
        const Py_UCS2 *units = PyUnicode_2BYTE_DATA(text);
        for (Py_ssize_t i = 0; i < length; i++) {
            found |= (units[i] & 0xF800u) == 0xD800u;
        }
    } else {
        const Py_UCS4 *points = PyUnicode_4BYTE_DATA(text);
        for (Py_ssize_t i = 0; i < length; i++) {
            found |= points[i] - 0xD800u < 0x800u;
        }
    }
    return (int)found;
}

static int visit_str(PyObject *text, struct walk *walk)
{
    walk->reads += (uint64_t)PyUnicode_GET_LENGTH(text);
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) {
        return 0; /* Latin-1 holds no surrogate */
    }
    /* A str of 2 or 4 bytes a code point is never compact ASCII, so it has
     * the utf8 member; a cached UTF-8 form shows there is no surrogate. */
    if (((PyCompactUnicodeObject *)text)->utf8 != NULL) {
        return 0;
    }
    if (!has_surrogate(text)) {
        return 0;
    }
    /* The encoding raises the UnicodeEncodeError a validator would report,
     * and caches nothing, since it fails. */
    if (PyUnicode_AsUTF8AndSize(text, NULL) == NULL) {
        return -1;
    }
    return 0;
}

static int visit(PyObject *value, struct walk *walk, int depth)
{
    walk->count++;
    unsigned long flags = Py_TYPE(value)->tp_flags;
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        return visit_str(value, walk);
    }
    if (flags & Py_TPFLAGS_LONG_SUBCLASS) {
        if (Py_IS_TYPE(value, &PyBool_Type)) {
            walk->reads += (uint64_t)(value == Py_True);
            return 0;
        }
        if (PyLong_CheckExact(value) && PyUnstable_Long_IsCompact((PyLongObject *)value)) {
            walk->reads += (uint64_t)PyUnstable_Long_CompactValue((PyLongObject *)value);
            return 0;
        }
        int overflow;
        long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (number == -1 && PyErr_Occurred()) {
            return -1;
        }
        walk->reads += (uint64_t)number + (uint64_t)overflow;
        return 0;
    }
    if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
        if (depth >= MAX_DEPTH) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in the floor walk");
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); i++) {
            if (visit(PyList_GET_ITEM(value, i), walk, depth + 1) < 0) {
                return -1;
            }
        }
        return 0;
    }
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
        if (depth >= MAX_DEPTH) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in the floor walk");
            return -1;
        }
        Py_ssize_t position = 0;
        PyObject *key;
        PyObject *item;
        while (PyDict_Next(value, &position, &key, &item)) {
            walk->reads += (uint64_t)PyUnicode_Check(key);
            if (visit(item, walk, depth + 1) < 0) {
                return -1;
            }
        }
        return 0;
    }
    if (Py_IS_TYPE(value, &PyFloat_Type) || PyFloat_Check(value)) {
        double number = PyFloat_AS_DOUBLE(value);
        walk->reads += (uint64_t)(number != number);
        return 0;
    }
    return 0;
}

static PyObject *walk(PyObject *module, PyObject *data)
{
    (void)module;
    struct walk walk = {0, 0};
    if (visit(data, &walk, 0) < 0) {
        return NULL;
    }
    sink += walk.reads;
    return PyLong_FromSsize_t(walk.count);
}

static int fill(PyObject *value, Py_ssize_t *count)
{
    if (PyUnicode_Check(value)) {
        ++*count;
        return PyUnicode_AsUTF8AndSize(value, NULL) == NULL ? -1 : 0;
    }
    if (PyList_Check(value) || PyDict_Check(value)) {
        if (Py_EnterRecursiveCall(" in fill_utf8")) {
            return -1;
        }
        int status = 0;
        if (PyList_Check(value)) {
            for (Py_ssize_t i = 0; status == 0 && i < PyList_GET_SIZE(value); i++) {
                status = fill(PyList_GET_ITEM(value, i), count);
            }
        } else {
            Py_ssize_t position = 0;
            PyObject *key;
            PyObject *item;
            while (status == 0 && PyDict_Next(value, &position, &key, &item)) {
                status = fill(key, count) < 0 ? -1 : fill(item, count);
            }
        }
        Py_LeaveRecursiveCall();
        return status;
    }
    return 0;
}

static PyObject *fill_utf8(PyObject *module, PyObject *data)
{
    (void)module;
    Py_ssize_t count = 0;
    if (fill(data, &count) < 0) {
        return NULL;
    }
    return PyLong_FromSsize_t(count);
}

static PyMethodDef methods[] = {
    {"walk", walk, METH_O,
     "walk(data) -> int\n\nVisit every value of data through lists and dicts with its type test, the "
     "number of an int or float, the length and surrogate scan of a str; return how many values were "
     "visited. Builds nothing."},
    {"fill_utf8", fill_utf8, METH_O,
     "fill_utf8(data) -> int\n\nGive every str of data, keys included, its cached UTF-8 form; return "
     "how many strs it met."},
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
