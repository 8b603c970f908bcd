"""Certificates for the TLS tests, made by the openssl command: a test CA and what it signs."""

from __future__ import annotations

import pathlib
import ssl
import subprocess

# The Modbus role extension of Modbus/TCP Security.
ROLE_OID = "1.3.6.1.4.1.50316.802.1"


class Certificates:
    """A test CA (and a second one) and certificates signed by it, in one directory."""

    def __init__(self, directory: pathlib.Path):
        self.dir = directory
        self.ca = self.authority("ca")
        self.other_ca = self.authority("other_ca")

    def openssl(self, *args):
        subprocess.run(["openssl", *args], cwd=self.dir, check=True, capture_output=True, timeout=60)

    def authority(self, name):
        self.openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                     "-keyout", f"{name}.key", "-out", f"{name}.pem", "-days", "2", "-subj", f"/CN={name}")
        return str(self.dir / f"{name}.pem")

    def issue(self, name, extensions, ca="ca"):
        """(certificate path, key path) of a new certificate signed by `ca`."""
        (self.dir / f"{name}.cnf").write_text("[ext]\nbasicConstraints = CA:FALSE\n" + extensions + "\n")
        self.openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                     "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", f"/CN={name}")
        self.openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key",
                     "-CAcreateserial", "-out", f"{name}.pem", "-days", "2", "-extfile", f"{name}.cnf",
                     "-extensions", "ext")
        return str(self.dir / f"{name}.pem"), str(self.dir / f"{name}.key")

    def server_certificate(self):
        """The certificate of a server on 127.0.0.1 (and localhost)."""
        return self.issue("server", "subjectAltName = IP:127.0.0.1, DNS:localhost")

    def operator_certificate(self):
        """A client certificate with the Modbus role "Operator"."""
        return self.issue("operator", f"{ROLE_OID} = ASN1:UTF8String:Operator")


def server_context(certificate, ca=None):
    """A server's context with `certificate` (path, key); asking for the client's, signed by `ca`, when given."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*certificate)
    if ca is not None:   # mutual authentication
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(ca)
    return context
