"""tools/publish.py: the update host's tree from a built executable, with every manifest value taken from the
file itself, and the refusals (no version resource, not an executable, a FileVersion that is no version)
that leave nothing behind. Runs the tool as an administrator would; needs no Wine."""
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


if __name__ == "__main__":
    unittest.main(verbosity=2)
