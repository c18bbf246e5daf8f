// `vantles status` without a daemon: which mounts become volumes, what the daemon's uuid
// answers say, the device text of large minors, the aligned table, and the JSON object byte
// for byte (the black-box CLI test checks it carries a live daemon's answers).
#include "platform/mounts.h"
#include "tools/status_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<status_volume> volumes_of_text(const std::string& mountinfo) {
    mount_entry* list = nullptr;
    int count = 0;
    EXPECT_EQ(0, mount_list_parse(mountinfo.data(), mountinfo.size(), &list, &count));
    std::vector<status_volume> volumes = status_volumes_of({list, static_cast<size_t>(count)});
    mount_list_free(list, count);
    return volumes;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(text.size(), start) << "unterminated last line";
    return lines;
}

// Pseudo file systems are left out; a file system mounted again (a bind mount) is listed once,
// at its first mount point; escaped mount points are decoded.
TEST(ToolStatus, VolumesOfTheMountList) {
    std::string mountinfo =
        "21 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "22 21 0:20 / /proc rw,nosuid - proc proc rw\n"
        "23 21 0:21 / /sys rw - sysfs sysfs rw\n"
        "24 23 0:22 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"
        "25 21 0:5 / /dev rw - devtmpfs udev rw\n"
        "26 25 0:23 / /dev/pts rw - devpts devpts rw\n"
        "27 25 0:24 / /dev/mqueue rw - mqueue mqueue rw\n"
        "28 21 0:25 / /run rw - tmpfs tmpfs rw\n"
        "29 21 8:2 / /srv/my\\040data rw - xfs /dev/sda2 rw\n"
        "30 21 8:1 /var/lib /var/lib rw - ext4 /dev/sda1 rw\n"
        "31 21 259:65536 / /mnt/nvme rw - btrfs /dev/nvme0n1p1 rw\n";
    std::vector<status_volume> volumes = volumes_of_text(mountinfo);
    ASSERT_EQ(4u, volumes.size());
    EXPECT_EQ("/", volumes[0].mount_point);
    EXPECT_EQ("ext4", volumes[0].fs_type);
    EXPECT_EQ("8:1", status_device_text(volumes[0].dev));
    EXPECT_EQ("/run", volumes[1].mount_point);
    EXPECT_EQ("0:25", status_device_text(volumes[1].dev));
    EXPECT_EQ("/srv/my data", volumes[2].mount_point);
    EXPECT_EQ("/mnt/nvme", volumes[3].mount_point);
    // A minor above 255 keeps its high bits through the daemon's 32-bit encoding.
    EXPECT_EQ("259:65536", status_device_text(volumes[3].dev));
    EXPECT_EQ("4095:1048575", status_device_text(0xffffffffu));
}

TEST(ToolStatus, HistoryReasonsFromTheUuidAnswer) {
    EXPECT_EQ(nullptr, status_no_history_reason("6f1c2a4e-8d0b-4b7e-9a35-2c61d0f4e8b1"));
    EXPECT_STREQ("not ready", status_no_history_reason("NO-UUID-NO-DEV-INFO"));
    // A text of a later daemon still means no history.
    EXPECT_STREQ("no uuid", status_no_history_reason("NO-UUID-SOMETHING-NEW"));
}

status_report sample_report() {
    status_report report;
    report.socket = "/run/vantlesd/vantlesd.sock";
    report.current_event_id = 18446744073709551615ull;
    report.volumes = {
        {0x801, "/", "ext4", "6f1c2a4e-8d0b-4b7e-9a35-2c61d0f4e8b1"},
        {0x1900, "/media/a \"long\" name\\", "vfat", "NO-UUID-VOLUME-IS-IGNORED"},
        {0x802, "/srv/\xff\x01", "xfs", "NO-UUID-UNKNOWN-DEVICE"},
    };
    return report;
}

// Every column starts at the same offset on every line, the header's included.
TEST(ToolStatus, PlainTableIsAligned) {
    std::vector<std::string> lines = lines_of(status_plain(sample_report()));
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ("daemon: answering at /run/vantlesd/vantlesd.sock", lines[0]);
    EXPECT_EQ("current event id: 18446744073709551615", lines[1]);
    EXPECT_EQ("", lines[2]);
    const std::string& header = lines[3];
    size_t mount_at = header.find("MOUNT POINT");
    size_t history_at = header.find("HISTORY");
    size_t uuid_at = header.find("UUID");
    ASSERT_EQ(0u, header.find("DEVICE"));
    ASSERT_LT(mount_at, history_at);
    ASSERT_LT(history_at, uuid_at);
    const struct {
        const char* device;
        std::string mount;
        const char* history;
        const char* uuid;
    } want[] = {
        {"8:1", "/", "yes", "6f1c2a4e-8d0b-4b7e-9a35-2c61d0f4e8b1"},
        {"25:0", "/media/a \"long\" name\\", "no (ignored)", "NO-UUID-VOLUME-IS-IGNORED"},
        {"8:2", "/srv/\xff\x01", "no (not known)", "NO-UUID-UNKNOWN-DEVICE"},
    };
    for (size_t i = 0; i < 3; i++) {
        const std::string& line = lines[4 + i];
        EXPECT_EQ(0u, line.find(want[i].device)) << line;
        EXPECT_EQ(mount_at, line.find(want[i].mount)) << line;
        EXPECT_EQ(history_at, line.find(want[i].history, mount_at + want[i].mount.size())) << line;
        EXPECT_EQ(uuid_at, line.find(want[i].uuid)) << line;
        EXPECT_EQ(line.size(), uuid_at + strlen(want[i].uuid)) << "trailing text: " << line;
    }
    // The longest mount point sets the width, with two spaces before the next column.
    EXPECT_EQ(mount_at + strlen("/media/a \"long\" name\\") + 2, history_at);
}

// One line, strings escaped (a byte that is not UTF-8 as the code point of its value), no
// reason when there is a history.
TEST(ToolStatus, JsonObject) {
    EXPECT_EQ(
        "{\"socket\":\"/run/vantlesd/vantlesd.sock\",\"current_event_id\":18446744073709551615,"
        "\"volumes\":[{\"device\":\"8:1\",\"mount_point\":\"/\",\"fs_type\":\"ext4\","
        "\"history\":true,\"reason\":null,\"uuid\":\"6f1c2a4e-8d0b-4b7e-9a35-2c61d0f4e8b1\"},"
        "{\"device\":\"25:0\",\"mount_point\":\"/media/a \\\"long\\\" name\\\\\",\"fs_type\":"
        "\"vfat\",\"history\":false,\"reason\":\"ignored\",\"uuid\":\"NO-UUID-VOLUME-IS-IGNORED\"},"
        "{\"device\":\"8:2\",\"mount_point\":\"/srv/\\u00ff\\u0001\",\"fs_type\":\"xfs\","
        "\"history\":false,\"reason\":\"not known\",\"uuid\":\"NO-UUID-UNKNOWN-DEVICE\"}]}\n",
        status_json(sample_report()));
    EXPECT_EQ("{\"socket\":\"\",\"current_event_id\":0,\"volumes\":[]}\n",
              status_json(status_report{}));
}

}  // namespace
