// Search-index record reader: the header check and every entry. Entries must
// point inside the record, a refused entry must leave the cursor where it was,
// and a record read to its last byte must encode back to the same bytes.
#include "quorvane_sidx.h"

#include <cstring>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!data) data = reinterpret_cast<const uint8_t *>("");
    quorvane_sidx_cursor cur;
    if (quorvane_sidx_decode(data, size, &cur) != 0) return 0;
    check(quorvane_sidx_left(&cur) <= QV_SIDX_COUNT_MAX);
    check(std::memcmp(quorvane_sidx_conv(&cur), data + 8, QV_SIDX_CONV_LEN) == 0);

    std::vector<quorvane_sidx_entry> entries;
    size_t text_total = 0;
    int rc;
    quorvane_sidx_entry e;
    while ((rc = quorvane_sidx_next(&cur, &e)) == 1) {
        check(e.text_len <= QV_SIDX_TEXT_MAX);
        const uint8_t *t = reinterpret_cast<const uint8_t *>(e.text);
        check(t >= data + QV_SIDX_HEADER_LEN + QV_SIDX_ENTRY_LEN && t + e.text_len <= data + size);
        entries.push_back(e);
        text_total += e.text_len;
    }
    if (rc == -1) {
        const quorvane_sidx_cursor before = cur;
        check(quorvane_sidx_next(&cur, &e) == -1);
        check(cur.next == before.next && cur.left == before.left && cur.end == before.end);
        return 0;
    }
    check(rc == 0 && quorvane_sidx_left(&cur) == 0);

    // Trailing bytes after the last entry are not part of what encode makes.
    size_t used = static_cast<size_t>(cur.next - data);
    check(quorvane_sidx_encoded_size(entries.size(), text_total) == used);
    std::vector<uint8_t> out(used);
    size_t written = 0;
    check(quorvane_sidx_encode(data + 8, entries.data(), entries.size(), out.data(), out.size(), &written) == 0);
    check(written == used && std::memcmp(out.data(), data, used) == 0);
    return 0;
}
