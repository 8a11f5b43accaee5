// Server-key pins: trust on first use, later comparisons, a changed key, and
// pin files that exist but cannot be used, which must never be overwritten.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>
#include <unistd.h>

#include "client_pin.h"
#include "qv_test_support.h"
#include "quorvane_crypto.h"

namespace {

using qvtest::exists;

std::string key_bytes(uint8_t fill) { return std::string(QV_PIN_LEN, static_cast<char>(fill)); }
const uint8_t *u8(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

TEST(QuorvanePin, FirstUsePinsThenComparesAndSetReplaces) {
    qvtest::TempDir dir;
    std::string pin = dir.file("pin"), k1 = key_bytes(0x11), k2 = key_bytes(0x22);

    EXPECT_EQ(quorvane_pin_check(pin.c_str(), u8(k1)), 0);
    EXPECT_EQ(qvtest::read_file(pin), k1);
    EXPECT_FALSE(exists(pin + ".tmp"));
    EXPECT_EQ(quorvane_pin_check(pin.c_str(), u8(k1)), 1);

    std::string k1_last = k1;
    k1_last[31] ^= 1;  // a difference in the last byte counts
    EXPECT_EQ(quorvane_pin_check(pin.c_str(), u8(k1_last)), 2);
    EXPECT_EQ(quorvane_pin_check(pin.c_str(), u8(k2)), 2);
    EXPECT_EQ(qvtest::read_file(pin), k1);  // a changed key is reported, not stored

    ASSERT_EQ(quorvane_pin_set(pin.c_str(), u8(k2)), 0);
    EXPECT_EQ(qvtest::read_file(pin), k2);
    EXPECT_EQ(quorvane_pin_check(pin.c_str(), u8(k2)), 1);
    EXPECT_EQ(quorvane_pin_check(pin.c_str(), u8(k1)), 2);
}

TEST(QuorvanePin, OnlyTheFirst32BytesCount) {
    qvtest::TempDir dir;
    std::string pin = dir.file("pin"), k = key_bytes(0x33);
    qvtest::write_file(pin, k + "trailing bytes");
    EXPECT_EQ(quorvane_pin_check(pin.c_str(), u8(k)), 1);
    EXPECT_EQ(quorvane_pin_check(pin.c_str(), u8(key_bytes(0x44))), 2);
}

// A pin file that is there but unusable is an error, and the pinned key stays:
// treating it as a first use would let any server replace it.
TEST(QuorvanePin, UnusablePinIsAnErrorAndIsLeftAlone) {
    qvtest::TempDir dir;
    const std::string k = key_bytes(0x55);
    struct Case {
        const char *name;
        std::string content;
    } short_files[] = {
        {"31 bytes", std::string(31, 'x')},
        {"empty", ""},
        {"one byte", "x"},
    };
    for (const auto &c : short_files) {
        SCOPED_TRACE(c.name);
        std::string pin = dir.file("pin");
        qvtest::write_file(pin, c.content);
        EXPECT_EQ(quorvane_pin_check(pin.c_str(), u8(k)), -1);
        EXPECT_EQ(qvtest::read_file(pin), c.content);
    }

    std::string as_dir = dir.file("dirpin");
    ASSERT_EQ(mkdir(as_dir.c_str(), 0700), 0);
    EXPECT_EQ(quorvane_pin_check(as_dir.c_str(), u8(k)), -1);
    struct stat st;
    ASSERT_EQ(stat(as_dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    std::string loop = dir.file("looppin");
    ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
    EXPECT_EQ(quorvane_pin_check(loop.c_str(), u8(k)), -1);
    ASSERT_EQ(lstat(loop.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    std::string file = dir.file("plain");
    qvtest::write_file(file, "not a directory");
    EXPECT_EQ(quorvane_pin_check((file + "/pin").c_str(), u8(k)), -1);
    EXPECT_EQ(qvtest::read_file(file), "not a directory");

    if (geteuid() != 0) {  // root reads through any mode
        std::string locked = dir.file("locked");
        qvtest::write_file(locked, key_bytes(0x66));
        ASSERT_EQ(chmod(locked.c_str(), 0), 0);
        EXPECT_EQ(quorvane_pin_check(locked.c_str(), u8(k)), -1);
        ASSERT_EQ(chmod(locked.c_str(), 0600), 0);
        EXPECT_EQ(qvtest::read_file(locked), key_bytes(0x66));
    }
}

TEST(QuorvanePin, CreatesNoDirectoriesAndRefusesMissingArguments) {
    qvtest::TempDir dir;
    const std::string k = key_bytes(0x77);
    std::string pin = dir.file("servers.d/srv/pin");
    EXPECT_EQ(quorvane_pin_check(pin.c_str(), u8(k)), -1);
    EXPECT_FALSE(exists(dir.file("servers.d")));
    EXPECT_EQ(quorvane_pin_set(pin.c_str(), u8(k)), -1);

    EXPECT_EQ(quorvane_pin_check(nullptr, u8(k)), -1);
    EXPECT_EQ(quorvane_pin_set(nullptr, u8(k)), -1);
    EXPECT_EQ(quorvane_pin_check(dir.file("pin").c_str(), nullptr), -1);
    EXPECT_EQ(quorvane_pin_set(dir.file("pin").c_str(), nullptr), -1);
    EXPECT_FALSE(exists(dir.file("pin")));
}

// Readers see the old key or the new one: set goes through a temporary file
// and a rename, so an open descriptor on the old file still reads the old key.
TEST(QuorvanePin, SetReplacesByRename) {
    qvtest::TempDir dir;
    std::string pin = dir.file("pin"), k1 = key_bytes(0x01), k2 = key_bytes(0x02);
    ASSERT_EQ(quorvane_pin_set(pin.c_str(), u8(k1)), 0);
    struct stat before, after;
    ASSERT_EQ(stat(pin.c_str(), &before), 0);
    ASSERT_EQ(quorvane_pin_set(pin.c_str(), u8(k2)), 0);
    ASSERT_EQ(stat(pin.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(after.st_size, 32);
    EXPECT_FALSE(exists(pin + ".tmp"));
}

// Sessions that meet a server for the first time at the same moment (two
// windows, two processes) pin it together: each either pins or finds the pin,
// and the file is always the whole key; a different key offered in that
// moment does not replace the pin, it is a changed key.
TEST(QuorvanePin, ConcurrentFirstUseNeitherFailsNorTears) {
    qvtest::TempDir dir;
    const std::string k = key_bytes(0x5a), other = key_bytes(0xa5);
    for (int round = 0; round < 100; round++) {
        SCOPED_TRACE(round);
        std::string pin = dir.file("pin" + std::to_string(round));
        std::atomic<int> failed{0}, changed{0};
        std::vector<std::thread> ts;
        for (int t = 0; t < 6; t++)
            ts.emplace_back([&, t] {
                int r = quorvane_pin_check(pin.c_str(), u8(t == 5 ? other : k));
                if (r < 0) failed++;
                if (r == 2) changed++;
            });
        for (auto &t : ts) t.join();
        EXPECT_EQ(failed, 0);
        std::string got = qvtest::read_file(pin);
        ASSERT_TRUE(got == k || got == other) << got.size();
        EXPECT_EQ(changed, got == k ? 1 : 5);
    }
}

}  // namespace
