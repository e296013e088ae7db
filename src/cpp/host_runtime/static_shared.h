#pragma once
// Static __shared__ variables. host_runtime.h declares a guard right before
// each of them, which the compiler places right behind the variable. The
// guards' symbols name the variables, so the runtime finds every static
// shared variable of the module in its symbol table: at each block start it
// poisons them all and fills their guards, at each block end it checks that
// the guards are intact. A module without a symbol table (a stripped build)
// runs unchecked.

#include <string>

namespace nolith_host {

struct SharedGuard {
    unsigned char bytes[64];
};

namespace static_shared {

// Poisons every static shared variable of this OS thread and refills the guards.
void begin_block();

// The variable whose guard a kernel wrote to since begin_block(), with the
// guard filled again; empty when every guard is intact.
std::string overrun_variable();

// Whether static shared variables were found (false in a stripped module).
bool checked();

}  // namespace static_shared

}  // namespace nolith_host
