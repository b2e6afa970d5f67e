#pragma once

#include <signal.h>
#include <spawn.h>

namespace corvane::test {

// A program started by a test gets the signals as from a terminal's
// foreground, also when the tests were started in the background by a shell,
// where Ctrl+C and Quit are ignored and stay so across exec (so a Ctrl+C the
// test sends would be lost). `flags` are further spawn flags.
inline void SignalsAsFromATerminal(posix_spawnattr_t& attributes, short flags = 0) {
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, flags | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

}  // namespace corvane::test
