// Message store: opening and its limits, the sealed file layout and its
// atomic replacement (with a writer really killed mid-run), files that exist
// but cannot be read (kept aside, never overwritten), the own profile and
// interface state, ratchet, previous-ratchet, prekey, session-init and
// identity files, both directions against tests/scripts/msgstore_xcheck.py.
#include "msgstore_fixture.h"

namespace {


// Version i of the state the child writes: its index in front, a length and
// pattern of its own, so any mixture of two versions is told apart.
bytes crash_version(uint64_t i) {
    bytes b(200 + (i * 37) % 900, '\0');
    for (int k = 0; k < 8; k++) b[k] = static_cast<char>(i >> (56 - 8 * k));
    for (size_t j = 8; j < b.size(); j++) b[j] = static_cast<char>(i * 131 + j);
    return b;
}

uint64_t version_index(const bytes &b) {
    uint64_t v = 0;
    for (int k = 0; k < 8 && size_t(k) < b.size(); k++) v = v << 8 | static_cast<uint8_t>(b[k]);
    return v;
}

// Runs in the re-executed test binary before GoogleTest starts: continues
// from the version on disk and writes new ones until it is killed.
int crash_child(const char *dir) {
    Ids id;
    quorvane_msgstore *ms = quorvane_msgstore_open(dir, kSecret);
    if (!ms) return 3;
    uint8_t buf[2048];
    size_t n = quorvane_msgstore_get_ratchet(ms, u8(id.conv), u8(id.dev), buf, sizeof buf);
    uint64_t next = n ? version_index(raw(buf, n)) + 1 : 0;
    for (uint64_t i = next; i < next + 100000; i++) {
        bytes v = crash_version(i);
        if (quorvane_msgstore_put_ratchet(ms, u8(id.conv), u8(id.dev), u8(v), v.size()) != 0) return 4;
        char line[32];
        int len = snprintf(line, sizeof line, "%llu\n", static_cast<unsigned long long>(i));
        if (write(1, line, size_t(len)) != len) return 5;
    }
    quorvane_msgstore_close(ms);
    return 0;
}

const int crash_child_hook = [] {
    if (const char *d = getenv(kCrashEnv)) _exit(crash_child(d));
    return 0;
}();


/* ---- open ----------------------------------------------------------------- */

TEST_F(Msgstore, OpenPathLimits) {
    // parents of short components, then a last component that brings the
    // whole path to exactly the length wanted
    std::string base = tmp.path;
    while (base.size() < 400) {
        base += "/" + std::string(100, 'p');
        ASSERT_EQ(mkdir(base.c_str(), 0700), 0);
    }
    struct Case {
        size_t len;
        bool opens;
    } cases[] = {{QV_MS_PATH_MAX, true}, {QV_MS_PATH_MAX + 1, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.len);
        std::string path = base + "/" + std::string(c.len - base.size() - 1, 'q');
        ASSERT_EQ(path.size(), c.len);
        auto ms = open_store(path);
        EXPECT_EQ(ms != nullptr, c.opens);
        EXPECT_EQ(exists(path), c.opens);
        if (!ms) continue;
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        // the longest file names of the store still fit behind the longest directory
        bytes state = filled(300, 0x5a);
        EXPECT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, 7, u8(state), state.size()), 0);
        EXPECT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(id.dev), u8(state), state.size()), 0);
        uint8_t buf[400];
        EXPECT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), buf, sizeof buf), state.size());
    }
}

TEST_F(Msgstore, OpenRefusals) {
    EXPECT_EQ(quorvane_msgstore_open(nullptr, kSecret), nullptr);
    EXPECT_EQ(quorvane_msgstore_open(dir.c_str(), nullptr), nullptr);
    EXPECT_EQ(quorvane_msgstore_open(tmp.file("no/such/parent").c_str(), kSecret), nullptr);
    qvtest::write_file(tmp.file("plain"), "x");
    EXPECT_EQ(quorvane_msgstore_open(tmp.file("plain").c_str(), kSecret), nullptr);
    quorvane_msgstore_close(nullptr);
}

TEST_F(Msgstore, OpenEmptyDirectoryGivesDefaults) {
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    auto ms = open();
    ASSERT_TRUE(ms);
    EXPECT_EQ(ms->conv_count, 0u);
    EXPECT_EQ(ms->ident_count, 0u);
    EXPECT_EQ(ms->msg_cap, 2000u);
    EXPECT_EQ(quorvane_msgstore_self_profile_ts(ms.get()), 0u);
    char name[80] = "x", about[140] = "y";
    EXPECT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, about, sizeof about), 0);
    EXPECT_STREQ(name, "");
    EXPECT_STREQ(about, "");
    quorvane_file_meta av{};
    EXPECT_EQ(quorvane_msgstore_get_self_avatar(ms.get(), &av), 0);
    EXPECT_EQ(quorvane_msgstore_get_session(ms.get(), nullptr, nullptr, nullptr, nullptr, 0), -1);
    EXPECT_TRUE(names_in(dir, "").size() == 2) << "open wrote files into an empty store";
}

TEST_F(Msgstore, StoreKeyMatchesScriptDerivation) {
    auto ms = open();
    ASSERT_TRUE(ms);
    auto a = script({"key " + hex(raw(kSecret, 32)), "key " + hex(raw(kOtherSecret, 32))});
    EXPECT_EQ(a[0], (std::vector<std::string>{"OK", hex(raw(ms->key, 32))}));
    auto other = open_store(tmp.file("other"), kOtherSecret);
    ASSERT_TRUE(other);
    EXPECT_EQ(a[1], (std::vector<std::string>{"OK", hex(raw(other->key, 32))}));
}

TEST(MsgstoreWriteVersion, HookAcceptsOnlyOlderWritableVersions) {
    struct Case {
        int given, set;
    } cases[] = {{18, 22}, {19, 19}, {20, 20}, {21, 21}, {22, 22}, {23, 22}, {0, 22}, {-1, 22}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.given);
        EXPECT_EQ(quorvane_msgstore_test_write_version(c.given), 22);
        EXPECT_EQ(quorvane_msgstore_write_version(), c.set);
    }
    EXPECT_EQ(quorvane_msgstore_test_write_version(22), 22);
}

/* ---- sealed files and atomic replacement ---------------------------------- */

TEST_F(Msgstore, SealedLayoutModeAndFreshSalt) {
    auto ms = open();
    ASSERT_TRUE(ms);
    // a stale temporary of another mode: the replacement must not inherit it
    qvtest::write_file(file("profile.dat.tmp"), "stale");
    ASSERT_EQ(chmod(file("profile.dat.tmp").c_str(), 0666), 0);
    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "ab", nullptr), 0);
    bytes first = qvtest::read_file(file("profile.dat"));
    EXPECT_EQ(first.size(), size_t(1 + 1 + 2 + 1 + 2 + 8) + 32);
    struct stat st;
    ASSERT_EQ(stat(file("profile.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(exists(file("profile.dat.tmp")));

    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "ab", nullptr), 0);
    bytes second = qvtest::read_file(file("profile.dat"));
    EXPECT_NE(first.substr(0, 16), second.substr(0, 16));

    // an empty plaintext is a 32-byte file that opens to nothing
    uint8_t one = 0;
    ASSERT_EQ(quorvane_msgstore_put_prekeys(ms.get(), &one, 0), 0);
    EXPECT_EQ(qvtest::read_file(file("prekeys.dat")).size(), 32u);
    auto a = script({"open " + file("prekeys.dat") + " " + hex(raw(kSecret, 32))});
    EXPECT_EQ(a[0], (std::vector<std::string>{"OK", "-"}));
}

// Whatever stands at the temporary name never receives the new bytes: a
// hard link there to another file is unlinked, not truncated through (the
// other file keeps its bytes and its mode), and a symbolic link is refused.
TEST_F(Msgstore, LeftoverAtTheTempNameNeverReceivesOurBytes) {
    enum class Plant { HardLink, SymLink, DanglingLink, StaleFile };
    struct Case {
        const char *what;
        Plant plant;
        int result;
    } cases[] = {
        {"hard link to another file", Plant::HardLink, 0},
        {"symbolic link to another file", Plant::SymLink, -1},
        {"symbolic link to nothing", Plant::DanglingLink, -1},
        {"stale file of another mode", Plant::StaleFile, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string sub = tmp.file(std::string("plant") + std::to_string(&c - cases));
        const std::string other = sub + "-other", absent = sub + "-absent", tmpname = sub + "/profile.dat.tmp";
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "old", nullptr), 0);
        }
        const bytes old_file = qvtest::read_file(sub + "/profile.dat");
        const bytes theirs = "somebody else's bytes";
        qvtest::write_file(other, theirs);
        ASSERT_EQ(chmod(other.c_str(), 0644), 0);
        switch (c.plant) {
        case Plant::HardLink: ASSERT_EQ(link(other.c_str(), tmpname.c_str()), 0); break;
        case Plant::SymLink: ASSERT_EQ(symlink(other.c_str(), tmpname.c_str()), 0); break;
        case Plant::DanglingLink: ASSERT_EQ(symlink(absent.c_str(), tmpname.c_str()), 0); break;
        case Plant::StaleFile:
            qvtest::write_file(tmpname, "stale");
            ASSERT_EQ(chmod(tmpname.c_str(), 0666), 0);
            break;
        }
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        EXPECT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "new", nullptr), c.result);

        struct stat st;
        ASSERT_EQ(stat(other.c_str(), &st), 0);
        EXPECT_EQ(qvtest::read_file(other), theirs);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
        EXPECT_FALSE(exists(absent));
        ASSERT_EQ(stat((sub + "/profile.dat").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        if (c.result == 0) {
            EXPECT_FALSE(exists(tmpname));
            EXPECT_NE(qvtest::read_file(sub + "/profile.dat"), old_file);
        } else {
            EXPECT_EQ(qvtest::read_file(sub + "/profile.dat"), old_file);
        }
        ms = open_store(sub);
        char name[80];
        ASSERT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, nullptr, 0), 0);
        EXPECT_STREQ(name, c.result == 0 ? "new" : "old");
    }
}

TEST_F(Msgstore, FailedWriteKeepsOldFileAndLeftoverTempIsIgnored) {
    {
        auto ms = open();
        ASSERT_TRUE(ms);
        ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "old", "about"), 0);
        bytes before = qvtest::read_file(file("profile.dat"));
        // a directory where the temporary goes makes every write fail, even for root
        ASSERT_EQ(mkdir(file("profile.dat.tmp").c_str(), 0700), 0);
        EXPECT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "new", nullptr), -1);
        EXPECT_EQ(qvtest::read_file(file("profile.dat")), before);
        char name[80];
        EXPECT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, nullptr, 0), 0);
        EXPECT_STREQ(name, "new") << "the change stays in memory";
        ASSERT_EQ(rmdir(file("profile.dat.tmp").c_str()), 0);

        // the identity list drops an entry it could not write
        const bytes user = filled(16, 0x11), key = filled(32, 0x22);
        ASSERT_EQ(mkdir(file("idents.dat.tmp").c_str(), 0700), 0);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(user), u8(key)), -2);
        EXPECT_EQ(ms->ident_count, 0u);
        ASSERT_EQ(rmdir(file("idents.dat.tmp").c_str()), 0);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(user), u8(key)), 0);
    }
    qvtest::write_file(file("profile.dat.tmp"), "torn half of a write");
    auto ms = open();
    ASSERT_TRUE(ms);
    char name[80];
    EXPECT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, nullptr, 0), 0);
    EXPECT_STREQ(name, "old");
    EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "profile.dat"), 0);
}

// A directory sync that fails after the rename leaves the file just written
// in place: the write is reported done, and the file is no longer taken for
// unreadable, so the next write does not set a good file aside.
TEST_F(Msgstore, FailedDirectorySyncAfterTheRenameClearsTheUnreadableMark) {
    {
        auto ms = open();
        ASSERT_TRUE(ms);
        ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "one", nullptr), 0);
    }
    bytes damaged = qvtest::read_file(file("profile.dat"));
    damaged[damaged.size() / 2] ^= 0x10;
    qvtest::write_file(file("profile.dat"), damaged);
    auto ms = open();
    ASSERT_TRUE(ms);
    ASSERT_EQ(quorvane_msgstore_unreadable(ms.get(), "profile.dat"), 1);
    RefusedRun run = run_refusing_dir_opens([&] {
        long first = quorvane_msgstore_set_self_profile(ms.get(), "two", nullptr);
        long marked = quorvane_msgstore_unreadable(ms.get(), "profile.dat");
        long second = quorvane_msgstore_set_self_profile(ms.get(), "three", nullptr);
        return std::vector<long>{first, marked, second};
    });
    ASSERT_TRUE(run.ran);
    EXPECT_EQ(run.results, (std::vector<long>{0, 0, 0})) << "write, mark after it, second write";
    EXPECT_GE(run.dir_opens, 2);
    auto asides = names_in(dir, "profile.dat.unread-");
    ASSERT_EQ(asides.size(), 1u) << "only the damaged file was set aside";
    EXPECT_EQ(qvtest::read_file(file(asides[0])), damaged);
    ms = open();
    char name[80];
    ASSERT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, nullptr, 0), 0);
    EXPECT_STREQ(name, "three");
    EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "profile.dat"), 0);
}

// A writer killed at random points during hundreds of writes: every time the
// file opens and is exactly one of the versions written, never older than the
// last one seen.
TEST_F(Msgstore, KilledWriterLeavesOldOrNewFile) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    { ASSERT_TRUE(open()); }
    std::mt19937 rng(12345);
    uint64_t last_seen = 0;
    bool have = false;
    int kills = 0;
    for (int round = 0; round < 25; round++) {
        SCOPED_TRACE(round);
        std::string progress = tmp.file("progress" + std::to_string(round));
        ASSERT_EQ(setenv(kCrashEnv, dir.c_str(), 1), 0);
        qvtest::ChildProcess child({exe}, progress);
        ASSERT_EQ(unsetenv(kCrashEnv), 0);
        // a number of whole writes first, so that a loaded machine still
        // gives enough of them, then a random point inside the next ones
        const long want = std::uniform_int_distribution<long>(9, 24)(rng);
        ASSERT_TRUE(qvtest::wait_until([&] {
            std::string p = qvtest::read_file(progress);
            return std::count(p.begin(), p.end(), '\n') >= want;
        }, qvtest::kWaitMs));
        usleep(useconds_t(std::uniform_int_distribution<int>(0, 3000)(rng)));
        ASSERT_TRUE(child.running()) << "the writer ended on its own";
        ASSERT_EQ(kill(child.pid, SIGKILL), 0);
        int status = child.stop();
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGKILL);
        kills++;

        auto ms = open();
        ASSERT_TRUE(ms);
        uint8_t buf[2048];
        size_t got = quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), buf, sizeof buf);
        std::string written = qvtest::read_file(progress);
        if (got == 0) {
            // only possible when the very first write was cut
            EXPECT_FALSE(have);
            EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 0);
            continue;
        }
        bytes state = raw(buf, got);
        uint64_t v = version_index(state);
        EXPECT_EQ(state, crash_version(v)) << "torn file";
        if (have) {
            EXPECT_GE(v, last_seen);
        }
        last_seen = v;
        have = true;
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), ratchet_name(id.conv, id.dev).c_str()), 0);
        struct stat st;
        ASSERT_EQ(stat(file(ratchet_name(id.conv, id.dev)).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    EXPECT_EQ(kills, 25);
    RecordProperty("versions_written", std::to_string(last_seen + 1));
    EXPECT_GE(last_seen, 200u) << "too few writes happened to call this a crash test";
}

/* ---- files present but unusable ------------------------------------------ */

enum class Damage { FlipBit, Truncate, Cut31, OtherSecret, Newer };

TEST_F(Msgstore, UnusableFileIsKeptAsideBeforeItsRewrite) {
    struct Case {
        const char *what;
        std::string name;
        Damage damage;
        bytes newer_pt;                                                 // for Damage::Newer
        std::function<int(quorvane_msgstore *)> read;                   // null: read at open
        std::function<int(quorvane_msgstore *, int)> write;             // writes version k
        std::function<bool(quorvane_msgstore *, int)> holds;            // reads version k back
    };
    auto set_profile = [](quorvane_msgstore *ms, int k) {
        return quorvane_msgstore_set_self_profile(ms, ("name" + std::to_string(k)).c_str(), nullptr);
    };
    auto has_profile = [](quorvane_msgstore *ms, int k) {
        char n[80];
        return quorvane_msgstore_get_self_profile(ms, n, sizeof n, nullptr, 0) == 0 && n == "name" + std::to_string(k);
    };
    auto tofu = [](quorvane_msgstore *ms, int k) {
        return quorvane_msgstore_identity_tofu(ms, u8(filled(16, k)), u8(filled(32, k)));
    };
    auto has_ident = [](quorvane_msgstore *ms, int k) {
        return quorvane_msgstore_identity_tofu(ms, u8(filled(16, k)), u8(filled(32, k))) == 1;
    };
    auto set_sess = [](quorvane_msgstore *ms, int k) {
        return quorvane_msgstore_set_session(ms, 1, nullptr, uint32_t(k), "draft");
    };
    auto get_sess = [](quorvane_msgstore *ms) {
        return quorvane_msgstore_get_session(ms, nullptr, nullptr, nullptr, nullptr, 0);
    };
    auto has_sess = [](quorvane_msgstore *ms, int k) {
        uint32_t v = 0;
        return quorvane_msgstore_get_session(ms, nullptr, nullptr, &v, nullptr, 0) == 0 && v == uint32_t(k);
    };
    const Ids ids;
    auto put_r = [ids](quorvane_msgstore *ms, int k) {
        bytes s = filled(100, k);
        return quorvane_msgstore_put_ratchet(ms, u8(ids.conv), u8(ids.dev), u8(s), s.size());
    };
    auto get_r = [ids](quorvane_msgstore *ms) {
        uint8_t b[200];
        return int(quorvane_msgstore_get_ratchet(ms, u8(ids.conv), u8(ids.dev), b, sizeof b));
    };
    auto has_r = [ids](quorvane_msgstore *ms, int k) {
        uint8_t b[200];
        return quorvane_msgstore_get_ratchet(ms, u8(ids.conv), u8(ids.dev), b, sizeof b) == 100 && b[0] == k;
    };
    auto put_pk = [](quorvane_msgstore *ms, int k) {
        bytes s = filled(60, k);
        return quorvane_msgstore_put_prekeys(ms, u8(s), s.size());
    };
    auto get_pk = [](quorvane_msgstore *ms) {
        uint8_t b[100];
        return int(quorvane_msgstore_get_prekeys(ms, b, sizeof b));
    };
    auto has_pk = [](quorvane_msgstore *ms, int k) {
        uint8_t b[100];
        return quorvane_msgstore_get_prekeys(ms, b, sizeof b) == 60 && b[0] == k;
    };
    auto set_label = [ids](quorvane_msgstore *ms, int k) {
        if (quorvane_msgstore_put_conv(ms, u8(ids.conv), u8(filled(32, 1))) != 0) return -1;
        return quorvane_msgstore_set_label(ms, u8(ids.conv), ("label" + std::to_string(k)).c_str());
    };
    auto has_label = [ids](quorvane_msgstore *ms, int k) {
        char l[80];
        return quorvane_msgstore_get_label(ms, u8(ids.conv), l, sizeof l) == 0 && l == "label" + std::to_string(k);
    };
    auto note = [](quorvane_msgstore *ms, int k) { return quorvane_msgstore_rinit_note(ms, u8(filled(16, k))); };
    auto seen = [](quorvane_msgstore *ms) { return quorvane_msgstore_rinit_seen(ms, u8(filled(16, 1))); };
    auto has_note = [](quorvane_msgstore *ms, int k) { return quorvane_msgstore_rinit_seen(ms, u8(filled(16, k))) == 1; };

    bytes profile_v3 = unhex("03016100") + bytes(2, '\0') + bytes(8, '\0');
    bytes idents_v2 = bytes(1, '\2') + unhex("00000001") + filled(48, 9);
    bytes session_v2 = bytes(1, '\2') + filled(23, 0);
    bytes rinit_bad = unhex("0000000200") + filled(15, 1);  // announces 2 ids, holds less than one
    const Case cases[] = {
        {"profile, flipped bit", "profile.dat", Damage::FlipBit, {}, nullptr, set_profile, has_profile},
        {"profile, truncated", "profile.dat", Damage::Truncate, {}, nullptr, set_profile, has_profile},
        {"profile, 31 bytes", "profile.dat", Damage::Cut31, {}, nullptr, set_profile, has_profile},
        {"profile, other secret", "profile.dat", Damage::OtherSecret, {}, nullptr, set_profile, has_profile},
        {"profile, newer version", "profile.dat", Damage::Newer, profile_v3, nullptr, set_profile, has_profile},
        {"identities, flipped bit", "idents.dat", Damage::FlipBit, {}, nullptr, tofu, has_ident},
        {"identities, newer version", "idents.dat", Damage::Newer, idents_v2, nullptr, tofu, has_ident},
        {"interface state, truncated", "session.dat", Damage::Truncate, {}, get_sess, set_sess, has_sess},
        {"interface state, newer version", "session.dat", Damage::Newer, session_v2, get_sess, set_sess, has_sess},
        {"ratchet, flipped bit", ratchet_name(ids.conv, ids.dev), Damage::FlipBit, {}, get_r, put_r, has_r},
        {"prekeys, truncated", "prekeys.dat", Damage::Truncate, {}, get_pk, put_pk, has_pk},
        {"id ring, malformed", "rinit.dat", Damage::Newer, rinit_bad, seen, note, has_note},
        {"conversation list, flipped bit", "convs.dat", Damage::FlipBit, {}, nullptr, set_label, has_label},
        {"conversation list, other secret", "convs.dat", Damage::OtherSecret, {}, nullptr, set_label, has_label},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string sub = tmp.file(std::string("case") + std::to_string(&c - cases));
        std::string path = sub + "/" + c.name;
        {
            auto ms = open_store(sub, c.damage == Damage::OtherSecret ? kOtherSecret : kSecret);
            ASSERT_TRUE(ms);
            ASSERT_EQ(c.write(ms.get(), 1), 0);
        }
        bytes f = qvtest::read_file(path);
        switch (c.damage) {
        case Damage::FlipBit: f[f.size() / 2] ^= 0x10; break;
        case Damage::Truncate: f.pop_back(); break;
        case Damage::Cut31: f.resize(31); break;
        case Damage::OtherSecret: break;
        case Damage::Newer: script_seal(path, c.newer_pt); f = qvtest::read_file(path); break;
        }
        qvtest::write_file(path, f);

        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        if (c.read) {
            EXPECT_EQ(c.read(ms.get()), c.name == "session.dat" ? -1 : 0) << "reads as absent";
        }
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), c.name.c_str()), 1);
        EXPECT_EQ(qvtest::read_file(path), f) << "left untouched until the next write";
        EXPECT_TRUE(names_in(sub, c.name + ".unread-").empty());

        ASSERT_EQ(c.write(ms.get(), 2), 0);
        auto asides = names_in(sub, c.name + ".unread-");
        ASSERT_EQ(asides.size(), 1u);
        EXPECT_EQ(qvtest::read_file(sub + "/" + asides[0]), f) << "the aside holds the original bytes";
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), c.name.c_str()), 0);
        EXPECT_TRUE(c.holds(ms.get(), 2));
        ASSERT_EQ(c.write(ms.get(), 3), 0);
        EXPECT_EQ(names_in(sub, c.name + ".unread-").size(), 1u) << "a readable file is replaced in place";
        ms.reset();
        ms = open_store(sub);
        EXPECT_TRUE(c.holds(ms.get(), 3));
    }
}

// A file that exists but whose bytes could not be held for lack of memory
// reads as absent, like an unusable one, and like one it is kept aside before
// its next write: the conversation list then still has every key it held.
TEST_F(Msgstore, FileReadWithoutMemoryIsKeptAsideBeforeItsRewrite) {
    const Ids ids;
    const bytes state = filled(100, 7);
    struct Case {
        const char *what;
        std::string name;
        long fail_after;  // allocations through the hook that succeed first
        bool at_open;
    } cases[] = {
        {"conversation list, its file's bytes", "convs.dat", 0, true},
        {"conversation list, its plaintext", "convs.dat", 1, true},
        {"ratchet, its file's bytes", ratchet_name(ids.conv, ids.dev), 0, false},
        {"ratchet, its plaintext", ratchet_name(ids.conv, ids.dev), 1, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string sub = tmp.file(std::string("oom") + std::to_string(&c - cases)), path = sub + "/" + c.name;
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(ids.conv), u8(filled(32, 1))), 0);
            ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(ids.conv), u8(ids.dev), u8(state), state.size()), 0);
        }
        const bytes before = qvtest::read_file(path);
        store_ptr ms(nullptr, quorvane_msgstore_close);
        uint8_t buf[200];
        {
            AllocFailReset reset;
            if (c.at_open) n_alloc_fail_after(c.fail_after);
            ms = open_store(sub);
            ASSERT_TRUE(ms);
            if (!c.at_open) {
                n_alloc_fail_after(c.fail_after);
                EXPECT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(ids.conv), u8(ids.dev), buf, sizeof buf), 0u);
            }
        }
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), c.name.c_str()), 1);
        if (c.at_open) {
            EXPECT_EQ(quorvane_msgstore_conv_count(ms.get()), 0u) << "reads as absent";
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(ids.conv2), u8(filled(32, 2))), 0);
        } else {
            ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(ids.conv), u8(ids.dev), u8(filled(50, 8)), 50), 0);
        }
        auto asides = names_in(sub, c.name + ".unread-");
        EXPECT_EQ(asides.size(), 1u);
        if (asides.size() == 1) {
            EXPECT_EQ(qvtest::read_file(sub + "/" + asides[0]), before) << "the aside holds the original bytes";
        }
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), c.name.c_str()), 0);
    }
}

TEST_F(Msgstore, AbsentFileIsWrittenWithoutAside) {
    auto ms = open();
    ASSERT_TRUE(ms);
    EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "profile.dat"), 0);
    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "n", nullptr), 0);
    EXPECT_TRUE(names_in(dir, "profile.dat.unread-").empty());
}

TEST_F(Msgstore, DroppingAnUnreadableRatchetKeepsItsBytes) {
    {
        auto ms = open();
        ASSERT_TRUE(ms);
        bytes s = filled(90, 7);
        ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(id.dev), u8(s), s.size()), 0);
    }
    std::string name = ratchet_name(id.conv, id.dev);
    bytes f = qvtest::read_file(file(name));
    f[40] ^= 1;
    qvtest::write_file(file(name), f);
    auto ms = open();
    uint8_t b[200];
    EXPECT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), b, sizeof b), 0u);
    EXPECT_EQ(quorvane_msgstore_drop_ratchet(ms.get(), u8(id.conv), u8(id.dev)), 0);
    EXPECT_FALSE(exists(file(name)));
    auto asides = names_in(dir, name + ".unread-");
    ASSERT_EQ(asides.size(), 1u);
    EXPECT_EQ(qvtest::read_file(file(asides[0])), f);
}

/* ---- cross-checks with the independent script ----------------------------- */

TEST_F(Msgstore, FilesWrittenByStoreOpenInScript) {
    const bytes avatar_name = "me.png";
    const bytes s = hex(raw(kSecret, 32));
    bytes state = filled(277, 0x42), prev = filled(300, 0x43), pk = filled(500, 0x44);
    const bytes u1 = filled(16, 0x01), k1 = filled(32, 0x0a), u2 = filled(16, 0x02), k2 = filled(32, 0x0b);
    quorvane_file_meta av{};
    memset(av.blob.key, 0x77, sizeof av.blob.key);
    strcpy(av.mime, "image/png");
    strcpy(av.name, avatar_name.c_str());
    {
        auto ms = open();
        ASSERT_TRUE(ms);
        ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "Ada", "about me"), 0);
        ASSERT_EQ(quorvane_msgstore_set_self_avatar(ms.get(), &av), 0);
        ASSERT_EQ(quorvane_msgstore_self_profile_edited(ms.get(), 1700000000123ull), 0);
        ASSERT_EQ(quorvane_msgstore_set_session(ms.get(), 1, u8(id.conv), 0xdeadbeef, "unsent"), 0);
        ASSERT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u1), u8(k1)), 0);
        ASSERT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u2), u8(k2)), 0);
        for (int i = 1; i <= 3; i++) ASSERT_EQ(quorvane_msgstore_rinit_note(ms.get(), u8(filled(16, i))), 0);
        ASSERT_EQ(quorvane_msgstore_put_prekeys(ms.get(), u8(pk), pk.size()), 0);
        ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(id.dev), u8(state), state.size()), 0);
        ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, 99, u8(prev), prev.size()), 0);
    }
    auto opened = script({"open " + file("profile.dat") + " " + s, "open " + file("session.dat") + " " + s,
                          "open " + file("idents.dat") + " " + s, "open " + file("rinit.dat") + " " + s,
                          "open " + file("prekeys.dat") + " " + s, "open " + file(ratchet_name(id.conv, id.dev)) + " " + s,
                          "open " + file(rprev_name(1, id.conv, id.dev)) + " " + s,
                          "open " + file("profile.dat") + " " + hex(raw(kOtherSecret, 32))});
    for (size_t i = 0; i + 1 < opened.size(); i++) ASSERT_EQ(opened[i].size(), 2u) << i;
    EXPECT_EQ(opened.back(), (std::vector<std::string>{"FAIL", "AUTH"}));
    EXPECT_EQ(opened[4][1], hex(pk));
    EXPECT_EQ(opened[5][1], hex(state));

    uint8_t enc[QV_MS_AVATAR_MAX];
    size_t enc_len = quorvane_msg_avatar_encode(&av, enc, sizeof enc);
    ASSERT_GT(enc_len, 0u);
    auto d = script({"decode profile " + opened[0][1], "decode session " + opened[1][1], "decode idents " + opened[2][1],
                     "decode rinit " + opened[3][1], "decode rprev " + opened[6][1]});
    EXPECT_EQ(d[0], (std::vector<std::string>{"OK", hex("Ada"), hex("about me"), hex(raw(enc, enc_len)), "1700000000123"}));
    EXPECT_EQ(d[1], (std::vector<std::string>{"OK", "1", hex(id.conv), "3735928559", hex("unsent")}));
    EXPECT_EQ(d[2], (std::vector<std::string>{"OK", "2", hex(u1) + ":" + hex(k1) + "," + hex(u2) + ":" + hex(k2)}));
    EXPECT_EQ(d[3], (std::vector<std::string>{"OK", "3", "3",
                                              hex(filled(16, 1)) + "," + hex(filled(16, 2)) + "," + hex(filled(16, 3))}));
    EXPECT_EQ(d[4], (std::vector<std::string>{"OK", "99", hex(prev)}));
}

TEST_F(Msgstore, FilesSealedByScriptOpenInStore) {
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const bytes s = hex(raw(kSecret, 32));
    const bytes u1 = filled(16, 0x31), k1 = filled(32, 0x3a);
    const bytes state = filled(400, 0x61), prev = filled(280, 0x62), pk = filled(64, 0x63);
    auto enc = script({"encode profile " + hex("Bob") + " " + hex("hello") + " - 42",
                       "encode session 1 " + hex(id.conv2) + " 7 " + hex("typed"),
                       "encode idents 1 " + hex(u1) + ":" + hex(k1),
                       "encode rinit 2 2 " + hex(filled(16, 5)) + "," + hex(filled(16, 6)), "encode rprev 1234 " + hex(prev)});
    for (const auto &e : enc) ASSERT_EQ(e.size(), 2u);
    auto sealed = script({"seal " + file("profile.dat") + " " + s + " " + enc[0][1],
                          "seal " + file("session.dat") + " " + s + " " + enc[1][1],
                          "seal " + file("idents.dat") + " " + s + " " + enc[2][1],
                          "seal " + file("rinit.dat") + " " + s + " " + enc[3][1],
                          "seal " + file("prekeys.dat") + " " + s + " " + hex(pk),
                          "seal " + file(ratchet_name(id.conv, id.dev)) + " " + s + " " + hex(state),
                          "seal " + file(rprev_name(0, id.conv, id.dev)) + " " + s + " " + enc[4][1],
                          "seal " + file("convs.dat") + " " + s + " 1600000000"});
    for (const auto &e : sealed) ASSERT_EQ(e, std::vector<std::string>{"OK"});

    auto ms = open();
    ASSERT_TRUE(ms);
    char name[80], about[140], text[100];
    EXPECT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, about, sizeof about), 0);
    EXPECT_STREQ(name, "Bob");
    EXPECT_STREQ(about, "hello");
    EXPECT_EQ(quorvane_msgstore_self_profile_ts(ms.get()), 42u);
    int flag = 0;
    uint8_t conv[16];
    uint32_t value = 0;
    ASSERT_EQ(quorvane_msgstore_get_session(ms.get(), &flag, conv, &value, text, sizeof text), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(raw(conv, 16), id.conv2);
    EXPECT_EQ(value, 7u);
    EXPECT_STREQ(text, "typed");
    EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u1), u8(k1)), 1);
    EXPECT_EQ(quorvane_msgstore_rinit_seen(ms.get(), u8(filled(16, 6))), 1);
    uint8_t buf[500];
    ASSERT_EQ(quorvane_msgstore_get_prekeys(ms.get(), buf, sizeof buf), pk.size());
    EXPECT_EQ(raw(buf, pk.size()), pk);
    ASSERT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), buf, sizeof buf), state.size());
    EXPECT_EQ(raw(buf, state.size()), state);
    uint64_t when = 0;
    ASSERT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 0, &when, buf, sizeof buf), prev.size());
    EXPECT_EQ(when, 1234u);
    EXPECT_EQ(raw(buf, prev.size()), prev);
    EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "convs.dat"), 0);
    // the label binds slot, conversation and device: the same bytes under another name do not open
    ASSERT_EQ(rename(file(rprev_name(0, id.conv, id.dev)).c_str(), file(rprev_name(1, id.conv, id.dev)).c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, &when, buf, sizeof buf), 0u);
    ASSERT_EQ(rename(file(ratchet_name(id.conv, id.dev)).c_str(), file(ratchet_name(id.conv, id.dev2)).c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev2), buf, sizeof buf), 0u);
}

/* ---- own profile and interface state -------------------------------------- */

TEST_F(Msgstore, SelfProfileCutsAndSurvivesReopen) {
    struct Case {
        size_t name_len, about_len, name_kept, about_kept;
    } cases[] = {{64, 128, 64, 128}, {65, 129, 64, 128}, {0, 0, 0, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name_len);
        std::string n(c.name_len, 'n'), a(c.about_len, 'a');
        {
            auto ms = open();
            ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), n.c_str(), a.c_str()), 0);
        }
        auto ms = open();
        char name[100], about[200];
        EXPECT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, about, sizeof about), 0);
        EXPECT_EQ(std::string(name), n.substr(0, c.name_kept));
        EXPECT_EQ(std::string(about), a.substr(0, c.about_kept));
    }
    auto ms = open();
    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), nullptr, nullptr), 0);
    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "abcdef", nullptr), 0);
    char small[4];
    EXPECT_EQ(quorvane_msgstore_get_self_profile(ms.get(), small, sizeof small, nullptr, 0), 0);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(quorvane_msgstore_get_self_profile(nullptr, small, sizeof small, nullptr, 0), -1);
}

TEST_F(Msgstore, SelfProfileEditTimeAndAdoption) {
    auto ms = open();
    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "Ann", "x"), 0);
    ASSERT_EQ(quorvane_msgstore_self_profile_edited(ms.get(), 100), 0);
    ASSERT_EQ(quorvane_msgstore_self_profile_edited(ms.get(), 50), 0);
    EXPECT_EQ(quorvane_msgstore_self_profile_ts(ms.get()), 100u) << "only raised";

    const std::string long_name(70, 'L'), long_kept(64, 'L');
    struct Case {
        const char *what, *name, *about;
        uint64_t time;
        int result;
        const char *name_after, *about_after;
        uint64_t time_after;
    } cases[] = {
        {"equal time refused", "Zed", "y", 100, 0, "Ann", "x", 100},
        {"older time refused", "Zed", "y", 99, 0, "Ann", "x", 100},
        {"null name refused", nullptr, "y", 200, 0, "Ann", "x", 100},
        {"empty name refused", "", "y", 200, 0, "Ann", "x", 100},
        {"same texts: only the time", "Ann", "x", 150, 0, "Ann", "x", 150},
        {"new texts", "Zed", nullptr, 160, 1, "Zed", "", 160},
        {"same again, null about as empty", "Zed", nullptr, 170, 0, "Zed", "", 170},
        {"long name", long_name.c_str(), nullptr, 180, 1, long_kept.c_str(), "", 180},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(quorvane_msgstore_adopt_self_profile(ms.get(), c.name, c.about, c.time), c.result);
        char name[100], about[200];
        ASSERT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, about, sizeof about), 0);
        EXPECT_STREQ(name, c.name_after);
        EXPECT_STREQ(about, c.about_after);
        EXPECT_EQ(quorvane_msgstore_self_profile_ts(ms.get()), c.time_after);
    }
    EXPECT_EQ(quorvane_msgstore_adopt_self_profile(ms.get(), long_name.c_str(), nullptr, 190), 0) << "cut name equals stored";
    ms.reset();
    ms = open();
    EXPECT_EQ(quorvane_msgstore_self_profile_ts(ms.get()), 190u);
}

TEST_F(Msgstore, SelfAvatarRoundTripAndClear) {
    quorvane_file_meta av{};
    memset(av.blob.storage_id, 0x12, sizeof av.blob.storage_id);
    memset(av.blob.key, 0x34, sizeof av.blob.key);
    av.blob.size = 12345;
    strcpy(av.mime, "image/webp");
    memset(av.name, 'n', QV_MSG_FILE_NAME_MAX);  // the longest avatar the encoder makes
    memset(av.mime, 'm', QV_MSG_MIME_MAX);
    {
        auto ms = open();
        ASSERT_EQ(quorvane_msgstore_set_self_avatar(ms.get(), &av), 0);
    }
    auto ms = open();
    quorvane_file_meta out{};
    ASSERT_EQ(quorvane_msgstore_get_self_avatar(ms.get(), &out), 1);
    EXPECT_EQ(memcmp(out.blob.key, av.blob.key, sizeof av.blob.key), 0);
    EXPECT_EQ(out.blob.size, 12345u);
    EXPECT_EQ(std::string(out.name), std::string(QV_MSG_FILE_NAME_MAX, 'n'));
    ASSERT_EQ(quorvane_msgstore_set_self_avatar(ms.get(), nullptr), 0);
    EXPECT_EQ(quorvane_msgstore_get_self_avatar(ms.get(), &out), 0);
    ms.reset();
    ms = open();
    EXPECT_EQ(quorvane_msgstore_get_self_avatar(ms.get(), &out), 0);
}

bytes profile_pt(size_t a, size_t b, size_t c, bool time) {
    bytes p = bytes(1, '\2') + bytes(1, char(a)) + filled(a, 'N') + bytes(1, char(b)) + filled(b, 'A');
    p += bytes(1, char(c >> 8)) + bytes(1, char(c & 0xff)) + filled(c, 'V');
    if (time) p += unhex("0000000000000309");
    return p;
}

// Each field that fails its test ends the reading and keeps what came before.
TEST(MsgstoreDecode, ProfileFieldsEndAtTheFirstBadOne) {
    struct Case {
        const char *what;
        bytes pt;
        int used;
        size_t name, about, avatar;
        uint64_t time;
    } cases[] = {
        {"whole", profile_pt(3, 4, 5, true), 1, 3, 4, 5, 777},
        {"limits", profile_pt(64, 128, 560, true), 1, 64, 128, 560, 777},
        {"name 65", profile_pt(65, 4, 5, true), 1, 0, 0, 0, 0},
        {"about 129", profile_pt(3, 129, 5, true), 1, 3, 0, 0, 0},
        {"avatar 561", profile_pt(3, 4, 561, true), 1, 3, 4, 0, 0},
        {"no time", profile_pt(3, 4, 5, false), 1, 3, 4, 5, 0},
        {"time cut", profile_pt(3, 4, 5, true).substr(0, 3 + 3 + 4 + 2 + 5 + 7), 1, 3, 4, 5, 0},
        {"name with nothing behind", bytes(1, '\2') + bytes(1, '\3') + "abc", 1, 0, 0, 0, 0},
        {"avatar length cut", profile_pt(3, 4, 0, false).substr(0, 1 + 1 + 3 + 1 + 4 + 1), 1, 3, 4, 0, 0},
        {"two bytes", unhex("0200"), 0, 0, 0, 0, 0},
        {"version 1", bytes(1, '\1') + profile_pt(3, 4, 5, true).substr(1), 0, 0, 0, 0, 0},
        {"version 3", bytes(1, '\3') + profile_pt(3, 4, 5, true).substr(1), 0, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        quorvane_ms_profile p;
        memset(&p, 0xff, sizeof p);
        EXPECT_EQ(quorvane_ms_profile_decode(u8(c.pt), c.pt.size(), &p), c.used);
        EXPECT_EQ(strlen(p.name), c.name);
        EXPECT_EQ(strlen(p.about), c.about);
        EXPECT_EQ(p.avatar_len, c.avatar);
        EXPECT_EQ(p.edit_time, c.time);
    }
}

TEST_F(Msgstore, SessionRoundTripAndCuts) {
    auto ms = open();
    struct Case {
        size_t text_len, kept;
    } cases[] = {{0, 0}, {4096, 4096}, {4097, 4096}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text_len);
        std::string t(c.text_len, 't');
        ASSERT_EQ(quorvane_msgstore_set_session(ms.get(), 5, u8(id.conv), 0xffffffffu, t.c_str()), 0);
        int flag = 9;
        uint8_t conv[16];
        uint32_t value = 0;
        std::vector<char> text(5000, 'x');
        ASSERT_EQ(quorvane_msgstore_get_session(ms.get(), &flag, conv, &value, text.data(), text.size()), 0);
        EXPECT_EQ(flag, 1);
        EXPECT_EQ(raw(conv, 16), id.conv);
        EXPECT_EQ(value, 0xffffffffu);
        EXPECT_EQ(strlen(text.data()), c.kept);
    }
    ASSERT_EQ(quorvane_msgstore_set_session(ms.get(), 0, nullptr, 3, nullptr), 0);
    int flag = 9;
    uint8_t conv[16];
    memset(conv, 0xab, sizeof conv);
    char text[8] = "zzz";
    ASSERT_EQ(quorvane_msgstore_get_session(ms.get(), &flag, conv, nullptr, text, sizeof text), 0);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(raw(conv, 16), filled(16, 0));
    EXPECT_STREQ(text, "");
    ASSERT_EQ(quorvane_msgstore_set_session(ms.get(), 1, nullptr, 3, "0123456789"), 0);
    ASSERT_EQ(quorvane_msgstore_get_session(ms.get(), nullptr, nullptr, nullptr, text, sizeof text), 0);
    EXPECT_STREQ(text, "0123456") << "cut to the buffer size minus one";

    ASSERT_EQ(unlink(file("session.dat").c_str()), 0);
    flag = 1;
    uint32_t value = 5;
    strcpy(text, "left");
    EXPECT_EQ(quorvane_msgstore_get_session(ms.get(), &flag, conv, &value, text, sizeof text), -1);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(value, 0u);
    EXPECT_STREQ(text, "") << "outputs are cleared first";
}

TEST(MsgstoreDecode, SessionTakesOnlyTheBytesPresent) {
    auto enc = script({"encode session 1 " + hex(filled(16, 4)) + " 9 " + hex("short") + " 300",
                       "encode session 1 " + hex(filled(16, 4)) + " 9 " + hex(filled(4100, 'w')) + " 65535"});
    struct Case {
        bytes pt;
        int rc;
        size_t text;
    } cases[] = {
        {unhex(enc[0][1]), 0, 5},
        {unhex(enc[1][1]), 0, 4096},
        {unhex(enc[0][1]).substr(0, 24), 0, 0},
        {unhex(enc[0][1]).substr(0, 23), -1, 0},
        {bytes(1, '\2') + unhex(enc[0][1]).substr(1), -1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pt.size());
        quorvane_ms_session s;
        EXPECT_EQ(quorvane_ms_session_decode(u8(c.pt), c.pt.size(), &s), c.rc);
        EXPECT_EQ(s.text_len, c.text);
        EXPECT_EQ(strlen(s.text), c.text);
    }
}

/* ---- ratchet files --------------------------------------------------------- */

TEST_F(Msgstore, RatchetStateRoundTripAndCapacity) {
    // a real stored state of the double ratchet, not just any bytes
    uint8_t secret[32] = {7}, ad[64] = {8}, priv[32], pub[32];
    ASSERT_EQ(quorvane_x25519_keypair(priv, pub), 0);
    std::vector<uint8_t> st(QV_RATCHET_SER_MAX);
    size_t st_len = 0;
    ASSERT_EQ(quorvane_ratchet_init_initiator_ser(secret, ad, pub, st.data(), st.size(), &st_len), 0);
    st.resize(st_len);
    {
        auto ms = open();
        EXPECT_EQ(quorvane_msgstore_has_ratchet(ms.get(), u8(id.conv), u8(id.dev)), 0);
        ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(id.dev), st.data(), st.size()), 0);
        EXPECT_EQ(quorvane_msgstore_put_ratchet(ms.get(), nullptr, u8(id.dev), st.data(), st.size()), -1);
        EXPECT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(id.dev), nullptr, 3), -1);
        EXPECT_EQ(quorvane_msgstore_put_ratchet(nullptr, u8(id.conv), u8(id.dev), st.data(), st.size()), -1);
    }
    auto ms = open();
    EXPECT_EQ(quorvane_msgstore_has_ratchet(ms.get(), u8(id.conv), u8(id.dev)), 1);
    EXPECT_EQ(quorvane_msgstore_has_ratchet(ms.get(), u8(id.conv), u8(id.dev2)), 0);
    std::vector<uint8_t> buf(st.size() + 1);
    EXPECT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), buf.data(), st.size() - 1), 0u);
    ASSERT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), buf.data(), st.size()), st.size());
    EXPECT_TRUE(std::equal(st.begin(), st.end(), buf.begin()));
    quorvane_ratchet *r = nullptr;
    ASSERT_EQ(quorvane_ratchet_deserialize(&r, buf.data(), st.size()), 0);
    quorvane_ratchet_free(&r);

    EXPECT_EQ(quorvane_msgstore_drop_ratchet(ms.get(), u8(id.conv), nullptr), 1);
    EXPECT_EQ(quorvane_msgstore_drop_ratchet(ms.get(), u8(id.conv), u8(id.dev)), 0);
    EXPECT_EQ(quorvane_msgstore_drop_ratchet(ms.get(), u8(id.conv), u8(id.dev)), -1);
    EXPECT_EQ(quorvane_msgstore_has_ratchet(ms.get(), u8(id.conv), u8(id.dev)), 0);
    EXPECT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), buf.data(), buf.size()), 0u);
}

TEST_F(Msgstore, PreviousRatchetSlots) {
    auto ms = open();
    bytes a = filled(300, 0xa0), b = filled(1, 0xb0);
    EXPECT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 2, 1, u8(a), a.size()), -1);
    ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 0, 111, u8(a), a.size()), 0);
    ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, 222, u8(b), b.size()), 0);
    ms.reset();
    ms = open();
    uint8_t buf[400];
    uint64_t v = 0;
    EXPECT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 2, &v, buf, sizeof buf), 0u);
    ASSERT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 0, &v, buf, sizeof buf), a.size());
    EXPECT_EQ(v, 111u);
    EXPECT_EQ(raw(buf, a.size()), a);
    EXPECT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 0, &v, buf, a.size() - 1), 0u);
    // 9 bytes of plaintext (value and one state byte) is the shortest that counts
    ASSERT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, nullptr, buf, sizeof buf), 1u);
    EXPECT_EQ(buf[0], 0xb0);
    ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, 333, u8(b), 0), 0);
    v = 9;
    EXPECT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, &v, buf, sizeof buf), 0u)
        << "a file holding only the value";
    EXPECT_EQ(v, 0u);

    quorvane_msgstore_drop_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 2);
    quorvane_msgstore_drop_ratchet_prev(ms.get(), nullptr, u8(id.dev), 0);
    EXPECT_TRUE(exists(file(rprev_name(0, id.conv, id.dev))));
    quorvane_msgstore_drop_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 0);
    EXPECT_FALSE(exists(file(rprev_name(0, id.conv, id.dev))));
    EXPECT_TRUE(exists(file(rprev_name(1, id.conv, id.dev))));
}

TEST_F(Msgstore, RatchetDevicesListing) {
    auto ms = open();
    bytes s = filled(10, 1);
    for (const bytes *d : {&id.dev, &id.dev2})
        ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(*d), u8(s), s.size()), 0);
    ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv2), u8(id.dev3), u8(s), s.size()), 0);
    ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev3), 0, 1, u8(s), s.size()), 0);
    // near misses: an upper-case digit, a short name, a non-hex digit, a leftover temporary
    std::string upper = ratchet_name(id.conv, filled(32, 0xab));
    std::transform(upper.begin() + 35, upper.end() - 4, upper.begin() + 35, ::toupper);
    qvtest::write_file(file(upper), "x");
    qvtest::write_file(file("r_" + hex(id.conv) + "_" + hex(filled(31, 1)) + ".dat"), "x");
    qvtest::write_file(file("r_" + hex(id.conv) + "_" + std::string(63, 'a') + "g.dat"), "x");
    qvtest::write_file(file(ratchet_name(id.conv, filled(32, 0xee)) + ".tmp"), "x");

    uint8_t out[4][32];
    ASSERT_EQ(quorvane_msgstore_ratchet_devices(ms.get(), u8(id.conv), out, 4), 2u);
    std::vector<bytes> got = {raw(out[0], 32), raw(out[1], 32)};
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<bytes>{id.dev, id.dev2}));
    memset(out, 0, sizeof out);
    EXPECT_EQ(quorvane_msgstore_ratchet_devices(ms.get(), u8(id.conv), out, 1), 2u) << "all matches counted";
    EXPECT_TRUE(raw(out[0], 32) == id.dev || raw(out[0], 32) == id.dev2);
    EXPECT_EQ(raw(out[1], 32), filled(32, 0)) << "nothing copied past the capacity";
    EXPECT_EQ(quorvane_msgstore_ratchet_devices(ms.get(), u8(id.conv2), nullptr, 0), 1u);
    EXPECT_EQ(quorvane_msgstore_ratchet_devices(ms.get(), u8(filled(16, 0x77)), out, 4), 0u);
}

TEST_F(Msgstore, DropRatchetDeviceAcrossConversations) {
    auto ms = open();
    bytes s = filled(10, 1);
    for (const bytes *c : {&id.conv, &id.conv2}) {
        for (const bytes *d : {&id.dev, &id.dev2}) {
            ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(*c), u8(*d), u8(s), s.size()), 0);
            for (unsigned slot = 0; slot < 2; slot++)
                ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(*c), u8(*d), slot, 1, u8(s), s.size()), 0);
        }
    }
    // a file of another kind that ends like the device's files is not a ratchet file
    qvtest::write_file(file("x_" + hex(id.dev) + ".dat"), "keep");
    EXPECT_EQ(quorvane_msgstore_drop_ratchet_device(ms.get(), u8(id.dev)), 6);
    for (const bytes *c : {&id.conv, &id.conv2}) {
        EXPECT_FALSE(exists(file(ratchet_name(*c, id.dev))));
        EXPECT_FALSE(exists(file(rprev_name(0, *c, id.dev))));
        EXPECT_FALSE(exists(file(rprev_name(1, *c, id.dev))));
        EXPECT_TRUE(exists(file(ratchet_name(*c, id.dev2))));
        EXPECT_TRUE(exists(file(rprev_name(0, *c, id.dev2))));
        EXPECT_TRUE(exists(file(rprev_name(1, *c, id.dev2))));
    }
    EXPECT_TRUE(exists(file("x_" + hex(id.dev) + ".dat")));
    EXPECT_EQ(quorvane_msgstore_drop_ratchet_device(ms.get(), u8(id.dev)), 0);
    EXPECT_EQ(quorvane_msgstore_drop_ratchet_device(ms.get(), nullptr), 0);
}

/* ---- session-initiation ring, prekeys, identities -------------------------- */

bytes ring_id(int i) {
    bytes b = filled(16, 0x5e);
    b[0] = char(i >> 8);
    b[1] = char(i);
    return b;
}

TEST_F(Msgstore, RinitRingKeepsTheLast256) {
    {
        auto ms = open();
        for (int i = 0; i < 300; i++) ASSERT_EQ(quorvane_msgstore_rinit_note(ms.get(), u8(ring_id(i))), 0);
    }
    auto ms = open();
    for (int i = 0; i < 300; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(quorvane_msgstore_rinit_seen(ms.get(), u8(ring_id(i))), i >= 44 ? 1 : 0);
    }
    auto a = script({"open " + file("rinit.dat") + " " + hex(raw(kSecret, 32))});
    ASSERT_EQ(a[0].size(), 2u);
    auto d = script({"decode rinit " + a[0][1]});
    ASSERT_EQ(d[0].size(), 4u);
    EXPECT_EQ(d[0][1], "44");
    EXPECT_EQ(d[0][2], "256");
    EXPECT_EQ(quorvane_msgstore_rinit_note(nullptr, u8(ring_id(1))), -1);
    EXPECT_EQ(quorvane_msgstore_rinit_seen(ms.get(), nullptr), 0);
}

// An id the ring could not be checked for counts as seen, so that a replay
// is refused rather than let through; a ring that could not be read is not
// rewritten with the new id alone.
TEST_F(Msgstore, RinitUncheckedForLackOfMemory) {
    auto ms = open();
    ASSERT_TRUE(ms);
    const bytes kept = ring_id(1), fresh = ring_id(2);
    ASSERT_EQ(quorvane_msgstore_rinit_note(ms.get(), u8(kept)), 0);
    const bytes before = qvtest::read_file(file("rinit.dat"));
    struct Case {
        const char *what;
        bool note;
        long fail_after;  // allocations through the hook that succeed first
        int result;
    } cases[] = {
        {"check, its ring", false, 0, 1},
        {"check, the file's bytes", false, 1, 1},
        {"check, the plaintext", false, 2, 1},
        {"note, its ring", true, 0, -1},
        {"note, the file's bytes", true, 1, -1},
        {"note, the plaintext", true, 2, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        {
            AllocFailReset reset;
            n_alloc_fail_after(c.fail_after);
            EXPECT_EQ(c.note ? quorvane_msgstore_rinit_note(ms.get(), u8(fresh))
                             : quorvane_msgstore_rinit_seen(ms.get(), u8(fresh)),
                      c.result);
        }
        EXPECT_EQ(qvtest::read_file(file("rinit.dat")), before);
        EXPECT_EQ(quorvane_msgstore_rinit_seen(ms.get(), u8(fresh)), 0);
        EXPECT_EQ(quorvane_msgstore_rinit_seen(ms.get(), u8(kept)), 1);
    }
}

bytes ring_pt(unsigned next, unsigned count, size_t ids) {
    bytes p = bytes(1, char(next >> 8)) + bytes(1, char(next)) + bytes(1, char(count >> 8)) + bytes(1, char(count));
    return p + filled(16 * ids, 0x21);
}

TEST(MsgstoreDecode, RinitValidity) {
    struct Case {
        const char *what;
        bytes pt;
        int rc;
        unsigned count;
    } cases[] = {
        {"empty ring", ring_pt(0, 0, 0), 0, 0},
        {"full ring", ring_pt(255, 256, 256), 0, 256},
        {"count 257", ring_pt(0, 257, 257), -1, 0},
        {"next 256", ring_pt(256, 1, 1), -1, 0},
        {"one id missing", ring_pt(0, 2, 1), -1, 0},
        {"one id too many", ring_pt(0, 1, 2), -1, 0},
        {"three bytes", ring_pt(0, 0, 0).substr(0, 3), -1, 0},
        {"4101 bytes", ring_pt(0, 256, 256) + "x", -1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto ring = std::make_unique<quorvane_ms_rinit>();
        EXPECT_EQ(quorvane_ms_rinit_decode(u8(c.pt), c.pt.size(), ring.get()), c.rc);
        EXPECT_EQ(ring->count, c.count);
    }
}

TEST_F(Msgstore, PrekeysRoundTripAndCapacity) {
    bytes pk = filled(777, 0x9c);
    {
        auto ms = open();
        EXPECT_EQ(quorvane_msgstore_put_prekeys(ms.get(), nullptr, 5), -1);
        ASSERT_EQ(quorvane_msgstore_put_prekeys(ms.get(), u8(pk), pk.size()), 0);
    }
    auto ms = open();
    std::vector<uint8_t> buf(pk.size());
    EXPECT_EQ(quorvane_msgstore_get_prekeys(ms.get(), buf.data(), pk.size() - 1), 0u);
    ASSERT_EQ(quorvane_msgstore_get_prekeys(ms.get(), buf.data(), pk.size()), pk.size());
    EXPECT_EQ(raw(buf.data(), buf.size()), pk);
}

TEST_F(Msgstore, IdentityFirstSeenIsKept) {
    const bytes u = filled(16, 0x41), k = filled(32, 0x42), other = filled(32, 0x43);
    {
        auto ms = open();
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u), u8(k)), 0);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u), u8(k)), 1);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u), u8(other)), -1);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), nullptr, u8(k)), -2);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u), nullptr), -2);
    }
    auto ms = open();
    EXPECT_EQ(ms->ident_count, 1u);
    EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u), u8(other)), -1);
    EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u), u8(k)), 1);
}

bytes ident_user(size_t i) {
    bytes b = filled(16, 0x70);
    b[0] = char(i >> 8);
    b[1] = char(i);
    return b;
}

// The list limit at 2047, 2048 and 2049 entries, from files the script seals.
TEST_F(Msgstore, IdentityListLimit) {
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    auto file_of = [](size_t announced, size_t present) {
        bytes pt = bytes(1, '\1') + bytes(1, char(announced >> 24)) + bytes(1, char(announced >> 16)) +
                   bytes(1, char(announced >> 8)) + bytes(1, char(announced));
        for (size_t i = 0; i < present; i++) pt += ident_user(i) + filled(32, 0x99);
        return pt;
    };
    struct Case {
        size_t announced, present, loaded;
        int next_new;  // tofu of a user not in the list
    } cases[] = {{2047, 2047, 2047, 0}, {2048, 2048, 2048, -2}, {2049, 2049, 2048, -2}, {2049, 2048, 2048, -2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.announced);
        script_seal(file("idents.dat"), file_of(c.announced, c.present));
        auto ms = open();
        EXPECT_EQ(ms->ident_count, c.loaded);
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "idents.dat"), 0);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(ident_user(c.loaded - 1)), u8(filled(32, 0x99))), 1);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(filled(16, 0xfe)), u8(filled(32, 1))), c.next_new);
        ms.reset();
        ms = open();
        EXPECT_EQ(ms->ident_count, std::min<size_t>(c.loaded + (c.next_new == 0), 2048));
    }
}

TEST(MsgstoreDecode, IdentityListValidity) {
    bytes one = bytes(1, '\1') + unhex("00000001") + filled(48, 3);
    struct Case {
        const char *what;
        bytes pt;
        long rc;
    } cases[] = {
        {"one entry", one, 1},
        {"one entry and spare bytes", one + "zz", 1},
        {"count 0", bytes(1, '\1') + unhex("00000000") + filled(48, 3), -1},
        {"entry cut", one.substr(0, one.size() - 1), -1},
        {"four bytes", one.substr(0, 4), -1},
        {"version 2", bytes(1, '\2') + one.substr(1), -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        quorvane_ms_ident out[2];
        EXPECT_EQ(quorvane_ms_idents_decode(u8(c.pt), c.pt.size(), out, 2), c.rc);
    }
}

/* ---- aside directories ----------------------------------------------------- */

TEST_F(Msgstore, DiscardAsidesRemovesBothCopies) {
    for (const char *suffix : {".pre-recreate", ".pre-reset"}) {
        std::string d = dir + suffix;
        ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
        for (int i = 0; i < 5; i++) qvtest::write_file(d + "/f" + std::to_string(i), "x");
        ASSERT_EQ(mkdir((d + "/emptydir").c_str(), 0700), 0);
    }
    EXPECT_EQ(quorvane_msgstore_discard_asides(dir.c_str()), 2);
    EXPECT_FALSE(exists(dir + ".pre-recreate"));
    EXPECT_FALSE(exists(dir + ".pre-reset"));
    EXPECT_EQ(quorvane_msgstore_discard_asides(dir.c_str()), 0);

    // a directory that cannot be emptied stays and is not counted
    std::string d = dir + ".pre-reset";
    ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((d + "/full").c_str(), 0700), 0);
    qvtest::write_file(d + "/full/f", "x");
    EXPECT_EQ(quorvane_msgstore_discard_asides(dir.c_str()), 0);
    EXPECT_TRUE(exists(d + "/full/f"));

    EXPECT_EQ(quorvane_msgstore_discard_asides(nullptr), 0);
    EXPECT_EQ(quorvane_msgstore_discard_asides(std::string(512, 'a').c_str()), 0);
}

}  // namespace
