#!/usr/bin/env python3
"""Throwaway certificate chains for the HTTPS tests, made with the openssl command at test time.

make_chain(folder) writes a private CA and a server certificate signed by it:
  FOLDER/ca.pem     the CA certificate (what a test imports into the prefix's trust store)
  FOLDER/ca.key     the CA key
  FOLDER/server.pem the server certificate, subjectAltName DNS:localhost (or the names given)
  FOLDER/server.key its key
and returns a Chain with those paths. Every call makes a new, independent CA, so a second chain
is one that the prefix does not trust.

import_ca(prefix, testtool, ca_pem) puts a CA into the LocalMachine "Root" store of one Wine
prefix through `testtool.exe import-ca`, leaving the host's own trust store alone.

Standard library only (plus the openssl program).
"""
import os
import shutil
import subprocess
from collections import namedtuple

Chain = namedtuple("Chain", "ca_pem ca_key server_pem server_key")

VALID_DAYS = "3"


class TlsError(RuntimeError):
    pass


def _openssl(args, cwd):
    openssl = shutil.which("openssl")
    if not openssl:
        raise TlsError("openssl not found (install the package openssl)")
    done = subprocess.run([openssl] + args, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60)
    if done.returncode != 0:
        raise TlsError(f"openssl {' '.join(args)} failed: {done.stderr.decode(errors='replace')}")


def make_chain(folder, names=("localhost",), ca_name="OKAVU Test CA"):
    os.makedirs(folder, exist_ok=True)
    chain = Chain(*(os.path.join(folder, n) for n in ("ca.pem", "ca.key", "server.pem", "server.key")))
    _openssl(["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", VALID_DAYS,
              "-subj", f"/CN={ca_name}", "-keyout", chain.ca_key, "-out", chain.ca_pem,
              "-addext", "basicConstraints=critical,CA:TRUE",
              "-addext", "keyUsage=critical,keyCertSign,cRLSign",
              "-addext", "subjectKeyIdentifier=hash"], folder)
    csr = os.path.join(folder, "server.csr")
    _openssl(["req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-subj", f"/CN={names[0]}",
              "-keyout", chain.server_key, "-out", csr], folder)
    ext = os.path.join(folder, "server.ext")
    with open(ext, "w", encoding="ascii") as f:
        f.write("basicConstraints=CA:FALSE\n")
        f.write("keyUsage=critical,digitalSignature,keyEncipherment\n")
        f.write("extendedKeyUsage=serverAuth\n")
        f.write("subjectAltName=" + ",".join(f"DNS:{n}" for n in names) + "\n")
        f.write("authorityKeyIdentifier=keyid\n")
    _openssl(["x509", "-req", "-sha256", "-days", VALID_DAYS, "-in", csr, "-CA", chain.ca_pem,
              "-CAkey", chain.ca_key, "-set_serial", str(int.from_bytes(os.urandom(8), "big")),
              "-extfile", ext, "-out", chain.server_pem], folder)
    return chain


def import_ca(prefix, testtool, ca_pem, wine=None):
    """Trusts ca_pem inside the Wine prefix (a wineprefix.Prefix)."""
    from wineprefix import find_wine
    # The tool is a Windows program: it reaches the host's files through drive Z:.
    windows_path = "Z:" + os.path.abspath(ca_pem).replace("/", "\\")
    done = subprocess.run([wine or find_wine(), testtool, "import-ca", windows_path], env=prefix.environ(),
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    if done.returncode != 0:
        raise TlsError(f"testtool import-ca failed ({done.returncode}): "
                       f"{done.stdout.decode(errors='replace')}{done.stderr.decode(errors='replace')}")
