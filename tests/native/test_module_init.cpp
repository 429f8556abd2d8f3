// Module initialisation: __all__ in its possible states, and the interpreter the module belongs to.
#include "interface/attach.hpp"
#include "interface/error.hpp"
#include "interface/module_init.hpp"
#include "interface/object_text.hpp"

#include <gtest/gtest.h>

#include <Python.h>

#include <string>

namespace corvane {
namespace {

/// Runs `code` in a fresh namespace, which it returns.
Owned run_code(const char* code) {
    Owned globals(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    Owned ran(PyRun_String(code, Py_file_input, globals.get(), globals.get()));
    if (!ran) PyErr_Print();
    EXPECT_TRUE(ran);
    return globals;
}

/// "TypeName: message" of an error.
std::string describe(PyErr& error) {
    std::string text = Py_TYPE(error.instance())->tp_name;
    text += ": ";
    display_object(error.instance(), text);
    return text;
}

struct AllCase {
    const char* name;
    const char* setup;   // defines `module`; `raised` is what reading __all__ raised, if anything
    const char* outcome; // of add_module_entry(module, "entry", 1)
    const char* after;   // evaluated afterwards
};

const AllCase k_all_cases[] = {
    {"missing __all__ is created", "import types\nmodule = types.ModuleType('m')", "ok",
     "(type(module.__all__).__name__, module.__all__, module.entry)"},
    {"a list subclass is appended to",
     "import types\nclass Names(list): pass\nmodule = types.ModuleType('m')\n"
     "module.__all__ = Names(['first'])",
     "ok", "(type(module.__all__).__name__, module.__all__, module.entry)"},
    {"a tuple is refused and the attribute not set",
     "import types\nmodule = types.ModuleType('m')\nmodule.__all__ = ('first',)",
     "TypeError: 'tuple' object cannot be cast as 'list'",
     "(module.__all__, hasattr(module, 'entry'))"},
    {"another error passes through unchanged",
     "import types\nclass Module(types.ModuleType):\n"
     "    @property\n    def __all__(self):\n        global raised\n"
     "        raised = KeyError('no names')\n        raise raised\nmodule = Module('m')",
     "KeyError: 'no names'", "hasattr(module, 'entry')"},
};

const char* const k_all_after[] = {
    "('list', ['entry'], 1)",
    "('Names', ['first', 'entry'], 1)",
    "(('first',), False)",
    "False",
};

TEST(ModuleInit, AddingAnEntryHandlesEveryStateOfAll) {
    AttachScope attached = AttachScope::acquire();
    for (std::size_t k = 0; k < std::size(k_all_cases); ++k) {
        const AllCase& test = k_all_cases[k];
        SCOPED_TRACE(test.name);
        Owned space = run_code(test.setup);
        PyObject* module = PyDict_GetItemString(space.get(), "module");
        Owned name(PyUnicode_FromString("entry"));
        Owned value(PyLong_FromLong(1));
        auto added = add_module_entry(module, name.get(), value.get());
        EXPECT_EQ(added ? std::string("ok") : describe(added.error()), test.outcome);
        if (PyObject* raised = PyDict_GetItemString(space.get(), "raised")) {
            EXPECT_EQ(added ? nullptr : added.error().instance(), raised);
        }
        Owned after(PyRun_String(test.after, Py_eval_input, space.get(), space.get()));
        ASSERT_TRUE(after);
        std::string shown;
        debug_object(after.get(), shown);
        EXPECT_EQ(shown, k_all_after[k]);
    }
}

std::expected<void, PyErr> refusing_body(PyObject*) {
    return std::unexpected(PyErr::new_lazy(ExceptionKind::type_error, "body refused"));
}

std::expected<void, PyErr> empty_body(PyObject*) {
    return {};
}

ModuleRecord probe_record{
    .initialiser = refusing_body,
    .definition = {PyModuleDef_HEAD_INIT, "probe", "", 0, nullptr, nullptr, nullptr, nullptr,
                   nullptr},
};

std::string obtain_outcome() {
    auto module = obtain_module(probe_record);
    return module ? std::string("ok") : describe(module.error());
}

TEST(ModuleInit, FailedCreationKeepsTheInterpreterAndTheNextCallThereTriesAgain) {
    AttachScope attached = AttachScope::acquire();
    EXPECT_EQ(obtain_outcome(), "TypeError: body refused");

    PyThreadState* main_thread = PyThreadState_Get();
    PyThreadState* sub_thread = nullptr;
    const PyInterpreterConfig legacy = _PyInterpreterConfig_LEGACY_INIT;
    ASSERT_FALSE(PyStatus_Exception(Py_NewInterpreterFromConfig(&sub_thread, &legacy)));
    const std::string in_sub = obtain_outcome();
    Py_EndInterpreter(sub_thread);
    PyThreadState_Swap(main_thread);
    EXPECT_EQ(in_sub, "ImportError: corvane modules do not yet support subinterpreters, see "
                      "https://github.com/corvane/corvane/issues/7");

    probe_record.initialiser = empty_body;
    EXPECT_EQ(obtain_outcome(), "ok");
}

} // namespace
} // namespace corvane
