// The corvane module: its definition and the import entry.
#include <Python.h>

namespace {

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "corvane", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_corvane() {
    return PyModule_Create2(&definition, PYTHON_API_VERSION);
}
