// The entry frame's cold paths: payload conversion, the boundary trap and foreign exceptions.
#include "interface/panic_translation.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace corvane {

PyErr panic_to_error(PanicPayload payload) {
    if (auto* owned = std::get_if<std::string>(&payload))
        return PyErr::new_lazy(ExceptionKind::panic_exception, std::move(*owned));
    if (auto* fixed = std::get_if<const char*>(&payload))
        return PyErr::new_lazy(ExceptionKind::panic_exception, std::string(*fixed));
    return PyErr::new_lazy(ExceptionKind::panic_exception,
                           "panic from native code with a payload that is not text");
}

void BoundaryTrap::fire() const noexcept {
    abort_with_report(message_, "panic in a function that cannot unwind");
}

void abort_on_foreign_exception() noexcept {
    std::string_view what = "an exception of unknown type";
    try {
        throw;
    } catch (const std::exception& error) {
        what = error.what();
    } catch (...) {
    }
    std::fprintf(stderr,
                 "fatal runtime error: a foreign exception reached the corvane entry (%.*s), "
                 "aborting\n",
                 static_cast<int>(what.size()), what.data());
    std::fflush(stderr);
    std::abort();
}

} // namespace corvane
