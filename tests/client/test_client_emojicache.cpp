// Custom-emoji cache: packs signed by openssl over real icon-theme pages hashed
// by b2sum are staged page by page and committed; a second handle sees the new
// version after reload; a bad page, a bad signature or an abort part way
// leaves the committed version byte for byte; a writer killed at random points
// while it commits leaves the old or the new version, whole; limits at n and
// n + 1; lookups through layers, typing, categories and search as tables.
#include "client_emojicache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "qv_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct CacheFree {
    void operator()(quorvane_emoji_cache *c) const { quorvane_emoji_cache_free(c); }
};
using Cache = std::unique_ptr<quorvane_emoji_cache, CacheFree>;

Cache open_cache(const std::string &dir) { return Cache(quorvane_emoji_cache_open(dir.c_str())); }

const uint8_t *u8(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

// One pack as the server would send it: text, openssl's signature, and the
// pages by name.
struct SignedPack {
    std::string text;
    std::array<uint8_t, 64> sig{};
    std::vector<std::pair<std::string, Bytes>> pages;
    const Bytes &page(const std::string &name) const {
        for (const auto &p : pages)
            if (p.first == name) return p.second;
        static const Bytes none;
        return none;
    }
};

struct PageSpec {
    std::string name;
    std::string file;  // the image, hashed by b2sum
};

SignedPack make_pack(const qvtest::OpensslEd25519 &key, uint32_t version, const std::vector<PageSpec> &pages,
                     const std::vector<std::string> &entries, const std::string &pad = "") {
    SignedPack p;
    p.text = "quorvane-emoji-pack-v1\nversion " + std::to_string(version) + "\ncell 16\n";
    for (const PageSpec &pg : pages) {
        p.text += "page " + pg.name + " " + qvtest::b2sum_hex(pg.file) + " 8 8\n";
        p.pages.emplace_back(pg.name, qvtest::file_bytes(pg.file));
    }
    for (const auto &e : entries) p.text += "entry " + e + "\n";
    p.text += pad;
    p.sig = key.sign(p.text);
    return p;
}

int begin(quorvane_emoji_cache *c, const SignedPack &p, const std::array<uint8_t, 32> &pub) {
    return quorvane_emoji_cache_begin(c, u8(p.text), p.text.size(), p.sig.data(), pub.data());
}

int put(quorvane_emoji_cache *c, const std::string &name, const Bytes &b) {
    return quorvane_emoji_cache_put_page(c, name.c_str(), b.data(), b.size());
}

// Begin, every page the cache asks for, commit.
::testing::AssertionResult bring_in(quorvane_emoji_cache *c, const SignedPack &p, const std::array<uint8_t, 32> &pub) {
    if (begin(c, p, pub) < 0) return ::testing::AssertionFailure() << "begin refused";
    char name[64];
    for (int guard = 0; quorvane_emoji_cache_next_needed(c, name, sizeof name); guard++) {
        if (guard > 64 || put(c, name, p.page(name)) != 0) {
            quorvane_emoji_cache_abort(c);
            return ::testing::AssertionFailure() << "page " << name << " refused";
        }
    }
    if (quorvane_emoji_cache_commit(c) != 0) return ::testing::AssertionFailure() << "commit refused";
    return ::testing::AssertionSuccess();
}

// Every page of the committed pack reads back as the pack's own bytes.
::testing::AssertionResult whole(quorvane_emoji_cache *c, const SignedPack &p) {
    const quorvane_emojipack *pack = quorvane_emoji_cache_pack(c);
    if (!pack) return ::testing::AssertionFailure() << "no committed pack";
    for (const auto &[name, bytes] : p.pages) {
        uint8_t *data = nullptr;
        size_t len = 0;
        if (quorvane_emoji_cache_read_page(c, name.c_str(), &data, &len) != 0)
            return ::testing::AssertionFailure() << "page " << name << " unreadable";
        const bool same = Bytes(data, data + len) == bytes;
        free(data);
        if (!same) return ::testing::AssertionFailure() << "page " << name << " differs";
    }
    return ::testing::AssertionSuccess();
}

// Every file under dir with its content.
std::map<std::string, std::string> snapshot(const std::string &dir) {
    std::map<std::string, std::string> m;
    for (const auto &e : std::filesystem::recursive_directory_iterator(dir))
        m[e.path().string()] = e.is_regular_file() ? qvtest::read_file(e.path().string()) : std::string("<dir>");
    return m;
}

std::vector<std::string> staged_files(const std::string &dir) {
    std::vector<std::string> out;
    for (const auto &n : qvtest::names_in(dir + "/pages"))
        if (n.find('~') != std::string::npos) out.push_back(n);
    return out;
}

class EmojiCache : public ::testing::Test {
  protected:
    void SetUp() override {
        pngs = qvtest::icon_theme_pngs(8);
        ASSERT_EQ(pngs.size(), 8u) << "adwaita-icon-theme is not installed (scripts/deps.sh installs it)";
    }
    qvtest::TempDir tmp;
    std::string dir = tmp.file("emoji-cache");
    qvtest::OpensslEd25519 key{tmp};
    std::vector<std::string> pngs;

    // Version v: pages a, b and c, whose images change with every version, so
    // each new pack reuses the old page names for other bytes.
    SignedPack version(uint32_t v, const std::vector<std::string> &entries = {"smile 0 0 face", "!wave 1 2 -"}) {
        return make_pack(key, v, {{"a", pngs[v % 8]}, {"b", pngs[(v + 3) % 8]}, {"c", pngs[(v + 5) % 8]}}, entries);
    }
};

}  // namespace

/* ---- staging and committing ------------------------------------------------ */

TEST_F(EmojiCache, StagesCommitsAndASecondHandleReloads) {
    Cache w = open_cache(dir);
    ASSERT_TRUE(w);
    EXPECT_EQ(qvtest::mode_of(dir), 0700u);
    EXPECT_EQ(qvtest::mode_of(dir + "/pages"), 0700u);
    EXPECT_EQ(quorvane_emoji_cache_version(w.get()), 0u);
    Cache r = open_cache(dir);
    ASSERT_TRUE(r);

    const SignedPack v1 = version(1);
    ASSERT_EQ(begin(w.get(), v1, key.pub), 3);
    char name[64];
    std::vector<std::string> asked;
    while (quorvane_emoji_cache_next_needed(w.get(), name, sizeof name)) {
        asked.push_back(name);
        ASSERT_EQ(put(w.get(), name, v1.page(name)), 0);
        // the page is on disk, and the committed state (none) has not moved
        EXPECT_EQ(quorvane_emoji_cache_version(w.get()), 0u);
        EXPECT_FALSE(qvtest::exists(dir + "/pack"));
    }
    EXPECT_EQ(asked, (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_EQ(quorvane_emoji_cache_commit(w.get()), 0);
    EXPECT_EQ(quorvane_emoji_cache_version(w.get()), 1u);
    EXPECT_EQ(qvtest::read_file(dir + "/pack"), v1.text);
    EXPECT_EQ(qvtest::file_bytes(dir + "/pack.sig"), Bytes(v1.sig.begin(), v1.sig.end()));
    for (const auto &[n, b] : v1.pages) EXPECT_EQ(qvtest::file_bytes(dir + "/pages/" + n), b) << n;
    EXPECT_TRUE(staged_files(dir).empty());
    EXPECT_TRUE(whole(w.get(), v1));
    EXPECT_EQ(quorvane_emoji_cache_commit(w.get()), -1);  // nothing staged any more

    // The other handle keeps what it loaded until it reloads.
    EXPECT_EQ(quorvane_emoji_cache_version(r.get()), 0u);
    EXPECT_EQ(quorvane_emoji_cache_lookup(r.get(), "smile"), nullptr);
    ASSERT_EQ(quorvane_emoji_cache_reload_committed(r.get()), 0);
    EXPECT_EQ(quorvane_emoji_cache_version(r.get()), 1u);
    EXPECT_TRUE(whole(r.get(), v1));
    const quorvane_emoji_entry *smile = quorvane_emoji_cache_lookup(r.get(), "smile");
    ASSERT_NE(smile, nullptr);
    EXPECT_EQ(quorvane_emoji_cache_owns(r.get(), smile), 1);
    EXPECT_EQ(quorvane_emoji_cache_owns(w.get(), smile), 0);
    EXPECT_EQ(quorvane_emoji_cache_lookup(r.get(), "wave"), nullptr);  // hidden

    // Version 2 reuses every page name for other bytes.
    const SignedPack v2 = version(2);
    ASSERT_TRUE(bring_in(w.get(), v2, key.pub));
    EXPECT_EQ(quorvane_emoji_cache_version(w.get()), 2u);
    EXPECT_TRUE(whole(w.get(), v2));
    for (const auto &[n, b] : v2.pages) EXPECT_EQ(qvtest::file_bytes(dir + "/pages/" + n), b) << n;
    EXPECT_TRUE(staged_files(dir).empty());
    ASSERT_EQ(quorvane_emoji_cache_reload_committed(r.get()), 0);
    EXPECT_EQ(quorvane_emoji_cache_version(r.get()), 2u);
    EXPECT_TRUE(whole(r.get(), v2));
    // A new handle loads the same.
    Cache fresh = open_cache(dir);
    EXPECT_EQ(quorvane_emoji_cache_version(fresh.get()), 2u);
    EXPECT_TRUE(whole(fresh.get(), v2));
    EXPECT_EQ(quorvane_emoji_cache_reload_committed(nullptr), -1);
}

// Part way through a staging, the committed version is untouched on disk and
// in every handle: pages already put, a bad page, an abort, a bad signature.
TEST_F(EmojiCache, FailuresPartWayLeaveTheCommittedVersion) {
    Cache w = open_cache(dir);
    const SignedPack v1 = version(1), v2 = version(2);
    ASSERT_TRUE(bring_in(w.get(), v1, key.pub));
    const auto before = snapshot(dir);
    auto committed_files = [&] {
        std::map<std::string, std::string> m;
        for (const char *f : {"/pack", "/pack.sig", "/pages/a", "/pages/b", "/pages/c"})
            m[f] = qvtest::read_file(dir + f);
        return m;
    };
    const auto committed_before = committed_files();

    ASSERT_EQ(begin(w.get(), v2, key.pub), 3);
    ASSERT_EQ(put(w.get(), "a", v2.page("a")), 0);
    // a page whose bytes are another page's, and a page with one bit flipped
    EXPECT_EQ(put(w.get(), "b", v2.page("c")), -1);
    Bytes flipped = v2.page("b");
    flipped[flipped.size() / 2] ^= 4;
    EXPECT_EQ(put(w.get(), "b", flipped), -1);
    EXPECT_EQ(committed_files(), committed_before);
    {
        Cache r = open_cache(dir);
        EXPECT_EQ(quorvane_emoji_cache_version(r.get()), 1u);
        EXPECT_TRUE(whole(r.get(), v1));
    }
    quorvane_emoji_cache_abort(w.get());
    EXPECT_EQ(quorvane_emoji_cache_version(w.get()), 1u);
    EXPECT_TRUE(whole(w.get(), v1));
    EXPECT_EQ(committed_files(), committed_before);
    EXPECT_EQ(quorvane_emoji_cache_commit(w.get()), -1);

    // A signature with one bit flipped, a pack with one bit flipped, and a
    // signature by another openssl key: refused, and not one file changes.
    const auto mid = snapshot(dir);
    for (size_t at : {size_t(0), size_t(40), size_t(63)}) {
        SignedPack bad = v2;
        bad.sig[at] ^= 0x80;
        EXPECT_EQ(begin(w.get(), bad, key.pub), -1) << at;
    }
    SignedPack bad_text = v2;
    bad_text.text[bad_text.text.size() - 3] ^= 1;
    EXPECT_EQ(begin(w.get(), bad_text, key.pub), -1);
    qvtest::OpensslEd25519 other(tmp, "other");
    EXPECT_EQ(begin(w.get(), v2, other.pub), -1);
    // a pack openssl signed properly but which breaks a rule
    SignedPack invalid;
    invalid.text = "quorvane-emoji-pack-v1\nversion 3\ncell 0\n";
    invalid.sig = key.sign(invalid.text);
    EXPECT_EQ(begin(w.get(), invalid, key.pub), -1);
    EXPECT_EQ(snapshot(dir), mid);
    EXPECT_EQ(quorvane_emoji_cache_next_needed(w.get(), nullptr, 0), 0);

    // The page put before the abort is still on disk under its staged name
    // and counts as present at the next begin; the commit then settles it.
    ASSERT_EQ(begin(w.get(), v2, key.pub), 2);
    ASSERT_EQ(put(w.get(), "b", v2.page("b")), 0);
    ASSERT_EQ(put(w.get(), "c", v2.page("c")), 0);
    ASSERT_EQ(quorvane_emoji_cache_commit(w.get()), 0);
    EXPECT_TRUE(whole(w.get(), v2));
    EXPECT_TRUE(staged_files(dir).empty());
    EXPECT_NE(snapshot(dir), before);
}

TEST_F(EmojiCache, StagingEdgeCases) {
    Cache w = open_cache(dir);
    const SignedPack v1 = version(1), v2 = version(2);

    // Begin while staging is refused and keeps the first staging.
    ASSERT_EQ(begin(w.get(), v1, key.pub), 3);
    EXPECT_EQ(begin(w.get(), v2, key.pub), -1);
    ASSERT_EQ(put(w.get(), "a", v1.page("a")), 0);
    char name[64];
    ASSERT_EQ(quorvane_emoji_cache_next_needed(w.get(), name, sizeof name), 1);
    EXPECT_STREQ(name, "b");
    EXPECT_EQ(quorvane_emoji_cache_next_needed(w.get(), name, 1), 0);  // no room for "b" and its terminator
    EXPECT_EQ(quorvane_emoji_cache_next_needed(w.get(), name, 2), 1);
    EXPECT_EQ(quorvane_emoji_cache_commit(w.get()), -1);  // pages missing: staging kept
    ASSERT_EQ(put(w.get(), "b", v1.page("b")), 0);
    ASSERT_EQ(put(w.get(), "b", v1.page("b")), 0);  // a page sent twice counts once
    ASSERT_EQ(quorvane_emoji_cache_next_needed(w.get(), name, sizeof name), 1);
    EXPECT_STREQ(name, "c");

    // Refused pages change nothing on disk.
    const auto before = snapshot(dir);
    const Bytes c = v1.page("c");
    EXPECT_EQ(put(w.get(), "zz", c), -1);                                           // not in the pack
    EXPECT_EQ(put(w.get(), "c", v1.page("a")), -1);                                 // wrong bytes
    EXPECT_EQ(quorvane_emoji_cache_put_page(w.get(), "c", c.data(), 0), -1);        // empty
    EXPECT_EQ(quorvane_emoji_cache_put_page(w.get(), "c", c.data(), 8388609), -1);  // over 8 MiB (not read)
    EXPECT_EQ(quorvane_emoji_cache_put_page(w.get(), nullptr, c.data(), c.size()), -1);
    EXPECT_EQ(quorvane_emoji_cache_put_page(w.get(), "c", nullptr, c.size()), -1);
    EXPECT_EQ(snapshot(dir), before);
    ASSERT_EQ(put(w.get(), "c", c), 0);
    EXPECT_EQ(quorvane_emoji_cache_next_needed(w.get(), name, sizeof name), 0);
    ASSERT_EQ(quorvane_emoji_cache_commit(w.get()), 0);
    EXPECT_EQ(put(w.get(), "c", c), -1);  // not staging

    // A pack whose pages are all on disk and valid needs nothing: commit at once.
    SignedPack same_pages = make_pack(key, 9, {{"a", pngs[1]}, {"b", pngs[4]}, {"c", pngs[6]}}, {"grin 2 63 -"});
    EXPECT_EQ(begin(w.get(), same_pages, key.pub), 0);
    EXPECT_EQ(quorvane_emoji_cache_commit(w.get()), 0);
    EXPECT_EQ(quorvane_emoji_cache_version(w.get()), 9u);
    EXPECT_TRUE(whole(w.get(), same_pages));

    // A page file damaged on disk counts as missing and is fetched again.
    qvtest::write_file(dir + "/pages/b", "not the page");
    EXPECT_EQ(begin(w.get(), same_pages, key.pub), 1);
    ASSERT_EQ(quorvane_emoji_cache_next_needed(w.get(), name, sizeof name), 1);
    EXPECT_STREQ(name, "b");
    quorvane_emoji_cache_abort(w.get());
    uint8_t *data = nullptr;
    size_t len = 0;
    EXPECT_EQ(quorvane_emoji_cache_read_page(w.get(), "b", &data, &len), -1);  // never served unverified
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(quorvane_emoji_cache_read_page(w.get(), "nope", &data, &len), -1);

    // Missing arguments.
    EXPECT_EQ(quorvane_emoji_cache_begin(w.get(), nullptr, 10, v1.sig.data(), key.pub.data()), -1);
    EXPECT_EQ(quorvane_emoji_cache_begin(w.get(), u8(v1.text), 0, v1.sig.data(), key.pub.data()), -1);
    EXPECT_EQ(quorvane_emoji_cache_begin(w.get(), u8(v1.text), v1.text.size(), nullptr, key.pub.data()), -1);
    EXPECT_EQ(quorvane_emoji_cache_begin(w.get(), u8(v1.text), v1.text.size(), v1.sig.data(), nullptr), -1);
    EXPECT_EQ(quorvane_emoji_cache_open(nullptr), nullptr);
    EXPECT_EQ(quorvane_emoji_cache_open(""), nullptr);
    EXPECT_EQ(quorvane_emoji_cache_open(std::string(512, 'd').c_str()), nullptr);
    EXPECT_EQ(quorvane_emoji_cache_version(nullptr), 0u);
    quorvane_emoji_cache_free(nullptr);
    // A staging left open is freed with the handle (the sanitizer build checks).
    ASSERT_EQ(begin(w.get(), v2, key.pub), 3);
}

// Two handles staging on one directory: the commit of one sweeps staged pages
// that only the other's pack needs, or replaces a page the other found on disk
// under its own name. The other's commit must then ask for them again rather
// than make a version current whose pages are gone.
TEST_F(EmojiCache, AStagingWhosePagesWentAwayIsNotCommitted) {
    Cache a = open_cache(dir), b = open_cache(dir);
    ASSERT_TRUE(bring_in(a.get(), version(1), key.pub));
    const SignedPack v2 = version(2), v3 = version(3);
    ASSERT_EQ(begin(a.get(), v2, key.pub), 3);
    for (const char *n : {"a", "b", "c"}) ASSERT_EQ(put(a.get(), n, v2.page(n)), 0);
    ASSERT_TRUE(bring_in(b.get(), v3, key.pub));
    ASSERT_TRUE(whole(b.get(), v3));

    EXPECT_EQ(quorvane_emoji_cache_commit(a.get()), -1);
    EXPECT_EQ(quorvane_emoji_cache_version(a.get()), 1u);
    // the staging is kept and names what it lost
    char name[64];
    for (int guard = 0; quorvane_emoji_cache_next_needed(a.get(), name, sizeof name); guard++) {
        ASSERT_LT(guard, 4);
        ASSERT_EQ(put(a.get(), name, v2.page(name)), 0);
    }
    ASSERT_EQ(quorvane_emoji_cache_commit(a.get()), 0);
    Cache r = open_cache(dir);
    EXPECT_EQ(quorvane_emoji_cache_version(r.get()), 2u);
    EXPECT_TRUE(whole(r.get(), v2));
}

// Pages are stored one file per name, so a pack naming two pages alike cannot
// be stored whole: the second page could never be put, or one would replace
// the other at commit.
TEST_F(EmojiCache, APackNamingTwoPagesAlikeIsRefused) {
    Cache w = open_cache(dir);
    const SignedPack twice = make_pack(key, 5, {{"a", pngs[0]}, {"b", pngs[1]}, {"a", pngs[2]}}, {"x 2 0 -"});
    const auto before = snapshot(dir);
    EXPECT_EQ(begin(w.get(), twice, key.pub), -1);
    EXPECT_EQ(snapshot(dir), before);
    // the same page twice under one name is refused as well: no rule makes it one page
    const SignedPack same = make_pack(key, 6, {{"a", pngs[0]}, {"a", pngs[0]}}, {"x 1 0 -"});
    EXPECT_EQ(begin(w.get(), same, key.pub), -1);
    ASSERT_TRUE(bring_in(w.get(), version(7), key.pub));
}

// Page names a server may choose that touch the file system's own names: "."
// and ".." cannot take their own names, "a.tmp" is the scratch name of "a".
// Each page still reads back whole, in this handle and the next, and nothing
// is written outside the cache directory.
TEST_F(EmojiCache, PageNamesThatAreFileSystemNames) {
    Cache w = open_cache(dir);
    const SignedPack p = make_pack(key, 4, {{"..", pngs[0]}, {".", pngs[1]}, {"a.tmp", pngs[2]}, {"a", pngs[3]}},
                                   {"dots 0 0 -", "tmp 2 0 -"});
    const auto outside = qvtest::names_in(tmp.path);
    ASSERT_EQ(begin(w.get(), p, key.pub), 4);
    ASSERT_EQ(put(w.get(), "a.tmp", p.page("a.tmp")), 0);
    ASSERT_EQ(put(w.get(), "a", p.page("a")), 0);
    ASSERT_EQ(put(w.get(), "..", p.page("..")), 0);
    ASSERT_EQ(put(w.get(), ".", p.page(".")), 0);
    ASSERT_EQ(quorvane_emoji_cache_commit(w.get()), 0);
    EXPECT_TRUE(whole(w.get(), p));
    EXPECT_EQ(qvtest::file_bytes(dir + "/pages/a.tmp"), p.page("a.tmp"));
    EXPECT_EQ(qvtest::file_bytes(dir + "/pages/a"), p.page("a"));
    EXPECT_EQ(staged_files(dir).size(), 2u);  // "." and "..": found under their staged names
    Cache r = open_cache(dir);
    EXPECT_TRUE(whole(r.get(), p));
    EXPECT_EQ(qvtest::names_in(tmp.path), outside);
    EXPECT_EQ(qvtest::names_in(dir), (std::vector<std::string>{"pack", "pack.sig", "pages"}));
    // the next pack without those pages sweeps their staged files
    ASSERT_TRUE(bring_in(w.get(), version(5), key.pub));
    EXPECT_TRUE(staged_files(dir).empty());
}

// Pack size, page count and page size at their limits and one past them.
TEST_F(EmojiCache, LimitsAtNAndNPlusOne) {
    Cache w = open_cache(dir);
    SignedPack base = make_pack(key, 1, {{"a", pngs[0]}}, {"smile 0 0 -"});
    SignedPack at_limit = base;
    at_limit.text.resize(QV_EMOJI_CACHE_PACK_MAX, '\n');
    at_limit.sig = key.sign(at_limit.text);
    ASSERT_EQ(begin(w.get(), at_limit, key.pub), 1);
    ASSERT_EQ(put(w.get(), "a", at_limit.page("a")), 0);
    ASSERT_EQ(quorvane_emoji_cache_commit(w.get()), 0);
    {
        Cache r = open_cache(dir);  // "pack" of exactly 1 MiB reads back
        EXPECT_EQ(quorvane_emoji_cache_version(r.get()), 1u);
    }
    SignedPack over = at_limit;
    over.text += '\n';
    over.sig = key.sign(over.text);
    EXPECT_EQ(begin(w.get(), over, key.pub), -1);

    std::vector<PageSpec> pages;
    for (int i = 0; i < 65; i++) pages.push_back({std::string("p").append(std::to_string(i)), pngs[size_t(i) % 8]});
    SignedPack p65 = make_pack(key, 2, pages, {});
    EXPECT_EQ(begin(w.get(), p65, key.pub), -1);
    pages.pop_back();
    SignedPack p64 = make_pack(key, 2, pages, {"x 63 63 -"});
    ASSERT_EQ(begin(w.get(), p64, key.pub), 64);
    ASSERT_TRUE(bring_in(open_cache(tmp.file("other")).get(), p64, key.pub));
    quorvane_emoji_cache_abort(w.get());

    // An 8 MiB page is stored and read back; its hash comes from b2sum.
    Bytes big = qvtest::random_bytes(QV_EMOJI_CACHE_PAGE_MAX);
    qvtest::put_file(tmp.file("big.png"), big);
    SignedPack bigpack = make_pack(key, 3, {{"big", tmp.file("big.png")}}, {"huge 0 0 -"});
    ASSERT_EQ(begin(w.get(), bigpack, key.pub), 1);
    Bytes more = big;
    more.push_back(0);
    EXPECT_EQ(put(w.get(), "big", more), -1);
    ASSERT_EQ(put(w.get(), "big", big), 0);
    ASSERT_EQ(quorvane_emoji_cache_commit(w.get()), 0);
    EXPECT_TRUE(whole(w.get(), bigpack));
    // a page file grown past 8 MiB on disk is no page
    Bytes grown = big;
    grown.push_back(1);
    qvtest::put_file(dir + "/pages/big", grown);
    uint8_t *data = nullptr;
    size_t len = 0;
    EXPECT_EQ(quorvane_emoji_cache_read_page(w.get(), "big", &data, &len), -1);
}

/* ---- a writer killed while it commits ------------------------------------- */

namespace {

constexpr const char *kCrashDir = "QV_EMOJI_CRASH_DIR";
constexpr const char *kCrashSrc = "QV_EMOJI_CRASH_SRC";
constexpr const char *kCrashLast = "QV_EMOJI_CRASH_LAST";  // when set, the writer exits after that version
constexpr uint32_t kCrashVersions = 150;

std::string src_file(const std::string &src, uint32_t v, const char *what) {
    return src + "/v" + std::to_string(v) + "." + what;
}

// The page images of version v, by the same rule in the writer and the checker.
std::string crash_png(const std::vector<std::string> &pngs, uint32_t v, int page) {
    return pngs[(v * 3 + uint32_t(page) * 5) % pngs.size()];
}

// Versions 1 to `versions` signed by openssl and hashed by b2sum up front,
// written where the writer reads them; each one gives pages a, b and c other
// images than the version before it.
std::vector<SignedPack> write_crash_source(const qvtest::OpensslEd25519 &key, const std::vector<std::string> &pngs,
                                           const std::string &src, uint32_t versions) {
    EXPECT_EQ(mkdir(src.c_str(), 0700), 0);
    qvtest::put_file(src + "/pub", Bytes(key.pub.begin(), key.pub.end()));
    std::string list;
    for (const auto &p : pngs) list += p + "\n";
    qvtest::write_file(src + "/pngs", list);
    std::vector<SignedPack> packs(versions + 2);
    for (uint32_t v = 1; v <= versions; v++) {
        packs[v] = make_pack(key, v, {{"a", crash_png(pngs, v, 0)}, {"b", crash_png(pngs, v, 1)},
                                      {"c", crash_png(pngs, v, 2)}},
                             {std::string("e").append(std::to_string(v)) + " 0 0 -"});
        qvtest::write_file(src_file(src, v, "pack"), packs[v].text);
        qvtest::put_file(src_file(src, v, "sig"), Bytes(packs[v].sig.begin(), packs[v].sig.end()));
    }
    return packs;
}

// Runs in the re-executed test binary: brings in the versions after the one
// on disk, one after another, printing each committed version, until killed.
int crash_child(const char *dir, const char *src) {
    const std::string s = src;
    const Bytes pub = qvtest::file_bytes(s + "/pub");
    std::vector<std::string> pngs;
    {
        std::string list = qvtest::read_file(s + "/pngs");
        for (size_t pos = 0, end; (end = list.find('\n', pos)) != std::string::npos; pos = end + 1)
            pngs.push_back(list.substr(pos, end - pos));
    }
    if (pub.size() != 32 || pngs.empty()) return 3;
    quorvane_emoji_cache *c = quorvane_emoji_cache_open(dir);
    if (!c) return 4;
    const char *last = getenv(kCrashLast);
    for (uint32_t v = quorvane_emoji_cache_version(c) + 1; v <= kCrashVersions; v++) {
        const std::string text = qvtest::read_file(src_file(s, v, "pack"));
        const Bytes sig = qvtest::file_bytes(src_file(s, v, "sig"));
        if (quorvane_emoji_cache_begin(c, u8(text), text.size(), sig.data(), pub.data()) < 0) return 5;
        char name[64];
        while (quorvane_emoji_cache_next_needed(c, name, sizeof name)) {
            const Bytes img = qvtest::file_bytes(crash_png(pngs, v, name[0] - 'a'));
            if (quorvane_emoji_cache_put_page(c, name, img.data(), img.size()) != 0) return 6;
        }
        if (quorvane_emoji_cache_commit(c) != 0) return 7;
        const std::string line = std::to_string(v) + "\n";
        if (write(1, line.data(), line.size()) != ssize_t(line.size())) return 8;
        if (last && v == std::stoul(last)) {
            quorvane_emoji_cache_free(c);
            return 0;
        }
    }
    pause();  // out of versions: wait for the kill like the others
    return 0;
}

const int crash_child_hook = [] {
    const char *d = getenv(kCrashDir), *s = getenv(kCrashSrc);
    if (d && s) _exit(crash_child(d, s));
    return 0;
}();

}  // namespace

TEST_F(EmojiCache, WriterKilledWhileCommittingLeavesOldOrNewVersion) {
    const std::string src = tmp.file("src");
    const std::vector<SignedPack> packs = write_crash_source(key, pngs, src, kCrashVersions);

    std::mt19937 rng(2468);
    uint32_t last_seen = 0;
    int kills = 0;
    for (int round = 0; round < 25; round++) {
        SCOPED_TRACE(round);
        const std::string progress = tmp.file("progress" + std::to_string(round));
        ASSERT_EQ(setenv(kCrashDir, dir.c_str(), 1), 0);
        ASSERT_EQ(setenv(kCrashSrc, src.c_str(), 1), 0);
        qvtest::ChildProcess child({qvtest::self_exe()}, progress);
        ASSERT_EQ(unsetenv(kCrashDir), 0);
        ASSERT_EQ(unsetenv(kCrashSrc), 0);
        // one or two whole commits first, then a random point in the next
        const long want = std::uniform_int_distribution<long>(1, 2)(rng);
        ASSERT_TRUE(qvtest::wait_until([&] {
            const std::string p = qvtest::read_file(progress);
            return std::count(p.begin(), p.end(), '\n') >= want;
        }, qvtest::kWaitMs)) << qvtest::read_file(progress);
        usleep(useconds_t(std::uniform_int_distribution<int>(0, 4000)(rng)));
        ASSERT_TRUE(child.running()) << "the writer ended on its own: " << qvtest::read_file(progress);
        ASSERT_EQ(kill(child.pid, SIGKILL), 0);
        const int status = child.stop();
        ASSERT_TRUE(WIFSIGNALED(status));
        kills++;

        const std::string printed = qvtest::read_file(progress);
        const uint32_t last_printed = uint32_t(std::stoul(printed.substr(printed.rfind('\n', printed.size() - 2) + 1)));
        Cache c = open_cache(dir);
        ASSERT_TRUE(c);
        const uint32_t v = quorvane_emoji_cache_version(c.get());
        // the version committed last, or the one whose commit the kill cut
        // after its "pack" was in place
        EXPECT_TRUE(v == last_printed || v == last_printed + 1) << v << " after " << last_printed;
        EXPECT_GE(v, last_seen);
        ASSERT_GE(v, 1u);
        ASSERT_LE(v, kCrashVersions);
        last_seen = v;
        EXPECT_EQ(qvtest::read_file(dir + "/pack"), packs[v].text);
        EXPECT_TRUE(whole(c.get(), packs[v]));
        const Bytes sig = qvtest::file_bytes(dir + "/pack.sig");
        EXPECT_TRUE(sig == Bytes(packs[v].sig.begin(), packs[v].sig.end()) ||
                    (v < kCrashVersions && sig == Bytes(packs[v + 1].sig.begin(), packs[v + 1].sig.end())));
    }
    EXPECT_EQ(kills, 25);
    RecordProperty("versions_committed", std::to_string(last_seen));
    EXPECT_GE(last_seen, 30u) << "too few commits happened to call this a crash test";
}

// Entries are not synced one by one, so what a power cut keeps depends on the
// directories being synced in the right order: the staged pages must last
// before "pack" names them, and the new "pack" before the old version's pages
// are replaced under their own names. Seen in the writer's system calls.
TEST_F(EmojiCache, CommitSyncsDirectoriesBeforeEachStepDependsOnThem) {
    const std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    const std::string src = tmp.file("src");
    const std::vector<SignedPack> packs = write_crash_source(key, pngs, src, 2);
    {
        Cache w = open_cache(dir);
        ASSERT_TRUE(bring_in(w.get(), packs[1], key.pub));
    }
    const std::string pages = dir + "/pages", pack = dir + "/pack";
    std::vector<std::string> traced = {dir, pages, pack, pack + ".tmp"};
    for (int i = 0; i < 3; i++) {
        const std::string name = pages + "/" + char('a' + i);
        traced.push_back(name);
        // its staged name: the page name, "~" and the first half of its digest
        traced.push_back(name + "~" + qvtest::b2sum_hex(crash_png(pngs, 2, i)).substr(0, 32));
    }
    qvtest::Traced t = qvtest::run_self_traced(
        tmp, {std::string(kCrashDir) + "=" + dir, std::string(kCrashSrc) + "=" + src, std::string(kCrashLast) + "=2"},
        traced, {});
    ASSERT_EQ(t.status, 0) << t.log;
    {
        Cache r = open_cache(dir);
        ASSERT_EQ(quorvane_emoji_cache_version(r.get()), 2u);
        EXPECT_TRUE(whole(r.get(), packs[2]));
    }

    // Walk the trace: which directory each descriptor names, and the line of
    // each step.
    std::map<int, std::string> fd_path;
    long pages_synced = -1, pack_renamed = -1, dir_synced = -1, page_settled = -1, line_no = 0;
    std::istringstream in(t.log);
    for (std::string line; std::getline(in, line); line_no++) {
        const size_t eq = line.rfind(") = ");
        if (line.find("openat(") != std::string::npos && eq != std::string::npos) {
            for (const std::string &d : {dir, pages})
                if (line.find("\"" + d + "\"") != std::string::npos) fd_path[std::stoi(line.substr(eq + 4))] = d;
        } else if (const size_t f = line.find("fsync("); f != std::string::npos) {
            const auto it = fd_path.find(std::stoi(line.substr(f + 6)));
            if (it == fd_path.end()) continue;
            if (it->second == pages && pack_renamed < 0 && pages_synced < 0) pages_synced = line_no;
            if (it->second == dir && pack_renamed >= 0 && dir_synced < 0) dir_synced = line_no;
        } else if (line.find("rename") != std::string::npos) {
            if (line.find("\"" + pack + "\"") != std::string::npos) pack_renamed = line_no;
            for (const char *n : {"/a\"", "/b\"", "/c\""})
                if (page_settled < 0 && line.find(pages + n) != std::string::npos) page_settled = line_no;
        }
    }
    ASSERT_GE(pack_renamed, 0) << t.log;
    ASSERT_GE(page_settled, 0) << t.log;
    EXPECT_GE(pages_synced, 0) << "the pages directory is not synced before \"pack\" is replaced\n" << t.log;
    EXPECT_GE(dir_synced, 0) << "the cache directory is not synced after \"pack\" is replaced\n" << t.log;
    EXPECT_LT(dir_synced, page_settled) << t.log;
}


// Every file-system step of bringing in a version failed in turn (strace's
// fault injection in the writer): the writer reports the failure or the
// commit, and a fresh handle finds the version it reported, whole.
TEST_F(EmojiCache, EachFailedStepLeavesAWholeVersion) {
    const std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    const std::string src = tmp.file("src");
    const std::vector<SignedPack> packs = write_crash_source(key, pngs, src, 2);
    int injected = 0, case_no = 0;
    for (const char *call : {"fsync", "rename", "openat", "write"}) {
        for (int when = 1; when <= 9; when++, case_no++) {
            const std::string inject = std::string(call) + ":error=EIO:when=" + std::to_string(when);
            SCOPED_TRACE(inject);
            const std::string d = tmp.file("case" + std::to_string(case_no));
            {
                Cache w = open_cache(d);
                ASSERT_TRUE(bring_in(w.get(), packs[1], key.pub));
            }
            const std::string pages = d + "/pages";
            std::vector<std::string> traced = {d, pages};
            for (const char *f : {"/pack", "/pack.sig"}) {
                traced.push_back(d + f);
                traced.push_back(d + f + ".tmp");
            }
            for (int i = 0; i < 3; i++) {
                const std::string staged =
                    pages + "/" + char('a' + i) + "~" + qvtest::b2sum_hex(crash_png(pngs, 2, i)).substr(0, 32);
                traced.push_back(staged);
                traced.push_back(staged + ".tmp");
            }
            qvtest::Traced t = qvtest::run_self_traced(
                tmp,
                {std::string(kCrashDir) + "=" + d, std::string(kCrashSrc) + "=" + src, std::string(kCrashLast) + "=2"},
                traced, {inject});
            const bool hit = t.log.find("(INJECTED)") != std::string::npos;
            injected += hit;
            const int rc = t.status;
            // 0 committed; 6 a page or 7 the commit refused
            ASSERT_TRUE(rc == 0 || rc == 6 || rc == 7) << rc << "\n" << t.log;
            EXPECT_TRUE(hit || rc == 0) << t.log;
            Cache r = open_cache(d);
            const uint32_t v = quorvane_emoji_cache_version(r.get());
            EXPECT_EQ(v, rc == 0 ? 2u : 1u);
            if (v == 1 || v == 2) {
                EXPECT_TRUE(whole(r.get(), packs[v]));
            }
            // the next writer brings the version in on the same directory
            ASSERT_TRUE(bring_in(r.get(), packs[2], key.pub));
            EXPECT_TRUE(whole(r.get(), packs[2]));
        }
    }
    RecordProperty("steps_failed", std::to_string(injected));
    EXPECT_GE(injected, 20);
}
/* ---- lookups ----------------------------------------------------------------- */

TEST_F(EmojiCache, LayersAndShortcodeMatching) {
    Cache first = open_cache(tmp.file("noto")), main = open_cache(dir), last = open_cache(tmp.file("last"));
    const std::string code32(32, 'q'), code33(33, 'q');
    ASSERT_TRUE(bring_in(first.get(), make_pack(key, 1, {{"f", pngs[0]}}, {"both 0 0 -", "only_first 0 1 -"}), key.pub));
    ASSERT_TRUE(bring_in(main.get(),
                         make_pack(key, 1, {{"m", pngs[1]}},
                                   {"both 0 2 -", "smile 0 3 -", code32 + " 0 4 -", "!secret 0 5 -", "a1_b 0 6 -"}),
                         key.pub));
    ASSERT_TRUE(bring_in(last.get(), make_pack(key, 1, {{"l", pngs[2]}}, {"only_last 0 7 -", "smile 0 8 -"}), key.pub));

    // Without layers: the cache alone.
    const quorvane_emoji_entry *e = nullptr;
    EXPECT_EQ(quorvane_emoji_cache_match(main.get(), ":only_last:", 0, 11, &e), 0u);
    quorvane_emoji_cache_set_layers(main.get(), first.get(), last.get());

    struct Case { const char *text; size_t pos; size_t want; const quorvane_emoji_cache *owner; uint16_t slot; };
    const std::string long_ok = "x :" + code32 + ": y", long_bad = ":" + code33 + ":";
    const Case cases[] = {
        {":both:", 0, 6, first.get(), 0},            // the first layer wins over the cache
        {":smile:", 0, 7, main.get(), 3},            // the cache wins over the last layer
        {":only_last:", 0, 11, last.get(), 7},       // known to the last layer only
        {":only_first: and more", 0, 12, first.get(), 1},
        {"hi :a1_b: there", 3, 6, main.get(), 6},
        {long_ok.c_str(), 2, 34, main.get(), 4},     // a 32-character code
        {long_bad.c_str(), 0, 0, nullptr, 0},        // 33 characters
        {":Smile:", 0, 0, nullptr, 0},               // upper case
        {":smi le:", 0, 0, nullptr, 0},
        {":secret:", 0, 0, nullptr, 0},              // hidden
        {":nothing:", 0, 0, nullptr, 0},
        {"::", 0, 0, nullptr, 0},                    // empty code
        {":smile", 0, 0, nullptr, 0},                // no closing colon
        {"x:smile:", 0, 0, nullptr, 0},              // position not on a colon
        {":smile:", 7, 0, nullptr, 0},               // position past the text
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        e = reinterpret_cast<const quorvane_emoji_entry *>(&c);
        EXPECT_EQ(quorvane_emoji_cache_match(main.get(), c.text, c.pos, strlen(c.text), &e), c.want);
        if (!c.owner) {
            EXPECT_EQ(e, nullptr);
            continue;
        }
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(quorvane_emoji_cache_owns(c.owner, e), 1);
        EXPECT_EQ(e->slot, c.slot);
    }
    // The length bounds the text: a closing colon past it does not count.
    EXPECT_EQ(quorvane_emoji_cache_match(main.get(), ":smile:", 0, 6, &e), 0u);
    EXPECT_EQ(quorvane_emoji_cache_lookup(main.get(), "only_first")->slot, 1);
    EXPECT_EQ(quorvane_emoji_cache_lookup(main.get(), "nope"), nullptr);

    // A cache set as its own layer is consulted once; an empty cache with
    // layers still matches through them.
    quorvane_emoji_cache_set_layers(main.get(), main.get(), main.get());
    EXPECT_EQ(quorvane_emoji_cache_match(main.get(), ":both:", 0, 6, &e), 6u);
    EXPECT_EQ(quorvane_emoji_cache_owns(main.get(), e), 1);
    Cache empty = open_cache(tmp.file("empty"));
    EXPECT_EQ(quorvane_emoji_cache_match(empty.get(), ":smile:", 0, 7, &e), 0u);
    quorvane_emoji_cache_set_layers(empty.get(), nullptr, last.get());
    EXPECT_EQ(quorvane_emoji_cache_match(empty.get(), ":smile:", 0, 7, &e), 7u);
    EXPECT_EQ(quorvane_emoji_cache_owns(last.get(), e), 1);
}

TEST(EmojiText, Typing) {
    struct Case { const char *text; size_t cursor; int want; size_t start; size_t frag; };
    const std::string frag32 = "a :" + std::string(32, 'x'), frag33 = ":" + std::string(33, 'x');
    const Case cases[] = {
        {"hello :smi", 10, 1, 6, 3},
        {"hello :smi", 99, 1, 6, 3},          // the cursor past the end counts as the end
        {"hello :smile", 10, 1, 6, 3},        // only up to the cursor
        {"a:smi", 5, 0, 0, 0},                // the colon follows a letter
        {":", 1, 1, 0, 0},
        {":smi", 4, 1, 0, 3},
        {"x\t:ab_9", 7, 1, 2, 4},             // after a control byte
        {"hello smi", 9, 0, 0, 0},
        {"hello :sMi", 10, 0, 0, 0},          // upper case ends the walk on a letter
        {"hi ::x", 6, 0, 0, 0},
        {frag32.c_str(), 99, 1, 2, 32},
        {frag33.c_str(), 99, 0, 0, 0},
        {"\xc3\xa9:smi", 99, 0, 0, 0},         // after a byte of a UTF-8 letter
        {"", 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        size_t start = 77, frag = 77;
        EXPECT_EQ(quorvane_emoji_typing(c.text, c.cursor, &start, &frag), c.want);
        if (c.want) {
            EXPECT_EQ(start, c.start);
            EXPECT_EQ(frag, c.frag);
        }
    }
    EXPECT_EQ(quorvane_emoji_typing(nullptr, 3, nullptr, nullptr), 0);
}

namespace {
quorvane_emoji_entry entry(const char *name, const char *keywords, bool hidden = false) {
    quorvane_emoji_entry e{};
    snprintf(e.name, sizeof e.name, "%s", name);
    snprintf(e.keywords, sizeof e.keywords, "%s", keywords);
    e.hidden = hidden;
    return e;
}
}  // namespace

TEST(EmojiText, Categories) {
    struct Case { const char *name; const char *keywords; int want; };
    const Case cases[] = {
        {"grinning_cat", "", QV_EMOJI_CAT_NATURE},        // nature before faces
        {"anything", "cat_things", QV_EMOJI_CAT_THINGS},
        {"grinning", "cat_food", QV_EMOJI_CAT_FOOD},       // a tag beats the name
        {"zzzz_qq", "cat_misc", QV_EMOJI_CAT_NATURE},      // the tag splits into cat and misc
        {"pizza", "", QV_EMOJI_CAT_FOOD},
        {"ice_cream", "", QV_EMOJI_CAT_FOOD},
        {"thumbsup", "", QV_EMOJI_CAT_PEOPLE},
        {"broken_heart", "", QV_EMOJI_CAT_SYMBOLS},
        {"rocket", "", QV_EMOJI_CAT_THINGS},
        {"smile", "", QV_EMOJI_CAT_FACES},
        {"blob_thing", "wink,extra", QV_EMOJI_CAT_FACES},   // from the keywords
        {"blob_thing", "x_wave", QV_EMOJI_CAT_PEOPLE},      // keywords split at "_" too
        {"blob", "cat_", QV_EMOJI_CAT_NATURE},               // too short for a tag: the word cat
        {"blob", "cat_facesx", QV_EMOJI_CAT_NATURE},       // no such category: the word cat
        {"blob", "", QV_EMOJI_CAT_NONE},
        {"smiles", "", QV_EMOJI_CAT_NONE},                   // whole words only
        {"tea_cat", "cat_people", QV_EMOJI_CAT_PEOPLE},
        {"rose", "plant,cat_things,cat_food", QV_EMOJI_CAT_THINGS},  // the first tag
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + c.keywords);
        const quorvane_emoji_entry e = entry(c.name, c.keywords);
        EXPECT_EQ(quorvane_emoji_category(&e), c.want);
    }
    EXPECT_EQ(quorvane_emoji_category(nullptr), QV_EMOJI_CAT_NONE);
}

TEST(EmojiText, Search) {
    struct Case { const char *name; const char *keywords; bool hidden; const char *text; int want; };
    const Case cases[] = {
        {"smile", "", false, "SMI", 1},
        {"smile", "", false, "mil", 1},
        {"smile", "", false, "", 1},
        {"smile", "", false, nullptr, 1},
        {"smile", "", true, "", 0},
        {"smile", "", true, "smile", 0},
        {"blob", "happy,joy", false, "JOY", 1},
        {"blob", "cat_faces", false, "faces", 0},    // tags are not searched
        {"blob", "cat_faces", false, "cat", 0},
        {"blob", "cat_", false, "cat", 1},           // too short to be a tag
        {"blob", "happy", false, "sad", 0},
        {"blob", "", false, "blobby", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + c.keywords + " / " + (c.text ? c.text : "(null)"));
        const quorvane_emoji_entry e = entry(c.name, c.keywords, c.hidden);
        EXPECT_EQ(quorvane_emoji_search_match(&e, c.text), c.want);
    }
    EXPECT_EQ(quorvane_emoji_search_match(nullptr, "x"), 0);
}
