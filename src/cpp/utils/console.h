#pragma once
// The one way the engine prints: factory banners on standard output and
// runtime-error reports on standard error, one whole line per call. Tests and
// benchmarks that provoke either may switch printing off from Python
// (nolith_module._set_console_output); the texts themselves never change.

namespace nolith_cuda {

enum class ConsoleStream { Out, Err };

// Writes `line` and a newline to the stream and flushes it, unless printing
// is switched off.
void console_line(ConsoleStream stream, const char* line) noexcept;

// Switches printing on or off for the whole process; returns the old setting.
bool set_console_output(bool enabled) noexcept;

}  // namespace nolith_cuda
