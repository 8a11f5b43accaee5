// Small helpers shared by the message store's newer suites: a store handle
// closed however a test ends, messages built field by field, and the ids
// held live and in the archive.
#pragma once

#include "client_msgstore.h"

#include "qv_test_support.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace mstest {

using bytes = std::string;
using store_ptr = std::unique_ptr<quorvane_msgstore, void (*)(quorvane_msgstore *)>;

inline const uint8_t kSecret[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                    17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

inline store_ptr open_store(const std::string &dir) {
    return store_ptr(quorvane_msgstore_open(dir.c_str(), kSecret), quorvane_msgstore_close);
}
inline const uint8_t *u8(const bytes &b) { return reinterpret_cast<const uint8_t *>(b.data()); }
inline bytes filled(size_t n, int c) { return bytes(n, static_cast<char>(c)); }

struct msg_in {
    bytes author;
    uint64_t id, time, position;
    uint8_t type;
    std::string text;
    bytes device = filled(32, 0);
    uint8_t status = 0;
};

inline std::unique_ptr<quorvane_ms_msgrec> make_rec(const bytes &conv, const msg_in &m) {
    auto r = std::make_unique<quorvane_ms_msgrec>();
    memset(r.get(), 0, sizeof *r);
    memcpy(r->conv_id, conv.data(), 16);
    memcpy(r->author, m.author.data(), 16);
    memcpy(r->author_device, m.device.data(), 32);
    r->msg_id = m.id;
    r->time = m.time;
    r->position = m.position;
    r->type = m.type;
    r->send_status = m.status;
    // a text past the limit is announced at its length, for the refusals
    memcpy(r->text, m.text.data(), std::min<size_t>(m.text.size(), QV_MS_TEXT_MAX + 1));
    r->text_len = m.text.size();
    return r;
}

inline int add(quorvane_msgstore *ms, const bytes &conv, const msg_in &m, bool history = false) {
    auto r = make_rec(conv, m);
    return history ? quorvane_msgstore_add_history(ms, r.get()) : quorvane_msgstore_add_msg(ms, r.get());
}

inline const bytes kAlice = filled(16, 0x61);

inline msg_in text_msg(uint64_t id, uint64_t position, const bytes &author = kAlice) {
    return {author, id, 1000 + id, position, QV_MS_TYPE_TEXT, std::string("m").append(std::to_string(id))};
}

inline std::vector<quorvane_ms_msgrec> live(quorvane_msgstore *ms, const bytes &conv) {
    std::vector<quorvane_ms_msgrec> out;
    auto r = std::make_unique<quorvane_ms_msgrec>();
    for (size_t i = 0; quorvane_msgstore_msg_at(ms, u8(conv), i, r.get()) == 0; i++) out.push_back(*r);
    return out;
}

inline std::vector<quorvane_ms_msgrec> archived(quorvane_msgstore *ms, const bytes &conv) {
    std::vector<quorvane_ms_msgrec> out;
    (void)quorvane_msgstore_archive_scan(ms, u8(conv), [](void *u, const quorvane_ms_msgrec *r) {
        static_cast<std::vector<quorvane_ms_msgrec> *>(u)->push_back(*r);
    }, &out);
    return out;
}

inline std::vector<uint64_t> ids(const std::vector<quorvane_ms_msgrec> &v) {
    std::vector<uint64_t> out;
    for (const auto &r : v) out.push_back(r.msg_id);
    return out;
}

// One request per line to a cross-check script; its answers split in words.
inline std::vector<std::vector<std::string>> run_script(const std::string &name, const std::vector<std::string> &requests) {
    std::string in, out;
    for (const auto &r : requests) in += r + "\n";
    EXPECT_EQ(qvtest::run_python(name, {}, in, &out), 0);
    std::vector<std::vector<std::string>> answers;
    std::istringstream s(out);
    for (std::string line; std::getline(s, line);) {
        std::istringstream l(line);
        std::vector<std::string> w;
        for (std::string x; l >> x;) w.push_back(x);
        answers.push_back(w);
    }
    EXPECT_EQ(answers.size(), requests.size()) << out;
    answers.resize(requests.size());
    return answers;
}

}  // namespace mstest
