// What the history benchmarks share: the figures of a log directory as the daemon left it
// (its log files read back buffer by buffer), the gap messages of a daemon log, and a
// generated history written with the same buffer builder and gzip members the daemon uses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A log directory read back. Records are counted from every buffer that passes its checks.
struct history_figures {
    int files = 0;              // log files (hex-named)
    uint64_t log_bytes = 0;     // their sizes on disk, summed
    uint64_t uuid_bytes = 0;    // the uuid file, when present
    uint64_t buffers = 0;       // log buffers that passed their checks
    uint64_t bad_buffers = 0;   // headers or checksums that failed, cut-off ends
    uint64_t uncompressed = 0;  // bytes of the good buffers
    uint64_t records = 0;
    uint64_t min_id = 0;  // over every record; 0 when none
    uint64_t max_id = 0;
    // Records with an id in [range_from, range_to] (when range_to is set).
    uint64_t range_from = 0;
    uint64_t range_to = 0;
    uint64_t records_in_range = 0;
};

// Reads every log file of dir. 0, or the errno of a directory that cannot be listed.
int read_history(const char* dir, history_figures* out);

// How often text occurs in log.
size_t count_occurrences(std::string_view log, std::string_view text);

// The message the disk logger leaves when its ring overflowed.
constexpr const char* HISTORY_GAP_MESSAGE = "the history has a gap";

// Removes a log directory and everything in it (one level: the daemon makes no
// subdirectories there). 0 or errno; a missing directory is 0.
int remove_log_dir(const char* dir);

// One record of a generated history: a stored path (relative to the volume) and its event.
struct history_record {
    std::string path;
    uint64_t id;
    uint32_t flags;
};

// Writes one flush worth of records as the disk logger does: sorted by path, packed into
// log buffers, each written as one gzip member, into the file named one above the highest id
// of the records. 0 or errno.
int write_history_file(const char* dir, std::vector<history_record>* records);

// Writes a fresh uuid file ("vantlesd-uuid", 36 characters) into dir. 0 or errno.
int write_uuid_file(const char* dir, std::string* uuid_text);
