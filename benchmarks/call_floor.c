// The call floor: a function of compute_lcs_similarity's signature that does only what any function
// of that signature must (bind the three arguments, check their types and each length, build the
// list of floats) and no comparison at all. compare.py's floor table times it beside corvane, so
// that corvane's cost above this floor is what its own work adds to a short call.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

enum { SOURCE, TARGET, LENGTHS, ARGUMENTS };

static const char* const names[ARGUMENTS] = {"source", "target", "length_of_prefixes_of_target"};
// Interned once, so that a keyword written in a call's source is usually found by identity.
static PyObject* interned[ARGUMENTS];

static int bind_keyword(PyObject* name, PyObject* value, PyObject** bound) {
    int slot = -1;
    for (int k = 0; k < ARGUMENTS && slot < 0; k++)
        if (name == interned[k]) slot = k;
    for (int k = 0; k < ARGUMENTS && slot < 0; k++) {
        int equal = PyUnicode_Check(name) ? PyUnicode_Compare(name, interned[k]) == 0 : 0;
        if (PyErr_Occurred()) return -1;
        if (equal) slot = k;
    }
    if (slot < 0) {
        PyErr_Format(PyExc_TypeError,
                     "compute_lcs_similarity() got an unexpected keyword argument '%S'", name);
        return -1;
    }
    if (bound[slot]) {
        PyErr_Format(PyExc_TypeError,
                     "compute_lcs_similarity() got multiple values for argument '%s'", names[slot]);
        return -1;
    }
    bound[slot] = value;
    return 0;
}

static PyObject* compute_lcs_similarity(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    (void)module;
    PyObject* bound[ARGUMENTS] = {NULL, NULL, NULL};
    if (nargs > ARGUMENTS) {
        PyErr_Format(PyExc_TypeError,
                     "compute_lcs_similarity() takes 3 positional arguments but %zd were given",
                     nargs);
        return NULL;
    }
    for (Py_ssize_t k = 0; k < nargs; k++)
        bound[k] = args[k];
    if (kwnames) {
        Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; k++)
            if (bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound) < 0) return NULL;
    }
    for (int k = 0; k < ARGUMENTS; k++)
        if (!bound[k]) {
            PyErr_Format(PyExc_TypeError, "compute_lcs_similarity() missing required argument '%s'",
                         names[k]);
            return NULL;
        }
    if (!PyUnicode_Check(bound[SOURCE]) || !PyUnicode_Check(bound[TARGET])) {
        PyErr_SetString(PyExc_TypeError, "source and target must be str");
        return NULL;
    }
    PyObject* lengths = bound[LENGTHS];
    if (!PyList_Check(lengths)) {
        PyErr_SetString(PyExc_TypeError, "length_of_prefixes_of_target must be a list");
        return NULL;
    }
    // Each length is read and bounded as any implementation must before it can answer; the answer
    // itself is a constant.
    Py_ssize_t target_length = PyUnicode_GET_LENGTH(bound[TARGET]);
    Py_ssize_t count = PyList_GET_SIZE(lengths);
    for (Py_ssize_t k = 0; k < count; k++) {
        PyObject* item = PyList_GET_ITEM(lengths, k);
        if (!PyLong_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "each length must be an int");
            return NULL;
        }
        Py_ssize_t length = PyLong_AsSsize_t(item);
        if (length == -1 && PyErr_Occurred()) return NULL;
        if (length < 0 || length > target_length) {
            PyErr_Format(PyExc_ValueError, "length %zd is outside 0..%zd", length, target_length);
            return NULL;
        }
    }
    PyObject* result = PyList_New(count);
    if (!result) return NULL;
    for (Py_ssize_t k = 0; k < count; k++) {
        PyObject* value = PyFloat_FromDouble(1.0);
        if (!value) {
            Py_DECREF(result);
            return NULL;
        }
        PyList_SET_ITEM(result, k, value);
    }
    return result;
}

static PyMethodDef methods[] = {
    // The cast through void (*)(void) says on purpose that the real type differs from PyCFunction.
    {"compute_lcs_similarity", (PyCFunction)(void (*)(void))compute_lcs_similarity,
     METH_FASTCALL | METH_KEYWORDS,
     "compute_lcs_similarity(source, target, length_of_prefixes_of_target)\n--\n\n"
     "The call floor: binds and checks the arguments, returns 1.0 per length, compares nothing."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    .m_name = "call_floor",
    .m_doc = "A do-nothing function of compute_lcs_similarity's signature, for benchmarks.",
    .m_size = -1,
    .m_methods = methods,
};

PyMODINIT_FUNC PyInit_call_floor(void) {
    for (int k = 0; k < ARGUMENTS; k++)
        if (!interned[k] && !(interned[k] = PyUnicode_InternFromString(names[k]))) return NULL;
    return PyModule_Create(&module_def);
}
