"""Base class of the end-to-end tests: runs the real OKAVU.exe in the run's Wine prefix and reads what it
leaves behind (exit code, console bytes, log file, registry, files, shell notifications).

Every test starts from a clean prefix (see OkavuTestCase.reset_prefix) and gets its own scratch folder
inside drive_c. ctest provides the environment: OKAVU_EXE, OKAVU_TESTTOOL, OKAVU_TEST_ROOT (the state
folder of wineprefix.py), OKAVU_WINE, OKAVU_SOURCE_DIR and OKAVU_BUILD_DIR.

Waits never sleep blindly: they poll a condition until a deadline and fail with what they saw.
Standard library only.
"""
import collections
import itertools
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

from wineprefix import Prefix, PrefixError, pid_alive, processes_with_env, wait_pid_gone

HKCU = "HKCU"
HKLM = "HKLM"
STATE_KEY = r"Software\OKAVU"
STATE_SUBKEY = r"Software\OKAVU\Quillmere"
DESKTOP_KEY = r"Control Panel\Desktop"
POLICY_KEY = r"Software\Microsoft\Windows\CurrentVersion\Policies\System"
DESKTOP_VALUES = ("Wallpaper", "WallpaperStyle", "TileWallpaper")
POLICY_VALUE = "NoChangingWallPaper"
ACTIVE_DESKTOP_POLICY_KEY = r"Software\Microsoft\Windows\CurrentVersion\Policies\ActiveDesktop"
UPDATE_POLICY_ROOT = r"SOFTWARE\Policies\OKAVU"
RUN_KEY = r"Software\Microsoft\Windows\CurrentVersion\Run"
RUN_VALUE = "OKAVU Quillmere"

STOP_EVENT = r"Local\OKAVU_Quillmere_Stop"
WATCHER_MUTEX = r"Local\OKAVU_Quillmere_Mutex"
TARGET_NAME = "OKAVU-wallpaper.png"
LOG_FOLDER = "OKAVU-wallpaper"
LOG_NAME = "guard.log"
BOM = b"\xef\xbb\xbf"

# "2026-01-05 09:03:07 [WARN] text"
LOG_LINE_RE = re.compile(r"^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) \[(INFO|WARN|ERROR)\] (.*)$")

RUN_TIMEOUT = 30.0
TOOL_TIMEOUT = 15.0
READY_TIMEOUT = 15.0
POLL_INTERVAL = 0.02

LogEntry = collections.namedtuple("LogEntry", "stamp level text")
RegValue = collections.namedtuple("RegValue", "type size data")


def _require_env(name):
    value = os.environ.get(name)
    if not value:
        raise PrefixError(f"{name} is not set: run the end-to-end tests through ctest "
                          f"(ctest --test-dir build -R e2e)")
    return value


_prefix = None


def prefix():
    """The run's booted prefix (one per test process)."""
    global _prefix
    if _prefix is None:
        _prefix = Prefix(_require_env("OKAVU_TEST_ROOT"))
        _prefix.run_env  # fails early and clearly when the prefix was not booted
    return _prefix


def wine():
    return os.environ.get("OKAVU_WINE") or shutil.which("wine")


def okavu_exe():
    return _require_env("OKAVU_EXE")


EXIT_REASONS = {
    1: "Windows 拒绝设置墙纸",
    2: "没有可用的图片",
    3: "图片太短或格式不受支持",
    4: "桌面不可达（服务会话，或桌面外壳尚未运行）",
    5: "墙纸文件写不进或读不回",
    6: "已有监视实例在运行且未退出",
    7: "待替换文件的版本或 SHA256 与预期不符",
    8: "无法替换程序文件",
    9: "目标路径指向更新帮手自身",
    10: "本会话没有运行中的监视实例",
    64: "命令行参数有误",
}


def exit_log(code):
    """The (level, text) of the log line that ends a run, or the helper, with a non-zero code."""
    return ("ERROR", f"运行结束，退出码 {code}：{EXIT_REASONS[code]}")


def windowless_exe():
    """OKAVUw.exe, the windowless twin, built beside OKAVU.exe."""
    return os.path.join(os.path.dirname(okavu_exe()), "OKAVUw.exe")


def next_windowless_exe():
    """OKAVUw.exe of the next version, built beside next_exe()."""
    return os.path.join(os.path.dirname(next_exe()), "OKAVUw.exe")


def pe_subsystem(path):
    """The subsystem field of a PE file's optional header: 2 Windows (GUI), 3 console."""
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = int.from_bytes(data[0x3C:0x40], "little")
    if data[pe:pe + 4] != b"PE\0\0":
        raise AssertionError(f"{path} is not a PE file")
    return int.from_bytes(data[pe + 24 + 68:pe + 24 + 70], "little")


def testtool_exe():
    return _require_env("OKAVU_TESTTOOL")


def source_dir():
    return _require_env("OKAVU_SOURCE_DIR")


def build_dir():
    return _require_env("OKAVU_BUILD_DIR")


def next_exe():
    """OKAVU.exe of the same sources built as next_version(): the release the update tests publish."""
    return _require_env("OKAVU_NEXT_EXE")


def app_version():
    """The version the program was built as (OKAVU_VERSION)."""
    return _require_env("OKAVU_VERSION")


def next_version():
    """The version of next_exe(), newer than app_version()."""
    return _require_env("OKAVU_NEXT_VERSION")


def update_host():
    """The update host the program was built for (OKAVU_UPDATE_HOST)."""
    return _require_env("OKAVU_UPDATE_HOST")


def requires_local_update_host(cls):
    """Class decorator for tests that serve the update host themselves, on loopback, with manifests
    signed or not as each test chooses: they need a build for the host "localhost" without a publisher
    key of its own (the test command builds one)."""
    host = os.environ.get("OKAVU_UPDATE_HOST")
    key = os.environ.get("OKAVU_UPDATE_PUBLIC_KEY")
    if host not in (None, "localhost"):
        return unittest.skip(f"the program is built for the update host {host!r}, not 'localhost'")(cls)
    if key:
        return unittest.skip(f"the program is built with the publisher key {key!r}")(cls)
    return cls


def keyed_exe():
    """OKAVU.exe built with the test publisher's key (tests/keys/publisher-test.pub.pem)."""
    return os.path.join(build_dir(), "okavu-keyed", "OKAVU.exe")


def broken_exe():
    """The next version's release that ends with exit code 3 as soon as it starts (tools/broken_release.cpp)."""
    return os.path.join(build_dir(), "okavu-broken", "OKAVU.exe")


def test_key(name):
    """A key file of tests/keys: publisher-test.pem (the keyed build's), other-test.pem, rsa-test.pem,
    and their .pub.pem public halves."""
    return os.path.join(source_dir(), "tests", "keys", name)


def planted_dlls():
    """The DLLs that leave "<path>.loaded" when loaded, named as system DLLs (tests/tools/planted_dll.cpp)."""
    folder = os.path.join(build_dir(), "tests", "planted")
    return [os.path.join(folder, name) for name in ("version.dll", "winhttp.dll", "bcrypt.dll")]


def version_parts(version):
    return [int(part) for part in version.split(".")]


def other_version(version, part=3, step=1):
    """version with one of its four parts moved by step ('1.7.0.0', part 1 -> '1.8.0.0')."""
    parts = version_parts(version)
    parts[part] += step
    return ".".join(str(p) for p in parts)


def older_version(version):
    """A version just below version, written with four parts ('1.6.0.0' -> '1.5.9.9')."""
    major, minor, build, revision = version_parts(version)
    if revision:
        return f"{major}.{minor}.{build}.{revision - 1}"
    if build:
        return f"{major}.{minor}.{build - 1}.9"
    if minor:
        return f"{major}.{minor - 1}.9.9"
    return f"{major - 1}.9.9.9"


def picture_path():
    """resources/OKAVU.png, the picture embedded in the program."""
    return os.path.join(source_dir(), "resources", "OKAVU.png")


def embedded_picture():
    """The bytes of the picture embedded in the program."""
    with open(picture_path(), "rb") as f:
        return f.read()


# ---- paths ---------------------------------------------------------------------------------------------


def _resolve_case(base, parts):
    """Joins parts under base, matching each part without regard to case when the exact one is missing."""
    path = base
    for part in parts:
        if part in ("", "."):
            continue
        exact = os.path.join(path, part)
        if not os.path.exists(exact) and os.path.isdir(path):
            for name in os.listdir(path):
                if name.lower() == part.lower():
                    exact = os.path.join(path, name)
                    break
        path = exact
    return path


def win_path(unix_path):
    """The Windows path of a Unix path: drive_c as C:, everything else through Z:."""
    path = os.path.abspath(unix_path)
    drive_c = os.path.abspath(prefix().drive_c)
    if path == drive_c:
        return "C:\\"
    if path.startswith(drive_c + os.sep):
        return "C:\\" + path[len(drive_c) + 1:].replace("/", "\\")
    return "Z:" + path.replace("/", "\\")


def unix_path(windows_path):
    """The Unix path of a Windows path in the prefix (drive letters through dosdevices)."""
    m = re.match(r"^(?:\\\\\?\\)?([A-Za-z]):(.*)$", windows_path)
    if not m:
        raise ValueError(f"not an absolute Windows path: {windows_path!r}")
    letter, rest = m.group(1).lower(), m.group(2)
    if letter == "c":
        base = prefix().drive_c
    else:
        base = os.path.realpath(os.path.join(prefix().path, "dosdevices", letter + ":"))
    return _resolve_case(base, re.split(r"[\\/]+", rest))


# ---- the screen ----------------------------------------------------------------------------------------


class Screen:
    """A picture of the X display: width, height and 3 bytes (red, green, blue) a pixel, rows from the top."""

    def __init__(self, width, height, rgb):
        self.width = width
        self.height = height
        self.rgb = rgb

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])


def _screen_ppm(display):
    """The display as a binary PPM: the root window through xwd, converted by netpbm's xwdtopnm."""
    xwd = subprocess.run(["xwd", "-root", "-silent", "-display", display], stdin=subprocess.DEVNULL,
                         capture_output=True, timeout=TOOL_TIMEOUT, check=True).stdout
    return subprocess.run(["xwdtopnm"], input=xwd, capture_output=True, timeout=TOOL_TIMEOUT, check=True).stdout


def capture_screen(display):
    """What the X display shows now, as a Screen."""
    data = _screen_ppm(display)
    fields, position = [], 0
    while len(fields) < 4:  # magic, width, height, maximum sample; "#" starts a comment
        while data[position:position + 1].isspace():
            position += 1
        if data[position:position + 1] == b"#":
            position = data.index(b"\n", position)
            continue
        end = position
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[position:end])
        position = end
    if fields[0] != b"P6":
        raise ValueError(f"xwdtopnm wrote {fields[0]!r}, not a colour PPM")
    width, height, maximum = int(fields[1]), int(fields[2]), int(fields[3])
    pixels = data[position + 1:]
    if maximum > 255:  # two bytes a sample, most significant first
        pixels = bytes((pixels[i] << 8 | pixels[i + 1]) * 255 // maximum for i in range(0, len(pixels), 2))
    return Screen(width, height, pixels[:width * height * 3])


def save_screen_png(display, path):
    """Writes what the X display shows now to path as a PNG (netpbm's pnmtopng)."""
    png = subprocess.run(["pnmtopng"], input=_screen_ppm(display), capture_output=True, timeout=TOOL_TIMEOUT,
                         check=True).stdout
    with open(path, "wb") as f:
        f.write(png)


# ---- processes -----------------------------------------------------------------------------------------


# Wine's own error lines (WINEDEBUG err channel), which Wine writes into the program's standard error;
# those written before Wine's debug output is set up have no thread id.
WINE_ERROR_LINE = re.compile(rb"^(?:[0-9a-f]{4,}:)?err:[^\n]*(?:\n|$)", re.M)
# What Wine says when it cannot even start a process: the address ranges it must map are taken (Debian's
# Wine has no preloader to reserve them).
WINE_START_FAILURE = re.compile(r"err:virtual:.*wine: failed to map|wine: failed to map|virtual_alloc_first_teb")


def split_wine_errors(data):
    """(data without Wine's error lines, the error lines as text)."""
    errors = [m.group(0).decode("utf-8", "replace").rstrip("\n") for m in WINE_ERROR_LINE.finditer(data)]
    return WINE_ERROR_LINE.sub(b"", data), errors


class Result:
    """What a finished run left: exit code, the bytes of standard output and error (without Wine's error
    lines, which are in wine_errors), and the terminal bytes the console host wrote (escape sequences;
    not for exact comparison).

    For a run through testtool's launcher, exit_code is the code Windows reported for the program
    (GetExitCodeProcess), and unix_exit_code what the wine process returned; they differ only where Wine's
    teardown lost the program's code, which teardown_note() then describes."""

    def __init__(self, args, exit_code, stdout, stderr, tty, seconds, wine_errors=(), unix_exit_code=None):
        self.args = args
        self.exit_code = exit_code
        self.stdout = stdout
        self.stderr = stderr
        self.tty = tty
        self.seconds = seconds
        self.wine_errors = list(wine_errors)
        self.unix_exit_code = unix_exit_code  # None: not run through the launcher

    @property
    def stdout_text(self):
        return self.stdout.decode("utf-8")

    @property
    def stderr_text(self):
        return self.stderr.decode("utf-8")

    def wine_start_failure(self):
        """The Wine error line, when Wine could not start the process at all (so the program never ran)."""
        if self.unix_exit_code is not None or self.exit_code != 1:
            return None
        return next((line for line in self.wine_errors if WINE_START_FAILURE.search(line)), None)

    def teardown_note(self):
        """None, or what Wine changed about the exit code between the program and the test."""
        # A unix exit status keeps the low byte of the Windows code.
        if self.unix_exit_code is None or self.unix_exit_code == self.exit_code & 0xFF:
            return None
        return (f"{self.args!r}: the program ended with exit code {self.exit_code} (GetExitCodeProcess), but its "
                f"wine process returned {self.unix_exit_code}")

    def describe(self):
        text = (f"{self.args!r} exit code {self.exit_code} after {self.seconds:.2f} s\n"
                f"--- stdout ---\n{self.stdout.decode('utf-8', 'replace')}\n"
                f"--- stderr ---\n{self.stderr.decode('utf-8', 'replace')}")
        if self.teardown_note():
            text += f"\n--- wine teardown ---\n{self.teardown_note()}"
        if self.wine_errors:
            text += "\n--- wine errors ---\n" + "\n".join(self.wine_errors)
        return text

    def __repr__(self):
        return f"Result({self.describe()})"


class Running:
    """A Wine process started in the background. A thread collects its output until it ends; output
    that detached children write later to inherited handles is not waited for."""

    def __init__(self, command, env, cwd, console, code_file=None):
        self.args = command
        self.code_file = code_file  # where testtool's launcher writes the program's Windows exit code
        self._started = time.monotonic()
        self._buffers = {"stdout": bytearray(), "stderr": bytearray(), "tty": bytearray()}
        self._lock = threading.Lock()
        self._done = threading.Event()
        self._tty_master = None
        stdin = subprocess.DEVNULL
        slave = None
        if console:
            # stdin on a terminal gives the program a console; stdout and stderr stay pipes, so the
            # console text arrives as the exact UTF-8 bytes the program wrote.
            self._tty_master, slave = os.openpty()
            stdin = slave
        try:
            self.proc = subprocess.Popen(command, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         env=env, cwd=cwd, start_new_session=True)
        except Exception:
            if self._tty_master is not None:
                os.close(self._tty_master)
            raise
        finally:
            if slave is not None:
                os.close(slave)
        self.pid = self.proc.pid
        self._thread = threading.Thread(target=self._collect, name=f"collect-{self.pid}", daemon=True)
        self._thread.start()

    def _collect(self):
        fds = {self.proc.stdout.fileno(): "stdout", self.proc.stderr.fileno(): "stderr"}
        if self._tty_master is not None:
            fds[self._tty_master] = "tty"
        try:
            pidfd = os.pidfd_open(self.pid)
        except (AttributeError, OSError):
            pidfd = None
        try:
            while True:
                watch = list(fds) + ([pidfd] if pidfd is not None else [])
                ready, _, _ = select.select(watch, [], [], None if pidfd is not None else POLL_INTERVAL)
                for fd in ready:
                    if fd in fds and not self._read(fd, fds[fd]):
                        del fds[fd]
                exited = pidfd in ready if pidfd is not None else self.proc.poll() is not None
                if exited or (not fds and pidfd is None):
                    break
            self.proc.wait()
            # Whatever the process wrote is in the pipes by now; read it without waiting for an end
            # of file that a detached child holding the same handle would delay.
            for fd, name in fds.items():
                os.set_blocking(fd, False)
                while self._read(fd, name):
                    pass
        finally:
            if pidfd is not None:
                os.close(pidfd)
            self.proc.stdout.close()
            self.proc.stderr.close()
            if self._tty_master is not None:
                os.close(self._tty_master)
            self._done.set()

    def _read(self, fd, name):
        try:
            chunk = os.read(fd, 65536)
        except BlockingIOError:
            return False
        except OSError:  # EIO: the terminal's other side is closed
            return False
        if not chunk:
            return False
        with self._lock:
            self._buffers[name] += chunk
        return True

    def output(self, stream="stdout"):
        """What the process has written to stream ("stdout", "stderr" or "tty") so far; standard error
        without Wine's error lines."""
        with self._lock:
            data = bytes(self._buffers[stream])
        return split_wine_errors(data)[0] if stream == "stderr" else data

    def wine_errors(self):
        with self._lock:
            return split_wine_errors(bytes(self._buffers["stderr"]))[1]

    def windows_exit_code(self):
        """The exit code the launcher recorded, or None (no launcher, or it recorded none)."""
        if not self.code_file:
            return None
        try:
            with open(self.code_file, encoding="ascii") as f:
                return int(f.read().strip())
        except (OSError, ValueError):
            return None

    @property
    def running(self):
        return not self._done.is_set()

    def wait(self, timeout):
        """The Result once the process has ended, or None when it still runs after timeout seconds."""
        if not self._done.wait(timeout):
            return None
        windows = self.windows_exit_code()
        code = self.proc.returncode if windows is None else windows
        return Result(self.args, code, self.output("stdout"), self.output("stderr"), self.output("tty"),
                      time.monotonic() - self._started, self.wine_errors(),
                      None if windows is None else self.proc.returncode)

    def interrupt(self):
        """Ctrl+C: SIGINT reaches the program's console control handler."""
        if self.running:
            try:
                os.kill(self.pid, signal.SIGINT)
            except ProcessLookupError:
                pass

    def kill(self):
        if self.running:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self._done.wait(TOOL_TIMEOUT)


def _process_image(args):
    """The Windows image path of a Wine process: Wine shows it as argv[0]; the launcher as argv[1]."""
    for arg in args[:2]:
        text = os.fsdecode(arg)
        if text.lower().endswith(".exe"):
            return text
    return None


def _is_wine_process(pid):
    try:
        exe = os.path.basename(os.readlink(f"/proc/{pid}/exe"))
    except OSError:
        return False
    return exe.startswith("wine") and not exe.startswith("wineserver")


def program_pids():
    """Wine processes of this prefix that tests start: OKAVU*.exe and testtool.exe wherever they lie, and
    any program inside drive_c outside C:\\windows (copies, helpers). Unit test programs are left alone."""
    marker = b"WINEPREFIX=" + os.fsencode(prefix().path)
    found = []
    for pid in processes_with_env(marker):
        if not _is_wine_process(pid) or not pid_alive(pid):
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
        except OSError:
            continue
        image = _process_image(args)
        if not image:
            continue
        lower = image.lower().replace("/", "\\")
        name = lower.rsplit("\\", 1)[-1]
        if "\\windows\\" in lower:
            continue
        if name.startswith("okavu") or name == "testtool.exe" or lower.startswith("c:\\"):
            found.append(pid)
    return found


def kill_programs():
    """Kills every program process of earlier tests, detached children included, and waits until they are
    gone, so that their mutexes, events and open files are released."""
    pids = program_pids()
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    for pid in pids:
        wait_pid_gone(pid, TOOL_TIMEOUT)


# ---- the test case -------------------------------------------------------------------------------------


class ShellHandle:
    """A running stand-in shell (testtool shell)."""

    def __init__(self, case, running, quit_event, log_unix):
        self._case = case
        self.running = running
        self.quit_event = quit_event
        self.log_unix = log_unix

    def messages(self):
        """The WM_SETTINGCHANGE messages received so far: (window class, wParam, lParam text or None)."""
        if not self.log_unix or not os.path.exists(self.log_unix):
            return []
        with open(self.log_unix, "rb") as f:
            lines = f.read().decode("utf-8").splitlines()
        messages = []
        for line in lines:
            window, wparam, text = line.split("\t", 2)
            messages.append((window, int(wparam), None if text == "<null>" else text))
        return messages

    def stop(self):
        if not self.running.running:
            return
        self._case.tool("set-event", self.quit_event, check=False)
        if self.running.wait(READY_TIMEOUT) is None:
            self.running.kill()


class Holder:
    """An object (mutex, file) held by a testtool process until release()."""

    def __init__(self, case, running, quit_event):
        self._case = case
        self.running = running
        self.quit_event = quit_event

    def release(self):
        if not self.running.running:
            return
        self._case.tool("set-event", self.quit_event, check=False)
        if self.running.wait(READY_TIMEOUT) is None:
            self.running.kill()


class OkavuTestCase(unittest.TestCase):
    """Each test: a clean prefix, a fresh scratch folder (self.work_dir, self.work_win), and helpers."""

    maxDiff = None
    _names = itertools.count()

    # ---- per-test reset ------------------------------------------------------------------------------

    def setUp(self):
        super().setUp()
        self.prefix = prefix()
        self._runs = []
        self._start_failures = []
        self.addCleanup(self._report_wine_errors)  # the first cleanup added runs last
        self.reset_prefix()
        name = re.sub(r"[^A-Za-z0-9_.-]", "_", ".".join(self.id().split(".")[-2:]))
        self.work_dir = os.path.join(self.prefix.drive_c, "tests", name)
        if os.path.exists(self.work_dir):
            shutil.rmtree(self.work_dir)
        os.makedirs(self.work_dir)
        self.work_win = win_path(self.work_dir)
        self.addCleanup(kill_programs)

    def reset_prefix(self):
        """Back to a prefix as booted: no program processes, no state key, no wallpaper values, no
        policies (the wallpaper's, the machine's and the user's update policy), no Run value, no machine
        key of a per-machine install, the temporary folder where wineboot put it, empty Pictures, no log folder, no OKAVU-* files in Temp."""
        kill_programs()
        temp = f"C:\\users\\{self.user}\\Temp"
        self.reg_batch([("reg-delete", HKCU, STATE_KEY),
                        ("reg-delete", HKCU, DESKTOP_KEY, *DESKTOP_VALUES),
                        ("reg-delete", HKCU, POLICY_KEY, POLICY_VALUE, "Wallpaper"),
                        ("reg-delete", HKCU, ACTIVE_DESKTOP_POLICY_KEY, POLICY_VALUE),
                        ("reg-delete", HKLM, UPDATE_POLICY_ROOT),
                        ("reg-delete", HKCU, UPDATE_POLICY_ROOT),
                        ("reg-delete", HKLM, RUN_KEY, RUN_VALUE),
                        ("reg-delete", HKCU, RUN_KEY, RUN_VALUE),
                        ("reg-delete", HKLM, STATE_KEY),  # what a per-machine install writes
                        # As wineboot leaves them; a test may point the temporary folder elsewhere.
                        ("reg-set", HKCU, "Environment", "TMP", "REG_SZ", temp),
                        ("reg-set", HKCU, "Environment", "TEMP", "REG_SZ", temp)])
        _empty_folder(self.pictures_dir)
        shutil.rmtree(os.path.join(self.local_appdata_dir, LOG_FOLDER), ignore_errors=True)
        for name in os.listdir(self.temp_dir):
            if name.startswith("OKAVU-"):
                _remove(os.path.join(self.temp_dir, name))

    # ---- user folders --------------------------------------------------------------------------------

    @property
    def user(self):
        return self.prefix.user

    @property
    def pictures_dir(self):
        return os.path.join(self.prefix.user_dir, "Pictures")

    @property
    def local_appdata_dir(self):
        return os.path.join(self.prefix.user_dir, "AppData", "Local")

    @property
    def temp_dir(self):
        return os.path.join(self.prefix.user_dir, "Temp")

    @property
    def target_path(self):
        """Unix path of the staged wallpaper, Pictures\\OKAVU-wallpaper.png."""
        return os.path.join(self.pictures_dir, TARGET_NAME)

    @property
    def target_win(self):
        return win_path(self.target_path)

    win_path = staticmethod(win_path)
    unix_path = staticmethod(unix_path)

    # ---- running programs ----------------------------------------------------------------------------

    def start_program(self, exe, *args, cwd=None, console=True, env=None, launch=False):
        """Starts exe (a Unix path, or a Windows path in the prefix) under Wine in the background. With
        launch, testtool's launcher starts it as its child and records the exit code Windows reports for it
        (a run started so cannot be interrupted with Ctrl+C)."""
        environment = self.prefix.environ()
        if env:
            environment.update(env)
        command = [wine(), exe, *args]
        code_file = None
        if launch:
            code_file = self._exit_code_file()
            program = win_path(exe) if exe.startswith("/") else exe
            command = [wine(), testtool_exe(), "launch", "--code-file", win_path(code_file), "--", program, *args]
        running = Running(command, environment, cwd or self.work_dir, console, code_file)
        self._runs.append(running)
        self.addCleanup(running.kill)
        return running

    def run_program(self, exe, *args, cwd=None, console=True, timeout=RUN_TIMEOUT, env=None):
        """Runs exe to its end through testtool's launcher and returns its Result; fails the test when it
        does not end in time."""
        running = self.start_program(exe, *args, cwd=cwd, console=console, env=env, launch=True)
        result = self.finish(running, timeout)
        if self._wine_could_not_start(result):
            result = self.finish(self.start_program(exe, *args, cwd=cwd, console=console, env=env, launch=True),
                                 timeout)
        return result

    def _wine_could_not_start(self, result):
        """True (and said, also when the test passes) when Wine failed before the program ran: the run may
        then be started again without hiding anything the program did."""
        line = result.wine_start_failure()
        if line:
            self._start_failures.append(f"{result.args!r}: Wine could not start the process ({line}); started again")
        return bool(line)

    def _exit_code_file(self):
        folder = os.path.join(self.prefix.root, "exit-codes")
        os.makedirs(folder, exist_ok=True)
        return os.path.join(folder, f"{os.getpid()}-{next(self._names)}.txt")

    def _report_wine_errors(self):
        """Keeps Wine's error lines and exit-code notes of every process of the test in a file of the test's
        own; shows them when the test failed, and a lost exit code always."""
        lines, notes = [], list(self._start_failures)
        for running in self._runs:
            result = running.wait(0)
            errors = result.wine_errors if result else running.wine_errors()
            if errors:
                lines.append(f"--- {running.args!r}")
                lines.extend(errors)
            note = result.teardown_note() if result else None
            if note:
                notes.append(note)
        if not lines and not notes:
            return
        folder = os.path.join(self.prefix.root, "wine-errors")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, re.sub(r"[^A-Za-z0-9_.-]", "_", self.id()) + ".log")
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(notes + lines) + "\n")
        failed = not getattr(getattr(self, "_outcome", None), "success", True)
        if notes or failed:
            print(f"\n{self.id()}: Wine's report ({path}):\n" + "\n".join(notes + lines), file=sys.stderr)

    def start_okavu(self, *args, **kwargs):
        """Starts OKAVU.exe with args in the background (console by default); see run_okavu."""
        return self.start_program(okavu_exe(), *args, **kwargs)

    def run_okavu(self, *args, **kwargs):
        """Runs OKAVU.exe with args to its end: console=True (stdin on a terminal, stdout and stderr
        captured) or console=False (no console at all), cwd (Unix path, default the scratch folder),
        timeout (seconds), env (extra variables)."""
        return self.run_program(okavu_exe(), *args, **kwargs)

    def assert_exit(self, result, code):
        """The run ended with exit code code; a failure shows the whole run."""
        self.assertEqual(result.exit_code, code, result.describe())

    def finish(self, running, timeout=RUN_TIMEOUT):
        """Waits for a started process to end; kills it and fails the test after timeout seconds."""
        result = running.wait(timeout)
        if result is None:
            partial = Result(running.args, None, running.output("stdout"), running.output("stderr"),
                             running.output("tty"), timeout)
            running.kill()
            self.fail(f"did not end within {timeout} s: {partial.describe()}")
        return result

    def stop_program(self, running, timeout=RUN_TIMEOUT):
        """Ctrl+C (SIGINT) and wait for the end; returns the Result."""
        running.interrupt()
        return self.finish(running, timeout)

    def tool(self, *args, check=True, timeout=TOOL_TIMEOUT, console=False):
        """Runs testtool.exe to its end; with check, fails the test unless it exits 0."""
        for attempt in range(2):
            code_file = self._exit_code_file()
            running = Running([wine(), testtool_exe(), "launch", "--code-file", win_path(code_file), "--",
                               win_path(testtool_exe()), *args], self.prefix.environ(),
                              getattr(self, "work_dir", None) or self.prefix.drive_c, console, code_file)
            self._runs.append(running)
            result = running.wait(timeout)
            if result is None:
                running.kill()
                self.fail(f"testtool {' '.join(args)} did not end within {timeout} s")
            if attempt == 1 or not self._wine_could_not_start(result):
                break
        if check and result.exit_code != 0:
            self.fail(f"testtool failed: {result.describe()}")
        return result

    def copy_program(self, folder=None, name="OKAVU.exe"):
        """Copies OKAVU.exe into folder (Unix path, default the scratch folder); returns the Unix path."""
        destination = os.path.join(folder or self.work_dir, name)
        shutil.copyfile(okavu_exe(), destination)
        return destination

    # ---- waiting -------------------------------------------------------------------------------------

    def wait_until(self, condition, timeout=10.0, what="condition", describe=None):
        """Polls condition() until it returns something true; returns that, or fails after timeout."""
        deadline = time.monotonic() + timeout
        while True:
            value = condition()
            if value:
                return value
            if time.monotonic() >= deadline:
                detail = f"\n{describe()}" if describe else ""
                self.fail(f"timed out after {timeout} s waiting for {what}{detail}")
            time.sleep(POLL_INTERVAL)

    def wait_for_output(self, running, pattern, stream="stdout", timeout=10.0):
        """Waits until the started process has written text matching pattern (a regex) to stream."""
        regex = re.compile(pattern)

        def matched():
            return regex.search(running.output(stream).decode("utf-8", "replace"))

        return self.wait_until(matched, timeout, f"{stream} to match {pattern!r}",
                               lambda: running.output(stream).decode("utf-8", "replace"))

    # ---- log file ------------------------------------------------------------------------------------

    @property
    def log_path(self):
        """Unix path of %LOCALAPPDATA%\\OKAVU-wallpaper\\guard.log."""
        return os.path.join(self.local_appdata_dir, LOG_FOLDER, LOG_NAME)

    def log_bytes(self):
        """The log file's bytes, or None when there is no log file."""
        try:
            with open(self.log_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def log_lines(self, since=0):
        """The log's lines from byte offset since on, decoded (strictly) without the mark and CR LF."""
        data = self.log_bytes() or b""
        data = data[since:]
        if data.startswith(BOM):
            data = data[len(BOM):]
        text = data.decode("utf-8")
        lines = text.split("\r\n")
        if lines and lines[-1] == "":
            lines.pop()
        return lines

    def log_entries(self, since=0):
        """The log's lines as LogEntry(stamp, level, text); a malformed line fails the test."""
        entries = []
        for line in self.log_lines(since):
            m = LOG_LINE_RE.match(line)
            if not m:
                self.fail(f"malformed log line: {line!r}")
            entries.append(LogEntry("%s-%s-%s %s:%s:%s" % m.groups()[:6], m.group(7), m.group(8)))
        return entries

    def log_texts(self, since=0):
        """The log's lines from byte offset since on as (level, text) pairs."""
        return [(e.level, e.text) for e in self.log_entries(since)]

    def log_messages(self, since=0):
        """The texts of the log's lines from byte offset since on, without stamp and level."""
        return [e.text for e in self.log_entries(since)]

    def log_mark(self):
        """The log's current size; pass it as since to look only at lines written after this point."""
        try:
            return os.path.getsize(self.log_path)
        except FileNotFoundError:
            return 0

    def wait_for_log(self, pattern, level=None, since=0, timeout=10.0):
        """Waits for a log line whose text (after the level tag) matches pattern; returns the LogEntry."""
        regex = re.compile(pattern)

        def found():
            data = (self.log_bytes() or b"")[since:]
            if not data.endswith(b"\n"):  # a line still being written
                data = data[:data.rfind(b"\n") + 1]
            if data.startswith(BOM):
                data = data[len(BOM):]
            for line in data.decode("utf-8", "replace").split("\r\n"):
                m = LOG_LINE_RE.match(line)
                if m and (level is None or m.group(7) == level) and regex.search(m.group(8)):
                    return LogEntry("%s-%s-%s %s:%s:%s" % m.groups()[:6], m.group(7), m.group(8))
            return None

        return self.wait_until(found, timeout, f"a log line matching {pattern!r}",
                               lambda: "--- log ---\n" + "\n".join(self.log_lines(since)))

    # ---- registry ------------------------------------------------------------------------------------

    def reg_get(self, key, value, root=HKCU):
        """RegValue(type, size, data) or None when missing. data: str for text types, int for REG_DWORD
        and REG_QWORD, bytes for the rest."""
        result = self.tool("reg-get", root, key, value, check=False)
        if result.exit_code == 1:
            return None
        if result.exit_code != 0:
            self.fail(f"reg-get failed: {result.describe()}")
        header, _, data = result.stdout_text.partition("\n")
        type_name, size = header.split(" ")
        if not data.endswith("\n"):
            self.fail(f"reg-get output without its final line feed: {result.stdout!r}")
        data = data[:-1]
        if type_name in ("REG_DWORD", "REG_QWORD") and data.isdigit():
            value_data = int(data)
        elif type_name in ("REG_SZ", "REG_EXPAND_SZ", "REG_MULTI_SZ"):
            value_data = data
        else:
            value_data = bytes.fromhex(data)
        return RegValue(type_name, int(size), value_data)

    def reg_text(self, key, value, root=HKCU):
        """The text of a REG_SZ value, or None when missing."""
        v = self.reg_get(key, value, root)
        if v is None:
            return None
        self.assertEqual(v.type, "REG_SZ", f"{key}\\{value}")
        return v.data

    def reg_set(self, key, value, data, type_name=None, root=HKCU):
        """Writes a value: str as REG_SZ, int as REG_DWORD, bytes as REG_BINARY unless type_name says."""
        if type_name is None:
            type_name = "REG_SZ" if isinstance(data, str) else "REG_DWORD" if isinstance(data, int) else "REG_BINARY"
        text = data.hex() if isinstance(data, (bytes, bytearray)) else str(data)
        self.tool("reg-set", root, key, value, type_name, text)

    def reg_batch(self, commands):
        """Runs reg-delete and reg-set commands (tuples of their arguments) in one testtool process; a
        missing key or value is no failure."""
        batch = os.path.join(self.prefix.root, "exit-codes", f"batch-{os.getpid()}-{next(self._names)}.txt")
        os.makedirs(os.path.dirname(batch), exist_ok=True)
        with open(batch, "w", encoding="utf-8", newline="\n") as f:
            f.write("".join("\t".join(command) + "\n" for command in commands))
        self.tool("reg-batch", win_path(batch))

    def reg_delete(self, key, value=None, root=HKCU):
        """Deletes a value, or the whole key tree without value; missing is fine."""
        self.tool("reg-delete", root, key, *([value] if value is not None else []), check=False)

    def reg_key_exists(self, key, root=HKCU):
        result = self.tool("reg-key-exists", root, key, check=False)
        if result.exit_code not in (0, 1):
            self.fail(f"reg-key-exists failed: {result.describe()}")
        return result.exit_code == 0

    def desktop_values(self):
        """{"Wallpaper": ..., "WallpaperStyle": ..., "TileWallpaper": ...}, None for a missing value."""
        values = {}
        for name in DESKTOP_VALUES:
            value = self.reg_get(DESKTOP_KEY, name)
            values[name] = value.data if value else None
        return values

    # ---- stand-in shell, held objects, other programs ------------------------------------------------

    def _event_names(self, what):
        n = next(self._names)
        base = f"OKAVU_Test_{os.getpid()}_{n}_{what}"
        return base + "_ready", base + "_quit"

    def _start_and_wait_ready(self, args, ready, what):
        """Starts a testtool process that signals the named event ready; fails the test when the process
        ends first or the event stays unset."""
        running = self.start_program(testtool_exe(), *args, console=False)
        waiter = Running([wine(), testtool_exe(), "wait-event", ready, str(int(READY_TIMEOUT * 1000))],
                         self.prefix.environ(), self.work_dir, False)
        deadline = time.monotonic() + READY_TIMEOUT + TOOL_TIMEOUT
        waited = None
        while waited is None and running.running and time.monotonic() < deadline:
            waited = waiter.wait(POLL_INTERVAL)
        if waited is None or waited.exit_code != 0:
            waiter.kill()
            result = running.wait(0)
            running.kill()
            details = result.describe() if result else running.output("stderr").decode("utf-8", "replace")
            self.fail(f"{what} did not get ready: {details}")
        return running

    def start_shell(self, windows="both", record=True):
        """Starts the stand-in shell: windows "both" (Progman and WorkerW), "progman", "workerw", or "none"
        (nothing is started and None returned: the desktop has no shell). With record, the settings
        changes it receives are available through the handle's messages(). Its shell window covers the
        screen and draws the wallpaper that the desktop values name, again after each settings change.
        Stopped at the test's end."""
        if windows == "none":
            return None
        flags = {"both": [], "progman": ["--only-progman"], "workerw": ["--only-workerw"]}[windows]
        ready, quit_event = self._event_names("shell")
        log_unix = None
        args = ["shell", *flags, "--ready", ready, "--quit", quit_event]
        if record:
            log_unix = os.path.join(self.work_dir, f"shell-{ready}.log")
            args += ["--log", win_path(log_unix)]
        running = self._start_and_wait_ready(args, ready, "the stand-in shell")
        shell = ShellHandle(self, running, quit_event, log_unix)
        self.addCleanup(shell.stop)
        return shell

    def screen(self):
        """What the run's X display shows now (the stand-in shell draws the wallpaper over it)."""
        return capture_screen(self.prefix.run_env["DISPLAY"])

    def hold_mutex(self, name=WATCHER_MUTEX):
        """Another process owns the named mutex until release() (or the test's end)."""
        ready, quit_event = self._event_names("mutex")
        running = self._start_and_wait_ready(["hold-mutex", name, "--ready", ready, "--quit", quit_event], ready,
                                             f"hold-mutex {name}")
        holder = Holder(self, running, quit_event)
        self.addCleanup(holder.release)
        return holder

    def hold_file(self, path, share=""):
        """Another process keeps path (Unix or Windows path of a file or folder) open with the given
        sharing ("" for none, or letters of "rwd") until release()."""
        windows = path if re.match(r"^[A-Za-z]:", path) else win_path(path)
        ready, quit_event = self._event_names("file")
        args = ["hold-file", windows, "--ready", ready, "--quit", quit_event]
        if share:
            args += ["--share", share]
        running = self._start_and_wait_ready(args, ready, f"hold-file {windows}")
        holder = Holder(self, running, quit_event)
        self.addCleanup(holder.release)
        return holder

    def pose_as_watcher(self, stop_event=True):
        """Another process publishes a watcher's status (and, with stop_event, its stop event) and never
        stops, until release()."""
        ready, quit_event = self._event_names("poser")
        flags = [] if stop_event else ["--no-stop-event"]
        running = self._start_and_wait_ready(["pose-as-watcher", *flags, "--ready", ready, "--quit", quit_event],
                                             ready, "pose-as-watcher")
        holder = Holder(self, running, quit_event)
        self.addCleanup(holder.release)
        return holder

    def set_event(self, name):
        """Sets an existing named event (for instance the watcher's stop event); False when none exists."""
        return self.tool("set-event", name, check=False).exit_code == 0

    def set_wallpaper_elsewhere(self, windows_path):
        """What another program does: SystemParametersInfoW(SPI_SETDESKWALLPAPER) with the ini update and
        the broadcast."""
        self.tool("set-wallpaper", windows_path)

    def import_ca(self, certificate):
        """Puts a CA certificate (Unix path of a DER or PEM file) into the prefix's LocalMachine Root."""
        self.tool("import-ca", win_path(certificate))


def _remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def _empty_folder(folder):
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        _remove(os.path.join(folder, name))


def main():
    unittest.main(verbosity=2)
