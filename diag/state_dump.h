// The operator's view of the daemon's clients: on SIGUSR1 every live client (its process,
// flags, position in the event stream, watched and excluded paths) goes to the system log,
// one message per line.
#pragma once

// Writes the dump when signo is SIGUSR1; any other signal number does nothing. Runs on the
// signal watcher thread, never in a signal handler: it takes clients_lock.
void state_dump(int signo);

// Starts the watcher thread that runs state_dump for every SIGUSR1. SIGUSR1 must already be
// blocked in every thread. 0 or an errno value.
int state_dump_start();
