// The disk logger: what the daemon's internal client does to turn the live event stream into
// the volumes' histories (the client itself is made by the delivery side, clients/). Its delivery callback add_fname merges each event into its volume's
// table of pending names (history/fname_table.h); a volume with DISK_LOGGER_FLUSH_NAMES
// pending names, and every volume at shutdown, is flushed: the names, sorted, packed into log
// buffers and written by the log file writer.
//
// Lock order: dev_lock, then a dls's lock, then its fname_lock (the flush holds neither table
// lock while it writes).
#pragma once

#include <cstdint>

struct client_info;
struct dev_info;
struct dls;

constexpr uint32_t DISK_LOGGER_FLUSH_NAMES = 5000;
constexpr uint64_t DISK_LOGGER_LATENCY_US = 30000000;
// While changes come in, each history's uuid file is stamped this often, so that a restart
// soon after a crash finds a fresh stamp and keeps the history. Below the delivery side's
// two-second tick, so that every tick of a busy logger stamps: a stamp then stays about two
// seconds old at most, well inside the six seconds a restart is allowed (dls.h).
constexpr int DISK_LOGGER_STAMP_SECONDS = 1;
// The id ceiling each history keeps (dls.h, DLS_IDS_FILE) runs this far ahead of the current
// event id, and is moved on whenever the counter has used DISK_LOGGER_ID_STEP of it. It holds
// as long as fewer than the difference are numbered between two looks of the disk logger
// (every batch it files, and every tick), some fifteen million ids: far beyond what the intake
// numbers in the two seconds between ticks. A crash thus costs at most that many ids.
constexpr uint64_t DISK_LOGGER_ID_HEADROOM = 1ull << 24;
constexpr uint64_t DISK_LOGGER_ID_STEP = DISK_LOGGER_ID_HEADROOM / 16;

// The disk logger's client lives on the delivery side, which starts it in these steps:
// prepare_disk_logger before the client exists (the start-up gap records and the id
// ceilings; 0, or EINVAL without the root volume's history, logged), attach_disk_logger once it
// does (every history's logger), disk_logger_running once its thread runs.
int prepare_disk_logger();
void attach_disk_logger(client_info* fci);
void disk_logger_running();

// Every few seconds on the logger's thread: keeps the id ceilings ahead and the histories'
// stamps fresh while changes come in (idle: the logger's ring is empty).
void disk_logger_tick(bool idle);

// The disk logger's client_callback: files one batch of events. devices may be null (a
// notice), which counts as device 0. Always 0.
int32_t add_fname(void* ctx, int32_t count, const int32_t* lengths, const char* const* paths,
                  const uint32_t* flags, const uint32_t* devices, const uint64_t* ids);

// Writes every pending name of di's history and empties its table. Names the history could
// not take are a gap it records: a dropped record for the volume, pending for the next flush.
// Returns 0, the errno that lost names, or ENOMEM when no buffer could be allocated (nothing
// happened).
int flush_fname_table(dev_info* di);

// Shutdown step for one volume (an iterate_devices callback): last flush, uuid file stamp, the
// id ceiling brought down to the last id handed out (a clean restart goes on right after it),
// and the removal of an untrusted log directory. 0.
int cleanup_dls(dev_info* di, void* arg);
