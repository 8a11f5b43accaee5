// History import: an export comes from another device or a restored backup,
// so any bytes must be refused or merged without reading outside them, and
// what is merged must stay inside the store's limits. One store in a scratch
// directory (on /dev/shm when present, so the writes stay cheap) takes
// every input; its conversations are deleted after each.
#include "client_msgstore.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

std::string g_root;

void remove_root() {
    if (!g_root.empty()) (void)!system(("rm -rf '" + g_root + "'").c_str());
}

quorvane_msgstore *store() {
    static quorvane_msgstore *ms = [] {
        char tmpl[] = "/dev/shm/qv-fuzz-history-XXXXXX";
        char tmpl2[] = "/tmp/qv-fuzz-history-XXXXXX";
        const char *d = mkdtemp(tmpl);
        if (!d) d = mkdtemp(tmpl2);
        if (!d) abort();
        g_root = d;
        atexit(remove_root);
        static const uint8_t secret[32] = {7};
        quorvane_msgstore *s = quorvane_msgstore_open((g_root + "/ms").c_str(), secret);
        if (!s) abort();
        return s;
    }();
    return ms;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quorvane_msgstore *ms = store();
    int rc = quorvane_msgstore_import_history(ms, data, size);
    check(rc == 0 || rc == -1);
    for (size_t i = 0; i < quorvane_msgstore_conv_count(ms); i++) {
        const quorvane_ms_conv *c = quorvane_msgstore_conv_at(ms, i);
        check(c->old_key_count <= QV_MS_OLD_KEYS && c->member_count <= QV_MS_MEMBER_MAX);
        for (size_t j = 0; j < c->member_count; j++) check(memchr(c->members[j].name, 0, sizeof c->members[j].name));
        for (size_t j = 0; j < c->msg_count; j++) check(c->msgs[j].text_len <= QV_MS_TEXT_MAX && c->msgs[j].position == 0);
    }
    // an export of what was merged imports into the same store as a no-op
    size_t n = 0;
    uint8_t *x = quorvane_msgstore_export_history(ms, &n);
    if (x) {
        size_t before = 0;
        for (size_t i = 0; i < quorvane_msgstore_conv_count(ms); i++) before += quorvane_msgstore_conv_at(ms, i)->msg_count;
        check(quorvane_msgstore_import_history(ms, x, n) == 0);
        size_t after = 0;
        for (size_t i = 0; i < quorvane_msgstore_conv_count(ms); i++) after += quorvane_msgstore_conv_at(ms, i)->msg_count;
        check(before == after);
        quorvane_msgstore_export_free(x, n);
    }
    while (quorvane_msgstore_conv_count(ms)) {
        uint8_t id[QV_MS_ID_LEN];
        memcpy(id, quorvane_msgstore_conv_at(ms, 0)->id, sizeof id);
        if (quorvane_msgstore_delete_conv(ms, id) != 0) break;
    }
    return 0;
}
