#include "progress/console.hpp"

#include <cstdio>
#include <string>

namespace tessavo {

namespace {

// Per thread: a call that redirects its lines does not capture another
// thread's training.
thread_local ConsoleSink current_sink = nullptr;
thread_local void* current_context = nullptr;

}  // namespace

void console_write(std::string_view text) {
    if (text.empty()) return;
    if (current_sink) {
        current_sink(current_context, text);
        return;
    }
    const std::string line(text);
    std::printf("%s", line.c_str());
}

ConsoleRedirect::ConsoleRedirect(ConsoleSink sink, void* context)
    : previous_sink_(current_sink), previous_context_(current_context) {
    current_sink = sink;
    current_context = context;
}

ConsoleRedirect::~ConsoleRedirect() {
    current_sink = previous_sink_;
    current_context = previous_context_;
}

}  // namespace tessavo
