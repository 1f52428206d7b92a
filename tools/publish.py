#!/usr/bin/env python3
"""Publishes a built OKAVU.exe (and its windowless twin OKAVUw.exe) as the update host's tree.

    publish.py [--out DIR] [--notes TEXT] [--windowless OKAVUw.exe]
               [--sign-key PRIVATE.pem [--new-key NEW_PUBLIC.pem] [--valid-days N]]
               [--rollout-start YYYY-MM-DDTHH:MM:SSZ --rollout-hours H] EXE
    publish.py --out DIR --sign-key PRIVATE.pem --resign [--valid-days N]
               [--rollout-start YYYY-MM-DDTHH:MM:SSZ --rollout-hours H]

writes, below DIR (default: the current folder),

    files/OKAVU/OKAVU-<version>.exe    a copy of EXE
    files/OKAVU/OKAVUw-<version>.exe   with --windowless, a copy of the windowless build
    files/OKAVU/manifest.txt           version, url, sha256 and size of the copy, and with
                                       --windowless windowless_url, windowless_sha256 and
                                       windowless_size of the other: one manifest for both builds
                                       (older programs read only the first three)

The version is the FileVersion of the executable's own version resource, read the way the program
reads a download (the first translation entry of the resource, then that string table's
"FileVersion"), so the manifest can never announce a version that the update cycle would refuse.
An executable without a version resource is refused, and so is one larger than the 64 MiB the
program downloads at most, a console EXE that is a windowless program, and a windowless build that
is not one or has another version than EXE. The manifest is replaced last and in one step, so a watcher that fetches it
in the middle of a publish sees the old release or the new one, never a manifest whose file is not
there yet. A refusal writes nothing.

With --sign-key, the manifest ends in a line "signature=" and the base64 text of an ECDSA P-256
signature over every byte before that line, made by `openssl dgst -sha256 -sign PRIVATE.pem`. A
program built with the matching public key (OKAVU_UPDATE_PUBLIC_KEY) takes only manifests signed so;
programs without a key read the line as an unknown key. A private key of any other kind is refused.
Both builds must carry the public half of the key as their resource OKAVU_UPDATE_KEY, so that a signed
release never installs a build that checks no signature or checks another key; in a rotation release
they carry the key that --new-key names instead, and the old key still signs. A signed manifest also
carries seq= (above the seq of the manifest it replaces, and at least the time in seconds since 1970)
and expires= (UTC, --valid-days ahead, 30 by default); --resign signs the manifest in DIR anew with
fresh ones, once its signature verifies with the key. --rollout-start and --rollout-hours write
rollout_start= and rollout_hours=, a staged rollout. Keep the private key off the update host: sign
where you build, then copy the tree.

Serve DIR over HTTPS on port 443 as the host the program was built for (OKAVU_UPDATE_HOST).
Standard library only, plus the openssl program for signing.
"""
import argparse
import base64
import datetime
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

RT_RCDATA = 10
RT_VERSION = 16
KEY_RESOURCE = "OKAVU_UPDATE_KEY"
# Every DER SubjectPublicKeyInfo of a P-256 key starts so and is 91 bytes long.
P256_SPKI_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200")
P256_SPKI_SIZE = 91
RESOURCE_DIRECTORY_INDEX = 2
VERSION_PATTERN = re.compile(r"^[0-9]{1,7}(\.[0-9]{1,7}){0,3}$")
PUBLISH_DIR = os.path.join("files", "OKAVU")
MANIFEST_NAME = "manifest.txt"
DOWNLOAD_LIMIT = 64 * 1024 * 1024  # the program refuses a larger download
SIGNATURE_PREFIX = "signature="
SUBSYSTEM_WINDOWS = 2  # the windowless build
SUBSYSTEM_CONSOLE = 3
SEQ_MAX = 2 ** 63 - 1  # the program reads seq as a signed 64-bit number
SECONDS_PER_DAY = 24 * 3600
DEFAULT_VALID_DAYS = 30
MAX_VALID_DAYS = 365
ROLLOUT_HOURS_MAX = 8760
TERM_KEYS = (b"seq", b"expires", b"rollout_start", b"rollout_hours")
UTC_PATTERN = re.compile(r"^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$")
WHOLE_NUMBER_PATTERN = re.compile(r"^[0-9]+$")


class PublishError(Exception):
    pass


# ---- reading the resources ----------------------------------------------------------------------

class PeImage:
    """The parts of a PE file needed to find its resources."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PublishError("not a Windows executable (no MZ header)")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
            raise PublishError("not a Windows executable (no PE header)")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = self._u16(optional)
        self.subsystem = self._u16(optional + 68)
        if magic == 0x20B:
            directories = optional + 112
        elif magic == 0x10B:
            directories = optional + 96
        else:
            raise PublishError("unknown PE optional header")
        count = self._u32(directories - 4)
        if count > RESOURCE_DIRECTORY_INDEX:
            self.resource_rva, self.resource_size = struct.unpack_from(
                "<II", data, directories + 8 * RESOURCE_DIRECTORY_INDEX)
        else:
            self.resource_rva = self.resource_size = 0
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            entry = table + 40 * i
            if entry + 40 > len(data):
                raise PublishError("truncated section table")
            virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", data, entry + 8)
            self.sections.append((rva, max(virtual_size, raw_size), raw_offset, raw_size))

    def _u16(self, offset):
        if offset + 2 > len(self.data):
            raise PublishError("truncated executable")
        return struct.unpack_from("<H", self.data, offset)[0]

    def _u32(self, offset):
        if offset + 4 > len(self.data):
            raise PublishError("truncated executable")
        return struct.unpack_from("<I", self.data, offset)[0]

    def offset_of(self, rva, length):
        for start, size, raw_offset, raw_size in self.sections:
            if start <= rva and rva + length <= start + size:
                offset = raw_offset + (rva - start)
                if rva + length > start + raw_size or offset + length > len(self.data):
                    raise PublishError("resource data lies outside the file")
                return offset
        raise PublishError("resource data lies outside every section")

    # Offsets inside the resource tree count from its root directory.

    def _root(self):
        if not self.resource_rva or not self.resource_size:
            return None
        return self.offset_of(self.resource_rva, 16)

    def _entries(self, base, offset):
        """(name, target) of each entry of the directory at base + offset."""
        directory = base + offset
        count = self._u16(directory + 12) + self._u16(directory + 14)
        return [(self._u32(directory + 16 + 8 * i), self._u32(directory + 20 + 8 * i)) for i in range(count)]

    def _name(self, base, name):
        """The text of a named entry (high bit set), None for a numbered one."""
        if not name & 0x80000000:
            return None
        at = base + (name & 0x7FFFFFFF)
        end = at + 2 + 2 * self._u16(at)
        if end > len(self.data):
            raise PublishError("truncated executable")
        return self.data[at + 2:end].decode("utf-16-le", "replace")

    def _leaf(self, base, target):
        rva, size = self._u32(base + target), self._u32(base + target + 4)
        offset = self.offset_of(rva, size)
        return self.data[offset:offset + size]

    def _names_of_type(self, base, type_id):
        """The name directory's entries of the resource type type_id (a number), [] when there is none."""
        for name, target in self._entries(base, 0):
            if name == type_id and target & 0x80000000:
                return self._entries(base, target & 0x7FFFFFFF)
        return []

    def version_resource(self):
        """The bytes of the first RT_VERSION resource, or None."""
        base = self._root()
        if base is None:
            return None
        names = self._names_of_type(base, RT_VERSION)
        if not names or not names[0][1] & 0x80000000:
            return None
        languages = self._entries(base, names[0][1] & 0x7FFFFFFF)
        if not languages or languages[0][1] & 0x80000000:
            return None
        return self._leaf(base, languages[0][1])

    def named_resources(self, type_id, wanted):
        """The bytes of every language of the resource of type type_id named wanted. Windows finds names
        regardless of case, so this does too."""
        base = self._root()
        if base is None:
            return []
        found = []
        for name, target in self._names_of_type(base, type_id):
            text = self._name(base, name)
            if text is None or text.upper() != wanted.upper() or not target & 0x80000000:
                continue
            for _, leaf in self._entries(base, target & 0x7FFFFFFF):
                if not leaf & 0x80000000:
                    found.append(self._leaf(base, leaf))
        return found


def _align4(n):
    return (n + 3) & ~3


def _version_blocks(block, start, end):
    """Yields (key, value_offset, value_length, value_type, children_start, block_end) for each
    VS_VERSIONINFO-style block between start and end."""
    offset = start
    while offset + 6 <= end:
        length, value_length, value_type = struct.unpack_from("<HHH", block, offset)
        if length < 6 or offset + length > end:
            break
        key_start = offset + 6
        key_end = key_start
        while key_end + 2 <= offset + length and block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[key_start:key_end].decode("utf-16-le", "replace")
        value_offset = _align4(key_end + 2)
        # String values count UTF-16 units, binary values bytes.
        value_bytes = value_length * 2 if value_type == 1 else value_length
        children = _align4(value_offset + value_bytes)
        yield key, value_offset, value_bytes, value_type, children, offset + length
        offset = _align4(offset + length)


def _child(block, start, end, wanted):
    for key, value_offset, value_bytes, value_type, children, block_end in _version_blocks(block, start, end):
        if key == wanted:
            return value_offset, value_bytes, value_type, children, block_end
    return None


def file_version(data):
    """The FileVersion string of the executable's first translation, as the program reads it."""
    block = PeImage(data).version_resource()
    if block is None:
        raise PublishError("the file has no version resource")
    root = next(_version_blocks(block, 0, len(block)), None)
    if root is None or root[0] != "VS_VERSION_INFO":
        raise PublishError("the version resource is malformed")
    _, _, _, _, children, root_end = root
    var_info = _child(block, children, root_end, "VarFileInfo")
    translation = var_info and _child(block, var_info[3], var_info[4], "Translation")
    if not translation or translation[1] < 4:
        raise PublishError("the version resource has no translation entry")
    language, codepage = struct.unpack_from("<HH", block, translation[0])
    table_name = f"{language:04x}{codepage:04x}"
    string_info = _child(block, children, root_end, "StringFileInfo")
    table = string_info and _child(block, string_info[3], string_info[4], table_name)
    value = table and _child(block, table[3], table[4], "FileVersion")
    if not value or value[1] == 0:
        raise PublishError(f"the version resource has no FileVersion in string table {table_name}")
    text = block[value[0]:value[0] + value[1]].decode("utf-16-le", "replace")
    text = text.split("\0", 1)[0]
    if not text:
        raise PublishError("the version resource's FileVersion is empty")
    return text


# ---- writing the tree --------------------------------------------------------------------------

def _write_atomically(path, data):
    folder = os.path.dirname(path)
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".publish-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def manifest_text(version, url, sha256, size, notes=None, windowless=None):
    """windowless: (url, sha256, size) of the windowless build, or None."""
    lines = [
        "# OKAVU Quillmere update manifest (tools/publish.py)",
        f"version={version}",
        f"url={url}",
        f"sha256={sha256}",
        f"size={size}",
    ]
    if windowless:
        w_url, w_sha256, w_size = windowless
        lines += [f"windowless_url={w_url}", f"windowless_sha256={w_sha256}", f"windowless_size={w_size}"]
    if notes:
        lines.append(f"notes={' '.join(notes.split())}")
    return "\n".join(lines) + "\n"


def manifest_fields(data):
    """The manifest's key=value pairs as the program reads them: lines split at LF, trimmed of blanks,
    comments and lines without "=" skipped, the last of a repeated key winning."""
    fields = {}
    for line in data.decode("utf-8", "replace").split("\n"):
        line = line.strip(" \t\r\n")
        if not line or line.startswith("#") or "=" not in line:
            continue
        key, _, value = line.partition("=")
        fields[key.strip(" \t\r\n")] = value.strip(" \t\r\n")
    return fields


# ---- terms: seq, expires and the staged rollout -------------------------------------------------

def utc_text(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def _is_utc_time(text):
    """Whether text is exactly "YYYY-MM-DDTHH:MM:SSZ" on a real calendar day, as the program reads it."""
    if not UTC_PATTERN.match(text):
        return False
    try:
        datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ")
    except ValueError:
        return False
    return True


def _whole_number(value, low, high):
    """value (text or int) as an int in low..high written in decimal digits alone, else None."""
    text = str(value)
    if not WHOLE_NUMBER_PATTERN.match(text) or not low <= int(text) <= high:
        return None
    return int(text)


def rollout_lines(start, hours, manifest=None):
    """The manifest lines of a staged rollout, [] for none: both values or neither. manifest: the file the
    values were read from, None for the options."""
    if manifest is None:
        prefix, names, fix = "", ("--rollout-start", "--rollout-hours"), ""
    else:
        prefix, names = f"{manifest}: ", ("rollout_start", "rollout_hours")
        fix = "; give --rollout-start and --rollout-hours to replace them"
    if start is None and hours is None:
        return []
    if start is None or hours is None:
        raise PublishError(f"{prefix}{names[0]} and {names[1]} come together or not at all, and only one is "
                           f"given{fix}")
    if not _is_utc_time(str(start)):
        raise PublishError(f"{prefix}{names[0]} {str(start)!r} is not a UTC time written exactly as "
                           f"YYYY-MM-DDTHH:MM:SSZ{fix}")
    count = _whole_number(hours, 0, ROLLOUT_HOURS_MAX)
    if count is None:
        raise PublishError(f"{prefix}{names[1]} {str(hours)!r} is not a whole number from 0 to "
                           f"{ROLLOUT_HOURS_MAX}{fix}")
    return [f"rollout_start={start}", f"rollout_hours={count}"]


def _valid_days(days, signing):
    if days is None:
        return DEFAULT_VALID_DAYS
    if not signing:
        raise PublishError("--valid-days needs --sign-key: only a signed manifest carries expires")
    count = _whole_number(days, 1, MAX_VALID_DAYS)
    if count is None:
        raise PublishError(f"--valid-days {str(days)!r} is not a whole number of days from 1 to {MAX_VALID_DAYS}")
    return count


def previous_seq(manifest, data=None):
    """The seq of the manifest already at path manifest (data: its bytes, when read already); 0 when there
    is none or it has no seq line. A seq that is not a whole number 1..2^63-1 is refused rather than
    guessed at: the next seq must lie above every one the fleet has accepted."""
    if data is None:
        try:
            with open(manifest, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return 0
        except OSError as e:
            raise PublishError(f"cannot read {manifest} ({e.strerror}), whose seq the next manifest must exceed")
    value = manifest_fields(data).get("seq")
    if value is None:
        return 0
    seq = _whole_number(value, 1, SEQ_MAX)
    if seq is None:
        raise PublishError(f"{manifest} has seq={value!r}, not a whole number from 1 to {SEQ_MAX}; the next seq "
                           f"must lie above the highest one programs accepted: find out where that manifest came "
                           f"from and repair its seq line")
    return seq


def freshness_lines(manifest, previous, days, now):
    """seq= and expires= of the next signed manifest. seq never goes backwards: above the manifest it
    replaces, and at least the time, so a rebuilt folder still starts above every earlier seq."""
    seq = max(previous + 1, int(now))
    if seq > SEQ_MAX:
        raise PublishError(f"{manifest} has seq={previous}, and no seq above it is left")
    return [f"seq={seq}", f"expires={utc_text(int(now) + days * SECONDS_PER_DAY)}"]


# ---- signing -----------------------------------------------------------------------------------

def _openssl():
    path = shutil.which("openssl")
    if not path:
        raise PublishError("signing needs the openssl program, and none was found")
    return path


def _run_openssl(args, data=None):
    return subprocess.run([_openssl(), *args], input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=None if data is not None else subprocess.DEVNULL)


def check_signing_key(key):
    """Refuses anything but an EC private key on P-256 (prime256v1), the only kind the program checks."""
    done = _run_openssl(["pkey", "-in", key, "-noout", "-text"])
    text = done.stdout.decode("utf-8", "replace")
    if done.returncode != 0 or "Private-Key" not in text:
        raise PublishError(f"{key} is no private key that openssl can read")
    if "prime256v1" not in text and "P-256" not in text:
        raise PublishError(f"{key} is not an EC P-256 (prime256v1) private key")


def public_key_of(private_key):
    """The DER SubjectPublicKeyInfo of a private key's public half."""
    done = _run_openssl(["pkey", "-in", private_key, "-pubout", "-outform", "DER"])
    if done.returncode != 0 or not done.stdout:
        raise PublishError(f"openssl could not derive the public key of {private_key}")
    return done.stdout


def read_public_key(path):
    """The DER SubjectPublicKeyInfo of an EC P-256 public key in PEM form (what a build is configured with)."""
    done = _run_openssl(["pkey", "-pubin", "-in", path, "-outform", "DER"])
    if done.returncode != 0 or not done.stdout:
        raise PublishError(f"{path} is no public key that openssl can read")
    if len(done.stdout) != P256_SPKI_SIZE or not done.stdout.startswith(P256_SPKI_PREFIX):
        raise PublishError(f"{path} is not an EC P-256 (prime256v1) public key")
    return done.stdout


def signature_line(manifest_bytes, key):
    """The line that signs manifest_bytes (every byte before it) with key."""
    done = _run_openssl(["dgst", "-sha256", "-sign", key], manifest_bytes)
    if done.returncode != 0 or not done.stdout:
        raise PublishError(f"openssl could not sign with {key}: {done.stderr.decode('utf-8', 'replace').strip()}")
    return f"{SIGNATURE_PREFIX}{base64.b64encode(done.stdout).decode('ascii')}\n".encode("ascii")


def split_signature(data):
    """(signed part, signature value) as the program splits a manifest: the last line that is not blank is
    the signature line when it starts with "signature=", and everything before it is signed. None when
    that line is something else."""
    lines = data.split(b"\n")
    for k in range(len(lines) - 1, -1, -1):
        line = lines[k].rstrip(b" \t\r")
        if not line.strip(b" \t\r"):
            continue
        if not line.startswith(SIGNATURE_PREFIX.encode("ascii")):
            return None
        return b"\n".join(lines[:k]) + (b"\n" if k else b""), line[len(SIGNATURE_PREFIX):]
    return None


def signed_by(signed, value, private_key):
    """Whether value (base64 DER) is a signature of signed by private_key's public half."""
    try:
        der = base64.b64decode(value, validate=True)
    except ValueError:
        return False
    with tempfile.TemporaryDirectory(prefix="okavu-publish-") as scratch:
        signature = os.path.join(scratch, "signature.der")
        with open(signature, "wb") as f:
            f.write(der)
        done = _run_openssl(["dgst", "-sha256", "-prverify", private_key, "-signature", signature], signed)
    return done.returncode == 0 and b"Verified OK" in done.stdout


# ---- the key a build carries -------------------------------------------------------------------

def carried_key(path, data):
    """The DER SubjectPublicKeyInfo an executable carries as OKAVU_UPDATE_KEY, None when it carries none.
    Blanks, line breaks and NULs are not part of the key, as the program reads it."""
    try:
        texts = PeImage(data).named_resources(RT_RCDATA, KEY_RESOURCE)
    except PublishError as e:
        raise PublishError(f"{path}: {e}")
    if not texts:
        return None
    keys = set()
    for text in texts:
        try:
            keys.add(base64.b64decode(re.sub(rb"[ \t\r\n\0]", b"", text), validate=True))
        except ValueError:
            raise PublishError(f"{path} carries an update key ({KEY_RESOURCE}) that is not base64 text")
    if len(keys) != 1:
        raise PublishError(f"{path} carries differing update keys ({KEY_RESOURCE}) in {len(texts)} languages")
    return keys.pop()


def check_carried_key(path, data, wanted, sign_key, new_key):
    """Refuses a build whose key is not wanted: the public half of sign_key, or new_key in a rotation."""
    key = carried_key(path, data)
    if key is None:
        raise PublishError(f"{path} carries no update key ({KEY_RESOURCE}): installed, it would take any manifest, "
                           f"signed or not; build it with -DOKAVU_UPDATE_PUBLIC_KEY")
    if key == wanted:
        return
    if new_key:
        raise PublishError(f"{path} carries another update key than {new_key} (--new-key): installed, it would "
                           f"refuse every manifest the new key signs")
    raise PublishError(f"{path} carries an update key that is not the public half of {sign_key}: installed, it "
                       f"would refuse every manifest that key signs; build it with that key, or name the key it "
                       f"carries with --new-key for a rotation release")


# ---- publishing --------------------------------------------------------------------------------

def _read_build(exe, subsystem):
    """(bytes, version) of a build that a program may install: within the size limit, with a version
    resource, and of the given PE subsystem."""
    try:
        with open(exe, "rb") as f:
            data = f.read()
    except OSError as e:
        raise PublishError(f"cannot read {exe}: {e.strerror}")
    try:
        if len(data) > DOWNLOAD_LIMIT:
            raise PublishError(f"{len(data)} bytes are more than the {DOWNLOAD_LIMIT} bytes a program downloads")
        version = file_version(data)
        if not VERSION_PATTERN.match(version):
            raise PublishError(f"FileVersion {version!r} is not a dotted version of up to four numbers")
        if PeImage(data).subsystem != subsystem:
            wanted = "a windowless (GUI subsystem)" if subsystem == SUBSYSTEM_WINDOWS else "a console"
            raise PublishError(f"not {wanted} program")
    except PublishError as e:
        raise PublishError(f"{exe}: {e}")
    return data, version


def _manifest_path(out):
    return os.path.join(out, PUBLISH_DIR, MANIFEST_NAME)


def publish(exe, out, notes=None, sign_key=None, windowless=None, *, new_key=None, valid_days=None,
            rollout_start=None, rollout_hours=None, now=None):
    """Writes the tree below out; returns (version, path of the copy, path of the manifest). windowless:
    the windowless build of the same version, published beside it. With sign_key, both builds must carry
    its public half, or new_key (a public key file) in a rotation release; the manifest gets seq and
    expires (valid_days, default 30). rollout_start and rollout_hours, both or neither, stage the release.
    now: the time in seconds since 1970 (default: the clock)."""
    if new_key and not sign_key:
        raise PublishError("--new-key needs --sign-key: a rotation release is signed with the old key")
    days = _valid_days(valid_days, bool(sign_key))
    rollout = rollout_lines(rollout_start, rollout_hours)
    data, version = _read_build(exe, SUBSYSTEM_CONSOLE)
    twin = None
    if windowless:
        twin, twin_version = _read_build(windowless, SUBSYSTEM_WINDOWS)
        if twin_version != version:
            raise PublishError(f"{windowless}: the windowless build is version {twin_version}, not {version}")
    manifest = _manifest_path(out)
    terms = []
    if sign_key:
        check_signing_key(sign_key)
        wanted = read_public_key(new_key) if new_key else public_key_of(sign_key)
        check_carried_key(exe, data, wanted, sign_key, new_key)
        if twin is not None:
            check_carried_key(windowless, twin, wanted, sign_key, new_key)
        terms = freshness_lines(manifest, previous_seq(manifest), days, time.time() if now is None else now)
    name = f"OKAVU-{version}.exe"
    twin_name = f"OKAVUw-{version}.exe"
    twin_fields = (twin_name, hashlib.sha256(twin).hexdigest(), len(twin)) if twin is not None else None
    text = manifest_text(version, name, hashlib.sha256(data).hexdigest(), len(data), notes, twin_fields)
    manifest_bytes = (text + "".join(line + "\n" for line in terms + rollout)).encode("utf-8")
    if sign_key:
        manifest_bytes += signature_line(manifest_bytes, sign_key)
    folder = os.path.dirname(manifest)
    os.makedirs(folder, exist_ok=True)
    copy = os.path.join(folder, name)
    _write_atomically(copy, data)
    if twin is not None:
        _write_atomically(os.path.join(folder, twin_name), twin)
    _write_atomically(manifest, manifest_bytes)
    return version, copy, manifest


def _is_term_line(line):
    """Whether the manifest line is one of the terms that re-signing writes anew, read as the program reads it."""
    line = line.strip(b" \t\r")
    key, equals, _ = line.partition(b"=")
    return bool(equals) and not line.startswith(b"#") and key.strip(b" \t\r") in TERM_KEYS


def resign(out, sign_key, *, valid_days=None, rollout_start=None, rollout_hours=None, now=None):
    """Signs the manifest below out anew with a new seq and expires, its release lines unchanged; the
    rollout terms stay unless both rollout_start and rollout_hours are given. The manifest must carry a
    signature of sign_key: re-signing anything else would bless it. Returns (path of the manifest, seq)."""
    days = _valid_days(valid_days, True)
    new_rollout = rollout_lines(rollout_start, rollout_hours)
    check_signing_key(sign_key)
    manifest = _manifest_path(out)
    try:
        with open(manifest, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        raise PublishError(f"{manifest}: there is no manifest to re-sign")
    except OSError as e:
        raise PublishError(f"cannot read {manifest}: {e.strerror}")
    split = split_signature(data)
    if split is None:
        raise PublishError(f"{manifest} is not signed; publish the release with --sign-key instead")
    signed, value = split
    if not signed_by(signed, value, sign_key):
        raise PublishError(f"{manifest} has no valid signature of {sign_key}; re-signing would vouch for a "
                           f"manifest that key never signed")
    fields = manifest_fields(signed)
    if not fields.get("version") or not fields.get("url"):
        raise PublishError(f"{manifest} names no release (version and url)")
    previous = previous_seq(manifest, signed)
    rollout = new_rollout or rollout_lines(fields.get("rollout_start"), fields.get("rollout_hours"), manifest)
    kept = [line for line in signed.split(b"\n")[:-1] if not _is_term_line(line)]
    terms = freshness_lines(manifest, previous, days, time.time() if now is None else now)
    body = b"".join(line + b"\n" for line in kept) + "".join(line + "\n" for line in terms + rollout).encode("utf-8")
    _write_atomically(manifest, body + signature_line(body, sign_key))
    return manifest, int(terms[0].partition("=")[2])


def main(argv=None):
    parser = argparse.ArgumentParser(description="Publish a built OKAVU.exe as the update host's tree, or re-sign "
                                                 "the manifest published there.")
    parser.add_argument("exe", nargs="?", help="the built executable (its version resource names the version)")
    parser.add_argument("--out", default=".", help="root of the update host's tree (default: .)")
    parser.add_argument("--notes", help="release notes for the manifest's notes line")
    parser.add_argument("--sign-key", help="the publisher's EC P-256 private key (PEM) to sign the manifest with")
    parser.add_argument("--windowless", help="the windowless build (OKAVUw.exe) of the same version, published beside it")
    parser.add_argument("--new-key", help="a rotation release: the public key (PEM) the builds carry instead of "
                                          "the public half of --sign-key")
    parser.add_argument("--valid-days", help=f"days until a signed manifest expires, 1 to {MAX_VALID_DAYS} "
                                             f"(default: {DEFAULT_VALID_DAYS})")
    parser.add_argument("--rollout-start", help="stage the release from this UTC time, YYYY-MM-DDTHH:MM:SSZ")
    parser.add_argument("--rollout-hours", help=f"over this many hours, 0 to {ROLLOUT_HOURS_MAX}")
    parser.add_argument("--resign", action="store_true",
                        help="sign the manifest in --out anew (new seq and expires), naming no executable")
    args = parser.parse_args(argv)
    terms = dict(valid_days=args.valid_days, rollout_start=args.rollout_start, rollout_hours=args.rollout_hours)
    try:
        if args.resign:
            if args.exe or args.windowless or args.notes is not None or args.new_key:
                raise PublishError("--resign takes no executable, --windowless, --notes or --new-key: the release "
                                   "lines stay as they are")
            if not args.sign_key:
                raise PublishError("--resign needs --sign-key, the key that signed the manifest")
            manifest, seq = resign(args.out, args.sign_key, **terms)
        else:
            if not args.exe:
                raise PublishError("name the executable to publish, or give --resign")
            version, copy, manifest = publish(args.exe, args.out, args.notes, args.sign_key, args.windowless,
                                              new_key=args.new_key, **terms)
    except PublishError as e:
        print(f"publish.py: {e}; {'nothing re-signed' if args.resign else 'nothing published'}",
              file=sys.stderr)
        return 1
    if args.resign:
        print(f"re-signed {manifest}: seq {seq}")
    else:
        print(f"published version {version}: {copy} and {manifest}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
