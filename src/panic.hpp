// The panic type: how internal failures abandon a computation, and the report they write.
#pragma once

#include <source_location>
#include <string>
#include <string_view>
#include <variant>

namespace corvane {

/// What a panic carries to the entry that catches it: owned text, static text, or nothing textual
/// (a failure whose cause could not be described).
using PanicPayload = std::variant<std::string, const char*, std::monostate>;

/// The one exception type for internal failures. Deliberately not derived from std::exception, so
/// that no generic handler can swallow it on its way to an entry.
class Panic {
  public:
    explicit Panic(PanicPayload payload) : payload_(std::move(payload)) {}
    const PanicPayload& payload() const noexcept { return payload_; }
    PanicPayload take_payload() noexcept { return std::move(payload_); }

  private:
    PanicPayload payload_;
};

/// Writes the panic report for `message` to standard error, then throws a Panic carrying it.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

/// As `panic`, for static text that needs no copy.
[[noreturn]] void panic_static(const char* message,
                               std::source_location where = std::source_location::current());

/// Continues unwinding with `message` without writing a second report (the failure was reported
/// where it first happened).
[[noreturn]] void resume_panic(std::string message);

/// Writes the report of a panic: thread name, source location, message, then the backtrace
/// note or, when CORVANE_BACKTRACE asks for it, the frames.
void write_panic_report(std::string_view message, std::source_location where) noexcept;

/// Reports `message` and a failure that cannot unwind any further, then aborts the process.
[[noreturn]] void
abort_with_report(std::string_view message, std::string_view reason,
                  std::source_location where = std::source_location::current()) noexcept;

} // namespace corvane
