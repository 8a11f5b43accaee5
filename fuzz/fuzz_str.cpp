// String utilities that read outside text, one target per parser chosen by
// FUZZ_STR: template expansion, wildcard matching, splitting and joining,
// UTF-8 validation. Inputs are exact-size zero-terminated copies, so a read
// past the terminator is caught.
#include "n_hash.h"
#include "n_str.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// The input up to its first zero byte, and the rest after it.
std::string head(const uint8_t *d, size_t n) { return std::string(reinterpret_cast<const char *>(d), strnlen(reinterpret_cast<const char *>(d), n)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!data) data = reinterpret_cast<const uint8_t *>("");
    const std::string first = head(data, size);
    const size_t rest_at = first.size() < size ? first.size() + 1 : size;
    const std::string second = head(data + rest_at, size - rest_at);
#if FUZZ_STR == 1  // template
    HASH_TABLE *t = new_ht(8);
    if (!t) return 0;
    (void)ht_put_string(t, "a", "x{{a}}");
    (void)ht_put_string(t, second.c_str(), "v");
    N_STR *out = n_str_template_expand(first.c_str(), t);
    check(out && out->written < out->length && out->data[out->written] == '\0');
    free_nstr_ptr_nolog(out);
    destroy_ht(&t);
#elif FUZZ_STR == 2  // wildmat: the first text is the pattern
    const int m = wildmat(second.c_str(), first.c_str());
    const int mc = wildmatcase(second.c_str(), first.c_str());
    check(m == 1 || m == 0 || m == -2);
    check(mc == 1 || mc == 0 || mc == -2);
    check(wildmat(first.c_str(), "*") == 1);
#elif FUZZ_STR == 3  // split on the second text, then join back
    if (second.empty()) return 0;
    char **tab = split(first.c_str(), second.c_str(), 1);
    check(tab != nullptr);
    char *joined = join(tab, second.c_str());
    check(joined && first == joined);
    free(joined);
    free_split_result(&tab);
    char **sparse = split(first.c_str(), second.c_str(), 0);
    check(sparse != nullptr);
    for (char **e = sparse; *e; e++) check(**e && !strstr(*e, second.c_str()));
    free_split_result(&sparse);
#elif FUZZ_STR == 4  // utf8
    // Valid text stays valid when doubled; a cut inside the input never
    // reads past the cut.
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    if (n_str_utf8_valid(bytes.data(), size)) check(n_str_utf8_valid((bytes + bytes).data(), 2 * size) == 1);
    const std::string cut = bytes.substr(0, size / 2);
    (void)n_str_utf8_valid(cut.data(), cut.size());
#else
#error "FUZZ_STR selects the parser"
#endif
    return 0;
}
