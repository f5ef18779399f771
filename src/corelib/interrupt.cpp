#include "corelib/interrupt.h"

#include <atomic>

namespace vorna {

namespace {
std::atomic<InterruptCheck> installed{nullptr};
}  // namespace

void set_interrupt_check(InterruptCheck check) { installed.store(check); }

void check_interrupt() {
    if (const InterruptCheck check = installed.load()) check();
}

}  // namespace vorna
