// `vantles status` without a daemon: which mounts become volumes, what the uuid answers say,
// the device text of large minors, the table and the JSON object byte for byte.
#include "platform/mounts.h"
#include "tools/json_out.h"
#include "tools/status_table.h"
#include "vantles/client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Pseudo file systems are left out; a file system mounted again (a bind mount) is listed once,
// at its first mount point; escaped mount points are decoded.
TEST(ToolStatus, VolumesOfTheMountList) {
    std::string mountinfo =
        "21 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "22 21 0:20 / /proc rw,nosuid - proc proc rw\n"
        "23 21 0:21 / /sys rw - sysfs sysfs rw\n"
        "25 21 0:5 / /dev rw - devtmpfs udev rw\n"
        "28 21 0:25 / /run rw - tmpfs tmpfs rw\n"
        "29 21 8:2 / /srv/my\\040data rw - xfs /dev/sda2 rw\n"
        "30 21 8:1 /var/lib /var/lib rw - ext4 /dev/sda1 rw\n"
        "31 21 259:65536 / /mnt/nvme rw - btrfs /dev/nvme0n1p1 rw\n";
    mount_entry* list = nullptr;
    int count = 0;
    ASSERT_EQ(0, mount_list_parse(mountinfo.data(), mountinfo.size(), &list, &count));
    std::vector<std::string> got;
    for (const status_volume& v : status_volumes_of({list, static_cast<size_t>(count)}))
        got.push_back(status_device_text(v.dev) + " " + v.mount_point + " " + v.fs_type);
    // A minor above 255 keeps its high bits through the daemon's 32-bit encoding.
    EXPECT_EQ((std::vector<std::string>{"8:1 / ext4", "0:25 /run tmpfs", "8:2 /srv/my data xfs",
                                        "259:65536 /mnt/nvme btrfs"}),
              got);
    mount_list_free(list, count);
    EXPECT_EQ("4095:1048575", status_device_text(0xffffffffu));
    // The uuid answer tells why there is no history; a text of a later daemon still means none.
    EXPECT_EQ(nullptr, status_no_history_reason("6f1c2a4e-8d0b-4b7e-9a35-2c61d0f4e8b1"));
    EXPECT_STREQ("not ready", status_no_history_reason("NO-UUID-NO-DEV-INFO"));
    EXPECT_STREQ("no uuid", status_no_history_reason("NO-UUID-SOMETHING-NEW"));
}

status_report sample_report() {
    status_report report;
    report.socket = "/run/vantlesd/vantlesd.sock";
    report.current_event_id = 18446744073709551615ull;
    report.volumes = {
        {0x801, "/", "ext4", "6f1c2a4e-8d0b-4b7e-9a35-2c61d0f4e8b1", VANTLES_WATCH_WHOLE, ""},
        {0x1900, "/media/a \"long\" name\\", "vfat", "NO-UUID-VOLUME-IS-IGNORED",
         VANTLES_WATCH_UPPER, ""},
        {0x802, "/srv/\xff\x01", "xfs", "NO-UUID-UNKNOWN-DEVICE", VANTLES_WATCH_NONE, "FUSE"},
    };
    return report;
}

// The table: each column as wide as its longest entry (bytes as they are) and two spaces. The
// JSON object: one line, strings escaped (a byte that is not UTF-8 as a lone surrogate), no
// reason when there is a history.
TEST(ToolStatus, PlainTableAndJsonObject) {
    EXPECT_EQ(
        "daemon: answering at /run/vantlesd/vantlesd.sock\n"
        "current event id: 18446744073709551615\n\n"
        "DEVICE  MOUNT POINT            WATCHED            HISTORY         UUID\n"
        "8:1     /                      whole volume       yes             "
        "6f1c2a4e-8d0b-4b7e-9a35-2c61d0f4e8b1\n"
        "25:0    /media/a \"long\" name\\  upper layer        no (ignored)    "
        "NO-UUID-VOLUME-IS-IGNORED\n"
        "8:2     /srv/\xff\x01"
        "                not watched: FUSE  no (not known)  NO-UUID-UNKNOWN-DEVICE\n",
        status_plain(sample_report()));
    EXPECT_EQ(
        "{\"socket\":\"/run/vantlesd/vantlesd.sock\",\"current_event_id\":18446744073709551615,"
        "\"volumes\":[{\"device\":\"8:1\",\"mount_point\":\"/\",\"fs_type\":\"ext4\","
        "\"watched\":\"whole volume\",\"watch_reason\":null,\"history\":true,\"reason\":null,"
        "\"uuid\":\"6f1c2a4e-8d0b-4b7e-9a35-2c61d0f4e8b1\"},{\"device\":\"25:0\","
        "\"mount_point\":\"/media/a \\\"long\\\" name\\\\\",\"fs_type\":\"vfat\","
        "\"watched\":\"upper layer\",\"watch_reason\":null,\"history\":false,"
        "\"reason\":\"ignored\",\"uuid\":\"NO-UUID-VOLUME-IS-IGNORED\"},{\"device\":\"8:2\","
        "\"mount_point\":\"/srv/\\udcff\\u0001\",\"fs_type\":\"xfs\",\"watched\":\"not watched\","
        "\"watch_reason\":\"FUSE\",\"history\":false,\"reason\":\"not known\","
        "\"uuid\":\"NO-UUID-UNKNOWN-DEVICE\"}]}\n",
        status_json(sample_report()));
    EXPECT_EQ("{\"socket\":\"\",\"current_event_id\":0,\"volumes\":[]}\n",
              status_json(status_report{}));
}

// Valid UTF-8 is copied, at the edges of each length too; every byte of a form UTF-8 forbids
// (overlong, surrogate, above U+10FFFF, cut short) is a lone surrogate, so a name that is text
// and one that is not never print alike.
TEST(ToolJson, NamesStayApart) {
    struct {
        const char* name;
        const char* json;
    } cases[] = {
        // clang-format off
        {"\xc3\xbf", "\xc3\xbf"}, {"\xff", "\\udcff"},
        {"\xdf\xbf", "\xdf\xbf"}, {"\xc0\x80", "\\udcc0\\udc80"},
        {"\xe0\xa0\x80", "\xe0\xa0\x80"}, {"\xe0\x9f\xbf", "\\udce0\\udc9f\\udcbf"},
        {"\xed\x9f\xbf", "\xed\x9f\xbf"}, {"\xed\xa0\x80", "\\udced\\udca0\\udc80"},
        {"\xf0\x90\x80\x80", "\xf0\x90\x80\x80"}, {"\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        {"\xf0\x8f\xbf\xbf", "\\udcf0\\udc8f\\udcbf\\udcbf"}, {"a\xe2\x82", "a\\udce2\\udc82"},
        {"\xf4\x90\x80\x80", "\\udcf4\\udc90\\udc80\\udc80"},
        {"\xf5\x80\x80\x80", "\\udcf5\\udc80\\udc80\\udc80"},
        {"\xe2\x82\xac\x01", "\xe2\x82\xac\\u0001"},
        // clang-format on
    };
    for (const auto& c : cases) {
        std::string out;
        json_append_string(&out, c.name);
        EXPECT_EQ(std::string("\"") + c.json + "\"", out) << c.json;
    }
}

}  // namespace
