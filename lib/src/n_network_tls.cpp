// TLS contexts, certificates and handshakes beyond the non-blocking client
// road: server contexts with fixed defaults, certificates and keys from files
// or PEM text, CA locations, ciphers, client certificates, ALPN offer and
// selection, per-name certificates chosen at SNI time, the blocking client and
// server handshakes and after-the-fact checks of the peer's certificate.
#include "n_network.h"

#include "n_log.h"
#include "n_network_internal.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

constexpr const char *kNoCtx = "SSL context not initialized, call netw_set_crypto first";

// A read-only BIO over a NUL-terminated PEM text.
BioPtr pem_bio(const char *text) { return BioPtr(BIO_new_mem_buf(text, -1), BIO_free); }

// After the last PEM object of a text OpenSSL queues "no start line": the end
// of the input, not an error.
void forget_pem_end() {
    unsigned long e = ERR_peek_last_error();
    if (ERR_GET_LIB(e) == ERR_LIB_PEM && ERR_GET_REASON(e) == PEM_R_NO_START_LINE) ERR_clear_error();
}

int ctx_required(NETWORK *netw, const char *text) {
    N_ASSERT(netw, return 0);
    N_ASSERT(netw->ctx, {
        n_log(LOG_ERR, "%s", text);
        return 0;
    });
    return 1;
}

// A fresh server-capable context with the modes, the defaults and no tickets.
SSL_CTX *server_capable_ctx(const SSL_METHOD *method) {
    netw_init_openssl();
    SSL_CTX *ctx = SSL_CTX_new(method);
    if (!ctx) return nullptr;
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!_netw_ssl_server_defaults(ctx) || SSL_CTX_set_num_tickets(ctx, 0) != 1) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

// The connection's own context is replaced, never leaked.
void drop_ctx(NETWORK *netw) {
    if (netw->ctx) SSL_CTX_free(netw->ctx);
    netw->ctx = nullptr;
}

}  // namespace

// ---------------------------------------------------------------- contexts

int _netw_ssl_server_defaults(SSL_CTX *ctx) {
    N_ASSERT(ctx, return 0);
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_TICKET | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_SSLv3 |
                                 SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
        n_log(LOG_ERR, "SSL_CTX_set_min_proto_version(TLS 1.2) failed");
        return 0;
    }
    if (SSL_CTX_set_cipher_list(ctx, "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL") != 1) {
        n_log(LOG_ERR, "SSL_CTX_set_cipher_list(secure defaults) failed");
        return 0;
    }
    if (SSL_CTX_set1_groups_list(ctx, "X25519:P-256:P-384") != 1) {
        n_log(LOG_ERR, "SSL_CTX_set1_groups_list(secure defaults) failed");
        return 0;
    }
    return 1;
}

SSL_CTX *netw_ssl_server_ctx_new(const char *key_file, const char *cert_chain_file) {
    N_ASSERT(key_file, return nullptr);
    N_ASSERT(cert_chain_file, return nullptr);
    SSL_CTX *ctx = server_capable_ctx(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, cert_chain_file) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key_file, SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        n_log(LOG_ERR, "netw_ssl_server_ctx_new: cannot load %s / %s, or they do not match", cert_chain_file, key_file);
        netw_ssl_print_errors(-1);
        if (ctx) SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

int netw_set_crypto(NETWORK *netw, const char *key, const char *certificate) {
    N_ASSERT(netw, return 0);
    if (key && key[0]) {
        char *copy = strdup(key);
        if (!copy) {
            n_log(LOG_ERR, "strdup failed for key in netw_set_crypto");
            return 0;
        }
        free(netw->key);
        netw->key = copy;
    }
    if (certificate && certificate[0]) {
        char *copy = strdup(certificate);
        if (!copy) {
            n_log(LOG_ERR, "strdup failed for certificate in netw_set_crypto");
            return 0;
        }
        free(netw->certificate);
        netw->certificate = copy;
    }
    if (!key || !certificate) return 1;

    drop_ctx(netw);
    netw->method = TLS_method();
    netw->ctx = server_capable_ctx(netw->method);
    if (!netw->ctx || SSL_CTX_load_verify_locations(netw->ctx, nullptr, "/etc/ssl/certs/") != 1 ||
        SSL_CTX_use_certificate_file(netw->ctx, certificate, SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(netw->ctx, key, SSL_FILETYPE_PEM) != 1) {
        netw_ssl_print_errors(netw->link.sock);
        drop_ctx(netw);
        return 0;
    }
    netw_switch_to_tls(netw);
    return 1;
}

int netw_set_crypto_pem(NETWORK *netw, const char *key_pem, const char *cert_pem) {
    N_ASSERT(netw, return 0);
    N_ASSERT(key_pem, return 0);
    N_ASSERT(cert_pem, return 0);
    drop_ctx(netw);
    netw->method = TLS_method();
    netw->ctx = server_capable_ctx(netw->method);
    const char *failure = nullptr;
    if (!netw->ctx) {
        failure = "SSL_CTX_new failed";
    } else {
        BioPtr cb = pem_bio(cert_pem);
        X509Ptr cert(cb ? PEM_read_bio_X509(cb.get(), nullptr, nullptr, nullptr) : nullptr, X509_free);
        if (!cb) failure = "Failed to create BIO for certificate PEM";
        else if (!cert || SSL_CTX_use_certificate(netw->ctx, cert.get()) != 1) failure = "Failed to parse certificate PEM";
        if (!failure) {
            BioPtr kb = pem_bio(key_pem);
            PkeyPtr pkey(kb ? PEM_read_bio_PrivateKey(kb.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
            // OpenSSL refuses a key of another certificate as it is put to use,
            // before the check that would name it: the pair is compared first.
            if (!kb) failure = "Failed to create BIO for key PEM";
            else if (!pkey) failure = "Failed to parse private key PEM";
            else if (X509_check_private_key(cert.get(), pkey.get()) != 1) failure = "Private key does not match the certificate";
            else if (SSL_CTX_use_PrivateKey(netw->ctx, pkey.get()) != 1) failure = "Failed to parse private key PEM";
        }
    }
    if (failure) {
        n_log(LOG_ERR, "%s", failure);
        netw_ssl_print_errors(netw->link.sock);
        drop_ctx(netw);
        return 0;
    }
    netw_switch_to_tls(netw);
    return 1;
}

int netw_set_crypto_chain(NETWORK *netw, const char *key, const char *certificate, const char *ca_file) {
    N_ASSERT(netw, return 0);
    N_ASSERT(key, return 0);
    N_ASSERT(certificate, return 0);
    N_ASSERT(ca_file, return 0);
    if (!netw_set_crypto(netw, key, certificate)) return 0;
    if (SSL_CTX_use_certificate_chain_file(netw->ctx, certificate) != 1) {
        n_log(LOG_ERR, "Failed to load certificate chain from %s", certificate);
        netw_ssl_print_errors(netw->link.sock);
        return 0;
    }
    if (SSL_CTX_load_verify_locations(netw->ctx, ca_file, nullptr) != 1) {
        n_log(LOG_ERR, "Failed to load CA file %s", ca_file);
        netw_ssl_print_errors(netw->link.sock);
        return 0;
    }
    return 1;
}

int netw_set_crypto_chain_pem(NETWORK *netw, const char *key_pem, const char *cert_pem, const char *ca_pem) {
    N_ASSERT(netw, return 0);
    N_ASSERT(key_pem, return 0);
    N_ASSERT(cert_pem, return 0);
    N_ASSERT(ca_pem, return 0);
    if (!netw_set_crypto_pem(netw, key_pem, cert_pem)) return 0;

    BioPtr cab = pem_bio(ca_pem);
    if (!cab) {
        n_log(LOG_ERR, "Failed to create BIO for CA PEM");
        return 0;
    }
    X509_STORE *store = SSL_CTX_get_cert_store(netw->ctx);
    if (!store) {
        n_log(LOG_ERR, "Failed to get certificate store from SSL context");
        return 0;
    }
    int loaded = 0;
    for (;;) {
        X509Ptr ca(PEM_read_bio_X509(cab.get(), nullptr, nullptr, nullptr), X509_free);
        if (!ca) break;
        if (X509_STORE_add_cert(store, ca.get()) != 1) {
            n_log(LOG_ERR, "Failed to add CA certificate to store");
            netw_ssl_print_errors(netw->link.sock);
            return 0;
        }
        loaded++;
    }
    forget_pem_end();
    if (loaded == 0) {
        n_log(LOG_ERR, "No CA certificates were loaded from PEM string");
        netw_ssl_print_errors(netw->link.sock);
        return 0;
    }

    // The leaf is already in use; what follows it is the chain.
    BioPtr cb = pem_bio(cert_pem);
    if (cb) {
        X509Ptr leaf(PEM_read_bio_X509(cb.get(), nullptr, nullptr, nullptr), X509_free);
        for (X509 *extra; leaf && (extra = PEM_read_bio_X509(cb.get(), nullptr, nullptr, nullptr)) != nullptr;) {
            if (SSL_CTX_add_extra_chain_cert(netw->ctx, extra) != 1) {  // takes the certificate only on success
                n_log(LOG_ERR, "Failed to add chain certificate");
                X509_free(extra);
            }
        }
    }
    forget_pem_end();
    ERR_clear_error();
    return 1;
}

int _ssl_use_pem(SSL *ssl, const char *key_text, const char *cert_text) {
    if (!ssl || !key_text || !cert_text) return -1;
    BioPtr cb = pem_bio(cert_text);
    X509Ptr cert(cb ? PEM_read_bio_X509(cb.get(), nullptr, nullptr, nullptr) : nullptr, X509_free);
    if (!cert || SSL_use_certificate(ssl, cert.get()) != 1) return -1;
    BioPtr kb = pem_bio(key_text);
    PkeyPtr pkey(kb ? PEM_read_bio_PrivateKey(kb.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
    if (!pkey || SSL_use_PrivateKey(ssl, pkey.get()) != 1) return -1;
    return SSL_check_private_key(ssl) == 1 ? 0 : -1;
}

int netw_set_crypto_pem_ctx(NETWORK *netw, N_STR *key_pem, N_STR *cert_pem) {
    N_ASSERT(netw, return 0);
    N_ASSERT(netw->ssl, return 0);
    N_ASSERT(key_pem && key_pem->data, return 0);
    N_ASSERT(cert_pem && cert_pem->data, return 0);
    if (_ssl_use_pem(netw->ssl, key_pem->data, cert_pem->data) != 0) {
        netw_ssl_print_errors(netw->link.sock);
        return 0;
    }
    return 1;
}

int netw_ssl_set_ca(NETWORK *netw, const char *ca_file, const char *ca_path) {
    if (!ctx_required(netw, kNoCtx)) return 0;
    if (!ca_file && !ca_path) {
        n_log(LOG_ERR, "At least one of ca_file or ca_path must be specified");
        return 0;
    }
    if (SSL_CTX_load_verify_locations(netw->ctx, ca_file, ca_path) != 1) {
        NETW_RECORD_ERR(netw, "Failed to load CA from file=%s path=%s", txt(ca_file), txt(ca_path));
        netw_ssl_print_errors(netw->link.sock);
        return 0;
    }
    return 1;
}

int netw_ssl_set_ciphers(NETWORK *netw, const char *cipher_list, const char *ciphersuites) {
    if (!ctx_required(netw, kNoCtx)) return 0;
    if (cipher_list && cipher_list[0] && SSL_CTX_set_cipher_list(netw->ctx, cipher_list) != 1) {
        n_log(LOG_ERR, "SSL_CTX_set_cipher_list(%s) failed: no cipher matched", cipher_list);
        netw_ssl_print_errors(netw->link.sock);
        return 0;
    }
    if (ciphersuites && ciphersuites[0] && SSL_CTX_set_ciphersuites(netw->ctx, ciphersuites) != 1) {
        n_log(LOG_ERR, "SSL_CTX_set_ciphersuites(%s) failed", ciphersuites);
        netw_ssl_print_errors(netw->link.sock);
        return 0;
    }
    return 1;
}

int netw_ssl_set_client_cert(NETWORK *netw, const char *cert_file, const char *key_file) {
    if (!ctx_required(netw, "SSL context not initialized")) return 0;
    N_ASSERT(cert_file, return 0);
    const char *key = key_file ? key_file : cert_file;
    if (SSL_CTX_use_certificate_file(netw->ctx, cert_file, SSL_FILETYPE_PEM) != 1) {
        NETW_RECORD_ERR(netw, "Failed to load client certificate from %s", cert_file);
    } else if (SSL_CTX_use_PrivateKey_file(netw->ctx, key, SSL_FILETYPE_PEM) != 1) {
        NETW_RECORD_ERR(netw, "Failed to load client private key from %s", key);
    } else if (SSL_CTX_check_private_key(netw->ctx) != 1) {
        NETW_RECORD_ERR(netw, "Client certificate and private key do not match");
    } else {
        return 1;
    }
    netw_ssl_print_errors(netw->link.sock);
    return 0;
}

// ---------------------------------------------------------------- ALPN and SNI

int netw_ssl_set_alpn(NETWORK *netw, const char **protos, int count) {
    N_ASSERT(netw, return 0);
    N_ASSERT(protos, return 0);
    if (!ctx_required(netw, "SSL context not initialized, call netw_ssl_start_client first")) return 0;
    unsigned char wire[NETW_ALPN_WIRE_MAX];
    size_t used = 0;
    bool valid = count > 0;
    for (int i = 0; valid && i < count; i++) {
        size_t len = protos[i] ? strlen(protos[i]) : 0;
        if (len == 0 || len > (size_t)NETW_ALPN_NAME_MAX || used + 1 + len > sizeof wire) {
            valid = false;
            break;
        }
        wire[used++] = (unsigned char)len;
        memcpy(wire + used, protos[i], len);
        used += len;
    }
    if (!valid) {
        n_log(LOG_ERR, "invalid ALPN protocol list");
        return 0;
    }
    if (SSL_CTX_set_alpn_protos(netw->ctx, wire, (unsigned)used) != 0) {  // 0 is success here
        n_log(LOG_ERR, "OpenSSL refused the ALPN protocol list");
        netw_ssl_print_errors(netw->link.sock);
        return 0;
    }
    return 1;
}

int netw_ssl_get_alpn(NETWORK *netw, char *out, size_t out_len) {
    if (out && out_len) out[0] = '\0';
    N_ASSERT(netw, return 0);
    N_ASSERT(out, return 0);
    if (!netw->ssl || out_len < 2) return 0;
    const unsigned char *proto = nullptr;
    unsigned int len = 0;
    SSL_get0_alpn_selected(netw->ssl, &proto, &len);
    if (!proto || len == 0 || len >= out_len) return 0;
    memcpy(out, proto, len);
    out[len] = '\0';
    return 1;
}

const char *netw_ssl_get_sni(NETWORK *netw) {
    N_ASSERT(netw, return nullptr);
    if (!netw->ssl) return nullptr;
    return SSL_get_servername(netw->ssl, TLSEXT_NAMETYPE_host_name);
}

// The client's list is outside input: every length byte is checked against
// what is left of the list before the entry is read.
int _netw_alpn_select_cb(SSL *, const unsigned char **out, unsigned char *outlen, const unsigned char *in, unsigned int inlen,
                         void *arg) {
    const auto *sel = static_cast<const NETW_SNI_SELECT *>(arg);
    if (!sel || !sel->alpn || !in || !out || !outlen) return SSL_TLSEXT_ERR_NOACK;
    for (int i = 0; i < sel->alpn_count; i++) {
        const char *mine = sel->alpn[i];
        size_t mine_len = mine ? strlen(mine) : 0;
        if (mine_len == 0 || mine_len > (size_t)NETW_ALPN_NAME_MAX) continue;
        for (unsigned int pos = 0; pos < inlen;) {
            unsigned int len = in[pos];
            if (len == 0 || len > inlen - pos - 1) break;
            if (len == mine_len && memcmp(in + pos + 1, mine, len) == 0) {
                *out = in + pos + 1;
                *outlen = (unsigned char)len;
                return SSL_TLSEXT_ERR_OK;
            }
            pos += 1 + len;
        }
    }
    return SSL_TLSEXT_ERR_NOACK;
}

int _netw_sni_servername_cb(SSL *ssl, int *, void *arg) {
    const auto *sel = static_cast<const NETW_SNI_SELECT *>(arg);
    if (!sel || !sel->pick) return SSL_TLSEXT_ERR_OK;
    N_STR *cert_pem = nullptr, *key_pem = nullptr;
    int picked = sel->pick(SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name), &cert_pem, &key_pem, sel->user);
    bool used = picked == 0 && cert_pem && key_pem && cert_pem->data && key_pem->data &&
                _ssl_use_pem(ssl, key_pem->data, cert_pem->data) == 0;
    if (picked == 0) {
        free_nstr(&cert_pem);
        free_nstr(&key_pem);
    } else {
        free_nstr_nolog(&cert_pem);
        free_nstr_nolog(&key_pem);
    }
    return used ? SSL_TLSEXT_ERR_OK : SSL_TLSEXT_ERR_ALERT_FATAL;
}

// ---------------------------------------------------------------- handshakes

int netw_ssl_server_handshake_ex(NETWORK *netw, NETW_SNI_PICK pick, void *user, const char **alpn, int alpn_count) {
    N_ASSERT(netw, return 0);
    N_ASSERT(pick, return 0);
    NETW_SNI_SELECT sel{pick, user, alpn, alpn ? alpn_count : 0};
    drop_ctx(netw);
    netw->method = TLS_method();
    netw->ctx = server_capable_ctx(netw->method);
    if (!netw->ctx) {
        netw_ssl_print_errors(netw->link.sock);
        return 0;
    }
    SSL_CTX_set_tlsext_servername_callback(netw->ctx, _netw_sni_servername_cb);
    SSL_CTX_set_tlsext_servername_arg(netw->ctx, &sel);
    if (alpn && alpn_count > 0) SSL_CTX_set_alpn_select_cb(netw->ctx, _netw_alpn_select_cb, &sel);

    int ok = 0;
    if (netw->ssl) SSL_free(netw->ssl);
    netw->ssl = SSL_new(netw->ctx);
    if (netw->ssl && SSL_set_fd(netw->ssl, netw->link.sock) == 1) {
        netw_switch_to_tls(netw);
        ERR_clear_error();
        int err = 0;
        ok = netw->tls_handshake_timeout >= 1 ? netw_timed_accept_handshake(netw, netw->tls_handshake_timeout, &err)
                                              : SSL_accept(netw->ssl) == 1;
    }
    // The record lives on this stack frame only: the context outlives it.
    SSL_CTX_set_tlsext_servername_arg(netw->ctx, nullptr);
    SSL_CTX_set_alpn_select_cb(netw->ctx, nullptr, nullptr);
    if (!ok) netw_ssl_print_errors(netw->link.sock);
    return ok;
}

int netw_ssl_server_handshake(NETWORK *netw, NETW_SNI_PICK pick, void *user) {
    return netw_ssl_server_handshake_ex(netw, pick, user, nullptr, 0);
}

int netw_ssl_server_handshake_once(NETWORK *netw, SSL_CTX *server_ctx) {
    N_ASSERT(netw, return 0);
    N_ASSERT(server_ctx, {
        n_log(LOG_ERR, "netw_ssl_server_handshake_once: no SSL context");
        return 0;
    });
    if (netw->ssl) return _netw_ssl_handshake_step(netw);
    return netw_ssl_session_first_step(netw, server_ctx, false, nullptr);
}

int netw_ssl_do_handshake(NETWORK *netw, const char *server_name) {
    N_ASSERT(netw, return 0);
    N_ASSERT(netw->ctx, {
        n_log(LOG_ERR, "netw_ssl_do_handshake: no SSL context");
        return 0;
    });
    if (netw->ssl) SSL_free(netw->ssl);
    netw->ssl = SSL_new(netw->ctx);
    if (!netw->ssl || SSL_set_fd(netw->ssl, netw->link.sock) != 1) {
        _netw_capture_error(netw, "SSL_new failed");
        netw_ssl_print_errors(netw->link.sock);
        return 0;
    }
    if (server_name) {
        SSL_set_tlsext_host_name(netw->ssl, server_name);
        if (server_name[0]) {
            unsigned char addr[sizeof(in6_addr)];
            bool is_ip = inet_pton(AF_INET, server_name, addr) == 1 || inet_pton(AF_INET6, server_name, addr) == 1;
            if (is_ip) {
                if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(netw->ssl), server_name) != 1)
                    n_log(LOG_ERR, "netw_ssl_do_handshake: could not set the expected peer IP %s", server_name);
            } else {
                SSL_set_hostflags(netw->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
                if (SSL_set1_host(netw->ssl, server_name) != 1)
                    n_log(LOG_ERR, "netw_ssl_do_handshake: could not set the expected peer name %s", server_name);
            }
            // A name to check means nothing while the chain goes unchecked:
            // only a caller that switched verification off keeps it off.
            if (!netw->ssl_verify_explicit) SSL_set_verify(netw->ssl, SSL_VERIFY_PEER, nullptr);
        }
    }
    ERR_clear_error();
    if (SSL_connect(netw->ssl) == 1) {
        n_log(LOG_DEBUG, "SSL handshake completed with %s:%s", txt(netw->link.ip), txt(netw->link.port));
        return 1;
    }
    unsigned long first = ERR_peek_error();
    const char *reason = first ? ERR_reason_error_string(first) : nullptr;
    n_log(LOG_ERR, "SSL handshake failed");
    _netw_capture_error(netw, "SSL handshake failed for %s:%s: %s", txt(netw->link.ip), txt(netw->link.port),
                        reason ? reason : "unknown error");
    netw_ssl_print_errors(netw->link.sock);
    return 0;
}

// ---------------------------------------------------------------- checks

int netw_ssl_get_verify_result(NETWORK *netw, const char *expected_host, char *out, size_t out_size) {
    if (out && out_size) out[0] = '\0';
    auto say = [&](const char *fmt, const char *arg) {
        if (out && out_size) snprintf(out, out_size, fmt, arg);
    };
    N_ASSERT(netw, return 0);
    N_ASSERT(netw->ssl, return 0);
    X509 *peer = SSL_get0_peer_certificate(netw->ssl);
    if (!peer) {
        say("%s", "no peer certificate");
        return 0;
    }
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> vctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    if (!store || !vctx) {
        say("%s", "out of memory");
        ERR_clear_error();
        return 0;
    }
    X509_STORE_set_default_paths(store.get());
    if (X509_STORE_CTX_init(vctx.get(), store.get(), peer, SSL_get_peer_cert_chain(netw->ssl)) != 1) {
        say("%s", "verify init failed");
        ERR_clear_error();
        return 0;
    }
    bool chain_ok = X509_verify_cert(vctx.get()) == 1;
    if (!chain_ok) say("%s", X509_verify_cert_error_string(X509_STORE_CTX_get_error(vctx.get())));
    bool host_ok = true;
    if (expected_host && expected_host[0]) {
        // An address is compared with the certificate's address entries, as
        // the handshake does; a name check would never match it.
        unsigned char addr[sizeof(in6_addr)];
        bool is_ip = inet_pton(AF_INET, expected_host, addr) == 1 || inet_pton(AF_INET6, expected_host, addr) == 1;
        host_ok = (is_ip ? X509_check_ip_asc(peer, expected_host, 0) : X509_check_host(peer, expected_host, 0, 0, nullptr)) == 1;
        if (!host_ok && chain_ok) say("hostname mismatch for %s", expected_host);
    }
    ERR_clear_error();
    return chain_ok && host_ok ? 1 : 0;
}

char *netw_get_openssl_error_string() {
    std::string all;
    char line[256];
    for (unsigned long e; (e = ERR_get_error()) != 0;) {
        ERR_error_string_n(e, line, sizeof line);
        if (!all.empty()) all += '\n';
        all += line;
    }
    return all.empty() ? nullptr : strdup(all.c_str());
}
