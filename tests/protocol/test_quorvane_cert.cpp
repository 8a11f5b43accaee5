// Self-signed certificate: checked by OpenSSL's command line (verify, a real
// s_server/s_client handshake) and by python3-cryptography, never by our own
// code; the key file's creation watched with strace and its failures injected.
#include "quorvane_crypto.h"

#include "net_test_helpers.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using qvtest::ChildProcess;
using qvtest::TempDir;

namespace {

// The subject: started with QV_CERT_SUBJECT set, this binary makes one
// certificate and exits before GoogleTest starts. Exit status: the result negated.
int run_subject() {
    const char *cert = getenv("QV_CERT_SUBJECT"), *key = getenv("QV_CERT_KEY");
    if (!cert) return 0;
    if (!key) _exit(100);
    _exit(-quorvane_selfsigned_cert(cert, key, "subject.test"));
}
[[maybe_unused]] const int subject_ran = run_subject();

std::map<std::string, std::string> inspect(const std::string &cert, const std::string &key) {
    std::string out;
    EXPECT_EQ(qvtest::run_python("cert_check.py", {cert, key}, "", &out), 0) << out;
    std::map<std::string, std::string> fields;
    std::istringstream in(out);
    std::string name, value;
    while (in >> name >> value) fields[name] = value;
    return fields;
}

TEST(SelfSignedCert, VerifiesAgainstItselfAndNamesTheCommonName) {
    ASSERT_TRUE(qvtest::have_program("openssl")) << "openssl not installed (Debian package openssl)";
    TempDir dir;
    std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
    long long before = time(nullptr);
    qvtest::UmaskScope wide_open(0);  // a default-mode key file would be 0666 here
    ASSERT_EQ(quorvane_selfsigned_cert(cert.c_str(), key.c_str(), "quorvane.test"), 0);
    long long after = time(nullptr);
    EXPECT_EQ(qvtest::mode_of(key), 0600u);

    std::string out;
    EXPECT_EQ(qvtest::run_command("openssl verify -CAfile '" + cert + "' '" + cert + "' 2>&1", &out), 0) << out;
    EXPECT_NE(out.find(": OK"), std::string::npos) << out;
    qvtest::run_command("openssl x509 -in '" + cert + "' -noout -subject -issuer -serial 2>&1", &out);
    EXPECT_NE(out.find("subject=CN = quorvane.test\n"), std::string::npos) << out;
    EXPECT_NE(out.find("issuer=CN = quorvane.test\n"), std::string::npos) << out;
    EXPECT_NE(out.find("serial=01\n"), std::string::npos) << out;
    // 3650 days from now: not expiring a minute before, expired a minute after.
    const long long days = 3650LL * 86400;
    EXPECT_EQ(qvtest::run_command("openssl x509 -in '" + cert + "' -noout -checkend " + std::to_string(days - 60) + " >/dev/null"), 0);
    EXPECT_EQ(qvtest::run_command("openssl x509 -in '" + cert + "' -noout -checkend " + std::to_string(days + 60) + " >/dev/null"), 1);

    auto f = inspect(cert, key);
    EXPECT_EQ(f["version"], "v3");
    EXPECT_EQ(f["serial"], "1");
    EXPECT_EQ(f["subject_cn"], "quorvane.test");
    EXPECT_EQ(f["issuer_cn"], "quorvane.test");
    EXPECT_EQ(f["subject_entries"], "1");
    EXPECT_EQ(f["curve"], "secp256r1");
    EXPECT_EQ(f["hash"], "sha256");
    EXPECT_EQ(f["key_matches"], "yes");
    EXPECT_EQ(f["signed_by_own_key"], "yes");
    long long nb = std::stoll(f["not_before"]), na = std::stoll(f["not_after"]);
    EXPECT_GE(nb, before - 1);
    EXPECT_LE(nb, after + 1);
    EXPECT_EQ(na - nb, days);

    // Null arguments.
    EXPECT_EQ(quorvane_selfsigned_cert(nullptr, key.c_str(), "x"), -3);
    EXPECT_EQ(quorvane_selfsigned_cert(cert.c_str(), nullptr, "x"), -3);
    EXPECT_EQ(quorvane_selfsigned_cert(cert.c_str(), key.c_str(), nullptr), -3);
}

// The pair carries a real handshake: OpenSSL's server serves it, OpenSSL's
// client verifies it with the certificate as its only trust anchor and the
// common name as the host.
TEST(SelfSignedCert, CarriesAnOpensslHandshake) {
    ASSERT_TRUE(qvtest::have_program("openssl")) << "openssl not installed (Debian package openssl)";
    TempDir dir;
    std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
    ASSERT_EQ(quorvane_selfsigned_cert(cert.c_str(), key.c_str(), "localhost"), 0);
    std::unique_ptr<ChildProcess> server;
    const int listening = qvtest::start_listening(
        [&](int p) {
            return std::vector<std::string>{"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(p), "-cert", cert, "-key", key,
                                            "-tls1_3", "-www", "-naccept", "1"};
        },
        "/dev/null", &server);
    ASSERT_NE(listening, 0);
    const std::string port = std::to_string(listening);
    std::string out;
    ASSERT_TRUE(qvtest::wait_until(
        [&] {
            qvtest::run_command("printf 'GET / HTTP/1.0\\r\\n\\r\\n' | timeout 60 openssl s_client -connect 127.0.0.1:" + port + " -CAfile '" + cert +
                                    "' -verify_hostname localhost -verify_return_error -ign_eof 2>&1",
                                &out);
            return out.find("HTTP/1.0 200 ok") != std::string::npos;
        },
        qvtest::kWaitMs))
        << out;
    EXPECT_NE(out.find("Verify return code: 0 (ok)"), std::string::npos) << out;
    EXPECT_NE(out.find("New, TLSv1.3"), std::string::npos) << out;
}

// The key file is created 0600 before the key's first byte is written, then
// synced; any failure after its creation removes it. The certificate written
// before stays.
TEST(SelfSignedCert, KeyFileIsPrivateFromItsCreationAndGoneOnFailure) {
    TempDir dir;
    std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");

    // A directory where the key should go: refused, the certificate is there.
    ASSERT_EQ(mkdir(key.c_str(), 0700), 0);
    EXPECT_EQ(quorvane_selfsigned_cert(cert.c_str(), key.c_str(), "dir.test"), -1);
    EXPECT_TRUE(qvtest::exists(cert));
    rmdir(key.c_str());
    unlink(cert.c_str());

    std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    qvtest::Traced r = qvtest::run_self_traced(dir, {"QV_CERT_SUBJECT=" + cert, "QV_CERT_KEY=" + key}, {key}, {});
    ASSERT_EQ(r.status, 0) << r.log;
    const char *steps[] = {"O_EXCL", "write(", "fsync(", "close("};
    size_t at = 0;
    for (const char *s : steps) {
        SCOPED_TRACE(s);
        size_t next = r.log.find(s, at);
        ASSERT_NE(next, std::string::npos) << r.log;
        at = next + 1;
    }
    size_t create = r.log.find("O_EXCL");
    EXPECT_NE(r.log.substr(create, r.log.find('\n', create) - create).find("0600"), std::string::npos) << r.log;
    EXPECT_EQ(r.log.find("chmod(\"" + key), std::string::npos) << r.log;  // no mode change after the fact

    struct Case {
        const char *name, *inject;
    } cases[] = {
        {"create fails", "openat,open:error=ENOSPC"},
        {"write fails", "write:error=EIO"},
        {"disk full", "write:error=ENOSPC"},
        {"sync fails", "fsync:error=EIO"},
        {"close fails", "close:error=EIO"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(cert.c_str());
        unlink(key.c_str());
        qvtest::Traced t = qvtest::run_self_traced(dir, {"QV_CERT_SUBJECT=" + cert, "QV_CERT_KEY=" + key}, {key}, {c.inject});
        EXPECT_NE(t.log.find("(INJECTED)"), std::string::npos) << t.log;
        EXPECT_EQ(t.status, 1) << t.log;
        EXPECT_TRUE(qvtest::exists(cert));
        EXPECT_FALSE(qvtest::exists(key));
    }
}

// Links planted at either file's name by someone who can write the directory
// never redirect our bytes: a symbolic link is refused and its target left
// alone, a hard link is replaced by a file of our own, so the file it shares
// an inode with keeps its bytes.
TEST(SelfSignedCert, PlantedLinksNeverRedirectEitherFile) {
    struct Case {
        const char *name;
        bool at_key, symbolic;
        int result;
    } cases[] = {
        {"symbolic link at the certificate's name", false, true, -1},
        {"hard link at the certificate's name", false, false, 0},
        {"symbolic link at the key's name", true, true, -1},
        {"hard link at the key's name", true, false, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string cert = dir.file("cert.pem"), key = dir.file("key.pem"), victim = dir.file("victim");
        qvtest::write_file(victim, "precious\n");
        ASSERT_EQ(chmod(victim.c_str(), 0644), 0);
        const std::string &planted = c.at_key ? key : cert;
        ASSERT_EQ(c.symbolic ? symlink(victim.c_str(), planted.c_str()) : link(victim.c_str(), planted.c_str()), 0);
        EXPECT_EQ(quorvane_selfsigned_cert(cert.c_str(), key.c_str(), "links.test"), c.result);
        EXPECT_EQ(qvtest::read_file(victim), "precious\n");
        EXPECT_EQ(qvtest::mode_of(victim), (mode_t)0644);
        struct stat st {};
        if (c.result == 0) {
            ASSERT_EQ(lstat(planted.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_nlink, 1u);
            EXPECT_EQ(qvtest::mode_of(key), (mode_t)0600);
            std::string out;
            EXPECT_EQ(qvtest::run_command("openssl verify -CAfile '" + cert + "' '" + cert + "' 2>&1", &out), 0) << out;
        }
    }
}

}  // namespace
