// Login-preference loader over arbitrary file contents: a refused file leaves
// an all-zero record; an accepted one holds terminated texts within their
// fields, flags of 0 or 1, a recent count of 0 to 8, a password only with the
// user name it was sealed for, and survives a save and a reload.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "client_loginprefs.h"
#include "fuzz_scratch.h"

namespace {

bool terminated(const char *s, size_t cap) { return memchr(s, 0, cap) != nullptr; }
bool is_flag(int32_t v) { return v == 0 || v == 1; }

void check(const quorvane_loginprefs &p) {
    if (!terminated(p.server, sizeof p.server) || !terminated(p.username, sizeof p.username) ||
        !terminated(p.password, sizeof p.password) || !terminated(p.quick_react, sizeof p.quick_react))
        __builtin_trap();
    if (p.recent_count < 0 || p.recent_count > 8) __builtin_trap();
    for (int i = 0; i < p.recent_count; i++)
        if (!terminated(p.recent[i], sizeof p.recent[i])) __builtin_trap();
    for (int32_t f : {p.remember_user, p.remember_password, p.link_previews, p.presence_public, p.notif_hide,
                      p.emoji_style, p.auto_signin, p.signed_out})
        if (!is_flag(f)) __builtin_trap();
    if (p.theme < -1 || p.theme > 255) __builtin_trap();
    // A file may carry a sealed password with its remember flag clear; the
    // loader keeps it (the next save drops it), but never without the user
    // name it was sealed for.
    if (p.password[0] && !p.username[0]) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string in = fuzz_scratch_file("in"), out = fuzz_scratch_file("out");
    FILE *f = fopen(in.c_str(), "wb");
    if (!f) __builtin_trap();
    if (size && fwrite(data, 1, size, f) != size) __builtin_trap();
    fclose(f);

    quorvane_loginprefs p, back;
    if (quorvane_loginprefs_load(in.c_str(), &p) != 0) {
        const auto *b = reinterpret_cast<const uint8_t *>(&p);
        for (size_t i = 0; i < sizeof p; i++)
            if (b[i]) __builtin_trap();
        return 0;
    }
    check(p);
    if (quorvane_loginprefs_save(out.c_str(), &p) != 0 || quorvane_loginprefs_load(out.c_str(), &back) != 0)
        __builtin_trap();
    check(back);
    bool user_kept = p.remember_user && p.username[0];
    // an entry whose text starts with a zero byte is empty and is not saved
    const char *kept[8];
    int32_t recent_kept = 0;
    for (int i = 0; i < p.recent_count; i++)
        if (p.recent[i][0]) kept[recent_kept++] = p.recent[i];
    if (strcmp(back.server, p.server) != 0 || strcmp(back.username, user_kept ? p.username : "") != 0 ||
        strcmp(back.password, user_kept && p.remember_password ? p.password : "") != 0 || back.recent_count != recent_kept ||
        back.theme != (p.theme < 0 || p.theme > 254 ? 0 : p.theme) || strcmp(back.quick_react, p.quick_react) != 0 ||
        back.notif_hide != p.notif_hide || back.signed_out != p.signed_out)
        __builtin_trap();
    for (int i = 0; i < recent_kept; i++)
        if (strcmp(back.recent[i], kept[i]) != 0) __builtin_trap();
    return 0;
}
