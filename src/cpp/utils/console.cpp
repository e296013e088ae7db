#include "utils/console.h"

#include <atomic>
#include <cstdio>

namespace nolith_cuda {

namespace {
std::atomic<bool> console_enabled{true};
}  // namespace

void console_line(ConsoleStream stream, const char* line) noexcept {
    if (!console_enabled.load(std::memory_order_relaxed)) return;
    std::FILE* to = stream == ConsoleStream::Out ? stdout : stderr;
    std::fprintf(to, "%s\n", line);
    std::fflush(to);
}

bool set_console_output(bool enabled) noexcept { return console_enabled.exchange(enabled); }

}  // namespace nolith_cuda
