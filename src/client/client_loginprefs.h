// Login preferences: the settings needed before any account is open (last
// server and user, remembered password, recent servers, start-up settings), in
// one small binary file at the data directory's root, replaced atomically.
// Results: 0 ok, -1 failure. The record is the caller's; it may hold the
// remembered password in clear, so the caller wipes it after use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr uint8_t QV_LOGINPREFS_FORMAT     = 9;     // the only format written; 1 to 8 are read
constexpr size_t  QV_LOGINPREFS_FILE_MAX   = 4096;  // files this long or longer are refused
constexpr size_t  QV_LOGINPREFS_SERVER_MAX = 127;
constexpr size_t  QV_LOGINPREFS_USER_MAX   = 32;
constexpr size_t  QV_LOGINPREFS_PASS_MAX   = 255;
constexpr size_t  QV_LOGINPREFS_RECENT_MAX = 8;
constexpr size_t  QV_LOGINPREFS_REACT_MAX  = 32;
constexpr int     QV_LOGINPREFS_THEME_MAX  = 254;   // one byte; a theme outside 0..254 is stored as 0

inline constexpr std::string_view LOGINPREFS_KEY_LABEL = "quorvane-loginprefs-v1";
static_assert(LOGINPREFS_KEY_LABEL.size() == 22);

// The longest file save can produce: header, password block, flags, recent
// list, tail. It must stay below the size that load refuses.
static_assert(3 + (1 + QV_LOGINPREFS_SERVER_MAX) + (1 + QV_LOGINPREFS_USER_MAX) + 1 + (16 + 16 + 1 + QV_LOGINPREFS_PASS_MAX) +
                  4 + QV_LOGINPREFS_RECENT_MAX * (1 + QV_LOGINPREFS_SERVER_MAX) + 4 + (1 + QV_LOGINPREFS_REACT_MAX) <
              QV_LOGINPREFS_FILE_MAX);

struct quorvane_loginprefs {
    char    server[QV_LOGINPREFS_SERVER_MAX + 1];  // as typed: host, optionally ":port"
    char    username[QV_LOGINPREFS_USER_MAX + 1];
    int32_t remember_user;
    int32_t remember_password;
    char    password[QV_LOGINPREFS_PASS_MAX + 1];  // secret; sealed on disk under a key any holder of the user name can derive
    int32_t link_previews;
    int32_t presence_public;
    int32_t notif_hide;                            // for the worker's notification-hiding setting
    char    recent[QV_LOGINPREFS_RECENT_MAX][QV_LOGINPREFS_SERVER_MAX + 1];  // most recent first
    int32_t recent_count;                          // 0 to 8
    int32_t theme;                                 // -1 when none is stored
    int32_t emoji_style;                           // 0 own set, 1 "Noto"
    int32_t auto_signin;
    int32_t signed_out;
    char    quick_react[QV_LOGINPREFS_REACT_MAX + 1];
};

// Load zeroes the record first; damage after the header only shortens what is
// read (later fields keep their defaults), and a password that does not
// unseal is dropped with remember_password cleared. -1 leaves it all zero.
[[nodiscard]] int quorvane_loginprefs_load(const char *path, quorvane_loginprefs *p);
[[nodiscard]] int quorvane_loginprefs_save(const char *path, const quorvane_loginprefs *p);  // format 9, mode 0600, old file or new, never a mix
void              quorvane_loginprefs_touch_server(quorvane_loginprefs *p, const char *server);  // to the front of the recent list
[[nodiscard]] int quorvane_loginprefs_device_choices(const char *pin_path, int *notif_hide,
                                                     int *presence_public);  // both 1 unless the file of the pin's data directory says otherwise
