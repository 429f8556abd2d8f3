// The text forms of objects: str and repr that cannot fail, and the UTF-8 text of a str.
#pragma once

#include <Python.h>

#include <string>

namespace corvane {

/// Appends str(object), or "<unprintable TYPE object>" after reporting the failure through the
/// unraisable hook.
void display_object(PyObject* object, std::string& sink);
/// Appends repr(object), with the same fallback as display_object.
void debug_object(PyObject* object, std::string& sink);
/// The UTF-8 text of a str; lone surrogates become U+FFFD per byte of their encoded form.
std::string lossy_text(PyObject* text);
/// Appends lossy_text(text).
void append_lossy_text(PyObject* text, std::string& sink);

} // namespace corvane
