#include "quorvane_x3dh.h"

#include <cstring>

#include <openssl/crypto.h>

#include "n_digest.h"
#include "n_ecc.h"
#include "quorvane_bytes.h"

using namespace qv_bytes;

static_assert(QV_X3DH_SECRET_LEN == N_DIGEST_SHA256_LEN && QV_KEY_LEN == N_X25519_KEY_LEN);
static_assert(sizeof ZERO_SALT32 == 32);

namespace {

// A fixed first block keeps the HKDF input from opening with a value that a
// peer can steer (a Diffie-Hellman output).
constexpr uint8_t MATERIAL_PAD = 0xFF;

// Fills DH slot `slot` (1-4) of the material; the slots follow the 32-byte pad.
int dh_into(uint8_t *material, int slot, const uint8_t *priv, const uint8_t *pub) {
    return n_x25519_derive(priv, pub, material + static_cast<size_t>(slot) * QV_KEY_LEN) == 0 ? 0 : -1;
}

// HKDF over the material, then the outputs; the material is wiped here in
// every case since this is its last use. The associated data is assembled
// before any output is written, so outputs may alias the key inputs.
int finish(secret_buf<QV_X3DH_MATERIAL_MAX> &material, size_t material_len, const uint8_t *first_pub,
           const uint8_t *second_pub, uint8_t *secret_out, uint8_t *ad_out) {
    uint8_t ad[QV_X3DH_AD_LEN];
    memcpy(ad, first_pub, QV_KEY_LEN);
    memcpy(ad + QV_KEY_LEN, second_pub, QV_KEY_LEN);
    secret_buf<QV_X3DH_SECRET_LEN> secret;
    static_assert(sizeof secret.b == QV_KEY_LEN);
    int rc = quorvane_hkdf_sha256_32(material.b, material_len, ZERO_SALT32, sizeof ZERO_SALT32, byte_ptr(X3DH_INFO),
                                     X3DH_INFO.size(), secret.b);
    material.wipe();
    if (rc != 0) return -1;
    memcpy(secret_out, secret.b, QV_X3DH_SECRET_LEN);
    secret.wipe();
    memcpy(ad_out, ad, sizeof ad);
    return 0;
}

void prekey_message(const uint8_t *prekey_pub, uint8_t msg[QV_PREKEY_MSG_LEN]) {
    memcpy(msg, PREKEY_INFO.data(), PREKEY_INFO.size());
    memcpy(msg + PREKEY_INFO.size(), prekey_pub, QV_KEY_LEN);
}

void cert_message(const uint8_t *x25519_pub, const uint8_t *ed25519_pub, uint8_t msg[QV_DEVICE_CERT_MSG_LEN]) {
    memcpy(msg, x25519_pub, QV_KEY_LEN);
    memcpy(msg + QV_KEY_LEN, ed25519_pub, QV_KEY_LEN);
}

}  // namespace

/* ---- Signed prekeys, device ids, device certificates -------------------- */

int quorvane_prekey_sign(const uint8_t signing_priv[32], const uint8_t prekey_pub[32], uint8_t sig_out[64]) {
    if (!signing_priv || !prekey_pub || !sig_out) return -3;
    uint8_t msg[QV_PREKEY_MSG_LEN];
    prekey_message(prekey_pub, msg);
    return quorvane_ed25519_sign(signing_priv, msg, sizeof msg, sig_out) == 0 ? 0 : -1;
}

int quorvane_prekey_verify(const uint8_t signer_pub[32], const uint8_t prekey_pub[32], const uint8_t sig[64]) {
    if (!signer_pub || !prekey_pub || !sig) return -3;
    uint8_t msg[QV_PREKEY_MSG_LEN];
    prekey_message(prekey_pub, msg);
    return quorvane_ed25519_verify(signer_pub, msg, sizeof msg, sig) == 0 ? 0 : -2;
}

int quorvane_device_id(const uint8_t device_x25519_pub[32], const uint8_t device_ed25519_pub[32], uint8_t id_out[16]) {
    if (!device_x25519_pub || !device_ed25519_pub || !id_out) return -3;
    uint8_t in[QV_DEVICE_ID_INPUT_LEN], digest[QV_BLAKE2B_LEN];
    memcpy(in, DEVICEID_INFO.data(), DEVICEID_INFO.size());
    cert_message(device_x25519_pub, device_ed25519_pub, in + DEVICEID_INFO.size());
    if (quorvane_blake2b(in, sizeof in, digest) != 0) return -1;
    memcpy(id_out, digest, QV_DEVICE_ID_LEN);
    return 0;
}

int quorvane_device_cert_sign(const uint8_t identity_priv[32], const uint8_t device_x25519_pub[32],
                              const uint8_t device_ed25519_pub[32], uint8_t sig_out[64]) {
    if (!identity_priv || !device_x25519_pub || !device_ed25519_pub || !sig_out) return -3;
    uint8_t msg[QV_DEVICE_CERT_MSG_LEN];
    cert_message(device_x25519_pub, device_ed25519_pub, msg);
    return quorvane_ed25519_sign(identity_priv, msg, sizeof msg, sig_out) == 0 ? 0 : -1;
}

int quorvane_device_cert_verify(const uint8_t identity_pub[32], const uint8_t device_x25519_pub[32],
                                const uint8_t device_ed25519_pub[32], const uint8_t sig[64]) {
    if (!identity_pub || !device_x25519_pub || !device_ed25519_pub || !sig) return -3;
    uint8_t msg[QV_DEVICE_CERT_MSG_LEN];
    cert_message(device_x25519_pub, device_ed25519_pub, msg);
    return quorvane_ed25519_verify(identity_pub, msg, sizeof msg, sig) == 0 ? 0 : -2;
}

/* ---- X3DH ----------------------------------------------------------------
 * Both roles lay out the same material: pad, DH(IK_a, SPK_b), DH(EK_a, IK_b),
 * DH(EK_a, SPK_b) and optionally DH(EK_a, OPK_b); each side computes every DH
 * from its own private half, so the slots line up only with the order kept. */

int quorvane_x3dh_initiator(const uint8_t own_identity_priv[32], const uint8_t own_identity_pub[32],
                            const uint8_t peer_identity_pub[32], const uint8_t peer_signed_prekey_pub[32],
                            const uint8_t *peer_one_time_prekey_pub, uint8_t ephemeral_pub_out[32],
                            uint8_t secret_out[32], uint8_t ad_out[64]) {
    if (!own_identity_priv || !own_identity_pub || !peer_identity_pub || !peer_signed_prekey_pub ||
        !ephemeral_pub_out || !secret_out || !ad_out)
        return -3;
    secret_buf<QV_X3DH_MATERIAL_MAX> material;
    secret_buf<QV_KEY_LEN> eph_priv;
    uint8_t eph_pub[QV_KEY_LEN];
    const size_t material_len = peer_one_time_prekey_pub ? 5 * QV_KEY_LEN : 4 * QV_KEY_LEN;
    memset(material.b, MATERIAL_PAD, QV_KEY_LEN);
    if (quorvane_x25519_keypair(eph_priv.b, eph_pub) != 0) return -1;
    int rc = dh_into(material.b, 1, own_identity_priv, peer_signed_prekey_pub);
    if (rc == 0) rc = dh_into(material.b, 2, eph_priv.b, peer_identity_pub);
    if (rc == 0) rc = dh_into(material.b, 3, eph_priv.b, peer_signed_prekey_pub);
    if (rc == 0 && peer_one_time_prekey_pub) rc = dh_into(material.b, 4, eph_priv.b, peer_one_time_prekey_pub);
    eph_priv.wipe();
    if (rc != 0) return -1;  // material wiped by its guard
    if (finish(material, material_len, own_identity_pub, peer_identity_pub, secret_out, ad_out) != 0) return -1;
    memcpy(ephemeral_pub_out, eph_pub, QV_KEY_LEN);
    return 0;
}

int quorvane_x3dh_responder(const uint8_t own_identity_priv[32], const uint8_t own_identity_pub[32],
                            const uint8_t own_signed_prekey_priv[32], const uint8_t *own_one_time_prekey_priv,
                            const uint8_t peer_identity_pub[32], const uint8_t peer_ephemeral_pub[32],
                            uint8_t secret_out[32], uint8_t ad_out[64]) {
    if (!own_identity_priv || !own_identity_pub || !own_signed_prekey_priv || !peer_identity_pub ||
        !peer_ephemeral_pub || !secret_out || !ad_out)
        return -3;
    secret_buf<QV_X3DH_MATERIAL_MAX> material;
    const size_t material_len = own_one_time_prekey_priv ? 5 * QV_KEY_LEN : 4 * QV_KEY_LEN;
    memset(material.b, MATERIAL_PAD, QV_KEY_LEN);
    int rc = dh_into(material.b, 1, own_signed_prekey_priv, peer_identity_pub);
    if (rc == 0) rc = dh_into(material.b, 2, own_identity_priv, peer_ephemeral_pub);
    if (rc == 0) rc = dh_into(material.b, 3, own_signed_prekey_priv, peer_ephemeral_pub);
    if (rc == 0 && own_one_time_prekey_priv) rc = dh_into(material.b, 4, own_one_time_prekey_priv, peer_ephemeral_pub);
    if (rc != 0) return -1;
    return finish(material, material_len, peer_identity_pub, own_identity_pub, secret_out, ad_out);
}
