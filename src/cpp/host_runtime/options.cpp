#include "options.h"

#include "runtime_state.h"
#include "streams.h"
#include "testing.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace nolith_host {

namespace {

[[noreturn]] void bad_value(const char* variable, const char* value, const char* allowed) {
    std::fprintf(stderr, "nolith host runtime: %s=%s is not one of %s\n", variable, value, allowed);
    std::fflush(stderr);
    std::abort();
}

// A misspelt checking mode must not silently run unchecked: unknown values abort.
Options from_environment() {
    Options o;
    if (const char* v = std::getenv("NOLITH_HOST_STREAMS"); v && *v) {
        if (!std::strcmp(v, "deferred")) {
            o.streams = StreamMode::Deferred;
        } else if (std::strcmp(v, "immediate") != 0) {
            bad_value("NOLITH_HOST_STREAMS", v, "immediate, deferred");
        }
    }
    if (const char* v = std::getenv("NOLITH_HOST_SCHEDULE"); v && *v) {
        bool known = false;
        for (SchedulePolicy p : {SchedulePolicy::RoundRobin, SchedulePolicy::Reverse, SchedulePolicy::Warp,
                                 SchedulePolicy::WarpReverse}) {
            if (!std::strcmp(v, schedule_name(p))) {
                o.schedule = p;
                known = true;
            }
        }
        if (!known) bad_value("NOLITH_HOST_SCHEDULE", v, "round-robin, reverse, warp, warp-reverse");
    }
    if (const char* v = std::getenv("NOLITH_HOST_POISON"); v && *v) {
        char* end = nullptr;
        const unsigned long byte = std::strtoul(v, &end, 16);
        if (*end || byte > 0xFF) bad_value("NOLITH_HOST_POISON", v, "one hexadecimal byte (ff, 7f, ...)");
        o.poison = static_cast<unsigned char>(byte);
    }
    return o;
}

Options& current() {
    static Options o = from_environment();
    return o;
}

}  // namespace

const Options& options() { return current(); }

const char* schedule_name(SchedulePolicy policy) {
    switch (policy) {
        case SchedulePolicy::RoundRobin: return "round-robin";
        case SchedulePolicy::Reverse: return "reverse";
        case SchedulePolicy::Warp: return "warp";
        case SchedulePolicy::WarpReverse: return "warp-reverse";
    }
    return "?";
}

namespace testing {

void set_stream_mode(StreamMode mode) {
    // Work queued under the old mode runs first, as a device synchronisation would.
    for (int d = 0; d < kDeviceCount; ++d) synchronize_device(d);
    current().streams = mode;
}

void set_schedule(SchedulePolicy policy) { current().schedule = policy; }

void set_poison(unsigned char byte) { current().poison = byte; }

void restore_options() {
    const Options chosen = from_environment();
    set_stream_mode(chosen.streams);
    current() = chosen;
}

}  // namespace testing

}  // namespace nolith_host
