// Signals handled on a thread of the daemon's own instead of in a signal handler: the signal
// is blocked in every thread and a watcher thread reads it from a signalfd, so its handler
// may take locks and allocate.
#pragma once

// Blocks signo in the calling thread; threads it creates afterwards inherit the block. The
// process's first thread calls it before it starts any other, so that no thread can take the
// signal's default action. 0 or an errno value.
int signal_block(int signo);

// Starts a detached thread, at background priority, that calls handler(signo) once for every
// batch of deliveries of signo (deliveries pending together are merged). signo must be
// blocked in every thread. 0 or an errno value.
int signal_watch_start(int signo, void (*handler)(int signo));
