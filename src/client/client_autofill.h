// The login form's helpers: autofill entries ("user@host:port", optionally
// marked for account recovery) composed and taken apart, and passphrase
// suggestions of random four-letter words. Results 0 / -1, except parse (its
// kind, 0 on failure) and the word-list queries. Outputs are caller buffers,
// emptied on failure; a passphrase buffer is wiped whole when generation fails.
#pragma once

#include <cstddef>
#include <cstdint>

// Entry = [ "recovery · " ] user [ "@" server ]; a server without a port gets ":7420".
constexpr char     QV_AF_RECOVERY_PREFIX[] = "recovery \xc2\xb7 ";
constexpr size_t   QV_AF_RECOVERY_PREFIX_LEN = sizeof QV_AF_RECOVERY_PREFIX - 1;
constexpr char     QV_AF_DEFAULT_PORT[] = "7420";
constexpr size_t   QV_AF_ENTRY_MAX = 319;   // longer entries are refused
constexpr size_t   QV_AF_EMAIL_MAX = 254;
constexpr size_t   QV_AF_PART_BUF  = 320;   // user and server are normalised in buffers of this size
constexpr int      QV_AF_PLAIN     = 1;     // parse kinds
constexpr int      QV_AF_RECOVERY  = 2;
static_assert(QV_AF_RECOVERY_PREFIX_LEN == 12);

// user: a user name (folded: trimmed, lower-cased, 3-32 of a-z 0-9 . _ -) or an
// e-mail address (trimmed, lower-cased, one "@", a "." after it). A server that
// is blank leaves the user alone.
[[nodiscard]] int quorvane_af_compose(const char *user, const char *server, char *out, size_t cap);
[[nodiscard]] int quorvane_af_compose_recovery(const char *user, const char *server, char *out, size_t cap);
[[nodiscard]] int quorvane_af_parse(const char *entry, char *user_out, size_t user_cap, char *server_out,
                                    size_t server_cap);  // QV_AF_PLAIN, QV_AF_RECOVERY, 0 refused

// Passphrases: words consonant-vowel-consonant-vowel of two different syllables,
// 4830 in all, numbered by their syllables, less 34 blocked ones; joined by "-".
constexpr size_t QV_PASSPHRASE_WORD_LEN  = 4;
constexpr size_t QV_PASSPHRASE_WORDS_ALL = 4830;
constexpr size_t QV_PASSPHRASE_WORDS     = 4796;   // allowed
constexpr size_t QV_PASSPHRASE_SUGGEST   = 7;      // words the login form suggests: 34 characters, 35-byte buffer

int    quorvane_passphrase_blocked(const char *text);  // 1 when its first four bytes are a blocked word
size_t quorvane_passphrase_count(void);                // allowed words
[[nodiscard]] int quorvane_passphrase_word(size_t k, char out[5]);  // allowed word k, terminated; -1 past the end
[[nodiscard]] int quorvane_passphrase_generate(size_t n, char *out, size_t cap);  // needs cap >= 5n; 5n - 1 characters
