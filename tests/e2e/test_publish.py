"""tools/publish.py: the update host's tree from a built executable, with every manifest value taken from the
file itself, the publisher's signature, seq, expires and a staged rollout, re-signing, and the refusals (no
version resource, not an executable, a FileVersion that is no version, an executable too large to download, a
signing key of another kind, a build that does not carry the key, terms out of form, a manifest the key did
not sign) that leave nothing behind; and the build's check of the public key. Runs the tools as an
administrator would; needs no Wine."""
import base64
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
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


def utc(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


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

    def base_lines(self, exe):
        data, version = read(exe), harness.app_version()
        return ["# OKAVU Quillmere update manifest (tools/publish.py)", f"version={version}",
                f"url=OKAVU-{version}.exe", f"sha256={hashlib.sha256(data).hexdigest()}", f"size={len(data)}"]

    def hand_written(self, site, data):
        """A manifest in the output folder that publish.py did not write."""
        os.makedirs(os.path.dirname(self.manifest(site)))
        with open(self.manifest(site), "wb") as f:
            f.write(data.encode("utf-8") if isinstance(data, str) else data)

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
        before = int(time.time())
        done = self.run_tool("--out", site, "--sign-key", PUBLISHER_KEY, harness.keyed_exe())
        after = int(time.time())
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = self.lines(site)
        # Today's lines, then seq (the clock, in an empty folder) and expires 30 days on, then the signature.
        seq = int(lines[5].partition("seq=")[2])
        self.assertTrue(before <= seq <= after, lines)
        self.assertEqual(lines[:-2], self.base_lines(harness.keyed_exe()) + [f"seq={seq}",
                                                                            f"expires={utc(seq + 30 * 86400)}"])
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
                                     "installed, it would refuse every manifest that key signs; build it with that "
                                     "key, or name the key it carries with --new-key for a rotation release"),
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
        done = self.run_tool("--out", site, "--sign-key", OTHER_KEY, "--new-key",
                             harness.test_key("publisher-test.pub.pem"), keyed)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.verdict(site, "other-test.pub.pem"), "Verified OK")

    def test_seq_never_goes_back_and_a_seq_that_cannot_be_read_is_refused(self):
        ahead = int(time.time()) + 10 ** 6  # the manifest there was signed on a clock ahead of this one
        kept = ((f"seq={ahead}\nseq=0{ahead - 5}\r\n", ahead - 4), ("version=1\n", None))  # the last seq line counts
        for number, (text, seq) in enumerate(kept):
            site = os.path.join(self.out, f"site-{number}")
            self.hand_written(site, text)
            before = int(time.time())
            done = self.run_tool("--out", site, "--sign-key", PUBLISHER_KEY, "--valid-days", "365", harness.keyed_exe())
            after = int(time.time())
            self.assertEqual(done.returncode, 0, done.stderr)
            written, expires = self.lines(site)[5:7]
            self.assertTrue(before <= int(written[4:]) <= after if seq is None else written == f"seq={seq}", written)
            self.assertTrue(f"expires={utc(before + 365 * 86400)}" <= expires <= f"expires={utc(after + 365 * 86400)}")
        refusals = [(f"seq={v}\n", f"has seq={v!r}, not a whole number from 1 to 9223372036854775807; the next seq "
                                   "must lie above the highest one programs accepted")
                    for v in ("0", "12x", "", str(2 ** 63))]
        refusals.append((f"seq={2 ** 63 - 1}\n", f"has seq={2 ** 63 - 1}, and no seq above it is left"))
        for number, (text, message) in enumerate(refusals):
            with self.subTest(text=text):
                site = os.path.join(self.out, f"refused-{number}")
                self.hand_written(site, text)
                self.assert_refused(("--sign-key", PUBLISHER_KEY, harness.keyed_exe()), message, site)
        site = os.path.join(self.out, "site")
        os.makedirs(self.manifest(site))
        self.assert_refused(("--sign-key", PUBLISHER_KEY, harness.keyed_exe()),
                            f"cannot read {self.manifest(site)} (Is a directory), whose seq the next manifest "
                            "must exceed")

    def test_a_staged_rollout_is_written_and_terms_out_of_form_are_refused(self):
        rollout = ("--rollout-start", "2026-03-01T08:00:00Z", "--rollout-hours", "0048")
        site = os.path.join(self.out, "unsigned")
        for args, added in (((), []), (rollout, ["rollout_start=2026-03-01T08:00:00Z", "rollout_hours=48"])):
            self.assertEqual(self.run_tool("--out", site, *args, harness.okavu_exe()).returncode, 0)
            self.assertEqual(self.lines(site), self.base_lines(harness.okavu_exe()) + added + [""])
        site = os.path.join(self.out, "signed")
        done = self.run_tool("--out", site, "--sign-key", PUBLISHER_KEY, *rollout, harness.keyed_exe())
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = self.lines(site)
        self.assertEqual([line.partition("=")[0] for line in lines[5:]],
                         ["seq", "expires", "rollout_start", "rollout_hours", "signature", ""])
        self.assertEqual(lines[7:9], ["rollout_start=2026-03-01T08:00:00Z", "rollout_hours=48"])
        self.assertEqual(self.verdict(site, "publisher-test.pub.pem"), "Verified OK")
        cases = [(("--sign-key", PUBLISHER_KEY, "--valid-days", days),
                  f"--valid-days {days!r} is not a whole number of days from 1 to 365") for days in ("0", "366", "+5")]
        cases += [(("--valid-days", "7"), "--valid-days needs --sign-key: only a signed manifest carries expires"),
                  (rollout[:2], "--rollout-start and --rollout-hours come together or not at all"),
                  (rollout[2:], "--rollout-start and --rollout-hours come together or not at all")]
        cases += [(("--rollout-start", start, "--rollout-hours", "48"),
                   f"--rollout-start {start!r} is not a UTC time written exactly as YYYY-MM-DDTHH:MM:SSZ")
                  for start in ("2026-02-30T08:00:00Z", "2026-3-01T08:00:00Z", "2026-03-01 08:00:00Z",
                                "2026-03-01T08:00:00")]
        cases += [((*rollout[:3], hours), f"--rollout-hours {hours!r} is not a whole number from 0 to 8760")
                  for hours in ("8761", "-1", "1.5")]
        for args, message in cases:
            with self.subTest(args=args):
                self.assert_refused((*args, harness.keyed_exe()), message)

    def test_resign_renews_seq_and_expires_of_the_release_and_may_change_its_rollout(self):
        site = os.path.join(self.out, "site")
        ahead = int(time.time()) + 10 ** 6  # the last publish ran on a clock ahead of this one
        publish.publish(harness.keyed_exe(), site, "notes", PUBLISHER_KEY, rollout_start="2026-03-01T08:00:00Z",
                        rollout_hours=48, now=ahead)
        published = self.lines(site)
        self.assertEqual(published[6:10], [f"seq={ahead}", f"expires={utc(ahead + 30 * 86400)}",
                                           "rollout_start=2026-03-01T08:00:00Z", "rollout_hours=48"])
        files = sorted(tree(site))
        later = ("--rollout-start", "2026-03-02T08:00:00Z", "--rollout-hours", "96")
        for number, (args, rollout) in enumerate((((), published[8:10]),
                                                  (later, ["rollout_start=2026-03-02T08:00:00Z", "rollout_hours=96"]))):
            with self.subTest(args=args):
                before = int(time.time())
                done = self.run_tool("--out", site, "--sign-key", PUBLISHER_KEY, "--resign", "--valid-days", "7", *args)
                after = int(time.time())
                self.assertEqual(done.stdout.decode(), f"re-signed {self.manifest(site)}: seq {ahead + 1 + number}\n")
                lines = self.lines(site)
                self.assertEqual(lines[:7] + lines[8:10], published[:6] + [f"seq={ahead + 1 + number}"] + rollout)
                self.assertTrue(f"expires={utc(before + 7 * 86400)}" <= lines[7] <= f"expires={utc(after + 7 * 86400)}")
                self.assertTrue(lines[10].startswith("signature=") and lines[11:] == [""], lines)
                self.assertEqual(self.verdict(site, "publisher-test.pub.pem"), "Verified OK")
                self.assertEqual(sorted(tree(site)), files)

    def test_resign_refuses_a_manifest_that_the_key_did_not_sign(self):
        signed = {}
        for key, extra in ((PUBLISHER_KEY, ()), (OTHER_KEY, ("--new-key", harness.test_key("publisher-test.pub.pem")))):
            site = os.path.join(self.out, os.path.basename(key))
            self.assertEqual(self.run_tool("--out", site, "--sign-key", key, *extra, harness.keyed_exe()).returncode, 0)
            signed[key] = read(self.manifest(site))
        good = signed[PUBLISHER_KEY]
        body = good[:good.rindex(b"signature=")]
        half_terms, no_release = body + b"rollout_hours=5\n", b"# nothing\n"
        forged = f"MANIFEST has no valid signature of {PUBLISHER_KEY}; re-signing would vouch for a manifest"
        for number, (data, args, message) in enumerate((
                (None, (), "MANIFEST: there is no manifest to re-sign"),
                (b"version=1\nurl=a.exe\n", (), "MANIFEST is not signed; publish the release with --sign-key"),
                (signed[OTHER_KEY], (), forged),
                (good.replace(b"size=", b"size= "), (), forged),
                (body + b"signature=!!!\n", (), forged),
                (no_release + publish.signature_line(no_release, PUBLISHER_KEY), (),
                 "MANIFEST names no release (version and url)"),
                (half_terms + publish.signature_line(half_terms, PUBLISHER_KEY), (),
                 "MANIFEST: rollout_start and rollout_hours come together or not at all, and only one is given; "
                 "give --rollout-start and --rollout-hours to replace them"),
                (good, (harness.keyed_exe(),), "--resign takes no executable, --windowless, --notes or --new-key"),
                (good, ("--rollout-hours", "5"), "--rollout-start and --rollout-hours come together or not at all"))):
            with self.subTest(message=message):
                site = os.path.join(self.out, f"site-{number}")
                if data is not None:
                    self.hand_written(site, data)
                self.assert_refused(("--sign-key", PUBLISHER_KEY, "--resign", *args),
                                    message.replace("MANIFEST", self.manifest(site)), site, b"; nothing re-signed")
        self.assert_refused(("--resign",), "--resign needs --sign-key", suffix=b"; nothing re-signed")

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
