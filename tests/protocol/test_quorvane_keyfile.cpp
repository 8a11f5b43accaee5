// Password key files and the password auth value: sizes and arguments, every header
// field tampered with, damaged parameters refused before any derivation, the file's
// mode and write order (checked and broken step by step under strace), a writer
// killed between write and rename, and a cross-check in both directions against
// tests/scripts/keys_xcheck.py. Most cases use a small scrypt cost, which the key
// file takes as a parameter; the auth value and one key file run the real cost.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "qv_test_support.h"
#include "quorvane_crypto.h"
#include "quorvane_keyfile.h"

extern char **environ;

using qvtest::exists;
using qvtest::file_bytes;
using qvtest::hex_word;
using qvtest::mode_of;
using qvtest::names_in;
using qvtest::put_be32;
using qvtest::put_file;
using qvtest::read_file;
using qvtest::self_exe;
using qvtest::strace_unusable;
using qvtest::TempDir;
using qvtest::Traced;
using qvtest::UmaskScope;
using qvtest::write_file;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr quorvane_scrypt_params kSmall = {1024, 1, 1};
constexpr quorvane_scrypt_params kReal = {32768, 8, 1};  // what the device key store seals with

// Deterministic content that differs from every shifted copy of itself and holds no zero byte.
Bytes pattern(size_t n, unsigned seed = 7) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>((i * 131 + seed + (i >> 8)) % 255 + 1);
    return b;
}

// Opens into a buffer pre-filled with 0xAA; returns the code, the bytes and the length.
struct Opened {
    int rc;
    Bytes out;
    size_t len;
};
Opened open_kf(const std::string &path, const char *pw, size_t cap = QV_KEYFILE_MAX) {
    Opened o{0, Bytes(cap, 0xAA), 777};
    o.rc = quorvane_keyfile_open(path.c_str(), pw, o.out.data(), cap, &o.len);
    return o;
}

// ---------------------------------------------------------------------------
// The subject: started with QV_KEYFILE_SUBJECT set, this binary seals one key file
// and exits before GoogleTest starts, so nothing else touches the files. With
// QV_KEYFILE_STOP_BEFORE_RENAME it stops itself when the seal reaches its rename.
// Exit status: the seal's result negated (0, 1, 2, 3).

int run_subject() {
    const char *op = getenv("QV_KEYFILE_SUBJECT");
    if (!op) return 0;
    const char *path = getenv("QV_KEYFILE_PATH"), *pw = getenv("QV_KEYFILE_PW"), *len = getenv("QV_KEYFILE_LEN");
    if (strcmp(op, "seal") != 0 || !path || !pw || !len) _exit(100);
    const Bytes data = pattern(strtoul(len, nullptr, 10), 42);
    _exit(-quorvane_keyfile_seal(path, pw, data.data(), data.size(), &kSmall));
}
[[maybe_unused]] const int subject_ran = run_subject();

// Runs the subject under strace, tracing only system calls on `paths`, with each of
// `injects` ("SYSCALLS:error=E[:when=N]") applied.
Traced run_traced(const TempDir &work, const std::string &path, const std::string &pw, size_t len,
                  const std::vector<std::string> &paths, const std::vector<std::string> &injects) {
    const std::vector<std::string> env = {"QV_KEYFILE_SUBJECT=seal", "QV_KEYFILE_PATH=" + path, "QV_KEYFILE_PW=" + pw,
                                          "QV_KEYFILE_LEN=" + std::to_string(len)};
    return qvtest::run_self_traced(work, env, paths, injects);
}

std::vector<std::vector<std::string>> xcheck(const std::vector<std::string> &requests) {
    return qvtest::xcheck_words("keys_xcheck.py", requests);
}

}  // namespace

// A writer is a process that rename() stops in its tracks when asked to; everything
// else in this binary renames as usual. The seal's own rename resolves here.
extern "C" int rename(const char *from, const char *to) noexcept {
    if (getenv("QV_KEYFILE_STOP_BEFORE_RENAME")) raise(SIGSTOP);
    return renameat(AT_FDCWD, from, AT_FDCWD, to);
}

// ---------------------------------------------------------------------------
// Seal and open

TEST(KeyfileSeal, SizesOpenBackExactlyWithMode0600UnderAnyUmask) {
    TempDir dir;
    const std::string path = dir.file("device.keys");
    struct Case {
        size_t len;
        mode_t umask;
    } cases[] = {{1, 022}, {297, 0}, {4095, 077}, {QV_KEYFILE_MAX, 0277}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.len);
        const Bytes data = pattern(c.len, static_cast<unsigned>(c.len));
        {
            UmaskScope u(c.umask);
            ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "pw", data.data(), data.size(), &kSmall), 0);
        }
        EXPECT_EQ(mode_of(path), 0600u);
        EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"device.keys"});
        const Bytes file = file_bytes(path);
        ASSERT_EQ(file.size(), QV_KEYFILE_HDR_LEN + c.len + QV_TAG_LEN);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 6), (Bytes{'H', 'R', 'K', '1', 1, 1}));
        EXPECT_EQ(Bytes(file.begin() + 6, file.begin() + 18), (Bytes{0, 0, 4, 0, 0, 0, 0, 1, 0, 0, 0, 1}));
        Opened o = open_kf(path, "pw");
        ASSERT_EQ(o.rc, 0);
        ASSERT_EQ(o.len, c.len);
        EXPECT_EQ(Bytes(o.out.begin(), o.out.begin() + c.len), data);
        if (c.len < QV_KEYFILE_MAX) {
            EXPECT_EQ(o.out[c.len], 0xAA) << "nothing written past the plaintext";
        }
    }
    // salt and nonce are fresh on every seal
    const Bytes data = pattern(32);
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "pw", data.data(), data.size(), &kSmall), 0);
    const Bytes first = file_bytes(path);
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "pw", data.data(), data.size(), &kSmall), 0);
    const Bytes second = file_bytes(path);
    EXPECT_NE(Bytes(first.begin() + 18, first.begin() + 34), Bytes(second.begin() + 18, second.begin() + 34));
    EXPECT_NE(Bytes(first.begin() + 34, first.begin() + 46), Bytes(second.begin() + 34, second.begin() + 46));
}

TEST(KeyfileSeal, BadArgumentsAndOutOfBoundsCostsWriteNothing) {
    TempDir dir;
    const std::string path = dir.file("k");
    const Bytes data = pattern(QV_KEYFILE_MAX + 1);
    struct Case {
        const char *name;
        const char *path, *pw;
        const uint8_t *pt;
        size_t len;
        quorvane_scrypt_params params;
        bool null_params;
    } cases[] = {
        {"null path", nullptr, "pw", data.data(), 10, kSmall, false},
        {"null password", path.c_str(), nullptr, data.data(), 10, kSmall, false},
        {"null plaintext", path.c_str(), "pw", nullptr, 10, kSmall, false},
        {"null parameters", path.c_str(), "pw", data.data(), 10, kSmall, true},
        {"empty plaintext", path.c_str(), "pw", data.data(), 0, kSmall, false},
        {"4097 bytes", path.c_str(), "pw", data.data(), QV_KEYFILE_MAX + 1, kSmall, false},
        {"N 0", path.c_str(), "pw", data.data(), 10, {0, 1, 1}, false},
        {"N 1", path.c_str(), "pw", data.data(), 10, {1, 1, 1}, false},
        {"N not a power of two", path.c_str(), "pw", data.data(), 10, {24576, 1, 1}, false},
        {"N 2^21", path.c_str(), "pw", data.data(), 10, {2097152, 1, 1}, false},
        {"r 0", path.c_str(), "pw", data.data(), 10, {1024, 0, 1}, false},
        {"r 17", path.c_str(), "pw", data.data(), 10, {1024, 17, 1}, false},
        {"p 0", path.c_str(), "pw", data.data(), 10, {1024, 1, 0}, false},
        {"p 5", path.c_str(), "pw", data.data(), 10, {1024, 1, 5}, false},
        {"512 MiB of memory", path.c_str(), "pw", data.data(), 10, {1048576, 4, 1}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(quorvane_keyfile_seal(c.path, c.pw, c.pt, c.len, c.null_params ? nullptr : &c.params), -3);
        EXPECT_TRUE(names_in(dir.path).empty());
    }
}

TEST(KeyfileSeal, PathLengthLimitKeepsTheTemporaryNameWithin1024Bytes) {
    TempDir dir;
    // Nested directories bring the path to exactly 1018 and 1019 bytes.
    std::string base = dir.path;
    while (1018 - base.size() > 250) {
        base += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(base.c_str(), 0700), 0) << strerror(errno);
    }
    const std::string ok = base + "/" + std::string(1018 - base.size() - 1, 'k');
    const std::string too_long = ok + "x";
    ASSERT_EQ(ok.size(), 1018u);
    const Bytes data = pattern(10);
    EXPECT_EQ(quorvane_keyfile_seal(too_long.c_str(), "pw", data.data(), data.size(), &kSmall), -3);
    EXPECT_FALSE(exists(too_long));
    ASSERT_EQ(quorvane_keyfile_seal(ok.c_str(), "pw", data.data(), data.size(), &kSmall), 0);
    EXPECT_EQ(open_kf(ok, "pw").rc, 0);
}

TEST(KeyfileOpen, WrongPasswordGivesAuthFailureWithTheOutputWiped) {
    TempDir dir;
    const std::string path = dir.file("k");
    const Bytes data = pattern(297);
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "right", data.data(), data.size(), &kSmall), 0);
    for (const char *pw : {"wrong", "", "righ", "right "}) {
        SCOPED_TRACE(pw);
        Opened o = open_kf(path, pw);
        EXPECT_EQ(o.rc, -2);
        EXPECT_EQ(o.len, 777u);
        EXPECT_EQ(Bytes(o.out.begin(), o.out.begin() + 297), Bytes(297, 0));
        EXPECT_EQ(o.out[297], 0xAA);
    }
    // the empty password is a password like any other
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "", data.data(), data.size(), &kSmall), 0);
    EXPECT_EQ(open_kf(path, "").rc, 0);
    EXPECT_EQ(open_kf(path, "x").rc, -2);
}

// Every header field bound as associated data; the cheap checks answer -3 and the
// rest can only fail at the tag.
TEST(KeyfileOpen, TamperedFilesAreRefused) {
    TempDir dir;
    const std::string path = dir.file("k"), bad = dir.file("bad");
    const size_t L = 100;
    const Bytes data = pattern(L);
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "pw", data.data(), data.size(), &kSmall), 0);
    const Bytes good = file_bytes(path);
    ASSERT_EQ(good.size(), QV_KEYFILE_HDR_LEN + L + QV_TAG_LEN);

    struct Case {
        const char *name;
        size_t off;      // byte to change, or SIZE_MAX for none
        uint8_t xor_with;
        long resize;     // new length relative to the good file (0 keeps it)
        int rc;
    } cases[] = {
        {"magic", 0, 0x01, 0, -3},
        {"magic last byte", 3, 0x02, 0, -3},
        {"version", 4, 0x03, 0, -3},
        {"kind", 5, 0x03, 0, -3},
        {"N 1024 -> 2048", 8, 0x0C, 0, -2},
        {"r 1 -> 2", 13, 0x03, 0, -2},
        {"p 1 -> 2", 17, 0x03, 0, -2},
        {"N no longer a power of two", 9, 0x01, 0, -3},
        {"salt first", 18, 0x80, 0, -2},
        {"salt last", 33, 0x01, 0, -2},
        {"nonce first", 34, 0x01, 0, -2},
        {"nonce last", 45, 0x40, 0, -2},
        {"length 100 -> 101", 49, 0x01, 0, -1},   // the body is then one byte short
        {"length 100 -> 96", 49, 0x04, 0, -2},
        {"length 0", 49, 100, 0, -3},
        {"length 4196", 48, 0x10, 0, -3},
        {"ciphertext first", 50, 0x01, 0, -2},
        {"ciphertext last", 50 + L - 1, 0x01, 0, -2},
        {"tag first", 50 + L, 0x01, 0, -2},
        {"tag last", 50 + L + 15, 0x80, 0, -2},
        {"bytes after the tag are not read", SIZE_MAX, 0, 7, 0},
        {"cut inside the tag", SIZE_MAX, 0, -1, -1},
        {"cut to the header", SIZE_MAX, 0, -static_cast<long>(L + 16), -1},
        {"cut inside the header", SIZE_MAX, 0, -static_cast<long>(L + 17), -1},
        {"empty file", SIZE_MAX, 0, -static_cast<long>(good.size()), -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = good;
        if (c.off != SIZE_MAX) b[c.off] ^= c.xor_with;
        if (c.resize) b.resize(static_cast<size_t>(static_cast<long>(b.size()) + c.resize), 0x5A);
        put_file(bad, b);
        Opened o = open_kf(bad, "pw");
        EXPECT_EQ(o.rc, c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(Bytes(o.out.begin(), o.out.begin() + L), data);
            continue;
        }
        EXPECT_EQ(o.len, 777u);
        // nothing of the plaintext in the output, whatever the failure
        for (size_t i = 0; i < L; i++) ASSERT_TRUE(o.out[i] == 0 || o.out[i] == 0xAA) << i;
    }
    Opened o = open_kf(dir.file("missing"), "pw");
    EXPECT_EQ(o.rc, -1);
}

// A damaged or planted header must not make the client derive for minutes or
// gigabytes: out-of-bounds costs are malformed input. Each file is complete, so
// without the bounds the next step would be the derivation (the first row would
// then run for hours, the second fail in the library with -1).
TEST(KeyfileOpen, CraftedCostsAreRefusedBeforeAnyDerivation) {
    TempDir dir;
    const std::string path = dir.file("k");
    struct Case {
        const char *name;
        uint32_t N, r, p;
    } cases[] = {
        {"parallelism of a million at 32 MiB", 32768, 8, 1000000},
        {"parallelism 2^32 - 1", 32768, 8, 0xFFFFFFFFu},
        {"N 2^31", 0x80000000u, 1, 1},
        {"N 2^20 with r 4 (512 MiB)", 1048576, 4, 1},
        {"r 2^20", 1024, 1048576, 1},
        {"N 0", 0, 8, 1},
        {"N 3", 3, 8, 1},
        {"r 0", 1024, 0, 1},
        {"p 0", 1024, 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes f(QV_KEYFILE_HDR_LEN + 32 + QV_TAG_LEN, 0x11);
        memcpy(f.data(), "HRK1\x01\x01", 6);
        put_be32(f.data() + 6, c.N);
        put_be32(f.data() + 10, c.r);
        put_be32(f.data() + 14, c.p);
        put_be32(f.data() + 46, 32);
        put_file(path, f);
        EXPECT_EQ(open_kf(path, "pw").rc, -3);
        quorvane_keyfile_hdr h;
        EXPECT_EQ(quorvane_keyfile_parse(f.data(), f.size(), &h), -3);
    }
    // the edges of the bounds are accepted by the parser
    for (quorvane_scrypt_params p : {quorvane_scrypt_params{2, 1, 1}, {1048576, 2, 4}, {16384, 16, 4}, kReal}) {
        SCOPED_TRACE(p.N);
        EXPECT_EQ(quorvane_keyfile_params_ok(&p), 1);
    }
}

TEST(KeyfileOpen, SmallCapacityIsRefusedBeforeTheBodyIsRead) {
    TempDir dir;
    const std::string path = dir.file("k"), header_only = dir.file("h");
    const Bytes data = pattern(297);
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "pw", data.data(), data.size(), &kSmall), 0);
    EXPECT_EQ(open_kf(path, "pw", 296).rc, -3);
    EXPECT_EQ(open_kf(path, "pw", 297).rc, 0);
    // Without its body the file can only fail at the read (-1): getting -3 shows the
    // capacity was judged first, and so before the derivation that follows the read.
    const Bytes f = file_bytes(path);
    put_file(header_only, Bytes(f.begin(), f.begin() + QV_KEYFILE_HDR_LEN));
    EXPECT_EQ(open_kf(header_only, "pw", 296).rc, -3);
    EXPECT_EQ(open_kf(header_only, "pw", 297).rc, -1);
}

TEST(KeyfileOpen, NullArguments) {
    TempDir dir;
    const std::string path = dir.file("k");
    const Bytes data = pattern(8);
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "pw", data.data(), data.size(), &kSmall), 0);
    uint8_t out[16];
    size_t len = 5;
    EXPECT_EQ(quorvane_keyfile_open(nullptr, "pw", out, sizeof out, &len), -3);
    EXPECT_EQ(quorvane_keyfile_open(path.c_str(), nullptr, out, sizeof out, &len), -3);
    EXPECT_EQ(quorvane_keyfile_open(path.c_str(), "pw", nullptr, sizeof out, &len), -3);
    EXPECT_EQ(quorvane_keyfile_open(path.c_str(), "pw", out, sizeof out, nullptr), -3);
    EXPECT_EQ(len, 5u);
    quorvane_keyfile_hdr h;
    EXPECT_EQ(quorvane_keyfile_parse(nullptr, 50, &h), -3);
    EXPECT_EQ(quorvane_keyfile_parse(file_bytes(path).data(), 49, &h), -3);
    EXPECT_EQ(quorvane_keyfile_params_ok(nullptr), 0);
}

// ---------------------------------------------------------------------------
// Replacement on disk

TEST(KeyfileSeal, ReplacesTheOldFileAndClearsAStaleTemporary) {
    TempDir dir;
    const std::string path = dir.file("k"), tmp = path + ".tmp";
    const Bytes old_data = pattern(64, 1), new_data = pattern(80, 2);
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "old", old_data.data(), old_data.size(), &kSmall), 0);

    // A stale temporary as a writer that died would leave it, readable by all ...
    write_file(tmp, "stale, world-readable");
    chmod(tmp.c_str(), 0644);
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "new", new_data.data(), new_data.size(), &kSmall), 0);
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"k"});
    EXPECT_EQ(mode_of(path), 0600u);
    Opened o = open_kf(path, "new");
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(Bytes(o.out.begin(), o.out.begin() + static_cast<long>(o.len)), new_data);

    // ... or planted as a link elsewhere: the link goes, its target is not written.
    const std::string victim = dir.file("victim");
    write_file(victim, "do not touch");
    ASSERT_EQ(symlink(victim.c_str(), tmp.c_str()), 0);
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "new", new_data.data(), new_data.size(), &kSmall), 0);
    EXPECT_EQ(read_file(victim), "do not touch");
    EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"k", "victim"}));
    EXPECT_EQ(open_kf(path, "new").rc, 0);
}

TEST(KeyfileSeal, FailedSealLeavesNoTemporaryAndTheOldTargetAlone) {
    TempDir dir;
    const Bytes data = pattern(40);
    // a non-empty directory cannot be replaced by a file
    const std::string target = dir.file("t");
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    write_file(target + "/inside", "kept");
    EXPECT_EQ(quorvane_keyfile_seal(target.c_str(), "pw", data.data(), data.size(), &kSmall), -1);
    EXPECT_EQ(read_file(target + "/inside"), "kept");
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"t"});
    // no directory to write in
    EXPECT_EQ(quorvane_keyfile_seal(dir.file("none/k").c_str(), "pw", data.data(), data.size(), &kSmall), -1);
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"t"});
}

// The order that makes the file private and durable, read from the system calls
// of a real seal; then each of those calls is made to fail in turn.
TEST(KeyfileSeal, WriteOrderAndInjectedFailuresUnderStrace) {
    const std::string why = strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    TempDir dir;
    const std::string path = dir.file("k"), tmp = path + ".tmp";
    const Bytes old_data = pattern(50, 3);
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "old", old_data.data(), old_data.size(), &kSmall), 0);
    const Bytes old_file = file_bytes(path);

    Traced r = run_traced(dir, path, "new", 300, {tmp, dir.path}, {});
    ASSERT_EQ(r.status, 0) << r.log;
    const char *steps[] = {"O_EXCL", "fchmod(", "write(", "fsync(", "close(", "rename", "O_DIRECTORY", "fsync("};
    size_t at = 0;
    for (const char *s : steps) {
        SCOPED_TRACE(s);
        const size_t next = r.log.find(s, at);
        ASSERT_NE(next, std::string::npos) << r.log;
        at = next + 1;
    }
    const size_t create = r.log.find("O_EXCL");
    EXPECT_NE(r.log.substr(create, r.log.find('\n', create) - create).find("0600"), std::string::npos) << r.log;
    Opened o = open_kf(path, "new");
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(Bytes(o.out.begin(), o.out.begin() + 300), pattern(300, 42));

    struct Case {
        const char *name;
        const char *inject;
        bool replaced;  // the failure comes after the rename
    } cases[] = {
        {"create fails", "openat,open:error=ENOSPC", false},
        {"mode change fails", "fchmod:error=EPERM", false},
        {"write fails", "write:error=EIO", false},
        {"disk full on write", "write:error=ENOSPC", false},
        {"file sync fails", "fsync:error=EIO", false},
        {"close fails", "close:error=EIO", false},
        {"rename fails", "rename,renameat,renameat2:error=EXDEV", false},
        {"directory sync fails", "fsync:error=EIO:when=2", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        put_file(path, old_file);
        chmod(path.c_str(), 0600);
        Traced t = run_traced(dir, path, "new", 300, {tmp, dir.path}, {c.inject});
        EXPECT_NE(t.log.find("(INJECTED)"), std::string::npos) << t.log;
        // what the seal reports is what the next open finds: once renamed, the
        // new file is the key file, whatever the directory sync says
        EXPECT_EQ(t.status, c.replaced ? 0 : 1) << t.log;
        EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"k"});
        if (c.replaced) {
            EXPECT_EQ(open_kf(path, "new").rc, 0);
            EXPECT_EQ(open_kf(path, "old").rc, -2);
        } else {
            EXPECT_TRUE(file_bytes(path) == old_file);
        }
    }
}

// A writer killed after writing its temporary file and before the rename: the old
// key file must be there byte for byte and still open with the old password.
TEST(KeyfileCrash, WriterKilledBetweenWriteAndRenameLeavesTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("k"), tmp = path + ".tmp";
    const Bytes old_data = pattern(297, 9);
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "old", old_data.data(), old_data.size(), &kSmall), 0);
    const Bytes old_file = file_bytes(path);

    std::vector<std::string> env_s;
    for (char **e = environ; *e; e++) env_s.emplace_back(*e);
    env_s.push_back("QV_KEYFILE_SUBJECT=seal");
    env_s.push_back("QV_KEYFILE_PATH=" + path);
    env_s.push_back("QV_KEYFILE_PW=new");
    env_s.push_back("QV_KEYFILE_LEN=297");
    env_s.push_back("QV_KEYFILE_STOP_BEFORE_RENAME=1");
    std::vector<char *> envp;
    for (auto &s : env_s) envp.push_back(s.data());
    envp.push_back(nullptr);
    const std::string exe = self_exe();
    char *argv[] = {const_cast<char *>(exe.c_str()), nullptr};

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execve(exe.c_str(), argv, envp.data());
        _exit(127);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, WUNTRACED), pid);
    if (!WIFSTOPPED(st)) {
        ADD_FAILURE() << "the writer did not stop before its rename, status " << st;
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        return;
    }
    EXPECT_EQ(WSTOPSIG(st), SIGSTOP);
    // Stopped at the rename: the new file is complete and private beside the old one.
    EXPECT_EQ(mode_of(tmp), 0600u);
    Opened staged = open_kf(tmp, "new");
    EXPECT_EQ(staged.rc, 0);
    EXPECT_EQ(Bytes(staged.out.begin(), staged.out.begin() + 297), pattern(297, 42));
    EXPECT_TRUE(file_bytes(path) == old_file);

    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << st;

    EXPECT_TRUE(file_bytes(path) == old_file);
    Opened o = open_kf(path, "old");
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(Bytes(o.out.begin(), o.out.begin() + 297), old_data);
    // the dead writer's temporary does not block the next seal
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), "next", old_data.data(), old_data.size(), &kSmall), 0);
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"k"});
    EXPECT_EQ(open_kf(path, "next").rc, 0);
}

// ---------------------------------------------------------------------------
// Cross-check with the second implementation

TEST(KeyfileXcheck, FilesOpenAcrossImplementationsInBothDirections) {
    TempDir dir;
    const std::string ours_real = dir.file("ours_real"), ours_small = dir.file("ours_small"),
                      theirs = dir.file("theirs"), theirs_max = dir.file("theirs_max");
    const Bytes a = pattern(297, 1), b = pattern(50, 2), c = pattern(QV_KEYFILE_MAX, 3);
    ASSERT_EQ(quorvane_keyfile_seal(ours_real.c_str(), "pässwörd", a.data(), a.size(), &kReal), 0);
    ASSERT_EQ(quorvane_keyfile_seal(ours_small.c_str(), "", b.data(), b.size(), &kSmall), 0);
    auto ans = xcheck({
        "keyfile_open " + ours_real + " " + hex_word(std::string("pässwörd")),
        "keyfile_open " + ours_small + " -",
        "keyfile_open " + ours_small + " " + hex_word(std::string("x")),
        "keyfile_seal " + theirs + " " + hex_word(std::string("their pw")) + " " + hex_word(b) + " 2048 2 2",
        "keyfile_seal " + theirs_max + " " + hex_word(std::string("their pw")) + " " + hex_word(c) + " 1024 1 1",
    });
    EXPECT_EQ(ans[0], (std::vector<std::string>{"OK", hex_word(a)}));
    EXPECT_EQ(ans[1], (std::vector<std::string>{"OK", hex_word(b)}));
    EXPECT_EQ(ans[2], (std::vector<std::string>{"FAIL", "AUTH"}));
    ASSERT_EQ(ans[3], std::vector<std::string>{"OK"});
    ASSERT_EQ(ans[4], std::vector<std::string>{"OK"});
    Opened o = open_kf(theirs, "their pw");
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(Bytes(o.out.begin(), o.out.begin() + static_cast<long>(o.len)), b);
    EXPECT_EQ(open_kf(theirs, "their pW").rc, -2);
    o = open_kf(theirs_max, "their pw");
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(o.out, c);
}

// ---------------------------------------------------------------------------
// Password auth value (real cost: the value must match the server's)

TEST(PwAuth, MatchesTheSecondImplementationAndSeparatesUsers) {
    struct Case {
        const char *pw, *user;
    } cases[] = {
        {"", "alice"},
        {"correct horse battery staple", "alice"},
        {"correct horse battery staple", "Alice"},
    };
    std::vector<std::string> requests;
    std::vector<std::array<uint8_t, 32>> ours;
    for (const auto &c : cases) {
        std::array<uint8_t, 32> v{};
        ASSERT_EQ(quorvane_pw_auth(c.pw, c.user, v.data()), 0);
        ours.push_back(v);
        requests.push_back("pw_auth " + hex_word(std::string(c.pw)) + " " + hex_word(std::string(c.user)));
    }
    auto ans = xcheck(requests);
    for (size_t i = 0; i < ours.size(); i++) {
        SCOPED_TRACE(cases[i].pw + std::string(" / ") + cases[i].user);
        EXPECT_EQ(ans[i], (std::vector<std::string>{"OK", hex_word(ours[i].data(), 32)}));
    }
    EXPECT_NE(ours[1], ours[2]) << "user names differing only in case";

    uint8_t out[32] = {1};
    EXPECT_EQ(quorvane_pw_auth(nullptr, "alice", out), -3);
    EXPECT_EQ(quorvane_pw_auth("pw", nullptr, out), -3);
    EXPECT_EQ(quorvane_pw_auth("pw", "alice", nullptr), -3);
    EXPECT_EQ(out[0], 1);
}
