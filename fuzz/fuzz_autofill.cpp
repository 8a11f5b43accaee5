// Autofill entry parser on any text, into output buffers whose sizes come from
// the input. Whatever parses is normalised (no blanks, controls, DEL or ASCII
// capitals; no "@" in the server) and comes back unchanged when composed into
// an entry and parsed again; a refusal leaves both outputs empty.
#include "client_autofill.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

bool normalised(const char *s, bool server) {
    for (; *s; s++) {
        const unsigned char c = static_cast<unsigned char>(*s);
        if (c <= 0x20 || c == 0x7f || (c >= 'A' && c <= 'Z') || (server && c == '@')) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const size_t user_cap = 1 + (data[0] & 0x7f) * 4, server_cap = 1 + (data[1] & 0x7f) * 4;
    const std::string entry(reinterpret_cast<const char *>(data + 2), size - 2);  // c_str() stops at a zero byte
    std::vector<char> user(user_cap, 'X'), server(server_cap, 'X');

    const int kind = quorvane_af_parse(entry.c_str(), user.data(), user_cap, server.data(), server_cap);
    check(kind >= 0 && kind <= QV_AF_RECOVERY);
    if (kind == 0) {
        check(user[0] == '\0' && server[0] == '\0');
        return 0;
    }
    check(std::strlen(user.data()) < user_cap && std::strlen(server.data()) < server_cap);
    check(user[0] != '\0' && normalised(user.data(), false) && normalised(server.data(), true));
    check(server[0] == '\0' || std::strchr(server.data(), ':'));

    char again[1024];
    const int rc = kind == QV_AF_RECOVERY ? quorvane_af_compose_recovery(user.data(), server.data(), again, sizeof again)
                                          : quorvane_af_compose(user.data(), server.data(), again, sizeof again);
    // Compose normalises into 320-byte buffers; parse writes into the caller's,
    // so a server that took the whole of a larger one cannot be composed again.
    if (rc != 0) {
        check(std::strlen(server.data()) >= QV_AF_PART_BUF);
        return 0;
    }
    if (std::strlen(again) > QV_AF_ENTRY_MAX) return 0;
    char user2[1024], server2[1024];
    check(quorvane_af_parse(again, user2, sizeof user2, server2, sizeof server2) == kind);
    check(std::strcmp(user.data(), user2) == 0 && std::strcmp(server.data(), server2) == 0);
    return 0;
}
