// Small text and name helpers shared by screens, application and engine:
// safe attachment names, MIME classes, the "last seen" line, user-name
// folding, checks, suggestions and numbering, the repair of doubly encoded
// UTF-8, whether a message needs markdown, and what an emoji-picker click
// does. Pure functions without state. Writers fill the caller's buffer and
// never write past its size; a null buffer or a size of 0 makes them write
// nothing and return 0. Results: 1 yes / written, 0 no / nothing.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t QV_USERNAME_MIN = 3;
constexpr size_t QV_USERNAME_MAX = 32;
constexpr uint8_t QV_MSG_TYPE_STICKER = 16;
constexpr const char *QV_SAFE_NAME_FALLBACK = "attachment.bin";

// Picker actions.
constexpr int QV_PICKER_INSERT = 0, QV_PICKER_REACT = 1, QV_PICKER_STICKER = 2;

void quorvane_safe_basename(const char *path, char *buf, size_t size);             // last path part, no control bytes
int  quorvane_is_video_mime(const char *mime);                                     // "video/..."
int  quorvane_is_image_mime(const char *mime);                                     // "image/..."
int  quorvane_file_shows_preview(const char *mime, int has_thumbnail);
int  quorvane_fmt_last_seen(int64_t last_seen, int64_t now, char *buf, size_t size);  // 0: nothing to show (empty buffer)
int  quorvane_username_fold(const char *name, char *buf, size_t size);            // 1 when the folded name is valid
int  quorvane_username_has_caps(const char *name);
int  quorvane_username_suggest(const char *display_name, char *buf, size_t size);  // size at least 4
int  quorvane_username_variant(const char *name, unsigned long number, char *buf, size_t size);  // number >= 2
int  quorvane_utf8_undouble(const char *text, char *buf, size_t size);           // 1 only when repaired
int  quorvane_msg_uses_markdown(uint8_t type, const char *text, size_t len);
int  quorvane_picker_action(int reacting, int sticker);

const char *quorvane_translit(uint32_t cp);  // U+00C0..U+017F to lower-case ASCII, "" when none, null outside
