// The live message list against a plain reference list that follows the
// ordering, duplicate, trimming, deletion (with the delete kept for a
// message not held yet), editing (with the text kept likewise) and expiry
// rules one step at a time: random adds (live and history, positions rising, falling, zero
// and repeated), position updates, deletions, edits, cap changes and expiry,
// some inside batches, with the store closed and opened again between
// rounds. Whatever lookup structures the store keeps beside the list must
// give the same list after every step.
#include <gtest/gtest.h>

#include <random>

#include "msgstore_test_util.h"
#include "qv_test_support.h"

using namespace mstest;

namespace {

const bytes kConv = filled(16, 0xd4), kKey = filled(32, 9);
constexpr uint64_t kNow = 1'800'000'000'000ull, kDay = 86'400'000ull;

struct ref_msg {
    bytes author, device;
    uint64_t id, time, position;
    uint8_t type, edited;
    std::string text;
};

// A delete or an edit by its target; an edit whose message is not held keeps its text.
struct ref_mark {
    uint8_t kind;
    bytes author;
    uint64_t id;
    bool pending = false;
    std::string text;
};

struct reference {
    std::vector<ref_msg> msgs;
    std::vector<ref_mark> marks;  // oldest first
    uint64_t cap = QV_MS_MSG_CAP_DEFAULT, allowance = 0;

    ref_mark *mark(uint8_t kind, const bytes &author, uint64_t id) {
        for (auto &k : marks)
            if (k.kind == kind && k.author == author && k.id == id) return &k;
        return nullptr;
    }
    ref_mark *add_mark(uint8_t kind, const bytes &author, uint64_t id) {
        if (marks.size() == QV_MS_MARKS_MAX) {
            auto settled = std::find_if(marks.begin(), marks.end(),
                                        [](const ref_mark &k) { return k.kind == QV_MS_MARK_EDIT && !k.pending; });
            marks.erase(settled != marks.end() ? settled : marks.begin());
        }
        marks.push_back({kind, author, id, false, ""});
        return &marks.back();
    }

    void place(const ref_msg &m) {
        size_t at = msgs.size();
        if (m.position) {
            at = 0;
            for (size_t i = msgs.size(); i > 0; i--)
                if (msgs[i - 1].position <= m.position) {
                    at = i;
                    break;
                }
        }
        msgs.insert(msgs.begin() + long(at), m);
    }
    void trim(uint64_t limit) {
        if (limit && msgs.size() > limit) msgs.erase(msgs.begin(), msgs.end() - long(limit));
    }
    int add(const ref_msg &m, bool history) {
        for (size_t i = 0; i < msgs.size(); i++) {
            ref_msg &h = msgs[i];
            if (h.id != m.id || h.author != m.author || h.device != m.device) continue;
            if (h.position || m.position == 0) return 0;
            ref_msg moved = h;
            moved.position = m.position;
            msgs.erase(msgs.begin() + long(i));
            place(moved);
            return 0;
        }
        ref_msg arriving = m;
        if (mark(QV_MS_MARK_DELETE, m.author, m.id)) {
            arriving.type = QV_MS_TYPE_DELETED;
            arriving.text.clear();
            arriving.edited = 0;
        } else if (ref_mark *e = mark(QV_MS_MARK_EDIT, m.author, m.id); e && e->pending && m.type == QV_MS_TYPE_TEXT) {
            arriving.text = e->text;
            arriving.edited = 1;
            e->pending = false;
            e->text.clear();
        }
        place(arriving);
        if ((history || allowance > 0) && allowance < QV_MS_HISTORY_ALLOWANCE_MAX) allowance++;
        trim(cap ? cap + allowance : 0);
        return 1;
    }
    ref_msg *find(const bytes &author, const bytes *device, uint64_t id) {
        bool any = !device || *device == filled(32, 0);
        for (auto &m : msgs)
            if (m.id == id && m.author == author && (any || m.device == *device)) return &m;
        return nullptr;
    }
    int del(const bytes &author, const bytes *device, uint64_t id) {
        if (!mark(QV_MS_MARK_DELETE, author, id)) add_mark(QV_MS_MARK_DELETE, author, id);
        if (ref_mark *e = mark(QV_MS_MARK_EDIT, author, id)) {
            e->pending = false;
            e->text.clear();
        }
        ref_msg *m = find(author, device, id);
        if (!m || m->type == QV_MS_TYPE_DELETED) return 0;
        m->type = QV_MS_TYPE_DELETED;
        m->text.clear();
        m->edited = 0;
        return 1;
    }
    int edit(const bytes &author, const bytes *device, uint64_t id, const std::string &text) {
        if (mark(QV_MS_MARK_DELETE, author, id)) return 0;
        ref_msg *m = find(author, device, id);
        if (m && m->type != QV_MS_TYPE_TEXT) return 0;
        ref_mark *k = mark(QV_MS_MARK_EDIT, author, id);
        if (!k && !m) k = add_mark(QV_MS_MARK_EDIT, author, id);
        if (k) {
            k->pending = !m;
            k->text = m ? "" : text;
        }
        if (!m) return 0;
        m->text = text;
        m->edited = 1;
        return 1;
    }
    size_t expire(uint64_t cutoff) {
        size_t before = msgs.size();
        std::erase_if(msgs, [&](const ref_msg &m) { return m.time != 0 && m.time < cutoff; });
        return before - msgs.size();
    }
};

void expect_same(quorvane_msgstore *ms, const reference &ref, const std::string &where) {
    std::vector<quorvane_ms_msgrec> got = live(ms, kConv);
    ASSERT_EQ(got.size(), ref.msgs.size()) << where;
    for (size_t i = 0; i < got.size(); i++) {
        const quorvane_ms_msgrec &g = got[i];
        const ref_msg &w = ref.msgs[i];
        ASSERT_TRUE(g.msg_id == w.id && bytes(reinterpret_cast<const char *>(g.author), 16) == w.author &&
                    bytes(reinterpret_cast<const char *>(g.author_device), 32) == w.device && g.position == w.position &&
                    g.time == w.time && g.type == w.type && g.edited == w.edited &&
                    std::string(g.text, size_t(g.text_len)) == w.text)
            << where << ": index " << i << " holds id " << g.msg_id << " at " << g.position << ", expected id " << w.id
            << " at " << w.position;
    }
}

TEST(MsgListModel, RandomChangesMatchTheReferenceAcrossBatchesAndReopening) {
    qvtest::TempDir tmp;
    const std::string dir = tmp.file("msgstore");
    std::mt19937_64 rng(20261210);
    auto pick = [&](uint64_t n) { return uint64_t(rng() % n); };
    const bytes authors[] = {filled(16, 0x61), filled(16, 0x62)};
    const bytes devices[] = {filled(32, 0), filled(32, 0x11), filled(32, 0x22)};
    reference ref;
    uint64_t rising = 5000, falling = 5000;
    for (int round = 0; round < 6; round++) {
        store_ptr ms = open_store(dir);
        ASSERT_TRUE(ms);
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kConv), u8(kKey)), 0);
        ref.cap = QV_MS_MSG_CAP_DEFAULT;  // as every open sets it, with no allowance
        ref.allowance = 0;
        expect_same(ms.get(), ref, "reopened in round " + std::to_string(round));
        if (round == 0) {
            ASSERT_EQ(quorvane_msgstore_set_retention(ms.get(), u8(kConv), 30), 0);
        }
        bool batch = false;
        for (int step = 0; step < 500; step++) {
            const std::string where = "round " + std::to_string(round) + " step " + std::to_string(step);
            if (pick(40) == 0) {
                if (batch) {
                    ASSERT_EQ(quorvane_msgstore_batch_end(ms.get()), 0) << where;
                } else {
                    quorvane_msgstore_batch_begin(ms.get());
                }
                batch = !batch;
            }
            const bytes &author = authors[pick(2)];
            const bytes &device = devices[pick(3)];
            const uint64_t id = 1 + pick(300);  // small enough to meet its duplicates
            const uint64_t op = pick(100);
            if (op < 70) {
                // history from the newest downwards, live upwards, or anywhere
                uint64_t position = 0;
                switch (pick(5)) {
                case 0: position = 0; break;
                case 1: position = 1 + pick(20000); break;
                case 2: position = rising += 1 + pick(3); break;
                default: position = falling -= pick(3); break;
                }
                const bool history = pick(3) == 0;
                const uint8_t type = pick(10) == 0 ? QV_MS_TYPE_SYSTEM : QV_MS_TYPE_TEXT;
                // some stamped long ago, so that expiry has something to take
                const uint64_t time = pick(8) == 0 ? 0 : kNow - pick(40) * kDay;
                ref_msg m{author, device, id, time, position, type, 0, std::string("t").append(std::to_string(pick(1000)))};
                msg_in in{author, id, time, position, type, m.text, device};
                ASSERT_EQ(add(ms.get(), kConv, in, history), ref.add(m, history)) << where;
            } else if (op < 80) {
                const bytes *dev = pick(2) ? &device : nullptr;
                ASSERT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(kConv), u8(author), dev ? u8(*dev) : nullptr, id),
                          ref.del(author, dev, id))
                    << where;
            } else if (op < 92) {
                const bytes *dev = pick(2) ? &device : nullptr;
                const std::string text = pick(4) ? "edited " + std::to_string(step) : "";
                ASSERT_EQ(quorvane_msgstore_edit_msg(ms.get(), u8(kConv), u8(author), dev ? u8(*dev) : nullptr, id,
                                                     text.data(), text.size()),
                          ref.edit(author, dev, id, text))
                    << where;
            } else if (op < 97) {
                const uint64_t cap = pick(4) == 0 ? 0 : 20 + pick(200);
                (void)quorvane_msgstore_set_msg_cap(ms.get(), cap);
                ref.cap = cap;
                ref.allowance = 0;
                ref.trim(cap);
            } else {
                ASSERT_EQ(quorvane_msgstore_enforce_retention(ms.get(), kNow), ref.expire(kNow - 30 * kDay)) << where;
            }
            expect_same(ms.get(), ref, where);
        }
        if (batch) {
            ASSERT_EQ(quorvane_msgstore_batch_end(ms.get()), 0);
        }
    }
}

// History arriving newest first, a page at a time, in front of a full live
// list, then live messages after it: the whole list stays in position order
// and every repeated page is recognised as held; opened again, it keeps
// the newest up to the cap.
TEST(MsgListModel, PagesOfHistoryInFrontOfTheLiveList) {
    qvtest::TempDir tmp;
    store_ptr ms = open_store(tmp.file("msgstore"));
    ASSERT_TRUE(ms);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kConv), u8(kKey)), 0);
    constexpr uint64_t kLive = 300, kHistory = 3000, kPage = 200;
    for (uint64_t i = 1; i <= kLive; i++) ASSERT_EQ(add(ms.get(), kConv, text_msg(kHistory + i, kHistory + i)), 1);
    for (uint64_t top = kHistory; top > 0; top -= kPage) {
        quorvane_msgstore_batch_begin(ms.get());
        for (uint64_t p = top; p > top - kPage; p--) ASSERT_EQ(add(ms.get(), kConv, text_msg(p, p), true), 1);
        for (uint64_t k = 0; k < kPage; k += 37) ASSERT_EQ(add(ms.get(), kConv, text_msg(top - k, top - k), true), 0);
        ASSERT_EQ(quorvane_msgstore_batch_end(ms.get()), 0);
    }
    ASSERT_EQ(add(ms.get(), kConv, text_msg(9999, kHistory + kLive + 1)), 1);
    std::vector<quorvane_ms_msgrec> got = live(ms.get(), kConv);
    ASSERT_EQ(got.size(), kLive + kHistory + 1);
    for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(got[i].position, i + 1) << i;
    ms.reset();
    store_ptr again = open_store(tmp.file("msgstore"));
    ASSERT_TRUE(again);
    // opened again without the history allowance: the newest up to the cap
    std::vector<uint64_t> newest = ids(got);
    newest.erase(newest.begin(), newest.end() - long(QV_MS_MSG_CAP_DEFAULT));
    EXPECT_EQ(ids(live(again.get(), kConv)), newest);
}

}  // namespace
