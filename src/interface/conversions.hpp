// Conversion of the function's arguments into native values and of its result into a list.
#pragma once

#include "interface/error.hpp"
#include "interface/owned.hpp"
#include "length_vector.hpp"
#include "text.hpp"

#include <Python.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

namespace corvane {

/// The TypeError for an argument that is not a str.
[[gnu::cold]] PyErr not_text_failure(PyObject* object);

/// The UTF-8 length of 2- or 4-byte text, or `detail::k_no_utf8_form`. A plain integer, and a leaf
/// function: a counted optional merged across the kinds went through the stack and stalled the
/// load that read it back, every call.
std::uint64_t wide_utf8_length(const TextView& text) noexcept;

/// The interpreter's own UnicodeEncodeError for text with a surrogate, or its UTF-8 length in
/// `text` if it has a form after all.
[[gnu::cold]] std::expected<void, PyErr> surrogate_failure(PyObject* object, TextView& text);

/// Fills `text` with a view of the code points a str (or subclass) holds, where the interpreter
/// keeps them, and the length of their UTF-8 form; no copy. Text without a UTF-8 form (a lone
/// surrogate) gives the interpreter's UnicodeEncodeError. The view is written in place, field by
/// field, so that the kernel reads each field as it was stored.
inline std::expected<void, PyErr> extract_text(PyObject* object, TextView& text) {
    if (!PyUnicode_Check(object)) [[unlikely]]
        return std::unexpected(not_text_failure(object));
    text.data = PyUnicode_DATA(object);
    text.length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(object));
    text.kind = static_cast<unsigned>(PyUnicode_KIND(object));
    // ASCII text is its own UTF-8 form, and other 1-byte text always has one: its length is
    // counted only if the call needs it.
    if (text.kind == 1) [[likely]] {
        text.utf8_bytes = text.length;
        text.utf8_counted = PyUnicode_IS_ASCII(object);
        return {};
    }
    // Other text is read where the interpreter keeps it too; its UTF-8 length is counted, never
    // made, so the str gains no cached UTF-8 copy.
    text.utf8_counted = true;
    const std::uint64_t bytes = wide_utf8_length(text);
    if (bytes == detail::k_no_utf8_form) [[unlikely]]
        return surrogate_failure(object, text);
    text.utf8_bytes = bytes;
    return {};
}

/// The value of an exact int that is compact and not negative, read in place without running
/// any code; -1 for any other object. A plain integer rather than an optional: the optional's
/// value and flag were stored apart and reloaded as one, which the CPU cannot forward from the
/// two stores (a stall of several nanoseconds on every length of every call).
inline Py_ssize_t plain_length(PyObject* item) noexcept {
    if (!PyLong_CheckExact(item) ||
        !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item)))
        return -1;
    const Py_ssize_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
    return value < 0 ? -1 : value;
}

/// extract_length_vector for any sequence.
std::expected<void, PyErr> extract_any_length_vector(PyObject* object, std::string_view name,
                                                     LengthVector& lengths);

/// Appends the items of a sequence to `lengths` (empty on entry) as unsigned 64-bit integers;
/// errors come back already prefixed with the argument's name. The caller's vector is filled in
/// place, so its inline storage is never moved.
inline std::expected<void, PyErr> extract_length_vector(PyObject* object, std::string_view name,
                                                        LengthVector& lengths) {
    // The usual argument, a short list of small non-negative ints, is read here. Reading an
    // exact int runs no code, so when some other item turns up, the general path may read the
    // list again from its start.
    if (PyList_CheckExact(object) &&
        static_cast<std::size_t>(PyList_GET_SIZE(object)) <= lengths.capacity()) [[likely]] {
        const Py_ssize_t size = PyList_GET_SIZE(object);
        Py_ssize_t k = 0;
        for (; k < size; ++k) {
            const Py_ssize_t value = plain_length(PyList_GET_ITEM(object, k));
            if (value < 0) [[unlikely]]
                break;
            lengths.push_back(static_cast<std::uint64_t>(value));
        }
        if (k == size) [[likely]]
            return {};
        lengths.clear();
    }
    return extract_any_length_vector(object, name, lengths);
}

/// An int (or an object with __index__) as an unsigned 64-bit integer.
std::expected<std::uint64_t, PyErr> extract_u64(PyObject* object);

/// A lazy TypeError "'SOURCE' object cannot be cast as 'TARGET'", formatted only when raised.
PyErr cast_failure(PyObject* object, PyObject* target_type);

/// Prefixes a TypeError (exactly that type) with "argument 'NAME': ", keeping its cause and
/// suppressing its context; any other error is returned unchanged.
PyErr wrap_argument_error(std::string_view name, PyErr error);

/// collections.abc.Sequence (borrowed), imported once on first need; panics when unavailable.
PyObject* sequence_abc_type();

/// A new list of floats from the doubles the kernel wrote over the vector.
Owned doubles_to_list(const LengthVector& doubles);

} // namespace corvane
