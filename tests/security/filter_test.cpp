// Live events and replays (from a log file and from memory) never name to an unprivileged user
// a path it may not read now; links into a closed directory give nothing.
#include "attacker.h"

namespace {

const std::string T = "/tmp/t";

// A stream of a watching attacker, ending at the event of `until` (else the history-done one).
struct watch_plan {
    std::string label;
    vantles_stream_options options;
    std::string until;
};

// Body: registers every plan, says "R", and once every stream got to its end reports its events
// as "E label path", then "END".
int attacker_watch(int out, const std::vector<watch_plan>& plans) {
    std::vector<live_stream> streams(plans.size());
    for (size_t i = 0; i < plans.size(); i++)
        if (live_stream_start(&streams[i], plans[i].options) != 0)
            return attacker_say(out, "X registration of " + plans[i].label), 1;
    attacker_say(out, "R");
    for (size_t i = 0; i < plans.size(); i++) {
        auto end = [&](const live_event& e) {
            return plans[i].until.empty() ? (e.flags & VANTLES_EVENT_HISTORY_DONE) != 0
                                          : e.path == plans[i].until;
        };
        if (!live_wait_event(&streams[i].sink, end, SCRATCH_WAIT_MS))
            return attacker_say(out, "X " + plans[i].label + " never got to its end"), 1;
    }
    for (size_t i = 0; i < plans.size(); i++)
        for (const live_event& e : live_sink_events(&streams[i].sink))
            attacker_say(out, "E " + plans[i].label + " " + e.path);
    attacker_say(out, "END");
    return 0;
}

// The events ("label path") at or below any of paths.
std::vector<std::string> under(const std::vector<std::string>& seen,
                               const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const std::string& e : seen)
        for (const std::string& p : paths)
            if (std::string path = e.substr(e.find(' ') + 1);
                path == p || path.starts_with(p + "/"))
                out.push_back(e);
    return out;
}

bool saw(const std::vector<std::string>& seen, const std::string& label, const std::string& path) {
    return std::find(seen.begin(), seen.end(), label + " " + path) != seen.end();
}

class Filter : public SecurityTest {
protected:
    watch_plan watch(const std::string& label, std::vector<std::string> paths, uint32_t flags,
                     const std::string& until, uint64_t since = VANTLES_EVENT_ID_NOW) const {
        watch_plan plan{label, live_options(daemon_, std::move(paths), flags), until};
        plan.options.since_when = since;
        return plan;
    }
    // Runs a watching child of uid while `meanwhile` runs: its events, "label path".
    std::vector<std::string> spy_on(const std::vector<watch_plan>& plans,
                                    const std::function<void()>& meanwhile,
                                    uid_t uid = SECURITY_NOBODY) {
        attacker spy;
        EXPECT_EQ(0, attacker_start(&spy, daemon_, uid, 0,
                                    [&](int out) { return attacker_watch(out, plans); }));
        EXPECT_EQ("R", attacker_next(&spy, "R"));
        meanwhile();
        std::vector<std::string> lines, seen;
        EXPECT_EQ("END", attacker_next(&spy, "END", &lines));
        for (const std::string& line : lines)
            if (line.starts_with("E "))
                seen.push_back(line.substr(2));
        return seen;
    }

    // Root's changes of phase t: the attacker may see pub/ (alias- a hard link of a closed file),
    // nothing under hidden(t). Once `named` ran, the closed gone-/ (holding the attacker's own path
    // /tmp/bait-) and root's closed directories in the attacker's own/ are removed or moved away.
    void changes(const std::string& t, const std::function<void()>& named) {
        auto at = [&](const char* p) { return host(T + p + t); };
        for (const char* f : {"/pub/public-", "/secret-", "/closed/orig-", "/later/inner-",
                              "/pub/moved-", "/closed/doomed-"})
            make_file(T + f + t, strcmp(f, "/secret-") ? 0644 : 0600);
        ASSERT_FALSE(link(at("/secret-").c_str(), at("/pub/link-").c_str()) ||
                     link(at("/closed/orig-").c_str(), at("/pub/alias-").c_str()));
        for (const char* p : {"/secret-", "/pub/link-", "/closed/orig-", "/pub/alias-"}) {
            int fd = open(at(p).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            ASSERT_FALSE(write(fd, "x", 1) != 1 || close(fd)) << p;
        }
        ASSERT_FALSE(rename(at("/pub/moved-").c_str(), at("/closed/moved-").c_str()) ||
                     rename(at("/closed/moved-").c_str(), at("/pub/back-").c_str()) ||
                     rename(at("/closed/orig-").c_str(), at("/closed/orig2-").c_str()) ||
                     unlink(at("/closed/doomed-").c_str()));
        make_dir(T + "/closed/sub-" + t, 0755);
        make_file(T + "/closed/sub-" + t + "/deep", 0644);
        const std::string gone = T + "/gone-" + t;
        make_dir(gone, 0700);
        make_dir(gone + "/tmp", 0755);
        make_dir(gone + "/tmp/bait-" + t, 0755);
        make_file(gone + "/tmp/bait-" + t + "/leaked-" + t, 0644);
        for (const char* d : {"/own/mv-", "/own/rm-"}) {
            make_dir(T + d + t, 0700);
            make_file(T + d + t + "/SECRET", 0644);
        }
        ASSERT_NO_FATAL_FAILURE(named());
        std::filesystem::remove_all(host(gone));
        std::filesystem::remove_all(host(T + "/own/rm-" + t));
        ASSERT_EQ(0, rename(at("/own/mv-").c_str(), at("/closed/mv-").c_str()));
    }
    static std::vector<std::string> hidden(const std::string& t) {
        return {T + "/closed",        T + "/later",           T + "/secret-" + t,
                T + "/pub/link-" + t, T + "/gone-" + t + "/tmp", T + "/own/mv-" + t + "/SECRET",
                T + "/own/rm-" + t + "/SECRET"};
    }
    // What root gets of the same phase.
    static std::vector<std::string> root_sees(const std::string& t) {
        return {T + "/later/inner-" + t, T + "/secret-" + t, T + "/pub/link-" + t,
                T + "/closed/sub-" + t + "/deep",
                T + "/gone-" + t + "/tmp/bait-" + t + "/leaked-" + t,
                T + "/own/rm-" + t + "/SECRET"};
    }
};

// Live: the attacker watches T at file and directory level, the volume, closed/ and links into
// it (each hears of the link only); root gets everything. After a restart, replays since 0 from
// the log file and from memory show no closed path, later/ closed after it was written to.
TEST_F(Filter, WhatTheUserMayNotReadNeverReachesItLiveOrReplayed) {
    ASSERT_TRUE(start());
    make_dir(T, 0755);
    for (const char* d : {"/pub", "/later", "/zz-end-dir"})
        make_dir(T + d, 0755);
    make_dir(T + "/closed", 0700);
    make_dir(T + "/own", 0755, SECURITY_NOBODY);
    make_dir("/tmp/bait", 0755, SECURITY_NOBODY);
    const char* links[] = {"/tmp/t/link", "/tmp/t/rel-link", "/tmp/own-link"};  // the last its own
    ASSERT_FALSE(symlink("/tmp/t/closed", host(links[0]).c_str()) ||
                 symlink("closed", host(links[1]).c_str()) ||
                 symlink("/tmp/t/closed", host(links[2]).c_str()) ||
                 lchown(host(links[2]).c_str(), SECURITY_NOBODY, SECURITY_NOBODY));
    ASSERT_EQ(0, live_sync(daemon_, T));

    const std::string end = T + "/zz-end", end_dir = T + "/zz-end-dir/x";
    std::vector<watch_plan> plans = {
        watch("files", {T}, FILES, end),
        watch("dirs", {T}, 0, T + "/zz-end-dir/"),
        watch("volume", {"/"}, FILES, end),
        watch("bait", {"/tmp/bait", T}, FILES, end),
        watch("closed", {T + "/closed", T + "/zz-end-dir"}, FILES, end_dir),
        watch("device", {"tmp/t/link"}, FILES, "tmp/t/link")};
    plans[3].options.latency_us = 1000000;
    plans.back().options.device = live_device_of(daemon_, "/");
    plans.push_back(watch("own", {T + "/own", T}, FILES, end));
    plans.back().options.latency_us = 1000000;  // judged once own/'s closed directories are gone
    for (const char* link : links)  // each hears of the link itself only
        plans.push_back(watch(link, {link}, FILES, link));
    live_stream root;
    std::vector<std::string> seen = spy_on(plans, [&] {
        ASSERT_EQ(0, live_stream_start(&root, live_options(daemon_, {T}, FILES)));
        ASSERT_EQ(0, chmod(host(T + "/later").c_str(), 0700));  // closed after the registration
        const std::string leaked = T + "/gone-live/tmp/bait-live/leaked-live";
        ASSERT_NO_FATAL_FAILURE(changes("live", [&] {
            ASSERT_TRUE(live_wait_event(&root.sink, live_path_is(leaked), SCRATCH_WAIT_MS));
        }));
        for (const char* link : links)  // replaced: the link streams end
            ASSERT_FALSE(unlink(host(link).c_str()) ||
                         symlink("/tmp/t/closed", host(link).c_str()));
        make_file(end_dir, 0644);
        make_file(end, 0644);
    });
    EXPECT_EQ(std::vector<std::string>{}, under(seen, hidden("live")));
    for (const std::string& e : seen)
        EXPECT_EQ(std::string::npos, e.find("link/")) << e;
    for (const char* label : {"files", "volume", "bait"})
        for (const char* name : {"/pub/alias-live", "/pub/moved-live", "/pub/back-live"})
            EXPECT_TRUE(saw(seen, label, T + name)) << label << " lacks " << name;
    EXPECT_TRUE(saw(seen, "dirs", T + "/pub/"));

    // The live phase goes to a log file at the stop; the memory phase stays in memory.
    ASSERT_EQ(0, chmod(host(T + "/later").c_str(), 0755));
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"})) << test_daemon_log(daemon_);
    ASSERT_FALSE(log_files(host("/.vantlesd")).empty()) << "nothing written at the stop";
    auto sync = [&] { ASSERT_EQ(0, live_sync(daemon_, T)); };
    ASSERT_NO_FATAL_FAILURE(changes("memory", sync));
    ASSERT_EQ(0, chmod(host(T + "/later").c_str(), 0700));
    sync();
    seen = spy_on({watch("files", {"/tmp/bait", T}, FILES, "", 0), watch("dirs", {T}, 0, "", 0),
                   watch("volume", {"/"}, FILES, "", 0), watch("own", {T + "/own", T}, FILES, "", 0)},
                  [] {});
    std::vector<std::string> all = spy_on(
        {watch("root", {T}, FILES, "", 0)}, [] {}, 0);
    for (const std::string phase : {"live", "memory"}) {
        std::vector<std::string> closed = hidden(phase);
        closed.push_back(T + "/gone-" + phase + "/");
        EXPECT_EQ(std::vector<std::string>{}, under(seen, closed));
        for (const char* label : {"files", "volume"})
            for (const char* name : {"/pub/public-", "/pub/moved-"})
                EXPECT_TRUE(saw(seen, label, T + name + phase)) << label << name << phase;
        for (const std::string& path : root_sees(phase))
            EXPECT_TRUE(saw(all, "root", path)) << path;
    }
    EXPECT_TRUE(saw(seen, "dirs", T + "/pub/"));
    EXPECT_TRUE(saw(seen, "own", T + "/own/")) << "no directory-level event for what was withheld";
}

}  // namespace
