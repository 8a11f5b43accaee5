// Files on the real filesystem. Faults are injected three ways and every case
// checks what is on disk afterwards (old target byte for byte, no ".tmp" or
// ".part" left, exact modes): strace fails chosen system calls of this very
// binary re-run as a one-operation subject, a small tmpfs mounted in a
// child's private mount namespace runs out of space, and every allocation of
// each operation is made to fail in turn.
#include "n_files.h"

#include "n_list.h"
#include "n_log.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using qvtest::exists;
using qvtest::LogCapture;
using qvtest::mode_of;
using qvtest::names_in;
using qvtest::read_file;
using qvtest::strace_unusable;
using qvtest::TempDir;
using qvtest::Traced;
using qvtest::UmaskScope;
using qvtest::write_file;

namespace {

// Deterministic content that differs from every shifted copy of itself.
std::string pattern(size_t n, unsigned seed = 7) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = (char)(uint8_t)(i * 131 + seed + (i >> 12));
    return s;
}

// ---------------------------------------------------------------------------
// The subject: started with QV_FILES_SUBJECT set (under strace), this binary
// runs one operation and exits before GoogleTest starts, so that nothing but
// that operation touches the traced files. Exit 0 when it returned 1, 3 when
// it returned 0.

int run_subject() {
    const char *op = getenv("QV_FILES_SUBJECT");
    if (!op) return 0;
    const char *a = getenv("QV_FILES_A");
    const char *b = getenv("QV_FILES_B");
    int ok = 0;
    if (strcmp(op, "write") == 0 && a && b) {
        std::string data = pattern(strtoul(b, nullptr, 10));
        ok = n_file_write_atomic(a, data.data(), data.size(), 0600);
    } else if (strcmp(op, "copy") == 0 && a && b) {
        size_t copied = 0;
        ok = n_file_copy_verified(a, b, &copied);
    } else {
        _exit(2);
    }
    _exit(ok ? 0 : 3);
}
[[maybe_unused]] const int subject_ran = run_subject();

// Runs the subject under strace, tracing only system calls that touch
// `paths`, with each of `injects` ("SYSCALLS:error=E[:when=N]") applied.
Traced run_traced(const TempDir &work, const std::string &op, const std::string &a, const std::string &b,
                  const std::vector<std::string> &paths, const std::vector<std::string> &injects) {
    return qvtest::run_self_traced(work, {"QV_FILES_SUBJECT=" + op, "QV_FILES_A=" + a, "QV_FILES_B=" + b}, paths,
                                   injects);
}

// ---------------------------------------------------------------------------

TEST(NFilesPreconditions, NullArgumentsFailWithoutTouchingOutputs) {
    LogCapture cap;
    char *buf = nullptr;
    uint64_t bytes = 1;
    LIST *list = new_generic_list(0);
    EXPECT_EQ(n_file_read_bounded(nullptr, 10, &buf, nullptr), 0);
    EXPECT_EQ(n_file_read_bounded("/dev/null", 10, nullptr, nullptr), 0);
    EXPECT_EQ(n_file_write_atomic(nullptr, "x", 1, 0), 0);
    EXPECT_EQ(n_file_copy_verified(nullptr, "/nonexistent", nullptr), 0);
    EXPECT_EQ(n_file_copy_verified("/dev/null", nullptr, nullptr), 0);
    EXPECT_EQ(n_file_same_content(nullptr, "/dev/null"), 0);
    EXPECT_EQ(n_file_same_content("/dev/null", nullptr), 0);
    EXPECT_EQ(n_file_free_space(nullptr, &bytes), 0);
    EXPECT_EQ(n_file_free_space("/", nullptr), 0);
    EXPECT_EQ(n_scan_dir(nullptr, list, 0), 0);
    EXPECT_EQ(n_scan_dir("/", nullptr, 0), 0);
    n_free_file_info(nullptr);
    n_set_time_from_stat(nullptr, nullptr);
    for (const char *expr : {"path", "out", "from", "to", "a", "b", "bytes", "dir", "result", "ptr"})
        EXPECT_TRUE(cap.contains(std::string("if( !(") + expr + ") ) assert")) << expr;
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(bytes, 1u);
    EXPECT_EQ(list->item_count, 0u);
    list_destroy(&list);
}

// ---------------------------------------------------------------------------
// Bounded reads

TEST(NFilesReadBounded, CapBoundaryEmptyFilesAndBinaryContent) {
    TempDir dir;
    const std::string data = std::string("ab\0cd\n", 6) + pattern(1000);
    write_file(dir.file("f"), data);
    write_file(dir.file("empty"), "");
    LogCapture cap;

    struct Case {
        const char *name;
        const char *file;
        size_t cap;
        int ok;
        size_t len;
    } cases[] = {
        {"cap equal to the size", "f", data.size(), 1, data.size()},
        {"cap far above", "f", SIZE_MAX, 1, data.size()},
        {"cap one below", "f", data.size() - 1, 0, 0},
        {"empty file, cap 0", "empty", 0, 1, 0},
        {"empty file, cap 100", "empty", 100, 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        static char sentinel;
        char *out = &sentinel;  // must be overwritten
        size_t len = 12345;
        ASSERT_EQ(n_file_read_bounded(dir.file(c.file).c_str(), c.cap, &out, &len), c.ok);
        EXPECT_EQ(len, c.len);
        if (!c.ok) {
            EXPECT_EQ(out, nullptr);
            continue;
        }
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(out, len), std::string(c.file[0] == 'f' ? data : ""));
        EXPECT_EQ(out[len], '\0');
        free(out);
    }
    EXPECT_TRUE(cap.contains("n_file_read_bounded: " + dir.file("f") + " is " + std::to_string(data.size()) +
                             " bytes, over the " + std::to_string(data.size() - 1) + " cap"));

    // out_len may be null; a missing file says why
    char *out = nullptr;
    ASSERT_EQ(n_file_read_bounded(dir.file("f").c_str(), data.size(), &out, nullptr), 1);
    free(out);
    static char sentinel;
    out = &sentinel;
    EXPECT_EQ(n_file_read_bounded(dir.file("missing").c_str(), 10, &out, nullptr), 0);
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(cap.contains("n_file_read_bounded: cannot open " + dir.file("missing") + ": No such file or directory"));
}

// ---------------------------------------------------------------------------
// Atomic writes

TEST(NFilesWriteAtomic, ReplacesWholeFileAndLeavesNoTemporary) {
    TempDir dir;
    const std::string target = dir.file("t");
    for (size_t n : {size_t{5000}, size_t{3}, size_t{0}, size_t{(1u << 20) + 17}}) {
        SCOPED_TRACE(n);
        std::string data = pattern(n, (unsigned)n);
        ASSERT_EQ(n_file_write_atomic(target.c_str(), data.data(), data.size(), 0600), 1);
        EXPECT_EQ(read_file(target), data);
        EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"t"});
    }
    // null data with len 0 creates an empty file
    ASSERT_EQ(n_file_write_atomic(dir.file("e").c_str(), nullptr, 0, 0), 1);
    EXPECT_TRUE(exists(dir.file("e")));
    EXPECT_EQ(read_file(dir.file("e")), "");
}

TEST(NFilesWriteAtomic, RefusesNullDataAndMissingDirectory) {
    TempDir dir;
    write_file(dir.file("t"), "old");
    LogCapture cap;
    EXPECT_EQ(n_file_write_atomic(dir.file("t").c_str(), nullptr, 5, 0), 0);
    EXPECT_TRUE(cap.contains("n_file_write_atomic: NULL data with len 5"));
    EXPECT_EQ(n_file_write_atomic(dir.file("no/t").c_str(), "x", 1, 0), 0);
    EXPECT_TRUE(cap.contains("n_file_write_atomic: cannot create " + dir.file("no/t.tmp") + ": No such file or directory"));
    EXPECT_EQ(read_file(dir.file("t")), "old");
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"t"});
}

TEST(NFilesWriteAtomic, ModeIsExactWhateverTheMask) {
    TempDir dir;
    struct Case {
        mode_t mask, mode, want;
    } cases[] = {
        {000, 0600, 0600}, {077, 0600, 0600}, {0777, 0600, 0600}, {077, 0644, 0644},
        // mode 0: no change after creation, so the mask applies
        {000, 0, 0666}, {022, 0, 0644}, {077, 0, 0600},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "umask " << std::oct << c.mask << " mode " << c.mode);
        // both a fresh target and one that had other bits before
        for (bool had_target : {false, true}) {
            std::string t = dir.file(had_target ? "old" : "new");
            unlink(t.c_str());
            if (had_target) {
                write_file(t, "previous");
                chmod(t.c_str(), 0755);
            }
            UmaskScope scope(c.mask);
            ASSERT_EQ(n_file_write_atomic(t.c_str(), "data", 4, c.mode), 1);
            EXPECT_EQ(mode_of(t), c.want);
            EXPECT_EQ(read_file(t), "data");
        }
    }
}

TEST(NFilesWriteAtomic, StaleOrPlantedTemporaryNames) {
    TempDir dir;
    const std::string t = dir.file("t");
    write_file(t, "old");
    // a leftover from a crash, longer and with other bits: truncated and fixed
    write_file(t + ".tmp", std::string(10000, 'z'));
    chmod((t + ".tmp").c_str(), 0666);
    ASSERT_EQ(n_file_write_atomic(t.c_str(), "new", 3, 0600), 1);
    EXPECT_EQ(read_file(t), "new");
    EXPECT_EQ(mode_of(t), 0600u);
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"t"});

    // a link at the temporary name must not redirect the write elsewhere nor
    // end up renamed over the target
    write_file(dir.file("victim"), "victim");
    ASSERT_EQ(symlink(dir.file("victim").c_str(), (t + ".tmp").c_str()), 0);
    LogCapture cap;
    EXPECT_EQ(n_file_write_atomic(t.c_str(), "evil", 4, 0600), 0);
    EXPECT_TRUE(cap.contains("n_file_write_atomic: cannot create " + t + ".tmp"));
    EXPECT_EQ(read_file(dir.file("victim")), "victim");
    EXPECT_EQ(read_file(t), "new");
    struct stat st;
    ASSERT_EQ(lstat(t.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));

    // a hard link at the temporary name: the linked file keeps its bytes and
    // its mode, and the target gets a fresh inode of its own
    ASSERT_EQ(unlink((t + ".tmp").c_str()), 0);
    write_file(dir.file("other"), "other");
    chmod(dir.file("other").c_str(), 0644);
    ASSERT_EQ(link(dir.file("other").c_str(), (t + ".tmp").c_str()), 0);
    ASSERT_EQ(n_file_write_atomic(t.c_str(), "SECRET", 6, 0600), 1);
    EXPECT_EQ(read_file(dir.file("other")), "other");
    EXPECT_EQ(mode_of(dir.file("other")), 0644u);
    EXPECT_EQ(read_file(t), "SECRET");
    struct stat st_t, st_o;
    ASSERT_EQ(stat(t.c_str(), &st_t), 0);
    ASSERT_EQ(stat(dir.file("other").c_str(), &st_o), 0);
    EXPECT_NE(st_t.st_ino, st_o.st_ino);
}

TEST(NFilesWriteAtomic, FailedRenameKeepsTargetAndRemovesTemporary) {
    TempDir dir;
    // a non-empty directory cannot be replaced by a file
    const std::string t = dir.file("t");
    ASSERT_EQ(mkdir(t.c_str(), 0700), 0);
    write_file(t + "/inside", "kept");
    EXPECT_EQ(n_file_write_atomic(t.c_str(), "data", 4, 0600), 0);
    EXPECT_EQ(read_file(t + "/inside"), "kept");
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"t"});
}

// The directory a path lies in is the part before its last '/'; a path
// without one lies in ".", one directly under the root in "/".
TEST(NFilesDirSync, ParentOfEachKindOfPathAndFailures) {
    TempDir dir;
    EXPECT_EQ(n_dir_sync(dir.path.c_str()), 1);
    EXPECT_EQ(n_dir_sync_parent(dir.file("not-yet-there").c_str()), 1) << "only the directory must exist";
    EXPECT_EQ(n_dir_sync_parent("relative-name"), 1);
    EXPECT_EQ(n_dir_sync_parent("/etc"), 1);
    errno = 0;
    EXPECT_EQ(n_dir_sync(dir.file("missing").c_str()), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(n_dir_sync_parent(dir.file("missing/x").c_str()), 0);
    write_file(dir.file("plain"), "x");
    errno = 0;
    EXPECT_EQ(n_dir_sync(dir.file("plain").c_str()), 0) << "a file is no directory";
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(n_dir_sync_parent(std::string("/").append(PATH_MAX, 'a').append("/x").c_str()), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
    LogCapture quiet;
    EXPECT_EQ(n_dir_sync(nullptr), 0);
    EXPECT_EQ(n_dir_sync_parent(nullptr), 0);
}

// Each failing step of a write, injected into the system call under it.
TEST(NFilesWriteAtomic, InjectedSystemCallFailuresKeepOldTarget) {
    std::string why = strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    TempDir dir;
    const std::string t = dir.file("t"), tmp = t + ".tmp";
    const std::string old = pattern(3000, 99);

    struct Case {
        const char *name;
        const char *inject;
        size_t len;
    } cases[] = {
        {"create fails", "openat,open:error=ENOSPC", 4096},
        {"first write fails", "write:error=EIO", 4096},
        {"disk full on write", "write:error=ENOSPC", 4096},
        // 1 MiB reaches the temporary file before the tail's write fails
        {"second write fails", "write:error=EIO:when=2", (1u << 20) + 100},
        {"mode change fails", "fchmod:error=EPERM", 4096},
        {"sync fails", "fsync:error=EIO", 4096},
        {"close fails", "close:error=EIO", 4096},
        {"rename fails", "rename,renameat,renameat2:error=EXDEV", 4096},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(t, old);
        chmod(t.c_str(), 0640);
        Traced r = run_traced(dir, "write", t, std::to_string(c.len), {tmp}, {c.inject});
        EXPECT_NE(r.log.find("(INJECTED)"), std::string::npos) << r.log;
        EXPECT_EQ(r.status, 3) << r.log;
        EXPECT_TRUE(read_file(t) == old);
        EXPECT_EQ(mode_of(t), 0640u);
        EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"t"});
    }

    // the path under test does sync the temporary file before the rename
    Traced r = run_traced(dir, "write", t, "4096", {tmp}, {});
    EXPECT_EQ(r.status, 0) << r.log;
    size_t sync = r.log.find("fsync("), ren = r.log.find("rename(");
    ASSERT_NE(sync, std::string::npos) << r.log;
    ASSERT_NE(ren, std::string::npos) << r.log;
    EXPECT_LT(sync, ren);
    EXPECT_TRUE(read_file(t) == pattern(4096));
    EXPECT_EQ(mode_of(t), 0600u);
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"t"});
}

// ---------------------------------------------------------------------------
// Scratch files for writers that replace on their own

// Each leftover at the scratch name, under both link policies: a link is refused
// or removed but never written through, any other leftover is unlinked (a hard
// link's other name keeps its bytes and mode), and the file is new and empty.
TEST(NFilesCreateScratch, LeftoversAndLinksUnderEachPolicy) {
    enum class Leftover { none, hard_link, symlink };  // at the scratch name, to "victim"
    struct Case {
        const char *name;
        Leftover leftover;
        n_scratch_link policy;
        bool created;
    } cases[] = {
        {"nothing there, refusing links", Leftover::none, N_SCRATCH_REFUSE_LINK, true},
        {"nothing there, removing links", Leftover::none, N_SCRATCH_REMOVE_LINK, true},
        {"hard link, refusing links", Leftover::hard_link, N_SCRATCH_REFUSE_LINK, true},
        {"hard link, removing links", Leftover::hard_link, N_SCRATCH_REMOVE_LINK, true},
        {"symbolic link, refused", Leftover::symlink, N_SCRATCH_REFUSE_LINK, false},
        {"symbolic link, removed", Leftover::symlink, N_SCRATCH_REMOVE_LINK, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string tmp = dir.file("t.tmp"), victim = dir.file("victim");
        write_file(victim, "victim");
        chmod(victim.c_str(), 0644);
        if (c.leftover == Leftover::symlink) {
            ASSERT_EQ(symlink(victim.c_str(), tmp.c_str()), 0);
        } else if (c.leftover == Leftover::hard_link) {
            ASSERT_EQ(link(victim.c_str(), tmp.c_str()), 0);
        }
        int fd;
        {
            UmaskScope u(022);
            errno = 0;
            fd = n_file_create_scratch(tmp.c_str(), 0666, c.policy);
        }
        if (!c.created) {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(errno, ELOOP);
            struct stat st;
            ASSERT_EQ(lstat(tmp.c_str(), &st), 0);
            EXPECT_TRUE(S_ISLNK(st.st_mode));
        } else {
            ASSERT_GE(fd, 0);
            EXPECT_EQ(n_fd_write_all(fd, "scratch", 7), 1);
            EXPECT_EQ(close(fd), 0);
            struct stat st;
            ASSERT_EQ(lstat(tmp.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_nlink, 1u);
            EXPECT_EQ(mode_of(tmp), 0644u);  // 0666 less the umask
            EXPECT_EQ(read_file(tmp), "scratch");
        }
        EXPECT_EQ(read_file(victim), "victim");
        EXPECT_EQ(mode_of(victim), 0644u);
    }
    // a name that cannot be cleared, and a directory that is not there
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("d.tmp").c_str(), 0700), 0);
    write_file(dir.file("d.tmp/x"), "x");
    for (n_scratch_link policy : {N_SCRATCH_REFUSE_LINK, N_SCRATCH_REMOVE_LINK}) {
        EXPECT_EQ(n_file_create_scratch(dir.file("d.tmp").c_str(), 0600, policy), -1);
        EXPECT_EQ(n_file_create_scratch(dir.file("none/t.tmp").c_str(), 0600, policy), -1);
        EXPECT_EQ(errno, ENOENT);
    }
    EXPECT_EQ(read_file(dir.file("d.tmp/x")), "x");
}

// Short writes are continued to the end; a write that cannot go on is a failure.
TEST(NFilesCreateScratch, WriteAllContinuesShortWritesAndReportsFailure) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    // a pipe takes a large write in pieces as the reader drains it
    const std::string big = pattern(1u << 20);
    std::string got;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(p[0]);
        _exit(n_fd_write_all(p[1], big.data(), big.size()) == 1 ? 0 : 1);
    }
    close(p[1]);
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) got.append(buf, (size_t)n);
    close(p[0]);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_TRUE(got == big);
    // nothing to write is done at once; a closed descriptor fails
    EXPECT_EQ(n_fd_write_all(-1, nullptr, 0), 1);
    EXPECT_EQ(n_fd_write_all(-1, "x", 1), 0);
    EXPECT_EQ(errno, EBADF);
}

// ---------------------------------------------------------------------------
// Verified copies

TEST(NFilesCopyVerified, CopiesExactBytesAcrossBlockBoundaries) {
    TempDir dir;
    for (size_t n : {size_t{0}, size_t{1}, N_FILE_BLOCK - 1, N_FILE_BLOCK, N_FILE_BLOCK + 1, 3 * N_FILE_BLOCK}) {
        SCOPED_TRACE(n);
        std::string src = dir.file("src"), dst = dir.file("dst");
        unlink(dst.c_str());
        std::string data = pattern(n, (unsigned)n);
        write_file(src, data);
        size_t copied = 999;
        ASSERT_EQ(n_file_copy_verified(src.c_str(), dst.c_str(), &copied), 1);
        EXPECT_EQ(copied, n);
        EXPECT_TRUE(read_file(dst) == data);
        EXPECT_TRUE(read_file(src) == data);
        EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"dst", "src"}));
    }
    // a working copy left by a crash is simply redone
    write_file(dir.file("dst2.part"), std::string(5000, 'x'));
    ASSERT_EQ(n_file_copy_verified(dir.file("src").c_str(), dir.file("dst2").c_str(), nullptr), 1);
    EXPECT_TRUE(read_file(dir.file("dst2")) == read_file(dir.file("src")));
    EXPECT_FALSE(exists(dir.file("dst2.part")));
}

// Whatever holds the target name, even an entry nobody can open for reading,
// is left as it was.
TEST(NFilesCopyVerified, NeverReplacesAnExistingTarget) {
    TempDir dir;
    const std::string src = dir.file("src");
    write_file(src, "source bytes");

    struct Case {
        const char *name;
        void (*make)(const std::string &path);
        mode_t type;
    } cases[] = {
        {"regular file", [](const std::string &p) { write_file(p, "precious"); }, S_IFREG},
        {"dangling link", [](const std::string &p) { ASSERT_EQ(symlink("/nonexistent/x", p.c_str()), 0); }, S_IFLNK},
        {"link loop", [](const std::string &p) { ASSERT_EQ(symlink(p.c_str(), p.c_str()), 0); }, S_IFLNK},
        // opening a fifo without a writer would block: it must not be opened
        {"fifo", [](const std::string &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, S_IFIFO},
        {"socket", [](const std::string &p) {
             int s = socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un sa{};
             sa.sun_family = AF_UNIX;
             ASSERT_LT(p.size(), sizeof sa.sun_path);
             memcpy(sa.sun_path, p.c_str(), p.size() + 1);
             ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
             close(s);
         }, S_IFSOCK},
        {"directory", [](const std::string &p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }, S_IFDIR},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir sub;
        const std::string to = sub.file("to");
        c.make(to);
        struct stat before, after;
        ASSERT_EQ(lstat(to.c_str(), &before), 0);
        LogCapture cap;
        size_t copied = 7;
        EXPECT_EQ(n_file_copy_verified(src.c_str(), to.c_str(), &copied), 0);
        EXPECT_EQ(copied, 0u);
        EXPECT_TRUE(cap.contains("n_file_copy_verified: " + to + " exists, not replaced"));
        ASSERT_EQ(lstat(to.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode & S_IFMT, c.type);
        EXPECT_EQ(after.st_ino, before.st_ino);
        if (c.type == S_IFREG) {
            EXPECT_EQ(read_file(to), "precious");
        }
        EXPECT_EQ(names_in(sub.path), std::vector<std::string>{"to"});
    }

    // a name whose existence cannot be told is not taken as free
    LogCapture cap;
    EXPECT_EQ(n_file_copy_verified(src.c_str(), (src + "/to").c_str(), nullptr), 0);
    EXPECT_TRUE(cap.contains("n_file_copy_verified: cannot tell whether " + src + "/to exists: Not a directory"));
    EXPECT_EQ(read_file(src), "source bytes");
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"src"});
}

TEST(NFilesCopyVerified, UnopenableEndsLeaveNothing) {
    TempDir dir;
    write_file(dir.file("src"), "abc");
    LogCapture cap;
    EXPECT_EQ(n_file_copy_verified(dir.file("missing").c_str(), dir.file("dst").c_str(), nullptr), 0);
    EXPECT_TRUE(cap.contains("n_file_copy_verified: cannot open " + dir.file("missing") + ": No such file or directory"));
    EXPECT_EQ(n_file_copy_verified(dir.file("src").c_str(), dir.file("no/dst").c_str(), nullptr), 0);
    EXPECT_TRUE(cap.contains("n_file_copy_verified: cannot open " + dir.file("no/dst.part") + ": No such file or directory"));
    // a directory opens for reading but cannot be read
    ASSERT_EQ(mkdir(dir.file("d").c_str(), 0700), 0);
    EXPECT_EQ(n_file_copy_verified(dir.file("d").c_str(), dir.file("dst").c_str(), nullptr), 0);
    EXPECT_TRUE(cap.contains("n_file_copy_verified: reading " + dir.file("d") + ": Is a directory"));
    EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"d", "src"}));
}

TEST(NFilesCopyVerified, InjectedSystemCallFailuresLeaveNoCopy) {
    std::string why = strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    TempDir dir, out;
    const std::string src = dir.file("src"), to = out.file("to"), part = to + ".part";
    const std::string data = pattern(2 * N_FILE_BLOCK + 1000, 5);
    write_file(src, data);

    struct Case {
        const char *name;
        std::vector<std::string> injects;
        bool target_before;  // an entry appears at `to` after the existence check
        int status;
    } cases[] = {
        {"first write fails", {"write:error=EIO"}, false, 3},
        {"disk full on the second block", {"write:error=ENOSPC:when=2"}, false, 3},
        {"source read fails", {"read:error=EIO:when=2"}, false, 3},
        {"sync fails", {"fsync:error=EIO"}, false, 3},
        {"close fails", {"close:error=EIO:when=1"}, false, 3},
        {"publishing fails", {"renameat2:error=EIO"}, false, 3},
        {"no-replace rename and link both fail", {"renameat2:error=EINVAL", "link,linkat:error=EXDEV"}, false, 3},
        // a file system without the no-replace flag publishes through a link
        {"no-replace rename unsupported", {"renameat2:error=EINVAL"}, false, 0},
        {"target appears after the check", {"lstat,newfstatat,statx:error=ENOENT"}, true, 3},
        {"target appears, no-replace flag unsupported",
         {"lstat,newfstatat,statx:error=ENOENT", "renameat2:error=EINVAL"}, true, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.target_before) write_file(to, "precious");
        // the source is traced only where its read is what fails
        std::vector<std::string> paths = {part, to};
        if (c.injects[0].rfind("read:", 0) == 0) paths = {src};
        Traced r = run_traced(out, "copy", src, to, paths, c.injects);
        EXPECT_NE(r.log.find("(INJECTED)"), std::string::npos) << r.log;
        EXPECT_EQ(r.status, c.status) << r.log;
        EXPECT_TRUE(read_file(src) == data);
        if (c.status == 0) {
            EXPECT_TRUE(read_file(to) == data);
            EXPECT_EQ(names_in(out.path), std::vector<std::string>{"to"});
        } else if (c.target_before) {
            EXPECT_EQ(read_file(to), "precious");
            EXPECT_EQ(names_in(out.path), std::vector<std::string>{"to"});
        } else {
            EXPECT_EQ(names_in(out.path), std::vector<std::string>{});
        }
        unlink(to.c_str());
    }
}

// ---------------------------------------------------------------------------
// A full file system, for real: a 64 KiB tmpfs in a child's own mount
// namespace, so nothing outlives the child.

std::string full_tmpfs_report(const std::string &mnt, const std::string &outside) {
    std::string report;
    auto fail = [&](const std::string &what) { report += what + "\n"; };
    if (unshare(CLONE_NEWNS) != 0) return std::string("SKIP unshare(CLONE_NEWNS): ") + strerror(errno);
    if (std::string why = qvtest::make_mounts_private(); !why.empty()) return "SKIP " + why;
    if (mount("qvtest", mnt.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0)
        return std::string("SKIP mounting a tmpfs: ") + strerror(errno);

    uint64_t bytes = 0;
    if (!n_file_free_space(mnt.c_str(), &bytes) || bytes == 0 || bytes > 65536)
        fail("free space of the empty tmpfs: " + std::to_string(bytes));
    const std::string t = mnt + "/t";
    std::string old = pattern(1000, 3);
    if (!n_file_write_atomic(t.c_str(), old.data(), old.size(), 0600)) fail("first write");
    // sizes far over, at and just under what is left: each either replaces
    // the file whole or leaves the old one, and never leaves a temporary
    int failures = 0;
    for (size_t n : {size_t{1} << 20, size_t{64} << 10, size_t{62} << 10, size_t{60} << 10}) {
        std::string data = pattern(n, 11);
        int ok = n_file_write_atomic(t.c_str(), data.data(), data.size(), 0600);
        failures += !ok;
        std::string now = read_file(t);
        if (ok ? now != data : now != old) fail("content after writing " + std::to_string(n) + " bytes");
        if (names_in(mnt) != std::vector<std::string>{"t"}) fail("names after writing " + std::to_string(n) + " bytes");
        if (mode_of(t) != 0600) fail("mode after writing " + std::to_string(n) + " bytes");
        if (ok && !n_file_write_atomic(t.c_str(), old.data(), old.size(), 0600)) fail("restoring");
    }
    if (failures < 2) fail("the full tmpfs refused only " + std::to_string(failures) + " writes");
    size_t copied = 5;
    if (n_file_copy_verified(outside.c_str(), (mnt + "/c").c_str(), &copied) != 0) fail("copy succeeded");
    if (copied != 0) fail("copy count");
    if (names_in(mnt) != std::vector<std::string>{"t"}) fail("names after the copy");
    if (read_file(t) != old) fail("target after the copy");
    umount2(mnt.c_str(), MNT_DETACH);
    return report;
}

TEST(NFilesFullDisk, WritesAndCopiesOnAFullTmpfsLeaveOldFiles) {
    TempDir dir;
    const std::string mnt = dir.file("mnt"), outside = dir.file("big");
    ASSERT_EQ(mkdir(mnt.c_str(), 0700), 0);
    write_file(outside, pattern(300000));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        std::string report = full_tmpfs_report(mnt, outside);
        ssize_t w = write(fds[1], report.data(), report.size());
        _exit(w == (ssize_t)report.size() ? 0 : 1);
    }
    close(fds[1]);
    std::string report;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) report.append(buf, (size_t)n);
    close(fds[0]);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    if (report.rfind("SKIP ", 0) == 0) GTEST_SKIP() << "cannot mount a scratch tmpfs: " << report.substr(5);
    EXPECT_EQ(report, "");
    EXPECT_EQ(names_in(mnt), std::vector<std::string>{});  // the mount went with the child
}

// ---------------------------------------------------------------------------
// Every allocation of each operation failing in turn: each run ends in a
// clean failure (target untouched, no scratch file) or in full success.

TEST(NFilesAllocFailures, EachAllocationFailsCleanly) {
    TempDir dir;
    const std::string src = dir.file("src"), t = dir.file("t");
    const std::string data = pattern(N_FILE_BLOCK + 10);
    write_file(src, data);
    write_file(t, "old");
    LogCapture cap;

    struct Op {
        const char *name;
        std::vector<const char *> forms;  // what the failures log
        int (*run)(const std::string &src, const std::string &t, const std::string &data);
        bool (*done)(const std::string &t, const std::string &data);  // the effect of a success
        bool (*clean)(const std::string &t);                           // the state after a failure
    } ops[] = {
        {"write", {"->n_file_write_atomic:", "( tmp *)calloc(", "if( !(tmp) ) assert"},
         [](const std::string &, const std::string &t, const std::string &d) {
             return n_file_write_atomic(t.c_str(), d.data(), d.size(), 0600);
         },
         [](const std::string &t, const std::string &d) { return read_file(t) == d; },
         [](const std::string &t) { return read_file(t) == "old" && !exists(t + ".tmp"); }},
        {"copy", {"( part *)calloc(", "( block *)calloc(", "->n_file_streams_equal:"},
         [](const std::string &s, const std::string &t, const std::string &) {
             size_t n = 1;
             int ok = n_file_copy_verified(s.c_str(), (t + "c").c_str(), &n);
             return ok && n == N_FILE_BLOCK + 10 ? 1 : ok ? -1 : n == 0 ? 0 : -1;
         },
         [](const std::string &t, const std::string &d) { return read_file(t + "c") == d; },
         [](const std::string &t) { return !exists(t + "c") && !exists(t + "c.part"); }},
        {"read", {"( buf *)calloc("},
         [](const std::string &s, const std::string &, const std::string &d) {
             char *out = nullptr;
             size_t len = 0;
             int ok = n_file_read_bounded(s.c_str(), SIZE_MAX, &out, &len);
             int good = ok && std::string(out, len) == d ? 1 : ok ? -1 : out == nullptr ? 0 : -1;
             free(out);
             return good;
         },
         [](const std::string &, const std::string &) { return true; },
         [](const std::string &) { return true; }},
        {"compare", {"->n_file_streams_equal:"},
         [](const std::string &s, const std::string &, const std::string &) {
             return n_file_same_content(s.c_str(), s.c_str());
         },
         [](const std::string &, const std::string &) { return true; },
         [](const std::string &) { return true; }},
    };
    for (const auto &op : ops) {
        SCOPED_TRACE(op.name);
        cap.clear();
        int result = 0;
        long k = 0;
        for (; k < 20 && result != 1; k++) {
            n_alloc_fail_after(k);
            result = op.run(src, t, data);
            n_alloc_fail_after(-1);
            ASSERT_NE(result, -1) << "allocation " << k;
            if (result == 0) {
                EXPECT_TRUE(op.clean(t)) << "allocation " << k;
            }
        }
        ASSERT_EQ(result, 1);
        EXPECT_GT(k, 1) << "no allocation failure was injected";
        EXPECT_TRUE(op.done(t, data));
        for (const char *form : op.forms) EXPECT_TRUE(cap.contains(form)) << form;
    }
}

// ---------------------------------------------------------------------------
// Content comparison, free space, joining

TEST(NFilesSameContent, ComparesBytesAndLengths) {
    TempDir dir;
    const std::string big = pattern(2 * N_FILE_BLOCK + 5);
    std::string late_diff = big;
    late_diff[N_FILE_BLOCK + 3] ^= 1;
    write_file(dir.file("big"), big);
    write_file(dir.file("big2"), big);
    write_file(dir.file("late"), late_diff);
    write_file(dir.file("prefix"), big.substr(0, N_FILE_BLOCK));
    write_file(dir.file("short"), "abc");
    write_file(dir.file("short2"), "abcd");
    write_file(dir.file("e1"), "");
    write_file(dir.file("e2"), "");

    struct Case {
        const char *a, *b;
        int want;
    } cases[] = {
        {"big", "big2", 1},  {"big", "big", 1},      {"e1", "e2", 1},       {"big", "late", 0},
        {"big", "prefix", 0}, {"prefix", "big", 0},  {"short", "short2", 0}, {"e1", "short", 0},
        {"big", "missing", 0}, {"missing", "missing", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(n_file_same_content(dir.file(c.a).c_str(), dir.file(c.b).c_str()), c.want);
    }
}

TEST(NFilesFreeSpace, ReportsAvailableBytesOrFails) {
    TempDir dir;
    uint64_t bytes = 0;
    ASSERT_EQ(n_file_free_space(dir.path.c_str(), &bytes), 1);
    EXPECT_GT(bytes, 0u);
    LogCapture cap;
    bytes = 42;
    EXPECT_EQ(n_file_free_space(dir.file("missing").c_str(), &bytes), 0);
    EXPECT_EQ(bytes, 0u);
    EXPECT_TRUE(cap.contains("cannot read the free space of " + dir.file("missing") + ": No such file or directory"));
}

TEST(NFilesPathJoin, OneSeparatorExactly) {
    struct Case {
        const char *dir, *name, *want;
    } cases[] = {
        {"a", "b", "a/b"},   {"a/", "b", "a/b"},   {"a\\", "b", "a\\b"}, {"", "b", "b"},
        {"/", "b", "/b"},    {"a/b", "", "a/b/"},  {"a//", "b", "a//b"}, {"dir", ".hidden", "dir/.hidden"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.dir) + " + " + c.name);
        char *p = n_path_join(c.dir, c.name);
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(p, c.want);
        free(p);
    }
    EXPECT_EQ(n_path_join(nullptr, "b"), nullptr);
    EXPECT_EQ(n_path_join("a", nullptr), nullptr);
    n_alloc_fail_after(0);
    EXPECT_EQ(n_path_join("a", "b"), nullptr);
    n_alloc_fail_after(-1);
}

// ---------------------------------------------------------------------------
// Directory scans

void set_mtime(const std::string &path, int64_t sec, long nsec) {
    struct timespec ts[2] = {{(time_t)sec, nsec}, {(time_t)sec, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::vector<std::string> scanned(LIST *list, const std::string &base) {
    std::vector<std::string> v;
    for (LIST_NODE *n = list->start; n; n = n->next) {
        std::string f = static_cast<N_FILE_INFO *>(n->ptr)->filename;
        v.push_back(f.rfind(base + "/", 0) == 0 ? f.substr(base.size() + 1) : f);
    }
    return v;
}

struct ListGuard {
    LIST *list = new_generic_list(0);
    ~ListGuard() { list_destroy(&list); }
};

TEST(NFilesScanDir, TopLevelFilesOldestFirstHiddenIncluded) {
    TempDir dir;
    // created in an order unrelated to their times
    struct File {
        const char *name;
        int64_t sec;
        long nsec;
    } files[] = {{"c", 2000, 0}, {".hidden", 1000, 5}, {"a", 3000, 0}, {"b", 1000, 7}, {"d", 500, 999999999}};
    for (const auto &f : files) {
        write_file(dir.file(f.name), f.name);
        set_mtime(dir.file(f.name), f.sec, f.nsec);
    }
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
    write_file(dir.file("sub/deep"), "x");
    set_mtime(dir.file("sub/deep"), 100, 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink(dir.file("a").c_str(), dir.file("link-to-a").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/x", dir.file("dangling").c_str()), 0);

    ListGuard g;
    LogCapture cap;
    ASSERT_EQ(n_scan_dir(dir.path.c_str(), g.list, 0), 1);
    // a link to a file is listed under its own name with the file's time; the
    // link and "a" share that time, so they keep the order they were found in
    std::vector<std::string> got = scanned(g.list, dir.path);
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 4), (std::vector<std::string>{"d", ".hidden", "b", "c"}));
    std::vector<std::string> found_order;
    if (DIR *d = opendir(dir.path.c_str())) {
        while (struct dirent *e = readdir(d))
            if (!strcmp(e->d_name, "a") || !strcmp(e->d_name, "link-to-a")) found_order.emplace_back(e->d_name);
        closedir(d);
    }
    EXPECT_EQ(std::vector<std::string>(got.begin() + 4, got.end()), found_order);
    auto *first = static_cast<N_FILE_INFO *>(g.list->start->ptr);
    EXPECT_EQ(first->mtime, 500);
    EXPECT_EQ(first->mtime_nsec, 999999999);
    EXPECT_TRUE(cap.contains("unable to stat " + dir.file("dangling") + ", No such file or directory"));
}

TEST(NFilesScanDir, RecursionSkipsLinkedDirectoriesAndLoops) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("sub/inner").c_str(), 0700), 0);
    write_file(dir.file("top"), "t");
    write_file(dir.file("sub/mid"), "m");
    write_file(dir.file("sub/inner/low"), "l");
    set_mtime(dir.file("top"), 30, 0);
    set_mtime(dir.file("sub/mid"), 10, 0);
    set_mtime(dir.file("sub/inner/low"), 20, 0);
    // links back up the tree and across it
    ASSERT_EQ(symlink("..", dir.file("sub/inner/up").c_str()), 0);
    ASSERT_EQ(symlink(dir.path.c_str(), dir.file("sub/root").c_str()), 0);
    ASSERT_EQ(symlink("sub", dir.file("alias").c_str()), 0);

    ListGuard g;
    ASSERT_EQ(n_scan_dir(dir.path.c_str(), g.list, 1), 1);
    EXPECT_EQ(scanned(g.list, dir.path), (std::vector<std::string>{"sub/mid", "sub/inner/low", "top"}));

    // without recursion the same tree gives the top file only
    ListGuard flat;
    ASSERT_EQ(n_scan_dir(dir.path.c_str(), flat.list, 0), 1);
    EXPECT_EQ(scanned(flat.list, dir.path), std::vector<std::string>{"top"});

    ListGuard g2;
    LogCapture cap;
    ASSERT_EQ(n_scan_dir(dir.file("missing").c_str(), g2.list, 1), 0);
    EXPECT_TRUE(cap.contains("cannot open directory: " + dir.file("missing") + ", No such file or directory"));
    EXPECT_EQ(g2.list->item_count, 0u);
}

// Each entry costs three allocations: its path, its record and its list node.
TEST(NFilesScanDir, AllocationFailuresKeepWhatWasFound) {
    TempDir flat, tree;
    for (const char *n : {"x", "y", "z"}) write_file(flat.file(n), n);
    // the top of `tree` holds only "sub": one path before those of sub's files
    ASSERT_EQ(mkdir(tree.file("sub").c_str(), 0700), 0);
    write_file(tree.file("sub/f1"), "1");
    write_file(tree.file("sub/f2"), "2");

    struct Case {
        const char *name;
        const TempDir *dir;
        long successes;  // allocations that succeed before the one that fails
        int ok;
        size_t listed;
        std::string logged;
    } cases[] = {
        {"first record", &flat, 1, 1, 2, "( file *)calloc( 1 , sizeof( N_FILE_INFO ) )"},
        {"first list node", &flat, 2, 1, 2, "( node *)calloc( 1 , sizeof( LIST_NODE ) )"},
        {"second path ends the scan", &flat, 3, 0, 1, "malloc failed building path for " + flat.path + "/"},
        {"a failed sub-scan is reported", &tree, 4, 1, 1, "error while recursively scanning " + tree.file("sub")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ListGuard g;
        LogCapture cap;
        n_alloc_fail_after(c.successes);
        int ok = n_scan_dir(c.dir->path.c_str(), g.list, 1);
        n_alloc_fail_after(-1);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(g.list->item_count, c.listed);
        EXPECT_TRUE(cap.contains(c.logged)) << cap.text();
    }
}

TEST(NFilesFileInfo, ComparisonAndTimes) {
    N_FILE_INFO a{nullptr, 10, 5}, b{nullptr, 10, 6}, c{nullptr, 11, 0}, a2{nullptr, 10, 5};
    struct Case {
        const N_FILE_INFO *x, *y;
        int want;
    } cases[] = {
        {&a, &b, -1}, {&b, &a, 1}, {&b, &c, -1}, {&c, &a, 1}, {&a, &a2, 0},
        {nullptr, &a, -1}, {nullptr, nullptr, -1}, {&a, nullptr, 1},
    };
    for (const auto &t : cases) EXPECT_EQ(n_comp_file_info(t.x, t.y), t.want);

    struct stat st{};
    st.st_mtim.tv_sec = 1700000000;
    st.st_mtim.tv_nsec = 123456789;
    N_FILE_INFO info{nullptr, 0, 0};
    n_set_time_from_stat(&info, &st);
    EXPECT_EQ(info.mtime, 1700000000);
    EXPECT_EQ(info.mtime_nsec, 123456789);
    n_set_time_from_stat(&info, nullptr);
    EXPECT_EQ(info.mtime, 1700000000);
}

}  // namespace
