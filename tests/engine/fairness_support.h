// Helpers of the server's hostile-load tests: accounts that cost no scrypt
// (a random auth value, one escrow record sealed once and shared), accounts,
// devices and conversations put straight into a store before the server
// starts.
#pragma once

#include "net_test_helpers.h"
#include "relay_support.h"
#include "server_handlers.h"
#include "server_store.h"

#include <cstdio>
#include <sys/resource.h>
#include <sys/stat.h>

namespace qvfair {

using namespace qvrelay;

// The server checks an escrow record's form, never its contents: one sealed
// record serves every account of a test binary.
inline const bytes &shared_escrow() {
    static const bytes rec = [] {
        Device d;
        bytes r(QVS_ESCROW_LEN);
        EXPECT_EQ(quorvane_escrow_seal_pw("pw", "anyone", d.id_priv, r.data()), 0);
        return r;
    }();
    return rec;
}

// An account with a random auth value and `devices` devices of one identity.
struct User {
    Account acct;
    std::vector<std::unique_ptr<Device>> devs;
    bytes uid;
    explicit User(const std::string &name, size_t devices = 1) : acct(name, random_bytes(32)) {
        for (size_t i = 1; i < devices; i++) devs.push_back(std::make_unique<Device>(acct.first));
    }
    const Device &dev(size_t i) const { return i == 0 ? acct.first : *devs[i - 1]; }
    size_t count() const { return devs.size() + 1; }
    std::vector<const Device *> all() const {
        std::vector<const Device *> r{&acct.first};
        for (auto &d : devs) r.push_back(d.get());
        return r;
    }
};

// Registers one device of the account over the network (from the loopback
// address `from`, else the default): the status, or a negative number when no answer came.
inline int enroll_device(ServerProc &srv, const Account &a, const Device &d, const char *from = nullptr) {
    Client c;
    const bytes p = cat({tlv_text(1, a.name), tlv(2, a.auth), tlv(3, b(d.id_pub, 32)), tlv(4, b(d.x_pub, 32)), tlv(5, b(d.ed_pub, 32)),
                         tlv(6, b(d.cert, 64)), tlv(80, shared_escrow())});
    if (!c.connect_to(srv.port, from) || !c.send(2, p)) return -1;
    const bytes f = c.read();
    const bytes s = find(f, 10);
    return f.size() < 8 || f[3] != 130 || s.size() != 1 ? -2 : s[0];
}

// Registers every device of the user; the status of the first that failed, else 0.
inline int enroll(ServerProc &srv, User &u) {
    for (size_t i = 0; i < u.count(); i++)
        if (int r = enroll_device(srv, u.acct, u.dev(i)); r != 0) return r;
    return 0;
}

// A store of the server's data directory, opened before the server's first
// start; accounts and conversations put in it go in one transaction.
struct Seeder {
    qvs_store *st = nullptr;
    explicit Seeder(ServerProc &srv) {
        mkdir(srv.data.c_str(), 0700);
        st = qvs_store_open((srv.data + "/quorvane.db").c_str());
        EXPECT_NE(st, nullptr);
    }
    ~Seeder() { qvs_store_close(st); }
    void account(User &u) {
        qvs_account a{};
        a.name = u.acct.name;
        u.uid = random_bytes(16);
        std::memcpy(a.user_id, u.uid.data(), 16);
        EXPECT_EQ(quorvane_random(a.auth_salt, QVS_SALT_LEN), 0);
        EXPECT_EQ(qvs_auth_hash(a.auth_salt, u.acct.auth.data(), a.auth_hash), 0);
        std::memcpy(a.identity_pub, u.acct.first.id_pub, 32);
        std::memcpy(a.pw_escrow, shared_escrow().data(), QVS_ESCROW_LEN);
        for (size_t i = 0; i < u.count(); i++) {
            qvs_device d{};
            std::memcpy(d.x25519_pub, u.dev(i).x_pub, 32);
            std::memcpy(d.ed25519_pub, u.dev(i).ed_pub, 32);
            std::memcpy(d.cert, u.dev(i).cert, 64);
            EXPECT_EQ(i == 0 ? qvs_account_create(st, &a, &d) : qvs_device_add(st, a.user_id, &d), 0) << u.acct.name;
        }
    }
    // A conversation of the given users, with a random key sealed to each.
    bytes conv(const std::vector<const User *> &users) {
        bytes id = random_bytes(16);
        std::vector<qvs_conv_member> members;
        for (const User *u : users) {
            qvs_conv_member m{};
            std::memcpy(m.user_id, u->uid.data(), 16);
            bytes sealed = random_bytes(QVS_SEALED_KEY_LEN);
            std::memcpy(m.sealed, sealed.data(), QVS_SEALED_KEY_LEN);
            members.push_back(m);
        }
        EXPECT_EQ(qvs_conv_create(st, id.data(), members, {}), 0);
        return id;
    }
};

// A group of `first` and `others` new users of five devices each, put in
// the store before the server's first start; the group's id.
inline bytes seed_group(ServerProc &srv, User &first, size_t others, std::vector<std::unique_ptr<User>> *users) {
    Seeder seed(srv);
    seed.account(first);
    std::vector<const User *> members{&first};
    for (size_t i = 0; i < others; i++) {
        char name[32];
        std::snprintf(name, sizeof name, "s%zu", i);
        users->push_back(std::make_unique<User>(name, QVS_MAX_DEVICES));
        seed.account(*users->back());
        members.push_back(users->back().get());
    }
    return seed.conv(members);
}

using qvnettest::proc_kib;

// Descriptors enough for `n` sockets in this process and in the server it
// starts (which inherits the limit); false when the hard limit is lower.
inline bool raise_fd_limit(rlim_t n) {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_max < n) return false;
    if (r.rlim_cur >= n) return true;
    r.rlim_cur = n;
    return setrlimit(RLIMIT_NOFILE, &r) == 0;
}

}  // namespace qvfair
