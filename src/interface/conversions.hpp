// Conversion of the function's arguments into native values and of its result into a list.
#pragma once

#include "interface/error.hpp"
#include "interface/owned.hpp"
#include "length_vector.hpp"
#include "text.hpp"

#include <Python.h>

#include <cstdint>
#include <expected>
#include <string_view>

namespace corvane {

/// A view of the code points a str (or subclass) holds, where the interpreter keeps them, with
/// the length of their UTF-8 form; no copy. Text without a UTF-8 form (a lone surrogate) gives
/// the interpreter's UnicodeEncodeError.
std::expected<TextView, PyErr> extract_text(PyObject* object);

/// Appends the items of a sequence to `lengths` (empty on entry) as unsigned 64-bit integers;
/// errors come back already prefixed with the argument's name. The caller's vector is filled in
/// place, so its inline storage is never moved.
std::expected<void, PyErr> extract_length_vector(PyObject* object, std::string_view name,
                                                 LengthVector& lengths);

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
