// Process entry: opens the system log, checks in the service port, builds the port set the
// requests arrive on, starts the event thread and turns the main thread into the request
// server for the life of the process. The process only ever ends here with status 1: the
// server loop returns only on failure (shutdown happens on the event thread).
#include "common/thread_role.h"
#include "server/server.h"
#include "server/settings.h"
#include "server/wiring.h"

#include "common/log.h"
#include "intake/event_thread.h"
#include "platform/descriptor_limit.h"
#include "platform/kernel_device.h"
#include "platform/port.h"
#include "platform/service_manager.h"
#include "platform/signal_watch.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/socket.h>
#include <syslog.h>

namespace {

void store_event_source(int fd) {
    int err = service_store_fd(fd, SERVICE_FD_EVENT_SOURCE);
    if (err != 0) {
        log_error("%s: could not store the event source: %s", "main", strerror(err));
    }
}

// Under a service manager: the activated socket, and the event source the previous daemon
// left in the descriptor store (its kernel queue holds the changes made while no daemon ran);
// a new event source is stored for the next start.
void take_service_descriptors() {
    service_take_passed_fds();
    int listener = service_claim_listener(SOCK_SEQPACKET);
    if (listener >= 0) {
        bootstrap_use_listener(listener);
    }
    int source = service_claim_fd(SERVICE_FD_EVENT_SOURCE);
    if (source >= 0) {
        kernel_device_adopt_fanotify(source);
    }
    kernel_device_on_new_fanotify(store_event_source);
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer does not see inside the dynamic loader: the thread-local storage of a library
// the C library loads itself (the passwd lookups of the delivery threads load NSS modules) is
// freed at one thread's exit and reused at another's first use, which it takes for a race.
extern "C" const char* __tsan_default_suppressions() {
    return "race:_dl_deallocate_tls\n";
}
#endif

int main(int argc, char** argv) {
    // Exactly one argument "-d" copies the log to standard error; anything else is ignored.
    int options =
        argc == 2 && strcmp(argv[1], "-d") == 0 ? LOG_OPTIONS_STDERR : LOG_OPTIONS_DEFAULT;
    log_open(program_invocation_short_name, options);

    int limit_err = raise_descriptor_limit();
    if (limit_err != 0) {
        log_error("%s: could not raise the descriptor limit: %s", "main", strerror(limit_err));
    }
    apply_environment_settings();

    take_service_descriptors();
    kern_return_t rc = bootstrap_check_in(VANTLESD_SERVICE_NAME, &server.f2d_public_port);
    if (rc != KERN_SUCCESS) {
        log_critical("%s: ERROR: bootstrap_check_in() => %s (%d)", "main", bootstrap_strerror(rc),
                     rc);
        exit(1);
    }
    rc = mach_port_allocate(MACH_PORT_RIGHT_PORT_SET, &server.server_port_set);
    if (rc != KERN_SUCCESS) {
        log_critical("%s: ERROR: mach_port_allocate(&server_port_set) => %s (%d)", "main",
                     mach_error_string(rc), rc);
        exit(1);
    }
    rc = mach_port_move_member(server.f2d_public_port, server.server_port_set);
    if (rc != KERN_SUCCESS) {
        log_critical(
            "%s: ERROR: mach_port_move_member(f2d_public_port -> server_port_set) => "
            "%s (%d)",
            "main", mach_error_string(rc), rc);
        exit(1);
    }

    // SIGUSR1 asks for a state dump, which a watcher thread takes from a signalfd: blocked
    // here, before any other thread exists, so that every thread inherits the block.
    signal_block(SIGUSR1);

    // Joinable, never joined: the event thread ends the process itself at shutdown, and a
    // failed start-up leaves the request server running (requests then time out waiting).
    connect_layers();
    pthread_t event_thread_id;
    int err = pthread_create(&event_thread_id, nullptr, implementation_event_thread, nullptr);
    if (err != 0) {
        log_critical("%s: ERROR: pthread_create() => %d", "main", err);
        exit(1);
    }

    thread_role_set(THREAD_ROLE_SERVER);
    rc = mach_msg_server(server_demux, VANTLES_MAX_REQUEST_SIZE, server.server_port_set,
                         MACH_RCV_TRAILER_AUDIT_OPTIONS);
    if (rc == KERN_SUCCESS) {
        closelog();
    } else {
        log_critical("%s: ERROR: mach_msg_server() => %s (%d)", "main", mach_error_string(rc), rc);
    }
    exit(1);
}
