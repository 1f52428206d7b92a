"""tools/publish.py: the update host's tree from a built executable, with every manifest value taken from the
file itself, the publisher's signature, and the refusals (no version resource, not an executable, a
FileVersion that is no version, an executable too large to download, a signing key of another kind, a build
that does not carry the key) that leave nothing behind; and the build's check of the public key. Runs the
tools as an administrator would; needs no Wine."""
import base64
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import harness

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
PUBLISH = os.path.join(TOOLS, "publish.py")
sys.path.insert(0, TOOLS)
import publish  # noqa: E402

PUBLISHER_KEY = harness.test_key("publisher-test.pem")  # the keyed build carries its public half
OTHER_KEY = harness.test_key("other-test.pem")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def manifest_fields(path):
    """key=value lines as the program reads them (comments and blank lines skipped)."""
    fields = {}
    for line in read(path).decode("utf-8").split("\n"):
        line = line.strip()
        if not line or line.startswith("#") or "=" not in line:
            continue
        key, _, value = line.partition("=")
        fields[key.strip()] = value.strip()
    return fields


def tree(folder):
    """{path: bytes} of every file below folder."""
    return {os.path.join(d, n): read(os.path.join(d, n)) for d, _, names in os.walk(folder) for n in names}


class Publish(unittest.TestCase):
    def setUp(self):
        self.out = tempfile.mkdtemp(prefix="okavu-publish-test-")
        self.addCleanup(shutil.rmtree, self.out, True)

    def run_tool(self, *args):
        return subprocess.run([sys.executable, PUBLISH, *args], stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=60)

    def variant(self, name, data):
        path = os.path.join(self.out, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def assert_nothing_published(self):
        self.assertFalse(os.path.exists(os.path.join(self.out, "site")), os.listdir(self.out))

    def assert_refused(self, args, message, site=None, suffix=b"; nothing published"):
        """Runs the tool on site (default: out/site) and expects exit code 1, message and no change below site."""
        site = site or os.path.join(self.out, "site")
        before = tree(site)
        done = self.run_tool("--out", site, *args)
        self.assertEqual((done.returncode, done.stdout), (1, b""), done.stderr)
        self.assertIn(message.encode("utf-8"), done.stderr)
        self.assertTrue(done.stderr.endswith(suffix + b"\n"), done.stderr)
        self.assertEqual(tree(site), before)

    def manifest(self, site):
        return os.path.join(site, "files", "OKAVU", "manifest.txt")

    def lines(self, site):
        return read(self.manifest(site)).decode("utf-8").split("\n")

    def verdict(self, site, public_key):
        """What `openssl dgst -verify` says of the manifest's signature with public_key (a tests/keys name)."""
        signed, _, line = read(self.manifest(site)).rpartition(b"signature=")
        signature = self.variant("signature.der", base64.b64decode(line.strip(), validate=True))
        checked = subprocess.run(["openssl", "dgst", "-sha256", "-verify", harness.test_key(public_key), "-signature",
                                  signature, self.variant("signed.txt", signed)], capture_output=True, text=True)
        return (checked.stdout + checked.stderr).strip()

    def test_the_tree_names_version_size_and_digest_of_the_file_itself(self):
        site = os.path.join(self.out, "site")
        old, new = harness.app_version(), harness.next_version()
        for exe, version in ((harness.okavu_exe(), old), (harness.next_exe(), new)):
            with self.subTest(version=version):
                done = self.run_tool("--out", site, "--notes", "  line one\n line two ", exe)
                self.assertEqual(done.returncode, 0, done.stderr)
                folder = os.path.join(site, "files", "OKAVU")
                copy = os.path.join(folder, f"OKAVU-{version}.exe")
                data = read(exe)
                self.assertEqual(read(copy), data)
                self.assertEqual(manifest_fields(os.path.join(folder, "manifest.txt")), {
                    "version": version,
                    "url": f"OKAVU-{version}.exe",
                    "sha256": hashlib.sha256(data).hexdigest(),
                    "size": str(len(data)),
                    "notes": "line one line two",
                })
        # A later release replaces the manifest; the earlier file stays for clients still downloading it.
        self.assertEqual(sorted(os.listdir(os.path.join(site, "files", "OKAVU"))),
                         [f"OKAVU-{old}.exe", f"OKAVU-{new}.exe", "manifest.txt"])

    def test_an_executable_without_a_version_resource_is_refused(self):
        data = bytearray(read(harness.okavu_exe()))
        # Point the resource directory entry of the optional header at nothing.
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        optional = pe + 24
        self.assertEqual(struct.unpack_from("<H", data, optional)[0], 0x20B)
        struct.pack_into("<II", data, optional + 112 + 8 * 2, 0, 0)
        path = self.variant("no-resources.exe", data)
        done = self.run_tool("--out", os.path.join(self.out, "site"), path)
        self.assertEqual(done.returncode, 1)
        self.assertIn(b"the file has no version resource; nothing published", done.stderr)
        self.assert_nothing_published()

    def test_a_file_that_is_no_executable_is_refused(self):
        for name, data in (("text.exe", b"version=9.9.9.9\n"), ("empty.exe", b""), ("mz-only.exe", b"MZ" + b"\0" * 100)):
            with self.subTest(name=name):
                done = self.run_tool("--out", os.path.join(self.out, "site"), self.variant(name, data))
                self.assertEqual(done.returncode, 1)
                self.assertIn(b"not a Windows executable", done.stderr)
                self.assert_nothing_published()
        done = self.run_tool("--out", os.path.join(self.out, "site"), os.path.join(self.out, "missing.exe"))
        self.assertEqual(done.returncode, 1)
        self.assertIn(b"cannot read", done.stderr)
        self.assert_nothing_published()

    def test_a_file_version_that_is_no_dotted_version_is_refused(self):
        version = harness.app_version()
        odd = "v" + version[1:]  # the same length, so the resource keeps its layout
        original = version.encode("utf-16-le")
        data = read(harness.okavu_exe())
        self.assertIn(original, data)
        path = self.variant("odd-version.exe", data.replace(original, odd.encode("utf-16-le")))
        self.assertEqual(publish.file_version(read(path)), odd)
        done = self.run_tool("--out", os.path.join(self.out, "site"), path)
        self.assertEqual(done.returncode, 1)
        self.assertIn(b"is not a dotted version", done.stderr)
        self.assert_nothing_published()


    # ---- signing --------------------------------------------------------------------------------------

    def test_a_signed_manifest_verifies_with_openssl_against_the_public_key(self):
        site = os.path.join(self.out, "site")
        done = self.run_tool("--out", site, "--sign-key", PUBLISHER_KEY, harness.keyed_exe())
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = self.lines(site)
        # Without the signature line the manifest is what an unsigned publish writes.
        self.assertEqual(manifest_fields(self.manifest(site)).keys(), {"version", "url", "sha256", "size", "signature"})
        self.assertTrue(lines[-2].startswith("signature=") and lines[-1] == "", lines)
        self.assertEqual(self.verdict(site, "publisher-test.pub.pem"), "Verified OK")
        self.assertEqual(self.verdict(site, "other-test.pub.pem"), "Verification failure")

    def test_a_signed_release_must_carry_the_public_half_of_the_signing_key(self):
        keyed, keyless, twin = harness.keyed_exe(), harness.okavu_exe(), harness.windowless_exe()
        other_pub, rsa_pub = harness.test_key("other-test.pub.pem"), harness.test_key("rsa-test.pub.pem")
        data = read(keyed)
        self.assertEqual(data.count(b"MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE"), 1)
        at = data.index(b"MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE") + 60  # inside the key resource's text
        flipped = self.variant("flipped.exe", data[:at] + (b"C" if data[at:at + 1] == b"B" else b"B") + data[at + 1:])
        garbled = self.variant("garbled.exe", data[:at] + b"!" + data[at + 1:])
        for args, message in (
                ((PUBLISHER_KEY, keyless), f"{keyless} carries no update key (OKAVU_UPDATE_KEY): installed, it would "
                                           "take any manifest, signed or not"),
                ((PUBLISHER_KEY, "--windowless", twin, keyed), f"{twin} carries no update key"),
                ((OTHER_KEY, keyed), f"{keyed} carries an update key that is not the public half of {OTHER_KEY}: "
                                     "installed, it would refuse every manifest that key signs; build it with that key, "
                                     "or name the key it carries with --new-key for a rotation release"),
                ((PUBLISHER_KEY, flipped), f"{flipped} carries an update key that is not the public half of"),
                ((PUBLISHER_KEY, garbled), f"{garbled} carries an update key (OKAVU_UPDATE_KEY) that is not base64"),
                ((PUBLISHER_KEY, "--new-key", other_pub, keyed), f"{keyed} carries another update key than {other_pub} "
                                                                 "(--new-key): installed, it would refuse every"),
                ((OTHER_KEY, "--new-key", rsa_pub, keyed), f"{rsa_pub} is not an EC P-256 (prime256v1) public key")):
            with self.subTest(args=args):
                self.assert_refused(("--sign-key", *args), message)
        self.assert_refused(("--new-key", other_pub, keyed), "--new-key needs --sign-key")
        # A rotation release: the build carries the new key; the old one signs for the programs installed.
        site = os.path.join(self.out, "site")
        done = self.run_tool("--out", site, "--sign-key", OTHER_KEY, "--new-key", harness.test_key("publisher-test.pub.pem"),
                             keyed)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.verdict(site, "other-test.pub.pem"), "Verified OK")

    def test_signing_keys_of_another_kind_are_refused(self):
        for key in ("rsa-test.pem", "publisher-test.pub.pem", "missing.pem"):
            with self.subTest(key=key):
                done = self.run_tool("--out", os.path.join(self.out, "site"), "--sign-key", harness.test_key(key),
                                     harness.keyed_exe())
                self.assertEqual(done.returncode, 1)
                self.assertIn(b"nothing published", done.stderr)
                self.assert_nothing_published()

    def test_an_executable_larger_than_a_download_may_be_is_refused(self):
        data = read(harness.okavu_exe())
        path = self.variant("huge.exe", data + bytes(64 * 1024 * 1024 + 1 - len(data)))
        done = self.run_tool("--out", os.path.join(self.out, "site"), path)
        self.assertEqual(done.returncode, 1)
        self.assertIn(b"more than the 67108864 bytes a program downloads", done.stderr)
        self.assert_nothing_published()


class PublicKeyCheck(unittest.TestCase):
    """cmake/UpdatePublicKey.cmake, which configuring runs for OKAVU_UPDATE_PUBLIC_KEY."""

    def check(self, key):
        script = os.path.join(harness.source_dir(), "cmake", "UpdatePublicKey.cmake")
        return subprocess.run(["cmake", f"-DKEY_FILE={key}", "-P", script], capture_output=True, text=True)

    def test_an_ec_p256_public_key_is_taken_and_anything_else_stops_the_configuration(self):
        taken = self.check(harness.test_key("publisher-test.pub.pem"))
        self.assertEqual(taken.returncode, 0, taken.stderr)
        self.assertTrue(taken.stderr.strip().startswith("MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE"), taken.stderr)
        for key, reason in (("rsa-test.pub.pem", "is not an EC P-256 (prime256v1) public key"),
                            ("publisher-test.pem", "holds no public key in PEM form"),
                            ("missing.pem", "cannot read the key file")):
            with self.subTest(key=key):
                refused = self.check(harness.test_key(key))
                self.assertNotEqual(refused.returncode, 0)
                self.assertIn(reason, " ".join(refused.stderr.split()))


if __name__ == "__main__":
    unittest.main(verbosity=2)
