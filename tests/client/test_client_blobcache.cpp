// Blob cache: the class boundary, eviction in the order of times set with
// `touch -d` (large entries first), the size total beside `du -b` over the
// entries, reads that refresh an entry's time, and entries cut short as a
// crash leaves them (entries are not synced): reported, never served as good.
#include "client_blobcache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "qv_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Id {
    uint8_t b[16];
    explicit Id(int n) {
        for (int i = 0; i < 16; i++) b[i] = uint8_t(n * 37 + i);
    }
    std::string name() const { return qvtest::hex(b, 16); }
};

class BlobCache : public ::testing::Test {
  protected:
    qvtest::TempDir tmp;
    std::string dir = tmp.file("msgstore-blobs");

    std::string entry(const Id &id, bool large) const {
        return dir + (large ? "/large/" : "/small/") + id.name();
    }
    int put(const Id &id, size_t len, uint64_t limit = 1 << 30) {
        const Bytes b(len, uint8_t(id.b[0]));
        return quorvane_blobcache_put(dir.c_str(), id.b, b.data(), b.size(), limit);
    }
    void touch(const std::string &path, int seconds) {
        char when[64];
        snprintf(when, sizeof when, "2001-01-01 00:00:00 UTC + %d seconds", seconds);
        ASSERT_EQ(qvtest::run_command("touch -d '" + std::string(when) + "' '" + path + "'"), 0) << path;
    }
    time_t mtime(const std::string &path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
    }
    uint64_t du_entries() {
        std::string out;
        EXPECT_EQ(qvtest::run_command("find '" + dir + "/small' '" + dir + "/large' -maxdepth 1 -type f -name '" +
                                          std::string(32, '?') + "' -print0 | du -cb --files0-from=- | tail -n 1",
                                      &out),
                  0);
        return std::stoull(out);
    }
};

}  // namespace

TEST_F(BlobCache, ClassBoundaryAndLayout) {
    ASSERT_EQ(put(Id(1), QV_BLOBCACHE_SMALL_MAX), 0);
    ASSERT_EQ(put(Id(2), QV_BLOBCACHE_SMALL_MAX + 1), 0);
    EXPECT_TRUE(qvtest::exists(entry(Id(1), false)));
    EXPECT_TRUE(qvtest::exists(entry(Id(2), true)));
    EXPECT_EQ(qvtest::names_in(dir + "/small"), std::vector<std::string>{Id(1).name()});
    EXPECT_EQ(qvtest::names_in(dir + "/large"), std::vector<std::string>{Id(2).name()});
    for (const char *d : {"", "/small", "/large"}) EXPECT_EQ(qvtest::mode_of(dir + d), 0700u) << d;

    // The bytes exactly, nothing else; read back whole.
    Bytes want = qvtest::random_bytes(1000);
    ASSERT_EQ(quorvane_blobcache_put(dir.c_str(), Id(3).b, want.data(), want.size(), 1 << 30), 0);
    EXPECT_EQ(qvtest::file_bytes(entry(Id(3), false)), want);
    Bytes got(2000);
    size_t len = 0;
    ASSERT_EQ(quorvane_blobcache_get(dir.c_str(), Id(3).b, got.data(), got.size(), &len), 0);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + long(len)), want);
    // Stored again with other bytes: replaced.
    Bytes again = qvtest::random_bytes(999);
    ASSERT_EQ(quorvane_blobcache_put(dir.c_str(), Id(3).b, again.data(), again.size(), 1 << 30), 0);
    EXPECT_EQ(qvtest::file_bytes(entry(Id(3), false)), again);
    EXPECT_EQ(quorvane_blobcache_get(dir.c_str(), Id(4).b, got.data(), got.size(), &len), -1);
    // Stored again at a length of the other class: the old copy goes, so a
    // get never finds the stale one first.
    Bytes large = qvtest::random_bytes(QV_BLOBCACHE_SMALL_MAX + 5);
    ASSERT_EQ(quorvane_blobcache_put(dir.c_str(), Id(3).b, large.data(), large.size(), 1 << 30), 0);
    EXPECT_FALSE(qvtest::exists(entry(Id(3), false)));
    Bytes big(large.size());
    ASSERT_EQ(quorvane_blobcache_get(dir.c_str(), Id(3).b, big.data(), big.size(), &len), 0);
    EXPECT_EQ(big, large);
    ASSERT_EQ(quorvane_blobcache_put(dir.c_str(), Id(3).b, again.data(), again.size(), 1 << 30), 0);
    EXPECT_FALSE(qvtest::exists(entry(Id(3), true)));

    // Refusals store nothing.
    const Bytes b(10, 1);
    EXPECT_EQ(quorvane_blobcache_put(nullptr, Id(5).b, b.data(), b.size(), 100), -1);
    EXPECT_EQ(quorvane_blobcache_put(dir.c_str(), nullptr, b.data(), b.size(), 100), -1);
    EXPECT_EQ(quorvane_blobcache_put(dir.c_str(), Id(5).b, nullptr, b.size(), 100), -1);
    EXPECT_EQ(quorvane_blobcache_put(dir.c_str(), Id(5).b, b.data(), 0, 100), -1);
    EXPECT_EQ(quorvane_blobcache_put(dir.c_str(), Id(5).b, b.data(), b.size(), 9), -1);  // longer than the limit
    EXPECT_FALSE(qvtest::exists(entry(Id(5), false)));
    EXPECT_EQ(quorvane_blobcache_get(nullptr, Id(3).b, got.data(), got.size(), &len), -1);
    EXPECT_EQ(quorvane_blobcache_get(dir.c_str(), Id(3).b, nullptr, got.size(), &len), -1);
    EXPECT_EQ(quorvane_blobcache_get(dir.c_str(), Id(3).b, got.data(), got.size(), nullptr), -1);
    // A cache directory that is a file, and one whose paths would not fit.
    qvtest::write_file(tmp.file("plain"), "x");
    EXPECT_EQ(quorvane_blobcache_put(tmp.file("plain").c_str(), Id(5).b, b.data(), b.size(), 100), -1);
    const std::string deep = tmp.file(std::string(1000, 'd'));
    EXPECT_EQ(quorvane_blobcache_put(deep.c_str(), Id(5).b, b.data(), b.size(), 100), -1);
    EXPECT_EQ(quorvane_blobcache_size(deep.c_str()), 0u);
    EXPECT_EQ(quorvane_blobcache_size(tmp.file("none").c_str()), 0u);
    EXPECT_EQ(quorvane_blobcache_evict(tmp.file("none").c_str(), 0), 0u);
    EXPECT_EQ(quorvane_blobcache_size(nullptr), 0u);
}

// The documented example: large entries go first whatever their age.
TEST_F(BlobCache, LargeEntriesGoFirst) {
    ASSERT_EQ(put(Id(1), 400), 0);
    ASSERT_EQ(put(Id(2), 500), 0);
    // a "large" entry of 300 bytes: placed by hand, as the class is the directory
    ASSERT_EQ(put(Id(3), 300), 0);
    ASSERT_EQ(rename(entry(Id(3), false).c_str(), entry(Id(3), true).c_str()), 0);
    touch(entry(Id(1), false), 10);
    touch(entry(Id(2), false), 20);
    touch(entry(Id(3), true), 30);
    EXPECT_EQ(quorvane_blobcache_size(dir.c_str()), 1200u);
    EXPECT_EQ(quorvane_blobcache_evict(dir.c_str(), 1000), 1u);
    EXPECT_FALSE(qvtest::exists(entry(Id(3), true)));
    EXPECT_EQ(quorvane_blobcache_size(dir.c_str()), 900u);
    EXPECT_EQ(quorvane_blobcache_evict(dir.c_str(), 600), 1u);
    EXPECT_FALSE(qvtest::exists(entry(Id(1), false)));
    EXPECT_TRUE(qvtest::exists(entry(Id(2), false)));
    EXPECT_EQ(quorvane_blobcache_evict(dir.c_str(), 600), 0u);
}

// Entries in shuffled ages set by `touch -d`: eviction removes large ones
// oldest first, then small ones oldest first, and stops once the rest fits;
// the size total matches `du -b` over the entry files at every step.
TEST_F(BlobCache, EvictionFollowsTouchTimesAndSizeMatchesDu) {
    std::mt19937 rng(99);
    struct E { int id; size_t len; bool large; int age; };
    std::vector<E> es;
    std::vector<int> ages(40);
    for (int i = 0; i < 40; i++) ages[size_t(i)] = i * 7;
    std::shuffle(ages.begin(), ages.end(), rng);
    for (int i = 0; i < 40; i++) {
        const bool large = i % 5 == 0;
        const size_t len = large ? QV_BLOBCACHE_SMALL_MAX + 1 + size_t(i) : 1000 + size_t(i) * 131;
        es.push_back({i, len, large, ages[size_t(i)]});
        ASSERT_EQ(put(Id(i), len), 0);
        touch(entry(Id(i), large), ages[size_t(i)]);
    }
    // Things in the directories that are not entries, left alone and not counted.
    qvtest::write_file(entry(Id(100), false) + ".tmp", std::string(5000, 't'));
    qvtest::write_file(dir + "/small/short-name", std::string(700, 's'));
    ASSERT_EQ(mkdir(entry(Id(101), false).c_str(), 0700), 0);
    ASSERT_EQ(symlink(entry(Id(1), false).c_str(), entry(Id(102), false).c_str()), 0);

    uint64_t total = 0;
    for (const E &e : es) total += e.len;
    EXPECT_EQ(quorvane_blobcache_size(dir.c_str()), total);
    EXPECT_EQ(du_entries(), total);

    std::vector<E> order = es;
    std::sort(order.begin(), order.end(), [](const E &a, const E &b) {
        return a.large != b.large ? a.large : a.age < b.age;
    });
    // Evict to a limit that keeps exactly the 20 entries at the end of the order.
    uint64_t keep = 0;
    for (size_t i = 20; i < order.size(); i++) keep += order[i].len;
    EXPECT_EQ(quorvane_blobcache_evict(dir.c_str(), keep), 20u);
    for (size_t i = 0; i < order.size(); i++)
        EXPECT_EQ(qvtest::exists(entry(Id(order[i].id), order[i].large)), i >= 20) << "position " << i;
    EXPECT_EQ(quorvane_blobcache_size(dir.c_str()), keep);
    EXPECT_EQ(du_entries(), keep);
    // one byte less than what is left removes exactly the next one
    EXPECT_EQ(quorvane_blobcache_evict(dir.c_str(), keep - 1), 1u);
    EXPECT_FALSE(qvtest::exists(entry(Id(order[20].id), order[20].large)));
    EXPECT_EQ(quorvane_blobcache_size(dir.c_str()), du_entries());

    EXPECT_TRUE(qvtest::exists(entry(Id(100), false) + ".tmp"));
    EXPECT_TRUE(qvtest::exists(dir + "/small/short-name"));
    EXPECT_EQ(quorvane_blobcache_clear(dir.c_str()), 19u);
    EXPECT_EQ(quorvane_blobcache_size(dir.c_str()), 0u);
    EXPECT_TRUE(qvtest::exists(entry(Id(102), false)));  // a link is no entry
}

TEST_F(BlobCache, ReadsRefreshAndShortBuffersDoNot) {
    ASSERT_EQ(put(Id(1), 300), 0);
    ASSERT_EQ(put(Id(2), 300), 0);
    touch(entry(Id(1), false), 10);
    touch(entry(Id(2), false), 20);
    Bytes buf(300);
    size_t len = 0;
    // One byte short: refused, and the time stays.
    EXPECT_EQ(quorvane_blobcache_get(dir.c_str(), Id(1).b, buf.data(), 299, &len), -1);
    EXPECT_EQ(mtime(entry(Id(1), false)), mtime(entry(Id(2), false)) - 10);
    // A read makes the older entry the newest: the other one goes first.
    ASSERT_EQ(quorvane_blobcache_get(dir.c_str(), Id(1).b, buf.data(), buf.size(), &len), 0);
    EXPECT_EQ(len, 300u);
    EXPECT_GT(mtime(entry(Id(1), false)), mtime(entry(Id(2), false)));
    EXPECT_EQ(quorvane_blobcache_evict(dir.c_str(), 300), 1u);
    EXPECT_TRUE(qvtest::exists(entry(Id(1), false)));
    EXPECT_FALSE(qvtest::exists(entry(Id(2), false)));

    // A put evicts down to its limit, and may evict what it just stored when
    // that is the oldest large entry.
    ASSERT_EQ(put(Id(3), 400, 700), 0);
    EXPECT_EQ(quorvane_blobcache_size(dir.c_str()), 700u);
    ASSERT_EQ(put(Id(4), QV_BLOBCACHE_SMALL_MAX + 10, QV_BLOBCACHE_SMALL_MAX + 10), 0);
    EXPECT_FALSE(qvtest::exists(entry(Id(4), true)));

    // A limit of 0 empties the cache and stores nothing.
    EXPECT_EQ(put(Id(5), 10, 0), -1);
    EXPECT_EQ(quorvane_blobcache_size(dir.c_str()), 0u);
    EXPECT_FALSE(qvtest::exists(entry(Id(5), false)));
}

// As after a crash: the entry's name is there but its bytes are not all.
// get_exact reports it (-2) and drops it so the caller fetches again; an
// empty entry is refused even by the plain get.
TEST_F(BlobCache, EntriesCutShortAreReportedNotServed) {
    const Bytes blob = qvtest::random_bytes(70000);
    ASSERT_EQ(quorvane_blobcache_put(dir.c_str(), Id(1).b, blob.data(), blob.size(), 1 << 30), 0);
    Bytes buf(blob.size() + 100);
    EXPECT_EQ(quorvane_blobcache_get_exact(dir.c_str(), Id(1).b, blob.size(), buf.data(), buf.size()), 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + long(blob.size())), blob);

    struct Damage { const char *what; std::string cmd; };
    const std::string path = entry(Id(1), false);
    const Damage damages[] = {
        {"cut to half", "truncate -s 35000 '" + path + "'"},
        {"cut by one byte", "truncate -s 69999 '" + path + "'"},
        {"empty", "truncate -s 0 '" + path + "'"},
        {"one byte longer", "truncate -s 70001 '" + path + "'"},
    };
    for (const Damage &d : damages) {
        SCOPED_TRACE(d.what);
        ASSERT_EQ(quorvane_blobcache_put(dir.c_str(), Id(1).b, blob.data(), blob.size(), 1 << 30), 0);
        ASSERT_EQ(qvtest::run_command(d.cmd), 0);
        std::fill(buf.begin(), buf.end(), 0);
        EXPECT_EQ(quorvane_blobcache_get_exact(dir.c_str(), Id(1).b, blob.size(), buf.data(), buf.size()), -2);
        EXPECT_FALSE(qvtest::exists(path)) << "a damaged entry stays to be served again";
        EXPECT_EQ(quorvane_blobcache_get_exact(dir.c_str(), Id(1).b, blob.size(), buf.data(), buf.size()), -1);
    }
    // The plain get cannot know the length, but never serves an empty entry.
    ASSERT_EQ(quorvane_blobcache_put(dir.c_str(), Id(1).b, blob.data(), blob.size(), 1 << 30), 0);
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    size_t len = 99;
    EXPECT_EQ(quorvane_blobcache_get(dir.c_str(), Id(1).b, buf.data(), buf.size(), &len), -1);
    EXPECT_EQ(len, 99u);
    // get_exact with a buffer smaller than the length asked for is refused
    EXPECT_EQ(quorvane_blobcache_get_exact(dir.c_str(), Id(1).b, 100, buf.data(), 99), -1);
    EXPECT_EQ(quorvane_blobcache_get_exact(dir.c_str(), Id(1).b, 0, buf.data(), 99), -1);
}

// What stands at an entry name may be no file we wrote: a FIFO, a directory, a
// link to a file outside the cache. Reads neither hang nor follow it, stores
// replace it or fail cleanly, eviction never reaches outside the cache.
TEST_F(BlobCache, ThingsPlantedAtEntryNames) {
    const std::string outside = tmp.file("outside");
    qvtest::write_file(outside, "not the cache's");
    struct Planted {
        const char *what;
        int (*plant)(const std::string &at, const std::string &outside);
        bool put_replaces;
    };
    const Planted planted[] = {
        {"fifo", [](const std::string &at, const std::string &) { return mkfifo(at.c_str(), 0600); }, true},
        {"directory", [](const std::string &at, const std::string &) { return mkdir(at.c_str(), 0700); }, false},
        {"link out", [](const std::string &at, const std::string &o) { return symlink(o.c_str(), at.c_str()); }, true},
        {"dangling link",
         [](const std::string &at, const std::string &o) { return symlink((o + "-none").c_str(), at.c_str()); }, true},
    };
    for (const Planted &p : planted) {
        SCOPED_TRACE(p.what);
        ASSERT_EQ(put(Id(9), 10), 0);
        ASSERT_EQ(quorvane_blobcache_clear(dir.c_str()), 1u);
        const std::string at = entry(Id(9), false);
        ASSERT_EQ(p.plant(at, outside), 0);
        // in a child that the alarm ends should the read block
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(60);
            uint8_t buf[64];
            size_t len = 0;
            const int a = quorvane_blobcache_get(dir.c_str(), Id(9).b, buf, sizeof buf, &len);
            const int b = quorvane_blobcache_get_exact(dir.c_str(), Id(9).b, 10, buf, sizeof buf);
            _exit(a == -1 && b == -1 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << (WIFSIGNALED(status) ? "the read blocked" : "something was served");
        EXPECT_EQ(quorvane_blobcache_size(dir.c_str()), 0u);
        EXPECT_EQ(quorvane_blobcache_clear(dir.c_str()), 0u);
        const Bytes blob(10, 7);
        EXPECT_EQ(quorvane_blobcache_put(dir.c_str(), Id(9).b, blob.data(), blob.size(), 1 << 30),
                  p.put_replaces ? 0 : -1);
        struct stat st;
        ASSERT_EQ(lstat(at.c_str(), &st), 0);
        EXPECT_EQ(S_ISREG(st.st_mode), p.put_replaces);
        EXPECT_FALSE(qvtest::exists(at + ".tmp"));
        EXPECT_EQ(qvtest::read_file(outside), "not the cache's");
        if (!p.put_replaces) {
            ASSERT_EQ(rmdir(at.c_str()), 0);
        }
        EXPECT_EQ(quorvane_blobcache_clear(dir.c_str()), p.put_replaces ? 1u : 0u);
    }
    EXPECT_EQ(qvtest::read_file(outside), "not the cache's");
}
