// N_STR: a seeded random model test against std::string, the documented edge
// cases and log lines, files and streams on real files (a sysfs file shows
// the short read), percent-encoding cross-checked with Python, and every
// allocation of each operation made to fail in turn.
#include "n_str.h"

#include "n_list.h"
#include "n_log.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using qvtest::LogCapture;
using qvtest::NstrPtr;
using qvtest::TempDir;

namespace {


std::string content(const N_STR *s) { return s && s->data ? std::string(s->data, s->written) : std::string(); }

// The invariants every operation keeps, and the content against the model.
void check_nstr(const N_STR *s, const std::string &model) {
    ASSERT_TRUE(s);
    if (!s->data) {
        EXPECT_EQ(s->length, 0u);
        EXPECT_EQ(s->written, 0u);
        EXPECT_EQ(model, "");
        return;
    }
    ASSERT_LT(s->written, s->length);
    EXPECT_EQ(s->data[s->written], '\0');
    EXPECT_EQ(content(s), model);
}

bool all_zero(const char *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

std::string random_bytes(std::mt19937 &rng, size_t n, int lowest = 0) {
    std::string s(n, '\0');
    for (char &c : s) c = (char)(lowest + (int)(rng() % (256 - lowest)));
    return s;
}

void put_record(std::string &file, const std::string &rec) {
    uint32_t n = (uint32_t)rec.size();
    char len[4] = {(char)(n & 0xff), (char)((n >> 8) & 0xff), (char)((n >> 16) & 0xff), (char)(n >> 24)};
    file.append(len, 4);
    file += rec;
}

}  // namespace

// Appends of every kind (binary, growth forbidden, formatted, the string onto
// itself), replacement, resizing, emptying and duplication, checked after
// every step against std::string. Growth must be exact.
TEST(NStr, RandomModelAgainstStdString) {
    for (uint32_t seed = 1; seed <= 6; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        N_STR *s = nullptr;
        std::string model;
        for (int step = 0; step < 2500; step++) {
            unsigned op = rng() % 12;
            size_t old_length = s ? s->length : 0;
            if (op <= 2) {
                std::string piece = random_bytes(rng, rng() % 20);
                size_t needed = model.size() + piece.size() + 1;
                ASSERT_EQ(nstrcat_ex(&s, piece.data(), piece.size(), 1), s);
                model += piece;
                EXPECT_EQ(s->length, old_length < needed ? needed : old_length) << "growth is exact";
            } else if (op == 3) {
                std::string piece = random_bytes(rng, 1 + rng() % 20);
                ASSERT_TRUE(nstrcat_bytes_ex(&s, piece.data(), piece.size()));
                model += piece;
            } else if (op == 4 && s) {
                std::string piece = random_bytes(rng, rng() % 8);
                bool fits = s->written + piece.size() + 1 <= s->length;
                EXPECT_EQ(nstrcat_ex(&s, piece.data(), piece.size(), 0) != nullptr, fits);
                EXPECT_EQ(s->length, old_length) << "growth forbidden";
                if (fits) model += piece;
            } else if (op == 5) {
                int v = (int)(rng() % 100000) - 50000;
                ASSERT_TRUE(nstrprintf_cat_ex(&s, "[%d|%s]", v, "x"));
                model.append("[").append(std::to_string(v)).append("|x]");
            } else if (op == 6 && rng() % 4 == 0) {
                unsigned v = rng();
                ASSERT_TRUE(nstrprintf_ex(&s, "%u", v));
                model = std::to_string(v);
                EXPECT_GE(s->length, old_length) << "a longer buffer keeps its size";
            } else if (op == 7 && s) {
                size_t target = s->length + rng() % 16;
                ASSERT_EQ(resize_nstr(s, target), 1);
                EXPECT_EQ(s->length, target);
                EXPECT_TRUE(all_zero(s->data + s->written, target - s->written));
            } else if (op == 8 && s && s->data && rng() % 8 == 0) {
                ASSERT_EQ(empty_nstr(s), 1);
                model.clear();
            } else if (op == 9 && s && s->written && s->written < 4096) {
                // The source lies inside the buffer that the append reallocates.
                size_t from = rng() % s->written;
                ASSERT_TRUE(nstrcat_ex(&s, s->data + from, s->written - from, 1));
                model += model.substr(from);
            } else if (op == 10 && s && s->data) {
                NstrPtr copy{nstrdup(s)};
                ASSERT_TRUE(copy);
                EXPECT_NE(copy->data, s->data);
                EXPECT_EQ(copy->length, s->length);
                check_nstr(copy.get(), model);
            } else if (op == 11 && rng() % 20 == 0) {
                free_nstr_nolog(&s);
                model.clear();
                if (rng() % 2) s = new_nstr(rng() % 4);
            }
            if (s) {
                check_nstr(s, model);
                if (HasFatalFailure()) break;
            } else {
                ASSERT_EQ(model, "");
            }
        }
        free_nstr_nolog(&s);
    }
}

TEST(NStr, NewAndRelease) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{37}}) {
        SCOPED_TRACE(size);
        NstrPtr s{new_nstr(size)};
        ASSERT_TRUE(s);
        EXPECT_EQ(s->length, size);
        EXPECT_EQ(s->written, 0u);
        if (size == 0) {
            EXPECT_EQ(s->data, nullptr);
        } else {
            EXPECT_TRUE(all_zero(s->data, size + 1));
        }
    }
    LogCapture log;
    EXPECT_EQ(new_nstr(SIZE_MAX), nullptr);
    EXPECT_TRUE(log.contains("new_nstr: size 18446744073709551615 would wrap the terminator allocation"));

    N_STR *s = char_to_nstr("abc");
    ASSERT_TRUE(s);
    EXPECT_EQ(_free_nstr(&s), 1);
    EXPECT_EQ(s, nullptr);
    log.clear();
    EXPECT_EQ(_free_nstr(&s), 0);
    EXPECT_TRUE(log.contains("if( !(ptr && (*ptr)) ) assert"));
    log.clear();
    free_nstr(&s);
    EXPECT_TRUE(log.contains(" &s is already NULL\n")) << log.text();
    log.clear();
    EXPECT_EQ(free_nstr_nolog(&s), 1);
    free_nstr_ptr(nullptr);
    free_nstr_ptr_nolog(nullptr);
    EXPECT_EQ(log.text(), "");

    // The destructor form releases strings held by a list (ASan sees a leak otherwise).
    LIST *l = new_generic_list(0);
    ASSERT_TRUE(l);
    ASSERT_EQ(list_push(l, char_to_nstr("one"), free_nstr_ptr), 1);
    ASSERT_EQ(list_push(l, new_nstr(0), free_nstr_ptr), 1);
    EXPECT_EQ(list_destroy(&l), 1);
}

TEST(NStr, CopiesFromMemory) {
    LogCapture log;
    NstrPtr s{char_to_nstr("hello")};
    ASSERT_TRUE(s);
    EXPECT_EQ(s->length, 6u);
    check_nstr(s.get(), "hello");

    const char bin[] = {'a', '\0', 'b', '\0'};
    N_STR *b = nullptr;
    ASSERT_EQ(char_to_nstr_ex(bin, 3, &b), 1);
    NstrPtr bp{b};
    EXPECT_EQ(b->length, 4u);
    check_nstr(b, std::string("a\0b", 3));

    // Into a handle that already holds a string: refused, string untouched.
    N_STR *keep = s.get();
    log.clear();
    EXPECT_EQ(char_to_nstr_ex("new", 3, &keep), 0);
    EXPECT_EQ(keep, s.get());
    check_nstr(s.get(), "hello");
    EXPECT_TRUE(log.contains("destination N_STR **str is not NULL (")) << log.text();
    EXPECT_TRUE(log.contains("), it contain (hello). You must provide an empty destination."));
    EXPECT_TRUE(log.contains(" Data to copy: new\n"));

    // len + 1 wraps: new_nstr(0) has no buffer, which is refused and released.
    N_STR *wrap = nullptr;
    log.clear();
    EXPECT_EQ(char_to_nstr_ex("x", SIZE_MAX, &wrap), 0);
    EXPECT_EQ(wrap, nullptr);
    EXPECT_TRUE(log.contains("if( !((*to)->data) ) assert"));

    log.clear();
    EXPECT_EQ(char_to_nstr(nullptr), nullptr);
    EXPECT_TRUE(log.contains("if( !(src) ) assert"));

    char *heap = strdup("adopted");
    NstrPtr nc{char_to_nstr_nocopy(heap)};
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->data, heap);
    EXPECT_EQ(nc->written, 7u);
    EXPECT_EQ(nc->length, 8u);

    ASSERT_EQ(resize_nstr(s.get(), 40), 1);
    NstrPtr dup{nstrdup(s.get())};
    ASSERT_TRUE(dup);
    EXPECT_EQ(dup->length, 40u);
    EXPECT_EQ(dup->written, 5u);
    check_nstr(dup.get(), "hello");
    NstrPtr empty{new_nstr(0)};
    log.clear();
    EXPECT_EQ(nstrdup(empty.get()), nullptr);
    EXPECT_EQ(nstrdup(nullptr), nullptr);
    EXPECT_TRUE(log.contains("if( !(str->data) ) assert"));
    EXPECT_TRUE(log.contains("if( !(str) ) assert"));
}

TEST(NStr, AppendEdgeCases) {
    LogCapture log;
    NstrPtr s{new_nstr(0)};
    N_STR *p = s.get();
    ASSERT_EQ(nstrcat_ex(&p, "ab", 2, 1), p);
    EXPECT_EQ(p->written, 2u);
    EXPECT_EQ(p->length, 3u);
    check_nstr(p, "ab");

    N_STR *created = nullptr;
    ASSERT_TRUE(nstrcat_ex(&created, "abc", 3, 1));
    NstrPtr cp{created};
    EXPECT_EQ(created->length, 4u);
    check_nstr(created, "abc");

    N_STR *none = nullptr;
    log.clear();
    EXPECT_EQ(nstrcat_ex(&none, "abc", 3, 0), nullptr);
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(log.contains(": not enough space. Resize forbidden. 4 needed, destination is NULL\n")) << log.text();

    // length 4: written 3 leaves no room for one byte and its terminator, written 2 does.
    struct Case {
        const char *before;
        bool fits;
    };
    for (const Case c : {Case{"abc", false}, Case{"ab", true}}) {
        SCOPED_TRACE(c.before);
        N_STR *f = new_nstr(4);
        NstrPtr fp{f};
        ASSERT_TRUE(nstrcat_ex(&f, c.before, strlen(c.before), 0));
        log.clear();
        EXPECT_EQ(nstrcat_ex(&f, "z", 1, 0) != nullptr, c.fits);
        EXPECT_EQ(f->length, 4u);
        check_nstr(f, c.fits ? std::string(c.before) + "z" : std::string(c.before));
        EXPECT_EQ(log.contains(": not enough space. Resize forbidden. 5 needed, 4 available\n"), !c.fits) << log.text();
    }

    log.clear();
    EXPECT_EQ(nstrcat_bytes_ex(&p, "x", 0), nullptr);
    EXPECT_TRUE(log.contains("Could not copy 0 or less (0) octet!"));
    EXPECT_EQ(nstrcat_bytes_ex(nullptr, "x", 1), nullptr);
    EXPECT_TRUE(log.contains("if( !(dest) ) assert"));
    EXPECT_EQ(nstrcat_ex(&p, nullptr, 1, 1), nullptr);
    EXPECT_TRUE(log.contains("if( !(src) ) assert"));
    EXPECT_EQ(nstrcat_ex(&p, "x", SIZE_MAX - 1, 1), nullptr);
    EXPECT_TRUE(log.contains("size too large in nstrcat_ex: 18446744073709551614"));
    check_nstr(p, "ab");

    // A record whose counts are near the top: the sums must not wrap.
    char buf[4] = "abc";
    N_STR huge = {buf, SIZE_MAX, SIZE_MAX - 5};
    N_STR *h = &huge;
    log.clear();
    EXPECT_EQ(nstrcat_ex(&h, "0123456789", 10, 1), nullptr);
    EXPECT_TRUE(log.contains("integer overflow in nstrcat_ex size calculation"));
    EXPECT_EQ(nstrprintf_cat_ex(&h, "%s", "0123456789"), nullptr);
    EXPECT_TRUE(log.contains("integer overflow computing total_needed in nstrprintf_cat_ex"));
    EXPECT_EQ(h, &huge);
    EXPECT_EQ(huge.written, SIZE_MAX - 5);
}

// A failed growth keeps the caller's string: same record, same buffer, same
// content, and the next append works.
TEST(NStr, FailedGrowthKeepsTheString) {
    LogCapture log;
    N_STR *s = char_to_nstr("keep");
    ASSERT_TRUE(s);
    NstrPtr owner{s};
    char *data = s->data;
    n_alloc_fail_after(0);
    EXPECT_EQ(nstrcat_ex(&s, "more", 4, 1), nullptr);
    n_alloc_fail_after(-1);
    EXPECT_EQ(s, owner.get());
    EXPECT_EQ(s->data, data);
    EXPECT_EQ(s->length, 5u);
    check_nstr(s, "keep");
    EXPECT_TRUE(log.contains("( (*dest)->data *)realloc( char * sizeof( 9 ) ) Cannot allocate memory at line "))
        << log.text();
    ASSERT_TRUE(nstrcat_ex(&s, "more", 4, 1));
    check_nstr(s, "keepmore");
}

TEST(NStr, Formatting) {
    LogCapture log;
    N_STR *s = char_to_nstr("a much longer previous text");
    ASSERT_TRUE(s);
    NstrPtr owner{s};
    ASSERT_EQ(nstrprintf_ex(&s, "%d-%s", 42, "x"), s);
    EXPECT_EQ(s->length, 28u);
    check_nstr(s, "42-x");
    EXPECT_TRUE(all_zero(s->data + s->written, s->length - s->written)) << "no stale text behind the new one";

    ASSERT_EQ(nstrprintf_cat_ex(&s, "%s", ""), s);
    check_nstr(s, "42-x");
    ASSERT_EQ(nstrprintf_cat_ex(&s, "%05.1f", 2.5), s);
    check_nstr(s, "42-x002.5");

    N_STR *fresh = nullptr;
    ASSERT_TRUE(nstrprintf_ex(&fresh, "%s", "abc"));
    NstrPtr fp{fresh};
    EXPECT_EQ(fresh->length, 4u);
    N_STR *fresh2 = nullptr;
    ASSERT_TRUE(nstrprintf_cat_ex(&fresh2, "%s", ""));
    NstrPtr fp2{fresh2};
    check_nstr(fresh2, "");
    N_STR *bare = new_nstr(0);
    NstrPtr bp{bare};
    ASSERT_TRUE(nstrprintf_ex(&bare, "%s", "grown"));
    check_nstr(bare, "grown");

    log.clear();
    EXPECT_EQ(nstrprintf_ex(&s, nullptr), nullptr);
    EXPECT_EQ(nstrprintf_cat_ex(&s, nullptr), nullptr);
    EXPECT_TRUE(log.contains("if( !(format) ) assert"));
    // A wide character with no multibyte form in the C locale: the size pass fails.
    const wchar_t bad[] = {(wchar_t)0x263A, 0};
    log.clear();
    EXPECT_EQ(nstrprintf_ex(&s, "%ls", bad), nullptr);
    EXPECT_TRUE(log.contains("there was an error while computing the new size according to format \"%ls\" for N_STR "));
    EXPECT_EQ(nstrprintf_cat_ex(&s, "%ls", bad), nullptr);
    EXPECT_TRUE(log.contains("vsnprintf size estimation failed for format \"%ls\""));
    check_nstr(s, "42-x002.5");
}

TEST(NStr, Resize) {
    LogCapture log;
    NstrPtr s{char_to_nstr("abcdef")};
    ASSERT_EQ(resize_nstr(s.get(), 20), 1);
    EXPECT_EQ(s->length, 20u);
    EXPECT_TRUE(all_zero(s->data + 6, 14));
    check_nstr(s.get(), "abcdef");
    // Shrinking below written is the caller's to repair.
    ASSERT_EQ(resize_nstr(s.get(), 4), 1);
    EXPECT_EQ(s->length, 4u);
    EXPECT_EQ(s->written, 6u);
    s->written = 3;
    s->data[3] = '\0';
    check_nstr(s.get(), "abc");

    ASSERT_EQ(resize_nstr(s.get(), 0), 1);
    EXPECT_EQ(s->data, nullptr);
    EXPECT_EQ(s->length, 0u);
    EXPECT_EQ(s->written, 0u);
    log.clear();
    ASSERT_EQ(resize_nstr(s.get(), 0), 1);
    EXPECT_TRUE(log.contains("Free( nstr->data ) already done or NULL at line "));
    ASSERT_EQ(resize_nstr(s.get(), 8), 1);
    EXPECT_TRUE(all_zero(s->data, 8));
    EXPECT_EQ(resize_nstr(nullptr, 8), 0);
    EXPECT_TRUE(log.contains("if( !(nstr) ) assert"));

    N_STR *raw = s.get();
    ASSERT_TRUE(nstrcat_bytes_ex(&raw, "xyz", 3));
    ASSERT_EQ(empty_nstr(s.get()), 1);
    EXPECT_EQ(s->written, 0u);
    EXPECT_TRUE(all_zero(s->data, s->length));
    NstrPtr bare{new_nstr(0)};
    log.clear();
    EXPECT_EQ(empty_nstr(bare.get()), 0);
    EXPECT_EQ(empty_nstr(nullptr), 0);
    EXPECT_TRUE(log.contains("if( !(nstr->data) ) assert"));
    EXPECT_TRUE(log.contains("if( !(nstr) ) assert"));
}

TEST(NStr, WriteAndFit) {
    char *buf = nullptr;
    size_t size = 0, written = 0;
    EXPECT_EQ(write_and_fit(&buf, &size, &written, ""), 1);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(written, 0u);

    ASSERT_EQ(write_and_fit(&buf, &size, &written, "hello"), 1);
    EXPECT_EQ(size, 5u + 1 + 8);
    EXPECT_EQ(written, 5u);
    EXPECT_STREQ(buf, "hello");
    EXPECT_TRUE(all_zero(buf + 5, size - 5));

    EXPECT_EQ(write_and_fit_ex(&buf, &size, &written, "x", SIZE_MAX, 0), 0);
    EXPECT_EQ(write_and_fit_ex(&buf, &size, &written, "x", 1, SIZE_MAX - 3), 0);
    EXPECT_EQ(written, 5u);

    // Against std::string: random pieces and extras, zeros behind the content.
    std::mt19937 rng(7);
    std::string model = "hello";
    for (int i = 0; i < 2000; i++) {
        std::string piece = random_bytes(rng, rng() % 24);
        size_t extra = rng() % 16;
        size_t old = size;
        ASSERT_EQ(write_and_fit_ex(&buf, &size, &written, piece.data(), piece.size(), extra), 1);
        model += piece;
        ASSERT_EQ(std::string(buf, written), model);
        ASSERT_LT(written, size);
        ASSERT_TRUE(all_zero(buf + written, size - written));
        if (size != old) {
            EXPECT_EQ(size, model.size() + 1 + extra);
        }
    }
    free(buf);
}

TEST(NStr, UrlEncode) {
    struct Case {
        const char *name;
        std::string in, out;
    };
    const Case cases[] = {
        {"space slash tilde", " /~", "%20%2F~"},
        {"two-byte character", "\xC3\xA9", "%C3%A9"},
        {"empty", "", ""},
        {"unreserved", "AZaz09-._~", "AZaz09-._~"},
        {"plus and reserved", "a+b=c&d?e#f", "a%2Bb%3Dc%26d%3Fe%23f"},
        {"controls and high bytes", "\x01\x7f\x80\xff", "%01%7F%80%FF"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        NstrPtr s{n_str_url_encode(c.in.c_str())};
        ASSERT_TRUE(s);
        check_nstr(s.get(), c.out);
    }
    EXPECT_EQ(n_str_url_encode(nullptr), nullptr);
}

// Random non-zero bytes against urllib.parse.quote(b, safe='').
TEST(NStr, UrlEncodeAgreesWithPython) {
    TempDir dir;
    std::mt19937 rng(2024);
    std::vector<std::string> inputs;
    std::string file;
    for (int i = 0; i < 300; i++) {
        inputs.push_back(random_bytes(rng, rng() % 64, 1));
        put_record(file, inputs.back());
    }
    qvtest::write_file(dir.file("in"), file);
    std::string out;
    ASSERT_EQ(qvtest::run_python("url_quote_check.py", {dir.file("in")}, "", &out), 0);
    std::string expected;
    for (const auto &in : inputs) {
        NstrPtr s{n_str_url_encode(in.c_str())};
        ASSERT_TRUE(s);
        expected += content(s.get()) + "\n";
    }
    EXPECT_EQ(out, expected);
}

TEST(NStr, FileToNstr) {
    TempDir dir;
    LogCapture log;
    qvtest::write_file(dir.file("empty"), "");
    NstrPtr e{file_to_nstr(dir.file("empty").c_str())};
    ASSERT_TRUE(e);
    check_nstr(e.get(), "");

    std::mt19937 rng(5);
    std::string bin = random_bytes(rng, 100000);
    qvtest::write_file(dir.file("bin"), bin);
    NstrPtr b{file_to_nstr(dir.file("bin").c_str())};
    ASSERT_TRUE(b);
    check_nstr(b.get(), bin);
    EXPECT_TRUE(log.contains(dir.file("bin") + " file size is: 100000"));

    log.clear();
    EXPECT_EQ(file_to_nstr(dir.file("missing").c_str()), nullptr);
    EXPECT_TRUE(log.contains("Unable to open " + dir.file("missing") + " for reading. Errno: No such file or directory"));

    // A directory opens and stats, but reading it gives nothing.
    log.clear();
    EXPECT_EQ(file_to_nstr(dir.path.c_str()), nullptr);
    EXPECT_TRUE(log.contains("Couldn't read " + dir.path + ", fread return 0")) << log.text();

    log.clear();
    EXPECT_EQ(file_to_nstr(nullptr), nullptr);
    EXPECT_TRUE(log.contains("if( !(filename) ) assert"));
    EXPECT_TRUE(log.contains("Unable to make a string from NULL filename"));
}

// sysfs reports st_size 4096 for attributes holding a few bytes: the read
// ends early, and that must not pass as a 4096-byte string with a zero tail.
TEST(NStr, FileShorterThanItsSizeFails) {
    std::string found;
    size_t real = 0;
    long long reported = 0;
    auto consider = [&](const std::string &path) {
        struct stat st;
        if (!found.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & S_IRUSR)) return;
        std::ifstream in(path, std::ios::binary);
        if (!in) return;
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.bad() && !text.empty() && (off_t)text.size() < st.st_size) {
            found = path;
            real = text.size();
            reported = (long long)st.st_size;
        }
    };
    for (const char *p : {"/sys/kernel/profiling", "/sys/kernel/mm/transparent_hugepage/enabled",
                          "/sys/devices/system/cpu/online", "/sys/devices/system/cpu/possible",
                          "/sys/kernel/uevent_seqnum"})
        consider(p);
    if (DIR *d = found.empty() ? opendir("/sys/kernel") : nullptr) {
        while (dirent *ent = readdir(d)) consider(std::string("/sys/kernel/") + ent->d_name);
        closedir(d);
    }
    if (found.empty()) GTEST_SKIP() << "no sysfs file whose size exceeds its content";
    SCOPED_TRACE(found + " holds " + std::to_string(real) + " bytes");
    LogCapture log;
    EXPECT_EQ(file_to_nstr(found.c_str()), nullptr);
    EXPECT_TRUE(log.contains("Short read of " + found + ": " + std::to_string(real) + " of " + std::to_string(reported) + " octets")) << log.text();
}

TEST(NStr, NstrToFileAndStreams) {
    TempDir dir;
    LogCapture log;
    std::mt19937 rng(9);
    std::string bin = random_bytes(rng, 70000);
    N_STR *s = nullptr;
    ASSERT_EQ(char_to_nstr_ex(bin.data(), bin.size(), &s), 1);
    NstrPtr owner{s};
    ASSERT_EQ(nstr_to_file(s, dir.file("out").c_str()), 1);
    EXPECT_EQ(qvtest::read_file(dir.file("out")), bin);
    struct stat st;
    ASSERT_EQ(stat(dir.file("out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Rewritten in place: truncated to the new, shorter content.
    NstrPtr small{char_to_nstr("short")};
    ASSERT_EQ(nstr_to_file(small.get(), dir.file("out").c_str()), 1);
    EXPECT_EQ(qvtest::read_file(dir.file("out")), "short");

    log.clear();
    EXPECT_EQ(nstr_to_file(s, dir.file("no/such/dir").c_str()), 0);
    EXPECT_TRUE(log.contains("Couldn't open " + dir.file("no/such/dir") + " for writing (0600). Errno: "));
    EXPECT_EQ(nstr_to_file(nullptr, dir.file("x").c_str()), 0);
    EXPECT_EQ(nstr_to_file(s, nullptr), 0);
    EXPECT_TRUE(log.contains("if( !(str) ) assert"));
    EXPECT_TRUE(log.contains("if( !(filename) ) assert"));
    EXPECT_EQ(nstr_to_fd(s, nullptr, 0), 0);
    EXPECT_TRUE(log.contains("if( !(out) ) assert"));

    // With the lock the content is on disk when the call returns.
    FILE *f = fopen(dir.file("locked").c_str(), "wb");
    ASSERT_TRUE(f);
    ASSERT_EQ(nstr_to_fd(small.get(), f, 1), 1);
    EXPECT_EQ(qvtest::read_file(dir.file("locked")), "short");
    fclose(f);
}

// /dev/full accepts writes into the stream's buffer and fails them at the
// flush: under the lock that flush is part of the write and is reported.
TEST(NStr, NstrToFdReportsAFailedFlush) {
    LogCapture log;
    NstrPtr s{char_to_nstr("lost")};
    FILE *full = fopen("/dev/full", "wb");
    if (!full) GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(nstr_to_fd(s.get(), full, 1), 0);
    EXPECT_TRUE(log.contains("Couldn't flush ")) << log.text();
    EXPECT_TRUE(log.contains("No space left on device"));
    clearerr(full);
    fclose(full);
}

// Another process holds the lock: the write waits for it, so nothing reaches
// the file before that process lets go.
TEST(NStr, NstrToFdWaitsForTheLock) {
    TempDir dir;
    std::string path = dir.file("shared"), ready = dir.file("ready"), release = dir.file("release");
    qvtest::write_file(path, "");
    qvtest::ChildProcess holder({QV_PYTHON, std::string(qvtest::source_dir()) + "/tests/scripts/hold_file_lock.py", path,
                                 ready, release});
    ASSERT_TRUE(qvtest::wait_until([&] { return access(ready.c_str(), F_OK) == 0; }, qvtest::kWaitMs));
    NstrPtr s{char_to_nstr("after the lock")};
    FILE *f = fopen(path.c_str(), "r+b");
    ASSERT_TRUE(f);
    std::atomic<int> result{-1};
    std::thread writer([&] { result = nstr_to_fd(s.get(), f, 1); });
    qvtest::sleep_ms(300);
    EXPECT_EQ(result.load(), -1) << "the write did not wait for the lock";
    EXPECT_EQ(qvtest::read_file(path), "");
    qvtest::write_file(release, "");
    writer.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(qvtest::read_file(path), "after the lock");
    fclose(f);
    EXPECT_TRUE(qvtest::wait_until([&] { return !holder.running(); }, qvtest::kWaitMs));
}

// Each allocation of each operation fails in turn (0, 1, 2, ... successes
// first): every run ends in success or in the documented failure state, and
// the sanitizer build sees no leak.
TEST(NStr, AllocationFailuresOneByOne) {
    TempDir dir;
    qvtest::write_file(dir.file("f"), "file content");
    struct Case {
        const char *name;
        // Runs the operation with failures armed; returns true on success.
        // Checks the state either way.
        std::function<bool()> run;
    };
    const Case cases[] = {
        {"new_nstr",
         [] {
             NstrPtr s{new_nstr(10)};
             return s != nullptr;
         }},
        {"char_to_nstr",
         [] {
             NstrPtr s{char_to_nstr("abc")};
             if (s) check_nstr(s.get(), "abc");
             return s != nullptr;
         }},
        {"char_to_nstr_nocopy",
         [] {
             char *heap = strdup("abc");
             N_STR *s = char_to_nstr_nocopy(heap);
             bool ok = s != nullptr;
             if (ok) {
                 EXPECT_EQ(s->data, heap);
             } else {
                 free(heap);  // still the caller's
             }
             free_nstr_nolog(&s);
             return ok;
         }},
        {"nstrdup",
         [] {
             NstrPtr src{char_to_nstr("abc")};
             if (!src) return false;
             NstrPtr d{nstrdup(src.get())};
             check_nstr(src.get(), "abc");
             if (d) check_nstr(d.get(), "abc");
             return d != nullptr;
         }},
        {"nstrcat_ex into null",
         [] {
             N_STR *s = nullptr;
             N_STR *r = nstrcat_ex(&s, "abc", 3, 1);
             NstrPtr owner{s};
             EXPECT_EQ(r, s);
             if (s) check_nstr(s, "abc");
             return r != nullptr;
         }},
        {"nstrcat_ex growing",
         [] {
             N_STR *s = char_to_nstr("abc");
             if (!s) return false;
             NstrPtr owner{s};
             bool ok = nstrcat_ex(&s, "def", 3, 1) != nullptr;
             EXPECT_EQ(s, owner.get());
             check_nstr(s, ok ? "abcdef" : "abc");
             return ok;
         }},
        {"nstrprintf_ex",
         [] {
             N_STR *s = char_to_nstr("ab");
             if (!s) return false;
             NstrPtr owner{s};
             bool ok = nstrprintf_ex(&s, "%s-%d", "long text", 12345) != nullptr;
             EXPECT_EQ(s, owner.get());
             check_nstr(s, ok ? "long text-12345" : "ab");
             return ok;
         }},
        {"nstrprintf_ex into null",
         [] {
             N_STR *s = nullptr;
             bool ok = nstrprintf_ex(&s, "%d", 7) != nullptr;
             NstrPtr owner{s};
             EXPECT_EQ(s != nullptr, ok);
             if (s) check_nstr(s, "7");
             return ok;
         }},
        {"nstrprintf_cat_ex",
         [] {
             N_STR *s = nullptr;
             bool ok = nstrprintf_cat_ex(&s, "%d", 7) != nullptr;
             ok = ok && nstrprintf_cat_ex(&s, "%s", "-more") != nullptr;
             NstrPtr owner{s};
             if (s) check_nstr(s, ok ? "7-more" : "7");
             return ok;
         }},
        {"resize_nstr",
         [] {
             NstrPtr s{char_to_nstr("abc")};
             if (!s) return false;
             bool ok = resize_nstr(s.get(), 100) == 1;
             EXPECT_EQ(s->length, ok ? 100u : 4u);
             check_nstr(s.get(), "abc");
             return ok;
         }},
        {"write_and_fit",
         [] {
             char *buf = nullptr;
             size_t size = 0, written = 0;
             bool ok = write_and_fit(&buf, &size, &written, "abc") && write_and_fit(&buf, &size, &written, "defghijkl");
             EXPECT_EQ(std::string(buf ? buf : ""), ok ? "abcdefghijkl" : (buf ? "abc" : ""));
             free(buf);
             return ok;
         }},
        {"file_to_nstr",
         [&dir] {
             NstrPtr s{file_to_nstr(dir.file("f").c_str())};
             if (s) check_nstr(s.get(), "file content");
             return s != nullptr;
         }},
        {"n_str_url_encode",
         [] {
             NstrPtr s{n_str_url_encode("a b")};
             if (s) check_nstr(s.get(), "a%20b");
             return s != nullptr;
         }},
    };
    LogCapture log;  // the failures are expected; keep them off stderr
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        long fail_at = 0;
        for (;; fail_at++) {
            ASSERT_LT(fail_at, 20) << "never succeeded";
            log.clear();
            n_alloc_fail_after(fail_at);
            bool ok = c.run();
            n_alloc_fail_after(-1);
            if (HasFailure()) break;
            if (ok) break;
            EXPECT_TRUE(log.contains("Cannot allocate memory")) << "a failure that was not an injected one";
        }
        EXPECT_GT(fail_at, 0) << "the operation allocates at least once";
    }
}
