// What the live-delivery benchmarks share: the daemon as a child process on a private socket
// (optionally fed from a record FIFO), its figures from /proc (CPU, peak memory, threads) and
// its state dump, record streams of content changes with distinct paths, the paced FIFO
// writer, and the per-stream counters a batch callback fills.
//
// These programs expect to run inside the scratch root that bench/live_delivery.sh builds: the
// daemon creates its files at the root of the root volume it sees, which must never be the
// machine's own "/".
#pragma once

#include "vantles/stream.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// The daemon child. Paths are as this process (and the daemon) see them.
struct live_daemon {
    std::string binary;  // the daemon's executable
    std::string socket;  // VANTLESD_SOCKET
    std::string log;     // its standard error ("-d" copies the log there)
    std::string fifo;    // VANTLESD_DEVICE, empty for the real event source
    pid_t pid = -1;
};

// Starts the daemon with "-d" and waits until it answers a current-event-id request (which
// waits for its event machinery). 0 or an errno value; the reason is printed.
int live_daemon_start(live_daemon* d);

// SIGTERM, up to 5 s for the exit, then SIGKILL. Nothing when not running.
void live_daemon_stop(live_daemon* d);

// The daemon's standard error so far.
std::string live_daemon_log(const live_daemon& d);

// Sends SIGUSR1 and returns the "pending events" count of the dump it causes, or -1 when
// none appeared within timeout_ms.
long live_daemon_pending_events(const live_daemon& d, int timeout_ms);

// The daemon's current event id, 0 when it did not answer.
uint64_t live_current_event_id(const live_daemon& d);

// CPU seconds (user + system) of a process; -1 when unreadable.
double proc_cpu_seconds(pid_t pid);

// A "Vm..." field of /proc/PID/status in KiB ("VmHWM", "VmRSS"); -1 when unreadable.
long proc_status_kib(pid_t pid, const char* field);

// CPU seconds per thread of a process, by thread id.
struct thread_cpu {
    pid_t tid;
    double seconds;
};
std::vector<thread_cpu> proc_thread_cpu(pid_t pid);

// "Used by the busiest threads" text: the threads whose CPU grew most between two snapshots,
// as percentages of the interval, e.g. "t+1 92%, t+2 31%, 3 others 12%" (t+N: the thread whose
// id is the main one's plus N; in the daemon t+1 is the event thread, and the producer and the
// first delivery threads follow).
std::string busiest_threads(pid_t pid, const std::vector<thread_cpu>& before,
                            const std::vector<thread_cpu>& after, double seconds);

// Sets nice to every thread of the process whose nice value is 0 now (the daemon's delivery
// threads, once their clients are registered); for analysis. Returns how many it changed.
int renice_default_threads(pid_t pid, int nice);

// The three load averages, "1.02 0.87 0.64".
std::string load_average();

// A stream of raw records, each a content change of a regular file: header, path, file info,
// terminator. ends[k] is the end offset of record k.
struct record_stream {
    std::vector<char> bytes;
    std::vector<size_t> ends;
};

void append_modified_record(record_stream* s, const char* path, uint32_t dev, uint64_t inode);

// The 32-bit device number of the volume holding path (as the daemon encodes it); 0 on error.
uint32_t volume_dev32(const char* path);

// Makes the FIFO (removing whatever was there) and sets nothing else up. 0 or errno.
int make_fifo(const char* path);

// Opens the FIFO for writing once its reader (the daemon) has it open, waiting up to
// timeout_ms, and enlarges its buffer to pipe_bytes. Blocking writes. fd or -1.
int open_fifo_writer(const char* path, int pipe_bytes, int timeout_ms);

// Writes records [0, s.ends.size()) at `rate` records per second, a slice every slice_seconds,
// with blocking writes (so a reader that falls behind slows the writer). rate 0: as fast as
// the pipe takes them. The calling thread runs real-time (SCHED_FIFO) meanwhile, so that other
// load cannot bunch the stream up. Returns the seconds the writing took, or -1 on a write error.
// *oversleep (when not null) gets the longest time the writer woke late from its sleep
// between slices: a real-time thread that is late was kept off the CPU by the machine itself
// (other real-time work, the hypervisor), which every other thread suffers too.
double write_paced(int fd, const record_stream& s, double rate, double slice_seconds = 0.001,
                   double* oversleep = nullptr);

// Counters of one stream, filled by its batch callback (one receiving thread at a time).
struct stream_counter {
    std::atomic<uint64_t> events{0};          // change events (not notices)
    std::atomic<uint64_t> user_dropped{0};    // events-dropped notices
    std::atomic<uint64_t> kernel_dropped{0};  // kernel-dropped notices
    std::atomic<uint64_t> first_dropped_id{0};
    std::atomic<uint64_t> out_of_order{0};  // an id not above the one before it
    std::atomic<double> last_receive{0};    // monotonic seconds of the last batch
    uint64_t last_id = 0;
    // With received set: one flag per record index, from the number after the path's last
    // "/f", and the ids of every events-dropped notice.
    std::vector<uint8_t>* received = nullptr;
    std::vector<uint64_t> dropped_ids;
    // Ids of events, indexed like received (when received is set).
    std::vector<uint64_t>* ids = nullptr;
    // Not 0: the nice value the receiving thread takes at its first batch.
    int thread_nice = 0;
    bool niced = false;
};

// Sets the calling thread's nice value (Linux: per thread).
void set_thread_nice(int nice);

// The batch callback for a stream_counter context.
void count_batch(void* ctx, std::span<const vantles_event> events);

// A started stream on the daemon's socket; null with the reason printed on failure.
vantles_stream* open_stream(const live_daemon& d, const std::vector<std::string>& paths,
                            uint64_t latency_us, uint32_t flags, vantles_batch_callback callback,
                            void* ctx);

// Monotonic seconds (bench_clock.h) and sleeping.
void sleep_seconds(double seconds);
