// A private scratch directory for targets that go through real files: made
// with mkdtemp under $TMPDIR (or /tmp), so nobody else can plant a name in
// it, and removed with whatever is left in it when the target exits.
#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fuzz_scratch_detail {
inline std::string &dir() {
    static std::string d;
    return d;
}
inline void remove_all() {
    const std::string &d = dir();
    if (d.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(d, ec);  // targets make directories of their own in it (stores, caches)
}
}  // namespace fuzz_scratch_detail

// "<private dir>/<name>"; the directory is made on first use.
inline std::string fuzz_scratch_file(const char *name) {
    std::string &d = fuzz_scratch_detail::dir();
    if (d.empty()) {
        const char *t = getenv("TMPDIR");
        std::string tmpl = std::string(t && *t ? t : "/tmp") + "/qv-fuzz.XXXXXX";
        if (!mkdtemp(tmpl.data())) __builtin_trap();
        d = tmpl;
        atexit(fuzz_scratch_detail::remove_all);
    }
    return d + "/" + name;
}
