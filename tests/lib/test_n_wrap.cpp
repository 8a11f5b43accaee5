// Wrap layout: the listed cases, then properties over random rows: every kept
// item on exactly one line, no line over the limit unless it holds one item,
// and hit-testing and selection extents agreeing with the reported lines.
#include "n_wrap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

struct Line {
    size_t start, end, index;
    double width;
};

struct Rect {
    size_t line;
    double x0, x1;
};

void on_line(size_t s, size_t e, size_t i, void *u, double w) { static_cast<std::vector<Line> *>(u)->push_back({s, e, i, w}); }
void on_rect(size_t line, void *u, double x0, double x1) { static_cast<std::vector<Rect> *>(u)->push_back({line, x0, x1}); }

std::vector<Line> lay(const std::vector<N_WRAP_ITEM> &items, double max, size_t *count = nullptr) {
    std::vector<Line> lines;
    const size_t n = n_wrap_layout(items.data(), items.size(), on_line, &lines, max);
    if (count) *count = n;
    return lines;
}

std::vector<Rect> rects(const std::vector<N_WRAP_ITEM> &items, size_t a, size_t b, double max) {
    std::vector<Rect> r;
    const size_t n = n_wrap_span_rects(items.data(), items.size(), a, b, on_rect, &r, max);
    EXPECT_EQ(n, r.size());
    return r;
}

constexpr int B = N_WRAP_BREAK, FB = N_WRAP_FORCED;

}  // namespace

TEST(NWrap, ListedCases) {
    size_t n = 0;
    {  // 10, 5 (break), 10 at 20: the break item belongs to neither line
        const auto l = lay({{10, 0}, {5, B}, {10, 0}}, 20, &n);
        ASSERT_EQ(l.size(), 2u);
        EXPECT_EQ(n, 2u);
        EXPECT_EQ(l[0].start, 0u); EXPECT_EQ(l[0].end, 1u); EXPECT_EQ(l[0].width, 10);
        EXPECT_EQ(l[1].start, 2u); EXPECT_EQ(l[1].end, 3u); EXPECT_EQ(l[1].width, 10);
    }
    {  // an item wider than the limit takes a line of its own
        const auto l = lay({{5, 0}, {50, 0}, {5, 0}}, 20, &n);
        ASSERT_EQ(l.size(), 3u);
        EXPECT_EQ(l[1].start, 1u); EXPECT_EQ(l[1].end, 2u); EXPECT_EQ(l[1].width, 50);
    }
    {  // a final forced break counts an empty last line that is not reported
        const auto l = lay({{5, 0}, {0, FB}}, 20, &n);
        ASSERT_EQ(l.size(), 1u);
        EXPECT_EQ(n, 2u);
        EXPECT_EQ(l[0].end, 1u);
    }
    {  // an overflowing break item ends the line and is dropped
        const auto l = lay({{15, 0}, {10, B}, {5, 0}}, 20, &n);
        ASSERT_EQ(l.size(), 2u);
        EXPECT_EQ(l[0].end, 1u); EXPECT_EQ(l[1].start, 2u);
    }
    {  // a word carried to the next line keeps its width
        const auto l = lay({{8, 0}, {1, B}, {6, 0}, {6, 0}, {6, 0}}, 20, &n);
        ASSERT_EQ(l.size(), 2u);
        EXPECT_EQ(l[0].end, 1u); EXPECT_EQ(l[0].width, 8);
        EXPECT_EQ(l[1].start, 2u); EXPECT_EQ(l[1].end, 5u); EXPECT_EQ(l[1].width, 18);
    }
    EXPECT_EQ(n_wrap_layout(nullptr, 3, on_line, nullptr, 10), 1u);
    N_WRAP_ITEM one{1, 0};
    EXPECT_EQ(n_wrap_layout(&one, 0, on_line, nullptr, 10), 1u);
    EXPECT_EQ(n_wrap_layout(&one, 1, nullptr, nullptr, 10), 1u);

    // hit-testing on items 10, 10 (break), 10, 10 at width 25: lines [0, 1) and [2, 4)
    const std::vector<N_WRAP_ITEM> it = {{10, 0}, {10, B}, {10, 0}, {10, 0}};
    const auto l = lay(it, 25);
    ASSERT_EQ(l.size(), 2u);
    struct Hit {
        double x, y;
        size_t want;
    } const hits[] = {
        {-5, 0, 0}, {4.9, 0, 0}, {100, 0, 1},  // first index, then the line's end (the dropped break)
        {0, 12, 2}, {14, 12, 3}, {16, 12, 4}, {100, 12, 4},
        {0, 20, 4}, {0, -0.1, 0}, {0, 1e300, 4},
    };
    for (const auto &h : hits) {
        SCOPED_TRACE(testing::Message() << h.x << "," << h.y);
        EXPECT_EQ(n_wrap_index_at(it.data(), it.size(), 25, 10, h.x, h.y), h.want);
    }
    EXPECT_EQ(n_wrap_index_at(it.data(), it.size(), 25, 0, 100, 50), 1u);  // no line height: line 0
    EXPECT_EQ(n_wrap_index_at(nullptr, 0, 25, 10, 0, 0), 0u);

    // span extents: swapped ends agree; a range of the dropped break only reports nothing
    const auto r1 = rects(it, 0, 4, 25), r2 = rects(it, 4, 0, 25);
    ASSERT_EQ(r1.size(), 2u);
    ASSERT_EQ(r2.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(r1[i].x0, r2[i].x0);
        EXPECT_EQ(r1[i].x1, r2[i].x1);
    }
    EXPECT_EQ(r1[0].x0, 0); EXPECT_EQ(r1[0].x1, 10); EXPECT_EQ(r1[1].x1, 20);
    EXPECT_TRUE(rects(it, 1, 2, 25).empty());
    EXPECT_TRUE(rects(it, 3, 3, 25).empty());
    const auto r3 = rects(it, 3, 99, 25);  // clamped to the count
    ASSERT_EQ(r3.size(), 1u);
    EXPECT_EQ(r3[0].line, 1u); EXPECT_EQ(r3[0].x0, 10); EXPECT_EQ(r3[0].x1, 20);
    EXPECT_EQ(n_wrap_span_rects(nullptr, 0, 0, 1, on_rect, nullptr, 10), 0u);
}

TEST(NWrap, RandomRowsKeepTheirProperties) {
    std::mt19937 rng(20261210);
    for (int round = 0; round < 3000; round++) {
        const size_t count = rng() % 60;
        const double max = 1 + rng() % 100;
        std::vector<N_WRAP_ITEM> items(count);
        for (auto &i : items) {
            const unsigned k = rng() % 10;
            i.flags = k < 3 ? B : k == 3 ? FB : 0;
            i.width = i.flags == FB ? 0 : (rng() % 4 == 0 ? (rng() % 200) / 4.0 : (rng() % 40) / 4.0);
        }
        SCOPED_TRACE(testing::Message() << "round " << round << " max " << max);
        size_t n = 0;
        const auto lines = lay(items, max, &n);
        if (count == 0) {
            EXPECT_EQ(n, 1u);
            continue;
        }
        std::vector<int> seen(count, 0);
        size_t prev_end = 0;
        for (size_t li = 0; li < lines.size(); li++) {
            const Line &l = lines[li];
            ASSERT_EQ(l.index, li);
            ASSERT_LE(l.start, l.end);
            ASSERT_GE(l.start, prev_end);
            prev_end = l.end;
            double w = 0;
            for (size_t i = l.start; i < l.end; i++) {
                seen[i]++;
                EXPECT_FALSE(items[i].flags & FB) << "a forced break is on no line";
                w += items[i].width;
            }
            EXPECT_DOUBLE_EQ(l.width, w);
            if (l.end - l.start > 1) {
                EXPECT_LE(w, max + 1e-9) << "only a single item may pass the limit";
            }
        }
        for (size_t i = 0; i < count; i++) {
            if (seen[i] == 0) {
                EXPECT_TRUE(items[i].flags & (B | FB)) << "item " << i << " was lost";
            }
            EXPECT_LE(seen[i], 1);
        }
        EXPECT_EQ(n, lines.size() + ((items.back().flags & FB) ? 1 : 0));

        // hit-testing agrees with the lines
        const double lh = 7;
        for (int q = 0; q < 20; q++) {
            const double x = static_cast<double>(rng() % 140) - 10, y = static_cast<double>(rng() % (7 * (n + 2)));
            const size_t li = static_cast<size_t>(y / lh);
            size_t want = count;
            if (li < lines.size()) {
                want = lines[li].end;
                double acc = 0;
                for (size_t i = lines[li].start; i < lines[li].end; i++) {
                    if (acc + items[i].width / 2 > x) {
                        want = i;
                        break;
                    }
                    acc += items[i].width;
                }
            }
            EXPECT_EQ(n_wrap_index_at(items.data(), count, max, lh, x, y), want) << x << "," << y;
        }
        // selection extents agree with the lines
        const size_t a = rng() % (count + 3), b = rng() % (count + 3);
        const auto got = rects(items, a, b, max);
        std::vector<Rect> want;
        const size_t lo = std::min(std::min(a, b), count), hi = std::min(std::max(a, b), count);
        for (const Line &l : lines) {
            double x0 = 0, x1 = 0;
            for (size_t i = l.start; i < l.end; i++) {
                if (i < lo) x0 += items[i].width;
                if (i < hi) x1 += items[i].width;
            }
            if (std::max(l.start, lo) < std::min(l.end, hi) && x0 < x1) want.push_back({l.index, x0, x1});
        }
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].line, want[i].line);
            EXPECT_DOUBLE_EQ(got[i].x0, want[i].x0);
            EXPECT_DOUBLE_EQ(got[i].x1, want[i].x1);
        }
    }
}
