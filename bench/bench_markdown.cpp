// Markdown parsing beside cmark-gfm's C library (with its table,
// strikethrough and autolink extensions, the constructs our flags turn on):
// a synthetic chat corpus of 10,000 messages parsed one message at a time,
// Debian's own markdown files under /usr/share/doc, and hostile inputs at
// 10 KiB, 100 KiB and 1 MiB, where the time must grow linearly (ten times
// the bytes, about ten times the time). The one-line clip runs on the same
// hostile inputs.
#include "n_markdown.h"
#include "quorvane_md.h"

#include <benchmark/benchmark.h>

#include <cmark-gfm-core-extensions.h>
#include <cmark-gfm.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> chat_corpus() {
    static const char *const words[] = {"hey", "the", "meeting", "is", "at", "noon", "ok", "see", "you", "later",
                                        "deploy", "failed", "again", "why", "lunch", "caf\xc3\xa9", "\xe2\x82\xac" "5"};
    static const char *const extras[] = {"**important**", "*maybe*", "_soon_", "`make test`", "~~no~~",
                                         "[docs](https://example.org/docs)", "https://example.org/a?b=c", ":smile:",
                                         "<https://example.org>", "snake_case_name"};
    std::mt19937 rng(42);
    std::vector<std::string> out;
    for (int m = 0; m < 10000; m++) {
        std::string s;
        const int kind = static_cast<int>(rng() % 20);
        if (kind == 0) s += "> ";
        if (kind == 1) s += "# ";
        const int n = 3 + static_cast<int>(rng() % 25);
        for (int i = 0; i < n; i++) {
            if (i) s += ' ';
            s += rng() % 6 == 0 ? extras[rng() % 10] : words[rng() % 17];
        }
        if (kind == 2) s += "\n- one\n- two\n- three";
        if (kind == 3) s += "\n```\nint x = 1;\nreturn x;\n```";
        if (kind == 4) s += "\n\n| a | b |\n|---|--:|\n| 1 | 2 |";
        out.push_back(s);
    }
    return out;
}

std::vector<std::string> debian_docs() {
    std::vector<std::string> out;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it("/usr/share/doc", ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->path().extension() != ".md") continue;
        std::ifstream f(it->path(), std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        out.push_back(ss.str());
    }
    return out;
}

// Our parser with the flags the program passes.
void ours(const std::string &s) {
    N_MARKDOWN doc;
    n_markdown_parse_ex(s.data(), s.size(), QV_MD_FLAGS, &doc);
    benchmark::DoNotOptimize(doc.count);
    n_markdown_free(&doc);
}

void theirs(const std::string &s) {
    static const bool registered = [] {
        cmark_gfm_core_extensions_ensure_registered();
        return true;
    }();
    (void)registered;
    cmark_parser *p = cmark_parser_new(CMARK_OPT_DEFAULT);
    for (const char *e : {"table", "strikethrough", "autolink"})
        if (cmark_syntax_extension *x = cmark_find_syntax_extension(e)) cmark_parser_attach_syntax_extension(p, x);
    cmark_parser_feed(p, s.data(), s.size());
    cmark_node *doc = cmark_parser_finish(p);
    benchmark::DoNotOptimize(doc);
    cmark_node_free(doc);
    cmark_parser_free(p);
}

template <void (*Parse)(const std::string &)> void run_set(benchmark::State &st, const std::vector<std::string> &set) {
    size_t bytes = 0;
    for (const auto &s : set) bytes += s.size();
    if (set.empty()) {
        st.SkipWithError("no input (no markdown files under /usr/share/doc)");
        return;
    }
    for (auto _ : st)
        for (const auto &s : set) Parse(s);
    st.SetBytesProcessed(static_cast<int64_t>(bytes * st.iterations()));
    st.counters["inputs"] = static_cast<double>(set.size());
}

const std::vector<std::string> &corpus() {
    static const std::vector<std::string> c = chat_corpus();
    return c;
}
const std::vector<std::string> &docs() {
    static const std::vector<std::string> d = debian_docs();
    return d;
}

void BM_ChatCorpus_Ours(benchmark::State &st) { run_set<ours>(st, corpus()); }
void BM_ChatCorpus_CmarkGfm(benchmark::State &st) { run_set<theirs>(st, corpus()); }
void BM_DebianDocs_Ours(benchmark::State &st) { run_set<ours>(st, docs()); }
void BM_DebianDocs_CmarkGfm(benchmark::State &st) { run_set<theirs>(st, docs()); }

// Hostile texts of exactly n bytes, each a shape that costs the square of its
// length when closers are searched by scanning ahead.
std::string fill(const std::string &unit, size_t n, const std::string &head = "") {
    std::string s = head;
    while (s.size() < n) s += unit;
    s.resize(n);
    return s;
}

std::string hostile(int kind, size_t n) {
    switch (kind) {
    case 0: return fill(" _a", n);             // unclosed emphasis openers
    case 1: return fill("[", n);               // unclosed link brackets
    case 2: return fill("`", n, "x");          // backticks
    case 3: return fill(">", n - 2) + " x";    // nested quote markers
    case 4: {                                  // nested lists, one deeper per line
        std::string s;
        for (size_t k = 0; s.size() < n; k++) s += std::string(k % 64, ' ') + "- x\n";
        s.resize(n);
        return s;
    }
    case 5: return fill("[a](", n);            // unclosed links
    case 6: return fill("<http://", n);        // unclosed autolinks
    case 7: return fill("**a ", n);            // bold openers each closed by the next
    default: return fill("*_a ~~b~~_* ", n);   // emphasis nested in emphasis, many ranges per depth
    }
}

const char *const kHostileNames[] = {"underscore_openers", "brackets", "backticks", "nested_quotes",
                                     "nested_lists", "unclosed_links", "unclosed_autolinks", "bold_openers", "nested_emphasis"};

template <void (*Parse)(const std::string &)> void BM_Hostile(benchmark::State &st) {
    const int kind = static_cast<int>(st.range(0));
    const std::string s = hostile(kind, static_cast<size_t>(st.range(1)));
    st.SetLabel(kHostileNames[kind]);
    for (auto _ : st) Parse(s);
    st.SetBytesProcessed(static_cast<int64_t>(s.size() * st.iterations()));
}

// Clip to the reply composer's limit: one full parse plus up to 64 prefixes.
void BM_Hostile_Clip(benchmark::State &st) {
    const std::string s = hostile(static_cast<int>(st.range(0)), static_cast<size_t>(st.range(1)));
    st.SetLabel(kHostileNames[st.range(0)]);
    char out[240];
    for (auto _ : st) benchmark::DoNotOptimize(quorvane_md_clip(s.c_str(), s.size(), 239, out));
    st.SetBytesProcessed(static_cast<int64_t>(s.size() * st.iterations()));
}

void hostile_args(benchmark::internal::Benchmark *b) {
    for (int kind = 0; kind < 9; kind++)
        for (int64_t n : {int64_t{10} << 10, int64_t{100} << 10, int64_t{1} << 20}) b->Args({kind, n});
    b->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_ChatCorpus_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChatCorpus_CmarkGfm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DebianDocs_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DebianDocs_CmarkGfm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Hostile<ours>)->Apply(hostile_args);
BENCHMARK(BM_Hostile<theirs>)->Apply(hostile_args);
BENCHMARK(BM_Hostile_Clip)->Apply(hostile_args);
