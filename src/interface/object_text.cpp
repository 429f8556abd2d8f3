// The text forms of objects and errors: str and repr that cannot fail, lossy UTF-8, and the debug
// form of an error with its traceback.
#include "interface/object_text.hpp"

#include "interface/attach.hpp"
#include "interface/error.hpp"
#include "interface/interned_name.hpp"
#include "interface/owned.hpp"

#include <cstdio>
#include <optional>

namespace corvane {

void append_lossy_text(PyObject* text, std::string& sink) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        sink.append(utf8, static_cast<std::size_t>(size));
        return;
    }
    PyErr_Clear();
    // Lone surrogates: encode them as they are, then decode with one U+FFFD per maximal
    // invalid subsequence (three for an encoded surrogate).
    Owned bytes(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) fail_after_api_error();
    Owned repaired(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                        PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!repaired) fail_after_api_error();
    const char* utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
    if (utf8 == nullptr) fail_after_api_error();
    sink.append(utf8, static_cast<std::size_t>(size));
}

std::string lossy_text(PyObject* text) {
    std::string out;
    append_lossy_text(text, out);
    return out;
}

namespace {

void write_rendered(PyObject* object, std::string& sink, PyObject* (*render)(PyObject*)) {
    if (Owned text{render(object)}) {
        append_lossy_text(text.get(), sink);
        return;
    }
    PyErr::fetch_pending().set_pending();
    PyErr_WriteUnraisable(object);
    if (Owned name{PyType_GetName(Py_TYPE(object))}) {
        sink += "<unprintable ";
        display_object(name.get(), sink);
        sink += " object>";
    } else {
        PyErr::fetch_pending();
        sink += "<unprintable object>";
    }
}

/// Appends `text` as a double-quoted string with quotes, backslashes and control characters
/// escaped.
void write_escaped(std::string_view text, std::string& sink) {
    sink += '"';
    for (const char ch : text) {
        switch (ch) {
        case '"':
            sink += "\\\"";
            break;
        case '\\':
            sink += "\\\\";
            break;
        case '\n':
            sink += "\\n";
            break;
        case '\r':
            sink += "\\r";
            break;
        case '\t':
            sink += "\\t";
            break;
        case '\0':
            sink += "\\0";
            break;
        default:
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) {
                char escaped[12];
                std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(ch));
                sink += escaped;
            } else {
                sink += ch;
            }
        }
    }
    sink += '"';
}

InternedName io_name("io");
InternedName string_io_name("StringIO");
InternedName getvalue_name("getvalue");

/// The traceback as Python prints it, or the error that prevented formatting it.
std::optional<std::string> format_traceback(PyObject* traceback, std::optional<PyErr>& failure) {
    const auto fail = [&failure] {
        failure.emplace(PyErr::fetch_pending());
        return std::nullopt;
    };
    Owned io(PyImport_Import(io_name.get()));
    if (!io) return fail();
    Owned string_io_type(PyObject_GetAttr(io.get(), string_io_name.get()));
    if (!string_io_type) return fail();
    Owned buffer(PyObject_CallNoArgs(string_io_type.get()));
    if (!buffer) return fail();
    if (PyTraceBack_Print(traceback, buffer.get()) < 0) return fail();
    Owned getvalue(PyObject_GetAttr(buffer.get(), getvalue_name.get()));
    if (!getvalue) return fail();
    Owned value(PyObject_CallNoArgs(getvalue.get()));
    if (!value) return fail();
    if (!PyUnicode_Check(value.get())) {
        PyErr_SetString(PyExc_TypeError, "traceback text is not a str");
        return fail();
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (utf8 == nullptr) return fail();
    return std::string(utf8, static_cast<std::size_t>(size));
}

} // namespace

void display_object(PyObject* object, std::string& sink) {
    write_rendered(object, sink, PyObject_Str);
}

void debug_object(PyObject* object, std::string& sink) {
    write_rendered(object, sink, PyObject_Repr);
}

void PyErr::write_debug(std::string& sink) {
    AttachScope attached = AttachScope::acquire();
    PyObject* self = instance();
    sink += "PyErr { type: ";
    debug_object(reinterpret_cast<PyObject*>(Py_TYPE(self)), sink);
    sink += ", value: ";
    debug_object(self, sink);
    sink += ", traceback: ";
    Owned traceback(PyException_GetTraceback(self));
    if (!traceback) {
        sink += "None";
    } else {
        std::optional<PyErr> failure;
        if (std::optional<std::string> text = format_traceback(traceback.get(), failure)) {
            sink += "Some(";
            write_escaped(*text, sink);
            sink += ")";
        } else {
            std::move(*failure).set_pending();
            PyErr_WriteUnraisable(traceback.get());
            sink += "<unformattable ";
            debug_object(traceback.get(), sink);
            sink += ">";
        }
    }
    sink += " }";
}

std::string PyErr::debug() {
    std::string out;
    write_debug(out);
    return out;
}

} // namespace corvane
