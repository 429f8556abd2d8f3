// Interned attribute names, created once per process on first use.
#pragma once

#include "interface/once.hpp"

#include <Python.h>

#include <string_view>

namespace corvane {

/// A fixed ASCII name kept as an interned str for the life of the process.
class InternedName {
  public:
    explicit constexpr InternedName(std::string_view text) noexcept : text_(text) {}
    /// The interned str (borrowed); caller attached. Inline, since keyword binding compares
    /// each keyword against these.
    PyObject* get() {
        if (PyObject* const* made = cell_.get()) [[likely]]
            return *made;
        return make();
    }

  private:
    [[gnu::cold]] PyObject* make();

    std::string_view text_;
    InterpreterOnceCell<PyObject*> cell_;
};

} // namespace corvane
