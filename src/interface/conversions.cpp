// Conversion of the function's arguments into native values and of its result into a list.
#include "interface/conversions.hpp"

#include "interface/object_text.hpp"
#include "interface/once.hpp"
#include "panic.hpp"

#include <bit>
#include <new>
#include <string>

namespace corvane {

PyErr not_text_failure(PyObject* object) {
    return cast_failure(object, reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

std::uint64_t wide_utf8_length(const TextView& text) noexcept {
    return with_code_points(text, [&](const auto* points) {
        return counted_utf8_length(points, text.length).value_or(detail::k_no_utf8_form);
    });
}

std::expected<void, PyErr> surrogate_failure(PyObject* object, TextView& text) {
    // A surrogate has no UTF-8 form: the interpreter's own encoder fails on it and raises its
    // own UnicodeEncodeError, with nothing cached.
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(object, &size) == nullptr)
        return std::unexpected(PyErr::fetch_pending());
    text.utf8_bytes = static_cast<std::uint64_t>(size);
    return {};
}

std::expected<std::uint64_t, PyErr> extract_u64(PyObject* object) {
    unsigned long long value;
    if (PyLong_Check(object)) [[likely]] {
        // Small non-negative ints are read in place, without a call into the interpreter.
        if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) [[likely]] {
            const Py_ssize_t compact =
                PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
            if (compact >= 0) [[likely]]
                return static_cast<std::uint64_t>(compact);
        }
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        Owned index(PyNumber_Index(object));
        if (!index) return std::unexpected(PyErr::fetch_pending());
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    // All ones is also a valid value; it means failure only with an exception pending.
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return std::unexpected(PyErr::fetch_pending());
    return value;
}

namespace {

/// Appends the qualified name of `type`, or a placeholder when it cannot be read.
void append_type_name(PyObject* type, std::string& sink) {
    if (Owned name{PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type))}) {
        append_lossy_text(name.get(), sink);
    } else {
        PyErr::fetch_pending();
        sink += "<failed to extract type name>";
    }
}

/// The refused object's type and the target type (or, where the type object is unavailable, its
/// qualified name), until the message is built from them.
struct CastFailure {
    Owned source_type;
    Owned target;
    std::string_view target_name;
};

/// Sequences reserve their reported size at once. A size the heap cannot supply (a lying
/// __len__, or range(2**40)) is not an error: the vector grows as the items really arrive.
void reserve_for_hint(LengthVector& vector, Py_ssize_t hint) {
    if (static_cast<std::uint64_t>(hint) >= (std::uint64_t{1} << 60))
        panic_static("capacity overflow");
    try {
        vector.reserve(static_cast<std::size_t>(hint));
    } catch (const std::bad_alloc&) {
    }
}

/// Exact lists and tuples are read in place: iterating them would yield the same items, since
/// neither their length nor their iteration can be overridden. The size is re-read at every step
/// because an item's __index__ may change a list.
std::expected<void, PyErr> collect_listed_lengths(PyObject* object, LengthVector& lengths) {
    const bool is_list = PyList_CheckExact(object);
    const auto size = [object, is_list] {
        return is_list ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object);
    };
    if (static_cast<std::size_t>(size()) > lengths.capacity()) reserve_for_hint(lengths, size());
    for (Py_ssize_t k = 0; k < size(); ++k) {
        PyObject* borrowed = is_list ? PyList_GET_ITEM(object, k) : PyTuple_GET_ITEM(object, k);
        // An exact int is read without running any code, so it needs no reference of its own.
        if (const Py_ssize_t value = plain_length(borrowed); value >= 0) [[likely]] {
            lengths.push_back(static_cast<std::uint64_t>(value));
            continue;
        }
        // Anything else may run __index__, which may change the list: hold the item meanwhile.
        Owned item = Owned::borrow(borrowed);
        std::expected<std::uint64_t, PyErr> value = extract_u64(item.get());
        if (!value) [[unlikely]]
            return std::unexpected(std::move(value.error()));
        lengths.push_back(*value);
    }
    return {};
}

std::expected<void, PyErr> collect_iterated_lengths(PyObject* object, LengthVector& lengths) {
    Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0) {
        PyErr::fetch_pending();
        hint = 0;
    }
    reserve_for_hint(lengths, hint);
    Owned iterator(PyObject_GetIter(object));
    if (!iterator) return std::unexpected(PyErr::fetch_pending());
    while (Owned item{PyIter_Next(iterator.get())}) {
        std::expected<std::uint64_t, PyErr> value = extract_u64(item.get());
        if (!value) return std::unexpected(std::move(value.error()));
        lengths.push_back(*value);
    }
    if (PyErr_Occurred()) return std::unexpected(PyErr::fetch_pending());
    return {};
}

std::expected<void, PyErr> collect_lengths(PyObject* object, LengthVector& lengths) {
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) [[likely]]
        return collect_listed_lengths(object, lengths);
    return collect_iterated_lengths(object, lengths);
}

} // namespace

namespace {

PyErr non_sequence_failure(PyObject* object);

std::expected<void, PyErr> unwrapped_length_vector(PyObject* object, LengthVector& lengths) {
    // Exact lists and tuples are sequences and not str: the checks below would pass.
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) [[likely]]
        return collect_listed_lengths(object, lengths);
    // A str is never taken as a sequence of characters.
    if (PyUnicode_Check(object)) [[unlikely]]
        return std::unexpected(
            PyErr::new_lazy(ExceptionKind::type_error, "Can't extract `str` to `Vec`"));
    if (PySequence_Check(object) == 0) [[unlikely]]
        return std::unexpected(non_sequence_failure(object));
    return collect_lengths(object, lengths);
}

} // namespace

std::expected<void, PyErr> extract_any_length_vector(PyObject* object, std::string_view name,
                                                     LengthVector& lengths) {
    std::expected<void, PyErr> collected = unwrapped_length_vector(object, lengths);
    if (!collected) [[unlikely]]
        return std::unexpected(wrap_argument_error(name, std::move(collected.error())));
    return {};
}

namespace {

PyErr cast_failure_of(CastFailure failure) {
    return PyErr::from_builder([failure = std::move(failure)]() -> RaisableParts {
        std::string message = "'";
        append_type_name(failure.source_type.get(), message);
        message += "' object cannot be cast as '";
        if (failure.target)
            append_type_name(failure.target.get(), message);
        else
            message += failure.target_name;
        message += "'";
        Owned text(
            PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
        if (!text) fail_after_api_error();
        return {Owned::borrow(PyExc_TypeError), std::move(text)};
    });
}

} // namespace

PyErr cast_failure(PyObject* object, PyObject* target_type) {
    return cast_failure_of({Owned::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))),
                            Owned::borrow(target_type),
                            {}});
}

PyErr wrap_argument_error(std::string_view name, PyErr error) {
    if (error.exception_type().get() != PyExc_TypeError) return error;
    std::string message = "argument '";
    message += name;
    message += "': ";
    display_object(error.instance(), message);
    PyErr replacement = PyErr::new_lazy(ExceptionKind::type_error, std::move(message));
    replacement.instance();
    replacement.attach_cause(error.read_cause());
    return replacement;
}

namespace {

InterpreterOnceCell<PyObject*> sequence_abc_cell;

std::expected<PyObject*, PyErr> import_sequence_abc() {
    Owned module_name(PyUnicode_FromStringAndSize("collections.abc", 15));
    if (!module_name) fail_after_api_error();
    Owned module(PyImport_Import(module_name.get()));
    if (!module) return std::unexpected(PyErr::fetch_pending());
    Owned sequence(PyObject_GetAttrString(module.get(), "Sequence"));
    module.reset();
    if (!sequence) return std::unexpected(PyErr::fetch_pending());
    if (!PyType_Check(sequence.get()))
        return std::unexpected(
            cast_failure(sequence.get(), reinterpret_cast<PyObject*>(&PyType_Type)));
    return sequence.release();
}

/// The refusal of a non-sequence. While the interpreter shuts down its import system is torn down
/// and collections.abc may no longer be importable; the refusal then names Sequence by its
/// qualified name, so that the caller still gets the usual TypeError, and a later refusal tries
/// the import again.
PyErr non_sequence_failure(PyObject* object) {
    auto cached = sequence_abc_cell.get_or_try_init(import_sequence_abc);
    if (cached) return cast_failure(object, cached->get());
    if (Py_IsFinalizing() == 0)
        panic("called `Result::unwrap()` on an `Err` value: " + cached.error().debug());
    return cast_failure_of(
        {Owned::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))), Owned(), "Sequence"});
}

} // namespace

PyObject* sequence_abc_type() {
    auto cached = sequence_abc_cell.get_or_try_init(import_sequence_abc);
    if (!cached) panic("called `Result::unwrap()` on an `Err` value: " + cached.error().debug());
    return cached->get();
}

Owned doubles_to_list(const LengthVector& doubles) {
    Owned list(PyList_New(static_cast<Py_ssize_t>(doubles.size())));
    if (!list) fail_after_api_error();
    for (std::size_t k = 0; k < doubles.size(); ++k) {
        PyObject* item = PyFloat_FromDouble(std::bit_cast<double>(doubles[k]));
        if (item == nullptr) fail_after_api_error();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list;
}

} // namespace corvane
