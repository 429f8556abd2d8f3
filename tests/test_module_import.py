# The built module is an extension with the interpreter's own file suffix.
import importlib.machinery

import corvane


def test_module_is_an_extension_with_the_interpreter_suffix():
    assert corvane.__file__.endswith(importlib.machinery.EXTENSION_SUFFIXES[0])
    assert corvane.__name__ == "corvane"
