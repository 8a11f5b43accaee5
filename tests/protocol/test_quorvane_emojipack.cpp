// Emoji packs: a pack signed by openssl with a key openssl made, over real
// PNG pages from the Debian icon theme hashed by coreutils b2sum, verifies;
// a flipped bit anywhere is refused. Every rule of the pack text, broken one
// at a time from a valid pack, makes the pack invalid, and the limits hold at
// n and n + 1.
#include "quorvane_emojipack.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "qv_test_support.h"

namespace {

struct PackFree {
    void operator()(quorvane_emojipack *p) const { quorvane_emojipack_free(p); }
};
using Pack = std::unique_ptr<quorvane_emojipack, PackFree>;

Pack parse(const std::string &text) { return Pack(quorvane_emojipack_parse(text.data(), text.size())); }

const std::string H(128, 'a');  // a well-formed page hash

std::string pack_text(const std::vector<std::string> &lines) {
    std::string s = "quorvane-emoji-pack-v1\n";
    for (const auto &l : lines) s += l + "\n";
    return s;
}


}  // namespace

TEST(QuorvaneEmojipack, SignedOutsideVerifies) {
    qvtest::TempDir tmp;
    const auto pngs = qvtest::icon_theme_pngs(3);
    ASSERT_EQ(pngs.size(), 3u) << "adwaita-icon-theme is not installed (scripts/deps.sh installs it)";
    std::vector<std::string> lines = {"version 42", "cell 16"};
    for (size_t i = 0; i < pngs.size(); i++) {
        const std::string h = qvtest::b2sum_hex(pngs[i]);
        ASSERT_EQ(h.size(), 128u) << pngs[i];
        lines.push_back("page p" + std::to_string(i) + ".png " + h + " 8 4");
    }
    lines.push_back("entry smile 0 0 face,happy");
    lines.push_back("entry cat_face 2 31 cat_nature");
    const std::string text = pack_text(lines);
    qvtest::OpensslEd25519 key(tmp);
    const auto sig = key.sign(text);

    EXPECT_EQ(quorvane_emojipack_verify_sig(text.data(), text.size(), sig.data(), key.pub.data()), 1);
    Pack p = parse(text);
    ASSERT_TRUE(p);
    ASSERT_EQ(quorvane_emojipack_page_count(p.get()), 3u);
    for (size_t i = 0; i < pngs.size(); i++) {
        SCOPED_TRACE(pngs[i]);
        auto img = qvtest::file_bytes(pngs[i]);
        ASSERT_GT(img.size(), 8u);
        EXPECT_EQ(std::string(img.begin() + 1, img.begin() + 4), "PNG");
        const quorvane_emoji_page *pg = quorvane_emojipack_page(p.get(), i);
        EXPECT_EQ(quorvane_emojipack_verify_page(pg, img.data(), img.size()), 1);
        // a flipped bit at the start, the middle and the end of the image
        for (size_t at : {size_t(0), img.size() / 2, img.size() - 1}) {
            img[at] ^= 0x10;
            EXPECT_EQ(quorvane_emojipack_verify_page(pg, img.data(), img.size()), 0) << at;
            img[at] ^= 0x10;
        }
        EXPECT_EQ(quorvane_emojipack_verify_page(pg, img.data(), img.size() - 1), 0);
        // another page's image under this page's hash
        const auto other = qvtest::file_bytes(pngs[(i + 1) % pngs.size()]);
        EXPECT_EQ(quorvane_emojipack_verify_page(pg, other.data(), other.size()), 0);
    }

    // A flipped bit in each byte position class of the signature and the text.
    for (size_t at : {size_t(0), size_t(31), size_t(32), size_t(63)}) {
        auto bad = sig;
        bad[at] ^= 0x01;
        EXPECT_EQ(quorvane_emojipack_verify_sig(text.data(), text.size(), bad.data(), key.pub.data()), 0) << at;
    }
    for (size_t at : {size_t(0), text.size() / 2, text.size() - 1}) {
        std::string bad = text;
        bad[at] ^= 0x20;
        EXPECT_EQ(quorvane_emojipack_verify_sig(bad.data(), bad.size(), sig.data(), key.pub.data()), 0) << at;
    }
    // the text cut by its last byte, or with one byte more
    EXPECT_EQ(quorvane_emojipack_verify_sig(text.data(), text.size() - 1, sig.data(), key.pub.data()), 0);
    const std::string longer = text + "\n";
    EXPECT_EQ(quorvane_emojipack_verify_sig(longer.data(), longer.size(), sig.data(), key.pub.data()), 0);
    // another key, made by openssl too
    qvtest::OpensslEd25519 other(tmp, "other");
    EXPECT_EQ(quorvane_emojipack_verify_sig(text.data(), text.size(), sig.data(), other.pub.data()), 0);
    // missing arguments and a zero length
    EXPECT_EQ(quorvane_emojipack_verify_sig(nullptr, text.size(), sig.data(), key.pub.data()), 0);
    EXPECT_EQ(quorvane_emojipack_verify_sig(text.data(), 0, sig.data(), key.pub.data()), 0);
    EXPECT_EQ(quorvane_emojipack_verify_sig(text.data(), text.size(), nullptr, key.pub.data()), 0);
    EXPECT_EQ(quorvane_emojipack_verify_sig(text.data(), text.size(), sig.data(), nullptr), 0);
    const auto img = qvtest::file_bytes(pngs[0]);
    EXPECT_EQ(quorvane_emojipack_verify_page(nullptr, img.data(), img.size()), 0);
    EXPECT_EQ(quorvane_emojipack_verify_page(quorvane_emojipack_page(p.get(), 0), nullptr, img.size()), 0);
    EXPECT_EQ(quorvane_emojipack_verify_page(quorvane_emojipack_page(p.get(), 0), img.data(), 0), 0);
}

TEST(QuorvaneEmojipack, ParsedFields) {
    const std::string h = "00" + std::string(124, 'f') + "a5";
    Pack p = parse(pack_text({"version 0004294967295", "cell 32", "page Sheet-1.x_Y " + h + " 64 2",
                              "entry smile 0 127 face,happy", "entry !wave 0 3 -", "", "   ",
                              "entry   zz_9     0   0   " + std::string(127, 'k')}));
    ASSERT_TRUE(p);
    EXPECT_EQ(quorvane_emojipack_version(p.get()), 4294967295u);
    EXPECT_EQ(quorvane_emojipack_cell(p.get()), 32u);
    ASSERT_EQ(quorvane_emojipack_page_count(p.get()), 1u);
    const quorvane_emoji_page *pg = quorvane_emojipack_page(p.get(), 0);
    EXPECT_STREQ(pg->name, "Sheet-1.x_Y");
    EXPECT_EQ(qvtest::hex(pg->hash, 64), h);
    EXPECT_EQ(pg->columns, 64);
    EXPECT_EQ(pg->rows, 2);
    ASSERT_EQ(quorvane_emojipack_entry_count(p.get()), 3u);
    const quorvane_emoji_entry *e = quorvane_emojipack_entry(p.get(), 0);
    EXPECT_STREQ(e->name, "smile");
    EXPECT_EQ(e->slot, 127);
    EXPECT_EQ(e->hidden, 0);
    EXPECT_STREQ(e->keywords, "face,happy");
    const quorvane_emoji_entry *w = quorvane_emojipack_entry(p.get(), 1);
    EXPECT_STREQ(w->name, "wave");
    EXPECT_EQ(w->hidden, 1);
    EXPECT_STREQ(w->keywords, "");
    EXPECT_EQ(std::string(quorvane_emojipack_entry(p.get(), 2)->keywords), std::string(127, 'k'));
    // hidden entries are listed but never looked up
    EXPECT_EQ(quorvane_emojipack_lookup(p.get(), "wave"), nullptr);
    EXPECT_EQ(quorvane_emojipack_lookup(p.get(), "smile"), e);
    EXPECT_EQ(quorvane_emojipack_lookup(p.get(), "smil"), nullptr);
    EXPECT_EQ(quorvane_emojipack_lookup(p.get(), nullptr), nullptr);
    EXPECT_EQ(quorvane_emojipack_entry(p.get(), 3), nullptr);
    EXPECT_EQ(quorvane_emojipack_page(p.get(), 1), nullptr);
    // a null pack
    EXPECT_EQ(quorvane_emojipack_version(nullptr), 0u);
    EXPECT_EQ(quorvane_emojipack_cell(nullptr), 0u);
    EXPECT_EQ(quorvane_emojipack_page_count(nullptr), 0u);
    EXPECT_EQ(quorvane_emojipack_entry_count(nullptr), 0u);
    EXPECT_EQ(quorvane_emojipack_page(nullptr, 0), nullptr);
    EXPECT_EQ(quorvane_emojipack_entry(nullptr, 0), nullptr);
    EXPECT_EQ(quorvane_emojipack_lookup(nullptr, "smile"), nullptr);
    quorvane_emojipack_free(nullptr);
    // the smallest valid pack has no pages and no entries
    Pack bare = parse(pack_text({"cell 1", "version 0"}));
    ASSERT_TRUE(bare);
    EXPECT_EQ(quorvane_emojipack_page_count(bare.get()), 0u);
}

// Each row is a pack that breaks one rule, or keeps to it at its edge.
TEST(QuorvaneEmojipack, RulesOneAtATime) {
    const std::string pg = "page p " + H + " 4 2";
    struct Case { const char *what; std::string text; bool valid; };
    const Case cases[] = {
        {"base", pack_text({"version 1", "cell 8", pg, "entry a 0 0 -"}), true},
        {"no version", pack_text({"cell 8", pg}), false},
        {"no cell", pack_text({"version 1"}), false},
        {"magic missing", "version 1\ncell 8\n", false},
        {"magic with a space after it", "quorvane-emoji-pack-v1 \nversion 1\ncell 8\n", false},
        {"magic of another version", "quorvane-emoji-pack-v2\nversion 1\ncell 8\n", false},
        {"CRLF line ends", "quorvane-emoji-pack-v1\r\nversion 1\r\ncell 8\r\n", false},
        {"CR on a number only", pack_text({"version 1\r", "cell 8"}), false},
        {"tab between tokens", pack_text({"version\t1", "cell 8"}), false},
        {"empty lines skipped", "\n\nquorvane-emoji-pack-v1\n\n\nversion 1\n\ncell 8", true},
        {"NUL byte after the pack", pack_text({"version 1", "cell 8"}) + std::string(1, '\0'), false},
        {"unknown keyword", pack_text({"version 1", "cell 8", "emoji a 0 0 -"}), false},
        {"keyword in upper case", pack_text({"VERSION 1", "cell 8"}), false},
        {"six tokens", pack_text({"version 1", "cell 8", pg, "entry a 0 0 - x"}), false},
        {"version twice", pack_text({"version 1", "version 1", "cell 8"}), false},
        {"version with 3 tokens", pack_text({"version 1 2", "cell 8"}), false},
        {"version 2^32", pack_text({"version 4294967296", "cell 8"}), false},
        {"version signed", pack_text({"version +1", "cell 8"}), false},
        {"version negative", pack_text({"version -1", "cell 8"}), false},
        {"version hex", pack_text({"version 0x10", "cell 8"}), false},
        {"version many leading zeros", pack_text({"version 000000000000000000000000001", "cell 8"}), true},
        {"cell 0", pack_text({"version 1", "cell 0"}), false},
        {"cell 256", pack_text({"version 1", "cell 256"}), true},
        {"cell 257", pack_text({"version 1", "cell 257"}), false},
        {"cell twice", pack_text({"version 1", "cell 8", "cell 8"}), false},
        {"page before cell", pack_text({"version 1", pg, "cell 8"}), false},
        {"page after entry", pack_text({"version 1", "cell 8", pg, "entry a 0 0 -", pg}), false},
        {"page with 4 tokens", pack_text({"version 1", "cell 8", "page p " + H + " 4"}), false},
        {"page name 63", pack_text({"version 1", "cell 8", "page " + std::string(63, 'n') + " " + H + " 1 1"}), true},
        {"page name 64", pack_text({"version 1", "cell 8", "page " + std::string(64, 'n') + " " + H + " 1 1"}), false},
        {"page name with /", pack_text({"version 1", "cell 8", "page a/b " + H + " 1 1"}), false},
        {"page name with ~", pack_text({"version 1", "cell 8", "page a~b " + H + " 1 1"}), false},
        {"hash 127 digits", pack_text({"version 1", "cell 8", "page p " + H.substr(1) + " 1 1"}), false},
        {"hash 129 digits", pack_text({"version 1", "cell 8", "page p " + H + "a 1 1"}), false},
        {"hash upper case", pack_text({"version 1", "cell 8", "page p " + std::string(128, 'A') + " 1 1"}), false},
        {"hash not hex", pack_text({"version 1", "cell 8", "page p " + std::string(127, 'a') + "g 1 1"}), false},
        {"columns 0", pack_text({"version 1", "cell 8", "page p " + H + " 0 1"}), false},
        {"rows 0", pack_text({"version 1", "cell 8", "page p " + H + " 1 0"}), false},
        {"columns 256 rows 256", pack_text({"version 1", "cell 8", "page p " + H + " 256 256"}), true},
        {"columns 257", pack_text({"version 1", "cell 1", "page p " + H + " 257 1"}), false},
        {"cell 256 x 8 columns", pack_text({"version 1", "cell 256", "page p " + H + " 8 8"}), true},
        {"cell 256 x 9 columns", pack_text({"version 1", "cell 256", "page p " + H + " 9 1"}), false},
        {"cell 256 x 9 rows", pack_text({"version 1", "cell 256", "page p " + H + " 1 9"}), false},
        {"entry without pages", pack_text({"version 1", "cell 8", "entry a 0 0 -"}), false},
        {"entry with 4 tokens", pack_text({"version 1", "cell 8", pg, "entry a 0 0"}), false},
        {"entry name 32", pack_text({"version 1", "cell 8", pg, "entry " + std::string(32, 'z') + " 0 0 -"}), true},
        {"entry name 33", pack_text({"version 1", "cell 8", pg, "entry " + std::string(33, 'z') + " 0 0 -"}), false},
        {"hidden name 32", pack_text({"version 1", "cell 8", pg, "entry !" + std::string(32, 'z') + " 0 0 -"}), true},
        {"entry name upper case", pack_text({"version 1", "cell 8", pg, "entry Smile 0 0 -"}), false},
        {"entry name with -", pack_text({"version 1", "cell 8", pg, "entry a-b 0 0 -"}), false},
        {"entry name only !", pack_text({"version 1", "cell 8", pg, "entry ! 0 0 -"}), false},
        {"entry name !!", pack_text({"version 1", "cell 8", pg, "entry !!a 0 0 -"}), false},
        {"page index = pages", pack_text({"version 1", "cell 8", pg, "entry a 1 0 -"}), false},
        {"page index 65", pack_text({"version 1", "cell 8", pg, "entry a 65 0 -"}), false},
        {"slot = columns x rows", pack_text({"version 1", "cell 8", pg, "entry a 0 8 -"}), false},
        {"slot one less", pack_text({"version 1", "cell 8", pg, "entry a 0 7 -"}), true},
        {"slot 65536", pack_text({"version 1", "cell 8", "page p " + H + " 256 256", "entry a 0 65536 -"}), false},
        {"slot 65535", pack_text({"version 1", "cell 8", "page p " + H + " 256 256", "entry a 0 65535 -"}), true},
        {"keywords two words", pack_text({"version 1", "cell 8", pg, "entry a 0 0 happy,face"}), true},
        {"keywords upper case", pack_text({"version 1", "cell 8", pg, "entry a 0 0 happy,Face"}), false},
        {"keywords 127", pack_text({"version 1", "cell 8", pg, "entry a 0 0 " + std::string(127, 'k')}), true},
        {"keywords 128", pack_text({"version 1", "cell 8", pg, "entry a 0 0 " + std::string(128, 'k')}), false},
        {"keywords --", pack_text({"version 1", "cell 8", pg, "entry a 0 0 --"}), false},
        {"two entries named smile, one hidden",
         pack_text({"version 1", "cell 8", pg, "entry smile 0 0 -", "entry !smile 0 1 -"}), false},
        {"two entries named smile", pack_text({"version 1", "cell 8", pg, "entry smile 0 0 -", "entry smile 0 1 -"}),
         false},
        {"two entries in one cell", pack_text({"version 1", "cell 8", pg, "entry a 0 0 -", "entry b 0 0 -"}), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(bool(parse(c.text)), c.valid);
    }
}

TEST(QuorvaneEmojipack, LimitsAtNAndNPlusOne) {
    auto pages = [](size_t n) {
        std::vector<std::string> l = {"version 1", "cell 8"};
        for (size_t i = 0; i < n; i++) l.push_back("page p" + std::to_string(i) + " " + H + " 256 256");
        return l;
    };
    EXPECT_TRUE(parse(pack_text(pages(64))));
    EXPECT_FALSE(parse(pack_text(pages(65))));

    auto entries = [&](size_t n) {
        std::vector<std::string> l = pages(1);
        for (size_t i = 0; i < n; i++) l.push_back("entry e" + std::to_string(i) + " 0 " + std::to_string(i) + " -");
        return l;
    };
    Pack full = parse(pack_text(entries(4096)));
    ASSERT_TRUE(full);
    EXPECT_EQ(quorvane_emojipack_entry_count(full.get()), 4096u);
    EXPECT_STREQ(quorvane_emojipack_lookup(full.get(), "e4095")->name, "e4095");
    EXPECT_FALSE(parse(pack_text(entries(4097))));

    // 1 MiB of text exactly, then one byte more (empty lines fill it)
    std::string text = pack_text({"version 1", "cell 8"});
    text.resize(QV_EMOJIPACK_TEXT_MAX, '\n');
    EXPECT_TRUE(parse(text));
    text.push_back('\n');
    EXPECT_FALSE(parse(text));
    EXPECT_EQ(quorvane_emojipack_parse(nullptr, 10), nullptr);
    EXPECT_EQ(quorvane_emojipack_parse("", 0), nullptr);
}
