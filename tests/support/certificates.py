"""Throw-away certificates for the FTPS tests: a private authority and a
server certificate it signed for 127.0.0.1 and localhost, valid for a day."""

import datetime
import ipaddress
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID


def _name(text):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])


def _certificate(subject, key, issuer, issuer_key, extensions):
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = (x509.CertificateBuilder()
               .subject_name(subject).issuer_name(issuer).public_key(key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(now - datetime.timedelta(minutes=5))
               .not_valid_after(now + datetime.timedelta(days=1))
               .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), False)
               .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                   issuer_key.public_key()), False))
    for extension, critical in extensions:
        builder = builder.add_extension(extension, critical)
    return builder.sign(issuer_key, hashes.SHA256())


def make_certificates(folder: Path):
    """Writes ca.pem (to trust) and server.pem (chain and key, for the
    server) into folder; returns their paths."""
    usage = dict(content_commitment=False, data_encipherment=False, key_agreement=False,
                 encipher_only=False, decipher_only=False)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca = _certificate(_name("Quorvan test authority"), ca_key, _name("Quorvan test authority"),
                      ca_key, [
                          (x509.BasicConstraints(ca=True, path_length=0), True),
                          (x509.KeyUsage(digital_signature=False, key_encipherment=False,
                                         key_cert_sign=True, crl_sign=True, **usage), True),
                      ])
    key = ec.generate_private_key(ec.SECP256R1())
    server = _certificate(_name("127.0.0.1"), key, ca.subject, ca_key, [
        (x509.BasicConstraints(ca=False, path_length=None), True),
        (x509.KeyUsage(digital_signature=True, key_encipherment=False, key_cert_sign=False,
                       crl_sign=False, **usage), True),
        (x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), False),
        (x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1")),
                                      x509.DNSName("localhost")]), False),
    ])
    pem = serialization.Encoding.PEM
    ca_path, server_path = Path(folder) / "ca.pem", Path(folder) / "server.pem"
    ca_path.write_bytes(ca.public_bytes(pem))
    server_path.write_bytes(
        server.public_bytes(pem) + ca.public_bytes(pem) +
        key.private_bytes(pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    return ca_path, server_path
