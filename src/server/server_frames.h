// Helpers the server's handler files share: the records of the frame being
// handled, and a frame built in a growable buffer for answers whose size
// depends on the store (member lists, envelopes).
#pragma once

#include "quorvane_bytes.h"
#include "quorvane_proto.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// Payload records of the frame being handled (every record was length-checked before).
struct qvs_records {
    const uint8_t *p;
    size_t len;
    bool fixed(uint8_t tag, size_t n, const uint8_t **out) const { return quorvane_tlv_find_fixed(p, len, tag, n, out) == 0; }
    bool bytes(uint8_t tag, size_t min, size_t max, const uint8_t **out, size_t *out_len) const {
        return quorvane_tlv_find_bytes(p, len, tag, min, max, out, out_len) == 0;
    }
    bool has(uint8_t tag) const { return quorvane_tlv_find(p, len, tag, nullptr, nullptr) != -5; }
};

// Header first, records appended, the length patched in by take().
struct qvs_frame_builder {
    std::vector<uint8_t> b;
    explicit qvs_frame_builder(uint8_t type) : b{QV_FRAME_MAGIC0, QV_FRAME_MAGIC1, QV_FRAME_VERSION, type, 0, 0, 0, 0} {}
    void put(uint8_t tag, const void *v, size_t n) {
        uint8_t head[QV_TLV_HEAD_LEN] = {tag};
        qv_bytes::put_be32(head + 1, static_cast<uint32_t>(n));
        b.insert(b.end(), head, head + QV_TLV_HEAD_LEN);
        const auto *p = static_cast<const uint8_t *>(v);
        if (n) b.insert(b.end(), p, p + n);
    }
    void put_u32(uint8_t tag, uint32_t v) {
        uint8_t be[4];
        qv_bytes::put_be32(be, v);
        put(tag, be, 4);
    }
    void put_u64(uint8_t tag, uint64_t v) {
        uint8_t be[8];
        qv_bytes::put_be64(be, v);
        put(tag, be, 8);
    }
    std::vector<uint8_t> take() {
        qv_bytes::put_be32(&b[4], static_cast<uint32_t>(b.size() - QV_FRAME_HEADER_LEN));
        return std::move(b);
    }
};
