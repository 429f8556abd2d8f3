// Runs the native tests inside an embedded interpreter. Tests start detached: each one attaches
// (takes the interpreter lock) itself where it needs the interpreter.
#include <Python.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Death tests re-run the binary rather than fork a process that has an interpreter running.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Py_InitializeEx(0);
    PyThreadState* main_thread = PyEval_SaveThread();
    const int status = RUN_ALL_TESTS();
    PyEval_RestoreThread(main_thread);
    // Finalizing is skipped on purpose: process-wide cells keep interpreter objects for the life
    // of the process, as they do in the module.
    return status;
}
