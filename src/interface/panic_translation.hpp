// The entry frame: where panics become PanicException and nothing unwinds into the interpreter.
#pragma once

#include "interface/attach.hpp"
#include "interface/error.hpp"
#include "panic.hpp"

#include <Python.h>

#include <expected>
#include <new>
#include <optional>

namespace corvane {

/// A lazy PanicException carrying the payload's text (or a fixed text for a non-text payload).
PyErr panic_to_error(PanicPayload payload);

/// Armed for the whole of an entry: whatever reaches it ends the process with a report, since
/// unwinding into the interpreter is never allowed.
class BoundaryTrap {
  public:
    void disarm() noexcept { armed_ = false; }
    [[noreturn]] void fire() const noexcept;

  private:
    const char* message_ = "uncaught panic at ffi boundary";
    bool armed_ = true;
};

/// Aborts after an exception that is not one of our panics reached an entry's catch.
[[noreturn]] void abort_on_foreign_exception() noexcept;

/// Runs `body` (returning std::expected<Owned, PyErr>) as an interpreter entry: the result's
/// reference is returned; an error or a caught panic is made pending and null is returned.
template <class Body>
PyObject* run_entry(Body&& body) noexcept {
    BoundaryTrap trap;
    try {
        AttachScope attached = AttachScope::assume();
        std::optional<std::expected<Owned, PyErr>> outcome;
        std::optional<Panic> caught;
        bool out_of_memory = false;
        try {
            outcome.emplace(body());
        } catch (Panic& failure) {
            caught.emplace(std::move(failure));
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        } catch (...) {
            abort_on_foreign_exception();
        }
        PyObject* result = nullptr;
        if (caught)
            panic_to_error(caught->take_payload()).set_pending();
        else if (out_of_memory)
            PyErr_NoMemory();
        else if (*outcome)
            result = (*outcome)->release();
        else
            std::move(outcome->error()).set_pending();
        outcome.reset();
        trap.disarm();
        return result;
    } catch (const std::bad_alloc&) {
        // Memory ran out while an error was being raised: still an exception, never an abort.
        PyErr_NoMemory();
        return nullptr;
    } catch (...) {
        trap.fire();
    }
}

} // namespace corvane
