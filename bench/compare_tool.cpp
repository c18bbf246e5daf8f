// The workloads and the bookkeeping of bench/compare, which runs the same file changes under
// several file-system watchers and compares what each reports. One program, one command each:
//
//   compare_tool tree ROOT DIRS FILES      the tree: DIRS directories (fan-out 16, so a few
//                                          levels deep) under ROOT, FILES empty files spread
//                                          round-robin over them (file j in directory j % DIRS)
//   compare_tool storm ROOT DIRS COUNT     COUNT empty files s<k> created round-robin over the
//                                          tree's directories, then all removed; prints the
//                                          wall-clock times (us) of the start, the end of the
//                                          creations and the end of the removals
//   compare_tool changes ROOT DIRS COUNT INTERVAL_MS PREFIX
//                                          COUNT files PREFIX<k> created INTERVAL_MS apart, each
//                                          in another directory; prints "PREFIX<k> TIME_US"
//                                          with the time taken just before each creation
//   compare_tool remove ROOT DIRS COUNT PREFIX
//                                          removes the files changes made (missing ones are
//                                          fine)
//   compare_tool stamp                     copies standard input to standard output, each line
//                                          prefixed with the wall-clock time (us) it was read at;
//                                          flushed after every read, so a watcher's output can
//                                          be followed as it comes
//   compare_tool count KIND FILE PREFIX    what a stamped watcher output says about the files
//                                          PREFIX<k>: distinct paths reported created, removed,
//                                          records, merged records, the time of the last one,
//                                          overflow notices
//   compare_tool latency KIND FILE CHANGES the time from each change (CHANGES, the output of
//                                          changes) to the first record naming its path
//
// KIND says how a watcher's output reads: "inotifywait" (--format '%e %w%f'), "fswatch" (-x),
// "watchman" (JSON subscription or query results, one per line) or "vantles" (watch --json).
// Times are CLOCK_REALTIME, shared by the shell script ($EPOCHREALTIME) and this program.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr int CMP_FANOUT = 16;
constexpr size_t CMP_STAMP_BUFFER = 1 << 16;

int64_t now_us() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The path of directory i (1..DIRS): the parent of i is (i - 1) / CMP_FANOUT, 0 being ROOT.
std::string dir_path(const std::string& root, long i) {
    std::vector<long> chain;
    for (long d = i; d > 0; d = (d - 1) / CMP_FANOUT)
        chain.push_back(d);
    std::string p = root;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        p += "/d" + std::to_string(*it);
    return p;
}

std::vector<std::string> dir_paths(const std::string& root, long dirs) {
    std::vector<std::string> out;
    out.reserve(size_t(dirs));
    for (long i = 1; i <= dirs; i++)
        out.push_back(dir_path(root, i));
    return out;
}

int create_empty(const std::string& path) {
    int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "compare_tool: create %s: %s\n", path.c_str(), strerror(errno));
        return errno;
    }
    close(fd);
    return 0;
}

int cmd_tree(const std::string& root, long dirs, long files) {
    if (mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "compare_tool: mkdir %s: %s\n", root.c_str(), strerror(errno));
        return 1;
    }
    // Parents have lower numbers, so creating in order makes every parent first.
    std::vector<std::string> d = dir_paths(root, dirs);
    for (const std::string& p : d) {
        if (mkdir(p.c_str(), 0755) != 0) {
            fprintf(stderr, "compare_tool: mkdir %s: %s\n", p.c_str(), strerror(errno));
            return 1;
        }
    }
    for (long j = 0; j < files; j++) {
        if (create_empty(d[size_t(j % dirs)] + "/f" + std::to_string(j)) != 0)
            return 1;
    }
    return 0;
}

int cmd_storm(const std::string& root, long dirs, long count) {
    std::vector<std::string> d = dir_paths(root, dirs);
    std::vector<std::string> names;
    names.reserve(size_t(count));
    for (long k = 0; k < count; k++)
        names.push_back(d[size_t(k % dirs)] + "/s" + std::to_string(k));
    int64_t start = now_us();
    for (const std::string& p : names) {
        if (create_empty(p) != 0)
            return 1;
    }
    int64_t created = now_us();
    for (const std::string& p : names) {
        if (unlink(p.c_str()) != 0) {
            fprintf(stderr, "compare_tool: unlink %s: %s\n", p.c_str(), strerror(errno));
            return 1;
        }
    }
    int64_t removed = now_us();
    printf("storm_start_us %lld\nstorm_created_us %lld\nstorm_end_us %lld\n", (long long)start,
           (long long)created, (long long)removed);
    return 0;
}

// The directory of change k: a stride through the tree, so consecutive changes are far apart.
size_t change_dir(long k, long dirs) {
    return size_t((k * 7919 + 13) % dirs);
}

int cmd_changes(const std::string& root, long dirs, long count, long interval_ms,
                const std::string& prefix) {
    std::vector<std::string> d = dir_paths(root, dirs);
    int64_t next = now_us();
    for (long k = 0; k < count; k++) {
        if (interval_ms > 0) {
            int64_t wait = next - now_us();
            if (wait > 0)
                usleep(useconds_t(wait));
            next += interval_ms * 1000;
        }
        std::string name = prefix + std::to_string(k);
        int64_t t = now_us();
        if (create_empty(d[change_dir(k, dirs)] + "/" + name) != 0)
            return 1;
        printf("%s %lld\n", name.c_str(), (long long)t);
        fflush(stdout);
    }
    return 0;
}

int cmd_remove(const std::string& root, long dirs, long count, const std::string& prefix) {
    std::vector<std::string> d = dir_paths(root, dirs);
    for (long k = 0; k < count; k++) {
        std::string p = d[change_dir(k, dirs)] + "/" + prefix + std::to_string(k);
        if (unlink(p.c_str()) != 0 && errno != ENOENT) {
            fprintf(stderr, "compare_tool: unlink %s: %s\n", p.c_str(), strerror(errno));
            return 1;
        }
    }
    return 0;
}

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

// Lines are stamped when the read that completes them returns; a watcher that writes a burst
// gets one stamp for the burst, which is when a consumer would have had it.
int cmd_stamp() {
    std::vector<char> in(CMP_STAMP_BUFFER);
    std::string partial, out;
    bool at_line_start = true;
    for (;;) {
        ssize_t n = read(0, in.data(), in.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::string stamp = std::to_string(now_us()) + " ";
        out.clear();
        for (ssize_t i = 0; i < n; i++) {
            if (at_line_start) {
                out += stamp;
                at_line_start = false;
            }
            out += in[size_t(i)];
            if (in[size_t(i)] == '\n')
                at_line_start = true;
        }
        if (!write_all(1, out.data(), out.size()))
            return 1;
    }
    if (!at_line_start)
        write_all(1, "\n", 1);
    return 0;
}

// One change a watcher reported: the path (as printed) and what it says happened.
struct record {
    std::string_view path;
    bool created = false;
    bool removed = false;
};

struct line_facts {
    int64_t stamp = 0;
    std::vector<record> records;
    int overflows = 0;  // notices that events were lost (or a full rescan is due)
    bool fresh_instance = false;
    long entries = 0;  // every file entry of the line, whatever its name
};

bool has_word(std::string_view list, std::string_view word) {
    size_t at = 0;
    while ((at = list.find(word, at)) != std::string_view::npos) {
        bool start = at == 0 || list[at - 1] == ',' || list[at - 1] == ' ' || list[at - 1] == '"';
        size_t end = at + word.size();
        bool stop = end == list.size() || list[end] == ',' || list[end] == ' ' ||
                    list[end] == '"' || list[end] == '\n';
        if (start && stop)
            return true;
        at = end;
    }
    return false;
}

// The JSON string starting after the opening quote at `from`; escapes are kept as they are
// (the benchmark's names need none). Empty when unterminated.
std::string_view json_string(std::string_view s, size_t from) {
    size_t end = from;
    while (end < s.size() && s[end] != '"') {
        if (s[end] == '\\')
            end++;
        end++;
    }
    return end < s.size() ? s.substr(from, end - from) : std::string_view();
}

void parse_inotifywait(std::string_view rest, line_facts* f) {
    size_t sp = rest.find(' ');
    std::string_view events = rest.substr(0, sp);
    if (has_word(events, "Q_OVERFLOW"))
        f->overflows++;
    if (sp == std::string_view::npos)
        return;
    record r;
    r.path = rest.substr(sp + 1);
    r.created = has_word(events, "CREATE") || has_word(events, "MOVED_TO");
    r.removed = has_word(events, "DELETE") || has_word(events, "MOVED_FROM");
    f->entries++;
    f->records.push_back(r);
}

void parse_fswatch(std::string_view rest, line_facts* f) {
    size_t sp = rest.find(' ');
    std::string_view flags = sp == std::string_view::npos ? "" : rest.substr(sp + 1);
    if (has_word(flags, "Overflow"))
        f->overflows++;
    record r;
    r.path = rest.substr(0, sp);
    r.created = has_word(flags, "Created") || has_word(flags, "MovedTo");
    r.removed = has_word(flags, "Removed") || has_word(flags, "MovedFrom");
    f->entries++;
    f->records.push_back(r);
}

void parse_watchman(std::string_view rest, line_facts* f) {
    f->fresh_instance = rest.find("\"is_fresh_instance\":true") != std::string_view::npos;
    if (rest.find("\"warning\":") != std::string_view::npos)
        f->overflows++;
    size_t at = rest.find("\"files\":[");
    if (at == std::string_view::npos)
        return;
    at += 9;
    // File objects hold only scalar fields, so each ends at the next '}' outside a string.
    while (at < rest.size() && rest[at] != ']') {
        size_t open = rest.find('{', at);
        if (open == std::string_view::npos)
            break;
        size_t close = open + 1;
        bool in_string = false;
        for (; close < rest.size(); close++) {
            char c = rest[close];
            if (in_string && c == '\\')
                close++;
            else if (c == '"')
                in_string = !in_string;
            else if (!in_string && c == '}')
                break;
        }
        std::string_view obj = rest.substr(open, close - open + 1);
        record r;
        size_t name = obj.find("\"name\":\"");
        if (name != std::string_view::npos)
            r.path = json_string(obj, name + 8);
        bool exists = obj.find("\"exists\":true") != std::string_view::npos;
        bool is_new = obj.find("\"new\":true") != std::string_view::npos;
        r.created = exists || is_new;
        r.removed = !exists;
        f->entries++;
        f->records.push_back(r);
        at = close + 1;
        while (at < rest.size() && (rest[at] == ',' || rest[at] == ' '))
            at++;
    }
}

void parse_vantles(std::string_view rest, line_facts* f) {
    size_t flags_at = rest.find("\"flags\":[");
    size_t path_at = rest.find("\"path\":\"");
    if (flags_at == std::string_view::npos || path_at == std::string_view::npos)
        return;
    size_t flags_end = rest.find(']', flags_at);
    std::string_view flags = rest.substr(flags_at + 9, flags_end - flags_at - 9);
    if (has_word(flags, "user-dropped") || has_word(flags, "kernel-dropped"))
        f->overflows++;
    if (has_word(flags, "history-done"))
        return;
    record r;
    r.path = json_string(rest, path_at + 8);
    r.created = has_word(flags, "created");
    r.removed = has_word(flags, "removed");
    f->entries++;
    f->records.push_back(r);
}

typedef void (*line_parser)(std::string_view, line_facts*);

line_parser parser_for(std::string_view kind) {
    if (kind == "inotifywait")
        return parse_inotifywait;
    if (kind == "fswatch")
        return parse_fswatch;
    if (kind == "watchman")
        return parse_watchman;
    if (kind == "vantles")
        return parse_vantles;
    return nullptr;
}

// k when the path's last component is prefix followed by the digits of k, else -1.
long name_index(std::string_view path, std::string_view prefix) {
    size_t slash = path.rfind('/');
    std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (base.size() <= prefix.size() || base.substr(0, prefix.size()) != prefix)
        return -1;
    long k = 0;
    for (char c : base.substr(prefix.size())) {
        if (c < '0' || c > '9')
            return -1;
        k = k * 10 + (c - '0');
    }
    return k;
}

// Calls fn(facts) for every line of a stamped file. false when it cannot be read.
template <typename Fn>
bool for_each_line(const char* file, line_parser parse, Fn fn) {
    FILE* in = fopen(file, "re");
    if (!in) {
        fprintf(stderr, "compare_tool: %s: %s\n", file, strerror(errno));
        return false;
    }
    char* buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    line_facts facts;
    while ((n = getline(&buf, &cap, in)) > 0) {
        std::string_view line(buf, size_t(n));
        if (line.back() == '\n')
            line.remove_suffix(1);
        size_t sp = line.find(' ');
        if (sp == std::string_view::npos)
            continue;
        facts.stamp = strtoll(buf, nullptr, 10);
        facts.records.clear();
        facts.overflows = 0;
        facts.fresh_instance = false;
        facts.entries = 0;
        parse(line.substr(sp + 1), &facts);
        fn(facts);
    }
    free(buf);
    fclose(in);
    return true;
}

constexpr uint8_t CMP_SEEN_CREATED = 1;
constexpr uint8_t CMP_SEEN_REMOVED = 2;
constexpr uint8_t CMP_SEEN_NAMED = 4;

int cmd_count(line_parser parse, const char* file, std::string_view prefix) {
    std::vector<uint8_t> seen;
    long records = 0, merged = 0, overflows = 0, entries = 0, fresh = 0, lines = 0;
    int64_t last = 0;
    bool ok = for_each_line(file, parse, [&](const line_facts& f) {
        lines++;
        overflows += f.overflows;
        entries += f.entries;
        fresh += f.fresh_instance ? 1 : 0;
        for (const record& r : f.records) {
            long k = name_index(r.path, prefix);
            if (k < 0)
                continue;
            if (size_t(k) >= seen.size())
                seen.resize(size_t(k) + 1);
            records++;
            merged += r.created && r.removed ? 1 : 0;
            seen[size_t(k)] |= CMP_SEEN_NAMED | (r.created ? CMP_SEEN_CREATED : 0) |
                               (r.removed ? CMP_SEEN_REMOVED : 0);
            last = std::max(last, f.stamp);
        }
    });
    if (!ok)
        return 1;
    // named: paths named at all, whatever the record said (a watcher may report a change
    // without saying what it was).
    long created = 0, removed = 0, named = 0;
    for (uint8_t s : seen) {
        created += (s & CMP_SEEN_CREATED) ? 1 : 0;
        removed += (s & CMP_SEEN_REMOVED) ? 1 : 0;
        named += (s & CMP_SEEN_NAMED) ? 1 : 0;
    }
    printf(
        "created %ld\nremoved %ld\nnamed %ld\nrecords %ld\nmerged %ld\nlast_us %lld\n"
        "overflows %ld\nentries %ld\nfresh_instances %ld\nlines %ld\n",
        created, removed, named, records, merged, (long long)last, overflows, entries, fresh,
        lines);
    return 0;
}

int cmd_latency(line_parser parse, const char* file, const char* changes_file) {
    std::unordered_map<std::string, int64_t> changed;  // name -> time of the change
    FILE* in = fopen(changes_file, "re");
    if (!in) {
        fprintf(stderr, "compare_tool: %s: %s\n", changes_file, strerror(errno));
        return 1;
    }
    char name[256];
    long long t;
    while (fscanf(in, "%255s %lld", name, &t) == 2)
        changed[name] = t;
    fclose(in);
    std::unordered_map<std::string, int64_t> first;  // name -> first report
    bool ok = for_each_line(file, parse, [&](const line_facts& f) {
        for (const record& r : f.records) {
            size_t slash = r.path.rfind('/');
            std::string base(slash == std::string_view::npos ? r.path : r.path.substr(slash + 1));
            if (changed.count(base) && !first.count(base))
                first[base] = f.stamp;
        }
    });
    if (!ok)
        return 1;
    std::vector<double> ms;
    for (const auto& [n, at] : changed) {
        auto it = first.find(n);
        if (it != first.end())
            ms.push_back(double(it->second - at) / 1000.0);
    }
    std::sort(ms.begin(), ms.end());
    auto pct = [&](double p) {
        if (ms.empty())
            return -1.0;
        size_t i = size_t(p * double(ms.size() - 1) + 0.5);
        return ms[std::min(i, ms.size() - 1)];
    };
    printf("samples %zu\nmissed %zu\nmedian_ms %.3f\np95_ms %.3f\nmax_ms %.3f\n", ms.size(),
           changed.size() - ms.size(), pct(0.5), pct(0.95), ms.empty() ? -1.0 : ms.back());
    return 0;
}

int usage() {
    fprintf(stderr,
            "usage: compare_tool tree ROOT DIRS FILES | storm ROOT DIRS COUNT |\n"
            "       changes ROOT DIRS COUNT INTERVAL_MS PREFIX | remove ROOT DIRS COUNT PREFIX |\n"
            "       stamp | count KIND FILE PREFIX | latency KIND FILE CHANGES\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    std::string_view cmd = argv[1];
    auto num = [&](int i) { return i < argc ? atol(argv[i]) : 0; };
    if (cmd == "tree" && argc == 5 && num(3) > 0 && num(4) >= 0)
        return cmd_tree(argv[2], num(3), num(4));
    if (cmd == "storm" && argc == 5 && num(3) > 0 && num(4) >= 0)
        return cmd_storm(argv[2], num(3), num(4));
    if (cmd == "changes" && argc == 7 && num(3) > 0)
        return cmd_changes(argv[2], num(3), num(4), num(5), argv[6]);
    if (cmd == "remove" && argc == 6 && num(3) > 0)
        return cmd_remove(argv[2], num(3), num(4), argv[5]);
    if (cmd == "stamp" && argc == 2)
        return cmd_stamp();
    if ((cmd == "count" || cmd == "latency") && argc == 5) {
        line_parser parse = parser_for(argv[2]);
        if (!parse)
            return usage();
        return cmd == "count" ? cmd_count(parse, argv[3], argv[4])
                              : cmd_latency(parse, argv[3], argv[4]);
    }
    return usage();
}
