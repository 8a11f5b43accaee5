// quorvane-server [--data DIR] [--listen HOST:PORT] [--registrations-per-address N]
#include "n_log.h"
#include "server_loop.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

std::string default_data_dir() {
    const char *xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/quorvane-server";
    const char *home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/share/quorvane-server";
}

void usage(FILE *to) {
    std::fprintf(to, "usage: quorvane-server [--data DIR] [--listen HOST:PORT] [--registrations-per-address N]\n"
                     "  --data DIR          keys and database (default: %s)\n"
                     "  --listen HOST:PORT  address to listen on (default: 127.0.0.1:7420)\n"
                     "  --registrations-per-address N\n"
                     "                      new accounts one address (IPv6: one /64) may make a day\n"
                     "                      (default: %llu; 0: no bound)\n",
                 default_data_dir().c_str(), static_cast<unsigned long long>(QVS_REGISTRATIONS_PER_ADDRESS));
}

// A count of decimal digits only, within what the server keeps.
bool parse_count(const std::string &v, uint64_t *out) {
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = std::strtoull(v.c_str(), nullptr, 10);
    return true;
}

#ifdef QV_SERVER_TEST_KNOBS
int env_int(const char *name) {
    const char *v = std::getenv(name);
    return v ? std::atoi(v) : 0;
}
#endif

}  // namespace

int main(int argc, char **argv) {
    qvs_server_options opts;
    opts.data_dir = default_data_dir();
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if ((a == "--data" || a == "--listen" || a == "--registrations-per-address") && i + 1 < argc) {
            std::string v = argv[++i];
            if (a == "--registrations-per-address") {
                if (!parse_count(v, &opts.registrations_per_address)) {
                    usage(stderr);
                    return 2;
                }
            } else if (a == "--data") {
                opts.data_dir = v;
            } else {
                size_t colon = v.rfind(':');
                if (colon == std::string::npos || colon == 0 || colon + 1 == v.size()) {
                    usage(stderr);
                    return 2;
                }
                opts.host = v.substr(0, colon);
                opts.port = v.substr(colon + 1);
                if (opts.host.size() > 2 && opts.host.front() == '[' && opts.host.back() == ']')
                    opts.host = opts.host.substr(1, opts.host.size() - 2);
            }
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 2;
        }
    }
#ifdef QV_SERVER_TEST_KNOBS
    opts.knobs.refuse = static_cast<uint8_t>(env_int("QVS_TEST_REFUSE"));
    opts.knobs.silent = env_int("QVS_TEST_SILENT");
    opts.knobs.split = env_int("QVS_TEST_SPLIT");
    opts.knobs.reset = env_int("QVS_TEST_RESET");
    if (const char *clock = std::getenv("QVS_TEST_CLOCK_MS")) opts.knobs.clock_ms = std::strtoull(clock, nullptr, 10);
    if (const char *limit = std::getenv("QVS_TEST_HANDSHAKE_MS")) opts.knobs.handshake_limit_ms = std::strtoull(limit, nullptr, 10);
    opts.knobs.work_log = std::getenv("QVS_TEST_WORK_LOG");
    if (std::getenv("QVS_TEST_LOGIN_REFUSE")) opts.knobs.login_refuse = env_int("QVS_TEST_LOGIN_REFUSE") & 0xff;
#endif
    umask(077);  // the database holds the accounts: nobody else reads it
    set_log_level(LOG_INFO);
    return qvs_server_run(opts);
}
