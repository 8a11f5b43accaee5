// Data-directory names and paths: the server name's visible parts and its
// hash suffix (checked against coreutils b2sum over the same bytes), account
// names that keep distinct users apart, the path builders, and the older
// layout's names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client_datadir.h"
#include "qv_test_support.h"

namespace {

// First 8 hex digits of BLAKE2b-512 over `input`, as b2sum prints them.
std::string b2sum8(const std::string &input) {
    qvtest::TempDir dir;
    std::string f = dir.file("in");
    qvtest::write_file(f, input);
    std::string out;
    EXPECT_EQ(qvtest::run_command("b2sum -l 512 '" + f + "'", &out), 0);
    EXPECT_GE(out.size(), 128u);
    return out.substr(0, 8);
}

std::string server_name(const std::string &host, const std::string &port) {
    char out[QV_DATADIR_SERVER_BUF];
    EXPECT_EQ(quorvane_datadir_server_name(host.c_str(), port.c_str(), out, sizeof out), 0) << host << " " << port;
    return out;
}

std::string account_name(const char *user) {
    char out[QV_DATADIR_ACCOUNT_BUF];
    EXPECT_EQ(quorvane_datadir_account_name(user, out, sizeof out), 0);
    return out;
}

TEST(QuorvaneDatadirServerName, VisiblePartsAndSuffixMatchB2sum) {
    ASSERT_TRUE(qvtest::have_program("b2sum"));
    std::string host60(60, 'h');
    host60[55] = 'Z';  // past the shown 48 bytes, still hashed (lowered)
    std::string host60_hashed = host60;
    host60_hashed[55] = 'z';
    struct Case {
        const char *name;
        std::string host, port, visible, hashed;
    } cases[] = {
        {"mixed case lowered", "Chat.Alpha.LAN", "7420", "chat.alpha.lan_7420_", std::string("chat.alpha.lan\0" "7420", 19)},
        {"brackets and colons", "[::1]", "7420", "___1__7420_", std::string("[::1]\0" "7420", 10)},
        {"only dots", "...", "7420", "server_7420_", std::string("...\0" "7420", 8)},
        {"empty host", "", "7420", "server_7420_", std::string("\0" "7420", 5)},
        {"digits picked from the port", "h", "74x20", "h_7420_", std::string("h\0" "74x20", 7)},
        {"empty port", "h", "", "h_0_", std::string("h\0", 2)},
        {"port of nine digits", "h", "123456789", "h_12345678_", std::string("h\0" "123456789", 11)},
        {"long host", host60, "1", std::string(48, 'h') + "_1_", host60_hashed + std::string("\0" "1", 2)},
        {"high bytes and at sign", "a@b\xc3\xa9", "1", "a_b___1_", std::string("a@b\xc3\xa9\0" "1", 7)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = server_name(c.host, c.port);
        EXPECT_EQ(name, c.visible + b2sum8(c.hashed));
        EXPECT_LE(name.size(), QV_DATADIR_SERVER_NAME_MAX);
    }
}

TEST(QuorvaneDatadirServerName, SuffixKeepsLookalikesApartAndIgnoresCase) {
    EXPECT_NE(server_name("a_b", "7420"), server_name("a@b", "7420"));
    EXPECT_EQ(server_name("a_b", "7420").substr(0, 9), server_name("a@b", "7420").substr(0, 9));
    EXPECT_NE(server_name("h", "7420"), server_name("h", "74x20"));
    EXPECT_EQ(server_name("Chat.Alpha.LAN", "7420"), server_name("chat.alpha.lan", "7420"));
    // the zero byte between host and port keeps the split point in the hash
    EXPECT_NE(server_name("h1", "2"), server_name("h", "12"));
}

TEST(QuorvaneDatadirServerName, RefusesWhatCannotBeNamed) {
    char out[QV_DATADIR_SERVER_BUF];
    std::string host_ok(400, 'a'), port_ok(111, '1');  // 400 + 111 + 1 = 512
    EXPECT_EQ(quorvane_datadir_server_name(host_ok.c_str(), port_ok.c_str(), out, sizeof out), 0);
    std::string port_long(112, '1');
    memset(out, 'x', sizeof out);
    EXPECT_EQ(quorvane_datadir_server_name(host_ok.c_str(), port_long.c_str(), out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(quorvane_datadir_server_name(nullptr, "1", out, sizeof out), -1);
    EXPECT_EQ(quorvane_datadir_server_name("h", nullptr, out, sizeof out), -1);
    EXPECT_EQ(quorvane_datadir_server_name("h", "1", nullptr, sizeof out), -1);
    EXPECT_EQ(quorvane_datadir_server_name("h", "1", out, 0), -1);
    // "h_1_" and 8 digits need 13 bytes with the terminator
    EXPECT_EQ(quorvane_datadir_server_name("h", "1", out, 13), 0);
    EXPECT_EQ(quorvane_datadir_server_name("h", "1", out, 12), -1);
    EXPECT_STREQ(out, "");
}

TEST(QuorvaneDatadirAccountName, KeptNamesUnchangedLossyNamesSuffixed) {
    std::string name40(40, 'n');
    struct Case {
        const char *name;
        const char *user;
        std::string expect;
    } cases[] = {
        {"plain", "alice", "alice"},
        {"underscore and dash kept", "a_b-9", "a_b-9"},
        {"exactly 32", "abcdefghijklmnopqrstuvwxyz012345", "abcdefghijklmnopqrstuvwxyz012345"},
        {"empty", "", "account"},
        {"missing", nullptr, "account"},
        {"dot replaced", "a.b", "a_b." + b2sum8("a.b")},
        {"upper case replaced", "Alice", "_lice." + b2sum8("Alice")},
        {"40 characters keep 32", name40.c_str(), std::string(32, 'n') + "." + b2sum8(name40)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(account_name(c.user), c.expect);
    }
}

// Two valid user names that differ only in "." against "_" used to share one
// directory, and with it one key store and one message store.
TEST(QuorvaneDatadirAccountName, DistinctUsersGetDistinctDirectories) {
    const char *groups[][3] = {
        {"a.b", "a_b", "a_b_"},
        {"john.doe", "john_doe", "john-doe"},
        {"x.y.z", "x_y.z", "x.y_z"},
    };
    for (const auto &g : groups) {
        std::string a = account_name(g[0]), b = account_name(g[1]), c = account_name(g[2]);
        EXPECT_NE(a, b);
        EXPECT_NE(a, c);
        EXPECT_NE(b, c);
    }
    // 33-character names that agree on their first 32 stay apart as well
    std::string n1(32, 'q'), n2(32, 'q');
    n1 += 'a';
    n2 += 'b';
    EXPECT_NE(account_name(n1.c_str()), account_name(n2.c_str()));
}

TEST(QuorvaneDatadirAccountName, CapacityCutsAndEmptyOnFailure) {
    char out[16];
    EXPECT_EQ(quorvane_datadir_account_name("alice", out, 4), 0);
    EXPECT_STREQ(out, "ali");
    EXPECT_EQ(quorvane_datadir_account_name("", out, 8), 0);
    EXPECT_STREQ(out, "account");
    memset(out, 'x', sizeof out);
    EXPECT_EQ(quorvane_datadir_account_name("", out, 7), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(quorvane_datadir_account_name("alice", out, 0), -1);
    EXPECT_EQ(quorvane_datadir_account_name("alice", nullptr, 8), -1);
}

TEST(QuorvaneDatadirPaths, JoinedUnderTheDataDirectory) {
    char out[256];
    std::string server = server_name("Chat.Alpha.LAN", "7420");

    ASSERT_EQ(quorvane_datadir_server_dir("/d", "Chat.Alpha.LAN", "7420", out, sizeof out), 0);
    EXPECT_EQ(std::string(out), "/d/servers.d/" + server);
    ASSERT_EQ(quorvane_datadir_pin_path("/d", "Chat.Alpha.LAN", "7420", out, sizeof out), 0);
    EXPECT_EQ(std::string(out), "/d/servers.d/" + server + "/pin");
    ASSERT_EQ(quorvane_datadir_account_dir("/d", "Chat.Alpha.LAN", "7420", "alice", out, sizeof out), 0);
    EXPECT_EQ(std::string(out), "/d/servers.d/" + server + "/alice");
    ASSERT_EQ(quorvane_datadir_account_dir("/d", "Chat.Alpha.LAN", "7420", "", out, sizeof out), 0);
    EXPECT_EQ(std::string(out), "/d/servers.d/" + server + "/account");
    ASSERT_EQ(quorvane_datadir_loginprefs_path("/d", out, sizeof out), 0);
    EXPECT_STREQ(out, "/d/loginprefs");
    ASSERT_EQ(quorvane_datadir_legacy_account_dir("/d", "alice", out, sizeof out), 0);
    EXPECT_STREQ(out, "/d/alice");

    // an account name is never cut below its 32 characters inside a path
    std::string name40(40, 'n');
    ASSERT_EQ(quorvane_datadir_account_dir("/d", "h", "1", name40.c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out), "/d/servers.d/" + server_name("h", "1") + "/" + std::string(32, 'n') + "." + b2sum8(name40));
}

TEST(QuorvaneDatadirPaths, RefusedArgumentsAndShortOutputs) {
    char out[64];
    auto refused = [&](int rc) {
        EXPECT_EQ(rc, -1);
        EXPECT_STREQ(out, "");
        memset(out, 'x', sizeof out);
    };
    memset(out, 'x', sizeof out);
    refused(quorvane_datadir_server_dir(nullptr, "h", "1", out, sizeof out));
    refused(quorvane_datadir_server_dir("", "h", "1", out, sizeof out));  // would land at the root
    refused(quorvane_datadir_pin_path("/d", nullptr, "1", out, sizeof out));
    refused(quorvane_datadir_account_dir("/d", "h", nullptr, "alice", out, sizeof out));
    refused(quorvane_datadir_loginprefs_path("", out, sizeof out));
    refused(quorvane_datadir_legacy_account_dir(nullptr, "alice", out, sizeof out));
    // "/d/servers.d/" 13 + name 12 + "/pin" 4 = 29 characters
    EXPECT_EQ(quorvane_datadir_pin_path("/d", "h", "1", out, 30), 0);
    refused(quorvane_datadir_pin_path("/d", "h", "1", out, 29));
    refused(quorvane_datadir_loginprefs_path("/d", out, 13));
    EXPECT_EQ(quorvane_datadir_loginprefs_path("/d", out, 14), 0);
}

// Directories written before lossy names got their suffix stay reachable:
// the application moves them to the new name when that does not exist yet.
TEST(QuorvaneDatadirPaths, PriorAccountDirectory) {
    char now[256], prior[256];
    ASSERT_EQ(quorvane_datadir_account_dir("/d", "h", "1", "alice", now, sizeof now), 0);
    EXPECT_EQ(quorvane_datadir_account_dir_prior("/d", "h", "1", "alice", prior, sizeof prior), 0);
    EXPECT_STREQ(prior, now);

    ASSERT_EQ(quorvane_datadir_account_dir("/d", "h", "1", "a.b", now, sizeof now), 0);
    EXPECT_EQ(quorvane_datadir_account_dir_prior("/d", "h", "1", "a.b", prior, sizeof prior), 1);
    EXPECT_EQ(std::string(prior), "/d/servers.d/" + server_name("h", "1") + "/a_b");
    EXPECT_STRNE(prior, now);

    ASSERT_EQ(quorvane_datadir_legacy_account_dir("/d", "a.b", prior, sizeof prior), 0);
    EXPECT_STREQ(prior, "/d/a_b");
}

TEST(QuorvaneDatadirPaths, LoginprefsFromPin) {
    struct Case {
        const char *pin;
        const char *expect;  // null: refused
    } cases[] = {
        {"/d/servers.d/x/pin", "/d/loginprefs"},
        {"rel/servers.d/x/pin", "rel/loginprefs"},
        {"/a/b/servers.d/x_1_00000000/pin", "/a/b/loginprefs"},
        {"servers.d/x/pin", nullptr},
        {"/servers.d/x/pin", nullptr},
        {"/d/servers.d//pin", nullptr},
        {"/d/servers.dx/x/pin", nullptr},
        {"/d/servers.d/x/pins", nullptr},
        {"/d/servers.d/x/", nullptr},
        {"pin", nullptr},
        {"", nullptr},
        {nullptr, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pin ? c.pin : "(null)");
        char out[64];
        memset(out, 'x', sizeof out);
        int rc = quorvane_datadir_loginprefs_from_pin(c.pin, out, sizeof out);
        EXPECT_EQ(rc, c.expect ? 0 : -1);
        EXPECT_STREQ(out, c.expect ? c.expect : "");
    }
    // round trip with the builders
    char pin[256], prefs[256], direct[256];
    ASSERT_EQ(quorvane_datadir_pin_path("/data/dir", "Chat.Alpha.LAN", "7420", pin, sizeof pin), 0);
    ASSERT_EQ(quorvane_datadir_loginprefs_from_pin(pin, prefs, sizeof prefs), 0);
    ASSERT_EQ(quorvane_datadir_loginprefs_path("/data/dir", direct, sizeof direct), 0);
    EXPECT_STREQ(prefs, direct);
}

TEST(QuorvaneDatadirLegacy, PinNameAndSplit) {
    char name[64];
    ASSERT_EQ(quorvane_datadir_legacy_pin_name("Chat.Alpha.LAN", "7420", name, sizeof name), 0);
    EXPECT_STREQ(name, "pin_Chat.Alpha.LAN_7420");
    EXPECT_EQ(quorvane_datadir_legacy_pin_name("../x", "7420", name, sizeof name), -1);
    EXPECT_EQ(quorvane_datadir_legacy_pin_name("h", "74/20", name, sizeof name), -1);
    EXPECT_EQ(quorvane_datadir_legacy_pin_name("h", "1", name, 8), 0);  // "pin_h_1"
    EXPECT_EQ(quorvane_datadir_legacy_pin_name("h", "12", name, 8), -1);

    struct Case {
        const char *name;
        const char *host, *port;  // null: refused
    } cases[] = {
        {"pin_chat.alpha.lan_7420", "chat.alpha.lan", "7420"},
        {"pin_my_host_7420", "my_host", "7420"},
        {"pin_Chat.Alpha.LAN_1", "Chat.Alpha.LAN", "1"},
        {"pin_host_", nullptr, nullptr},
        {"pin__7420", nullptr, nullptr},
        {"pin_host_74a", nullptr, nullptr},
        {"pin_host7420", nullptr, nullptr},
        {"pin_", nullptr, nullptr},
        {"pix_host_7420", nullptr, nullptr},
        {"", nullptr, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        char host[32], port[8];
        int rc = quorvane_datadir_legacy_pin_split(c.name, host, sizeof host, port, sizeof port);
        EXPECT_EQ(rc, c.host ? 0 : -1);
        if (c.host) {
            EXPECT_STREQ(host, c.host);
            EXPECT_STREQ(port, c.port);
        }
    }
    // the builder's output splits back
    char host[32], port[8];
    ASSERT_EQ(quorvane_datadir_legacy_pin_name("my_host", "7420", name, sizeof name), 0);
    ASSERT_EQ(quorvane_datadir_legacy_pin_split(name, host, sizeof host, port, sizeof port), 0);
    EXPECT_STREQ(host, "my_host");
    EXPECT_STREQ(port, "7420");
    // both parts must be shorter than their capacities
    EXPECT_EQ(quorvane_datadir_legacy_pin_split("pin_abc_1234", host, 4, port, 5), 0);
    EXPECT_EQ(quorvane_datadir_legacy_pin_split("pin_abc_1234", host, 3, port, 5), -1);
    EXPECT_EQ(quorvane_datadir_legacy_pin_split("pin_abc_1234", host, 4, port, 4), -1);
}

}  // namespace
