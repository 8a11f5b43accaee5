// Link-preview extraction: the listed cases, entity and blank handling, the
// field limits, broken markup, and whole pages (the tree's sample pages of
// the kinds links lead to, and pages written for Open Graph keys) against a
// second extractor built on Python's html.parser and html.unescape.
#include "quorvane_html.h"

#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Preview {
    int result;
    std::string title, description, image;
};

Preview extract(const std::string &html) {
    quorvane_link_preview p;
    memset(&p, 0x5A, sizeof p);
    Preview r;
    r.result = quorvane_html_extract_preview(html.data(), html.size(), &p);
    r.title = p.title;
    r.description = p.description;
    r.image = p.image_url;
    EXPECT_EQ(p.has_title, r.title.empty() ? 0 : 1);
    EXPECT_EQ(p.has_description, r.description.empty() ? 0 : 1);
    EXPECT_EQ(p.has_image, r.image.empty() ? 0 : 1);
    return r;
}

struct Case {
    const char *name;
    std::string html;
    int result;
    const char *title, *description, *image;
};

TEST(HtmlPreview, Cases) {
    const Case cases[] = {
        {"blanks fold", "<title>\n  Hello \t\r\n  big   world  </title>", 1, "Hello big world", "", ""},
        {"og:title after", "<title>T</title><meta property=\"og:title\" content=\"OG\">", 1, "OG", "", ""},
        {"og:title before", "<meta property=\"og:title\" content=\"OG\"><title>T</title>", 1, "OG", "", ""},
        {"case", "<TiTlE>T</TITLE><META PROPERTY=\"OG:DESCRIPTION\" CONTENT=\"D\">", 1, "T", "D", ""},
        {"description then og", "<meta name=description content=plain><meta property=og:description content=og>", 1, "",
         "og", ""},
        {"og then description", "<meta property=og:description content=og><meta name=description content=plain>", 1, "",
         "og", ""},
        {"first description", "<meta name=description content=one><meta name=description content=two>", 1, "", "one", ""},
        {"image last wins", "<meta property=og:image content=a><meta property=og:image:secure_url content=b>", 1, "", "",
         "b"},
        {"content only", "<meta content=\"x\">", 0, "", "", ""},
        {"key only", "<meta property=og:title>", 0, "", "", ""},
        {"property over name", "<meta name=og:title property=og:description content=c>", 1, "", "c", ""},
        {"first attribute counts", "<meta property=og:title property=og:description content=c content=d>", 1, "c", "", ""},
        {"twitter ignored", "<meta name=twitter:title content=t><meta property=twitter:description content=d>", 0, "", "",
         ""},
        {"spaced equals", "<meta property = 'og:title'\tcontent =\n\"a b\" />", 1, "a b", "", ""},
        {"nothing", "<html><body><p>text</p></body></html>", 0, "", "", ""},
        {"empty", "", 0, "", "", ""},
        {"entities one level", "<title>&amp;amp; &LT;&gt;&quot;&apos;</title>", 1, "&amp; <>\"'", "", ""},
        {"numeric", "<title>&#65;&#x42;&#X43;&#x1F600;&#xe9;</title>", 1, "ABC\xF0\x9F\x98\x80\xC3\xA9", "", ""},
        {"numeric zero literal", "<title>a&#0;b</title>", 1, "a&#0;b", "", ""},
        {"past U+10FFFF literal", "<title>&#x110000;&#1114111;</title>", 1, "&#x110000;\xF4\x8F\xBF\xBF", "", ""},
        {"surrogates literal", "<title>&#xD800;&#55296;&#xDFFF;&#xD7FF;</title>", 1, "&#xD800;&#55296;&#xDFFF;\xED\x9F\xBF",
         "", ""},
        {"bad names", "<title>&nbsp;&#x;&#;&#12a;&am p;&</title>", 1, "&nbsp;&#x;&#;&#12a;&am p;&", "", ""},
        {"entity within 12", "<title>&#0000000065;|&#00000000065;</title>", 1, "A|&#00000000065;", "", ""},
        {"entity blanks", "<title>&#32;a&#9;&#10;b&#13;&#32;</title>", 1, "a b", "", ""},
        {"entity controls dropped", "<title>a&#1;&#11;&#12;&#31;b</title>", 1, "ab", "", ""},
        {"raw controls dropped", "<title>a\x01\x1f" "b\x7f</title>", 1, "ab\x7f", "", ""},
        {"comment hides", "<!-- <title>no</title> --><title>yes</title>", 1, "yes", "", ""},
        {"shortest comment", "<!----><title>yes</title>", 1, "yes", "", ""},
        {"comment needs 7 bytes", "<!--><title>no</title>--><title>yes</title>", 1, "yes", "", ""},
        {"unclosed comment", "<!-- <title>no</title>", 0, "", "", ""},
        {"unclosed title", "<title> rest &amp; of\npage <b>", 1, "rest & of page <b>", "", ""},
        {"closing tag cut short", "<title>abc</titl", 1, "abc</titl", "", ""},
        {"title ends scan", "<title>t<meta property=og:title content=x>", 1, "t<meta property=og:title content=x>", "",
         ""},
        {"empty title, next one", "<title> </title><title>second</title>", 1, "second", "", ""},
        {"markup in title", "<title>a <b>bold</b> c</TITLE >", 1, "a <b>bold</b> c", "", ""},
        {"quote runs to tag end", "<meta property=\"og:title content=x>", 0, "", "", ""},
        {"gt in quotes ends tag", "<meta content=\"a>b\" property=og:title>", 0, "", "", ""},
        {"unquoted", "<meta property=og:title content=a&amp;b>", 1, "a&b", "", ""},
        {"no tag end", "<meta property=og:title content=abc", 1, "abc", "", ""},
        {"ill-formed UTF-8", "<title>caf\xC3\xA9 \xFF|\xE2\x82|\xC0\xAF|\xED\xA0\x80</title>", 1,
         "caf\xC3\xA9 \xEF\xBF\xBD|\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Preview p = extract(c.html);
        EXPECT_EQ(p.result, c.result);
        EXPECT_EQ(p.title, c.title);
        EXPECT_EQ(p.description, c.description);
        EXPECT_EQ(p.image, c.image);
    }
    quorvane_link_preview out;
    EXPECT_EQ(quorvane_html_extract_preview(nullptr, 5, &out), 0);
    EXPECT_EQ(quorvane_html_extract_preview("<title>x</title>", 16, nullptr), 0);
}

// Fields are cut at their limits, never inside a UTF-8 sequence and never
// after a space that has nothing visible behind it.
TEST(HtmlPreview, Limits) {
    EXPECT_EQ(extract("<title>" + std::string(300, 't') + "</title>").title, std::string(200, 't'));
    EXPECT_EQ(extract("<meta name=description content='" + std::string(600, 'd') + "'>").description, std::string(500, 'd'));
    // The content is cut to 1024 raw bytes before decoding: an entity across
    // the cut stays literal.
    EXPECT_EQ(extract("<meta property=og:image content='" + std::string(1100, 'i') + "'>").image, std::string(1024, 'i'));
    EXPECT_EQ(extract("<meta property=og:image content='" + std::string(1020, 'i') + "&amp;x'>").image,
              std::string(1020, 'i') + "&amp");
    // 199 bytes then a two-byte character: it does not fit whole.
    EXPECT_EQ(extract("<title>" + std::string(199, 'a') + "\xC3\xA9</title>").title, std::string(199, 'a'));
    EXPECT_EQ(extract("<title>" + std::string(198, 'a') + "&#xe9;</title>").title, std::string(198, 'a') + "\xC3\xA9");
    // 199 bytes, a blank and a letter: the space alone would be trailing.
    EXPECT_EQ(extract("<title>" + std::string(199, 'a') + " b</title>").title, std::string(199, 'a'));
    EXPECT_EQ(extract("<title>" + std::string(198, 'a') + " b</title>").title, std::string(198, 'a') + " b");
    // The key is cut to 79 bytes.
    EXPECT_EQ(extract("<meta property='og:title" + std::string(80, ' ') + "' content=x>").result, 0);
}

// ---------------------------------------------------------------- against html.parser

// Whole pages kept in the tree (tests/protocol/data/html): a manual's
// contents, a man page, a news article and a product page with Open Graph
// keys, a blog post in French, HTML 4 frames, XHTML, upper-case markup,
// comments, over-long fields and broken markup.
std::vector<std::string> sample_pages() {
    const std::string dir = std::string(qvtest::source_dir()) + "/tests/protocol/data/html/";
    std::vector<std::string> pages;
    for (const auto &name : qvtest::names_in(dir)) pages.push_back(dir + name);
    return pages;
}

// Pages written for the keys and the markup real sites use, broken markup
// included.
const char *const kWrittenPages[] = {
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Plain &amp; simple</title>"
    "<meta name=\"description\" content=\"A page with a plain description.\"></head><body></body></html>",

    "<html><head><title>Element title</title>"
    "<meta property=\"og:title\" content=\"Open Graph &quot;title&quot;\">"
    "<meta property=\"og:description\" content=\"OG description &#8212; with a dash\">"
    "<meta name=\"description\" content=\"plain, loses to og\">"
    "<meta property=\"og:image\" content=\"https://img.example/a.png?w=1&amp;h=2\">"
    "<meta property=\"og:image:secure_url\" content=\"https://img.example/b.png\">"
    "<meta name=\"twitter:card\" content=\"summary_large_image\">"
    "<meta name=\"twitter:title\" content=\"Twitter title\">"
    "<meta name=\"twitter:description\" content=\"Twitter description\">"
    "<meta name=\"twitter:image\" content=\"https://img.example/t.png\"></head></html>",

    "<HTML><HEAD><META PROPERTY='OG:TITLE' CONTENT='Upper case keys'><TITLE>ignored</TITLE>"
    "<Meta Name=Description Content=unquoted-value></HEAD>",

    "<head>\n<title>\n\t  Multi\n   line\r\n title\t</title>\n"
    "<meta\n  property = \"og:description\"\n  content = \"  spaced   out  \"\n/>\n</head>",

    "<title>Entities: &lt;b&gt; &AMP; &apos;q&apos; &#x1F600; &#233;&#xE9; &nbsp; &copy; &#0; &#xD800; &amp;lt;</title>",

    "<title>Caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x8E\x89 bad: \xFF \xC3 \xE2\x82 \xED\xA0\x80 \xF4\x90\x80\x80 end</title>",

    "<!-- <title>commented out</title> --><title>after the comment</title>"
    "<!----><meta name=description content=\"after an empty comment\">",

    "<title>unclosed title &amp; the rest <b>of</b> the page",

    "<html><head><title></title><title>second title</title><meta property=og:title content=''></head>",

    "<meta property=\"og:image\" content=\"https://a.example/1.png\"><meta property=\"og:image\" content=\"https://a.example/2.png\">",

    "<meta content=\"no key\"><meta property=\"og:title\"><meta name=og:description property=og:title content=both>",

    "<html><body><p>No preview data at all.</p><img src=x.png alt=\"<title>\"></body></html>",
};

std::vector<std::string> written_pages(const qvtest::TempDir &dir) {
    std::vector<std::string> paths;
    std::string long_title = "<title>" + std::string(150, 'a') + " " + std::string(150, 'b') + "</title>";
    std::string long_og = "<meta property=og:description content=\"" + std::string(700, 'd') + "\">"
                          "<meta property=og:image content=\"https://i.example/" + std::string(1100, 'i') + "\">";
    std::vector<std::string> pages(std::begin(kWrittenPages), std::end(kWrittenPages));
    pages.push_back(long_title + long_og);
    for (size_t i = 0; i < pages.size(); i++) {
        paths.push_back(dir.file("written" + std::to_string(i) + ".html"));
        qvtest::write_file(paths.back(), pages[i]);
    }
    return paths;
}

TEST(HtmlPreview, RealPagesAgainstHtmlParser) {
    qvtest::TempDir dir;
    std::vector<std::string> paths = sample_pages();
    const size_t samples = paths.size();
    ASSERT_GE(samples, 13u) << "the sample pages are missing from tests/protocol/data/html";
    for (const auto &p : written_pages(dir)) paths.push_back(p);
    std::vector<std::string> requests;
    for (const auto &p : paths) requests.push_back("page " + qvtest::hex_word(p));
    const auto answers = qvtest::xcheck_words("html_preview_ref.py", requests);
    size_t with_title = 0, failures = 0;
    for (size_t i = 0; i < paths.size() && failures < 10; i++) {
        SCOPED_TRACE(paths[i]);
        Preview p = extract(qvtest::read_file(paths[i]));
        const std::vector<std::string> want = {"OK", std::to_string(p.result), qvtest::hex_word(p.title),
                                               qvtest::hex_word(p.description), qvtest::hex_word(p.image)};
        if (answers[i] != want) {
            failures++;
            ADD_FAILURE() << "reference: " << ::testing::PrintToString(answers[i]) << "\nours:      "
                          << ::testing::PrintToString(want) << "\n(" << p.title << " | " << p.description << " | "
                          << p.image << ")";
        }
        with_title += !p.title.empty();
    }
    EXPECT_EQ(failures, 0u);
    EXPECT_GT(with_title, samples / 2) << "most sample pages have a title";
}

}  // namespace
