// The panic report on standard error and the throwing of panics.
#include "panic.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <pthread.h>
#include <string>
#include <unistd.h>

namespace corvane {
namespace {

// Threads that were never named carry the process's own name; they are reported as unnamed.
std::string current_thread_name() {
    if (::gettid() == ::getpid()) return "main";
    char name[64] = {};
    char process_name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0')
        return "<unnamed>";
    if (FILE* comm = std::fopen("/proc/self/comm", "r")) {
        if (std::fgets(process_name, sizeof process_name, comm))
            process_name[std::strcspn(process_name, "\n")] = '\0';
        std::fclose(comm);
    }
    if (std::strcmp(name, process_name) == 0) return "<unnamed>";
    return name;
}

enum class BacktraceStyle { off, short_form, full };

BacktraceStyle requested_backtrace() {
    const char* value = std::getenv("CORVANE_BACKTRACE");
    if (value == nullptr || std::strcmp(value, "0") == 0 || value[0] == '\0')
        return BacktraceStyle::off;
    return std::strcmp(value, "full") == 0 ? BacktraceStyle::full : BacktraceStyle::short_form;
}

void write_backtrace(BacktraceStyle style) {
    void* frames[128];
    const int count = ::backtrace(frames, 128);
    std::fputs("stack backtrace:\n", stderr);
    // The short form leaves out the frames of the report machinery itself.
    const int first = style == BacktraceStyle::full ? 0 : 2;
    char** symbols = ::backtrace_symbols(frames, count);
    for (int i = first; i < count; ++i) {
        if (symbols != nullptr)
            std::fprintf(stderr, "  %2d: %s\n", i - first, symbols[i]);
        else
            std::fprintf(stderr, "  %2d: %p\n", i - first, frames[i]);
    }
    std::free(symbols); // NOLINT: backtrace_symbols hands over malloc'ed storage
}

} // namespace

void write_panic_report(std::string_view message, std::source_location where) noexcept {
    try {
        const std::string thread = current_thread_name();
        std::fprintf(stderr, "\nthread '%s' panicked at %s:%u:%u:\n%.*s\n", thread.c_str(),
                     where.file_name(), static_cast<unsigned>(where.line()),
                     static_cast<unsigned>(where.column()), static_cast<int>(message.size()),
                     message.data());
        const BacktraceStyle style = requested_backtrace();
        if (style == BacktraceStyle::off)
            std::fputs("note: run with `CORVANE_BACKTRACE=1` environment variable to display a "
                       "backtrace\n",
                       stderr);
        else
            write_backtrace(style);
        std::fflush(stderr);
    } catch (...) {
        // The report is best effort; the failure itself still unwinds.
    }
}

void panic(std::string message, std::source_location where) {
    write_panic_report(message, where);
    throw Panic(PanicPayload(std::move(message)));
}

void panic_static(const char* message, std::source_location where) {
    write_panic_report(message, where);
    throw Panic(PanicPayload(message));
}

void resume_panic(std::string message) {
    throw Panic(PanicPayload(std::move(message)));
}

void abort_with_report(std::string_view message, std::string_view reason,
                       std::source_location where) noexcept {
    write_panic_report(message, where);
    std::fprintf(stderr, "%.*s\nthread caused non-unwinding panic. aborting.\n",
                 static_cast<int>(reason.size()), reason.data());
    std::fflush(stderr);
    std::abort();
}

} // namespace corvane
