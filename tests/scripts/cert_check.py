"""Reads a certificate and its private key with python3-cryptography (not
OpenSSL's command line, not our code) and prints what a self-signed server
certificate must show, one "name value" pair a line.

Usage: cert_check.py CERT KEY"""
import datetime
import sys

from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

cert = x509.load_pem_x509_certificate(open(sys.argv[1], "rb").read())
key = serialization.load_pem_private_key(open(sys.argv[2], "rb").read(), password=None)


def cn(name):
    return ",".join(a.value for a in name.get_attributes_for_oid(NameOID.COMMON_NAME)) or "-"


def der(k):
    return k.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)


pub = cert.public_key()
try:
    pub.verify(cert.signature, cert.tbs_certificate_bytes, ec.ECDSA(cert.signature_hash_algorithm))
    signed_by_own_key = "yes"
except Exception:  # noqa: BLE001 - any failure means the signature does not hold
    signed_by_own_key = "no"
print("version", cert.version.name)
print("serial", cert.serial_number)
print("subject_cn", cn(cert.subject))
print("issuer_cn", cn(cert.issuer))
print("subject_entries", len(list(cert.subject)))
print("not_before", int(getattr(cert, "not_valid_before_utc", None).timestamp() if hasattr(cert, "not_valid_before_utc")
                        else cert.not_valid_before.replace(tzinfo=datetime.timezone.utc).timestamp()))
print("not_after", int(getattr(cert, "not_valid_after_utc", None).timestamp() if hasattr(cert, "not_valid_after_utc")
                       else cert.not_valid_after.replace(tzinfo=datetime.timezone.utc).timestamp()))
print("curve", pub.curve.name if isinstance(pub, ec.EllipticCurvePublicKey) else "-")
print("hash", cert.signature_hash_algorithm.name)
print("key_matches", "yes" if der(key.public_key()) == der(pub) else "no")
print("signed_by_own_key", signed_by_own_key)
