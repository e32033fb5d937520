#pragma once
// What a program we start inherits of our signals: nothing. A caller that blocks or catches
// signals for itself (a batch run that writes its reports on SIGTERM, a host's own handlers)
// must not hand that to a module or a helper, which then could not be stopped or would not
// see its pipes close.
#include <signal.h>
#include <spawn.h>

namespace kestrel {

// Sets attributes to start the child with no signal blocked and the usual ones at their
// defaults; flags: further POSIX_SPAWN_* flags of the caller's own.
inline void SpawnWithOwnSignals(posix_spawnattr_t& attributes, short flags = 0) {
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, number);
    posix_spawnattr_setflags(&attributes, static_cast<short>(flags | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
}

} // namespace kestrel
