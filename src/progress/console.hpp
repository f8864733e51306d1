// Where the console lines of training go (progress lines, the batch-size
// warning, the operators' failure lines): C stdout, unflushed, unless the
// caller installs a sink for the lines written on its thread.
#pragma once

#include <string_view>

namespace tessavo {

using ConsoleSink = void (*)(void* context, std::string_view text);

// Writes text to the current thread's sink, or with printf("%s") to C stdout.
void console_write(std::string_view text);

// Installs a sink for the current thread while alive; the previous one
// comes back on destruction.
class ConsoleRedirect {
public:
    ConsoleRedirect(ConsoleSink sink, void* context);
    ~ConsoleRedirect();
    ConsoleRedirect(const ConsoleRedirect&) = delete;
    ConsoleRedirect& operator=(const ConsoleRedirect&) = delete;

private:
    ConsoleSink previous_sink_;
    void* previous_context_;
};

}  // namespace tessavo
