// The move-only owner of one strong object reference, released through release_reference.
#pragma once

#include "interface/attach.hpp"

#include <Python.h>

#include <utility>

namespace corvane {

/// Owns one strong reference (or nothing) and drops it through `release_reference`, so a release
/// while detached is deferred rather than done without the interpreter lock.
class Owned {
  public:
    /// An empty owner.
    Owned() noexcept = default;
    /// Takes over a new reference, which may be null.
    explicit Owned(PyObject* steal) noexcept : object_(steal) {}
    /// Takes a new reference to a non-null object and owns it. Caller attached.
    static Owned borrow(PyObject* object) noexcept {
        Py_INCREF(object);
        return Owned(object);
    }

    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    /// Takes over the other owner's reference, leaving it empty.
    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    /// Drops the current reference, then takes over the other owner's.
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    /// Drops the reference, if any.
    ~Owned() { reset(); }

    /// The owned object, still owned; null when empty.
    PyObject* get() const noexcept { return object_; }
    /// Gives up ownership and returns the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    /// Drops the reference now and becomes empty.
    void reset() noexcept {
        if (PyObject* object = std::exchange(object_, nullptr)) release_reference(object);
    }
    /// Whether a reference is owned.
    explicit operator bool() const noexcept { return object_ != nullptr; }

  private:
    PyObject* object_ = nullptr;
};

} // namespace corvane
