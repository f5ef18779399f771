#pragma once

// Interruption of long waits: a check that the core calls while it waits on the file system (a
// lock held by another, a pipe no one reads, a system call that a signal interrupted), so that the
// program embedding the core can end the wait, e.g. on Ctrl-C.

namespace vorna {

// A check that returns to go on waiting, or throws to end the wait: the exception leaves the call
// that waited as a failure of that call would.
using InterruptCheck = void (*)();

// Installs the check (nullptr, the default: none); the last installed is called.
void set_interrupt_check(InterruptCheck check);

// Calls the installed check, if any; whatever it throws goes to the caller.
void check_interrupt();

}  // namespace vorna
