"""What the self-update tests share: a real HTTPS update host (nginx on loopback, certificate from a CA the
prefix trusts) serving what tools/publish.py wrote, the program in a folder of its own, and the checks of
its requests, processes, log story and installed files."""
import hashlib
import os
import re
import shutil
import sys
import tempfile

import harness
import tls
from harness import STATE_SUBKEY, STOP_EVENT, OkavuTestCase
from update_host import UpdateHost
from wineprefix import wait_pid_gone

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import publish  # noqa: E402

OLD = harness.app_version()
NEW = harness.next_version()
MANIFEST = "/files/OKAVU/manifest.txt"
FIRST_CYCLE_DELAY = 5.0
UPDATE_TIMEOUT = 90.0
HELPER_START = "更新帮手启动，参数已就绪，准备等待旧进程退出"


def agent(version):
    return f"OKAVU-Quillmere/{version}"


def file_version(path):
    with open(path, "rb") as f:
        return publish.file_version(f.read())


def process_args(pid):
    """The argument vector of a Wine process as the program's own runtime split it (Wine shows it as the
    process's command line), or None when the process is gone."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            raw = f.read()
    except OSError:
        return None
    args = raw.split(b"\0")
    # The block may be longer than the arguments; the rest is zero bytes.
    while args and args[-1] == b"":
        args.pop()
    return [os.fsdecode(a) for a in args]

class UpdateTestCase(OkavuTestCase):
    download_seconds = None  # how long the new build's download is to take; None for full speed

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.chain_dir = tempfile.mkdtemp(prefix="okavu-update-tls-")
        cls.chain = tls.make_chain(cls.chain_dir)
        tls.import_ca(harness.prefix(), harness.testtool_exe(), cls.chain.ca_pem, wine=harness.wine())

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.chain_dir, ignore_errors=True)
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        rate = os.path.getsize(harness.next_exe()) / self.download_seconds if self.download_seconds else None
        self.host = UpdateHost(self.chain, slow_rate=rate)
        self.addCleanup(self.host.close)
        self.host.start()
        # The program lies in a folder of its own, under a name with a space and Chinese.
        self.app_dir = os.path.join(self.work_dir, "新 版本")
        os.makedirs(self.app_dir)
        self.exe = self.copy_program(self.app_dir)
        self.exe_win = self.win_path(self.exe)

    # ---- helpers ------------------------------------------------------------------------------------

    def requests(self, path=None, version=None):
        return [r for r in self.host.requests()
                if (path is None or r.path == path) and (version is None or r.agent == agent(version))]

    def describe(self):
        return ("--- log ---\n" + "\n".join(self.log_lines()) + "\n--- requests ---\n" +
                "\n".join(map(repr, self.host.requests())))

    def wait_for_new_version(self):
        """The process id of the program running from self.exe once the helper has started it."""
        def running_new():
            for pid in harness.program_pids():
                args = process_args(pid)
                if args and args[0].lower() == self.exe_win.lower():
                    return pid
            return None

        self.wait_for_log("^已拉起新版本$", timeout=UPDATE_TIMEOUT)
        return self.wait_until(running_new, timeout=15, what="the new version's process", describe=self.describe)

    def wait_for_run(self, args, other_than=()):
        """The process id of the program running from self.exe with exactly these arguments."""
        def running():
            for pid in harness.program_pids():
                found = process_args(pid)
                if pid not in other_than and found and [found[0].lower(), *found[1:]] == [self.exe_win.lower(), *args]:
                    return pid
            return None

        return self.wait_until(running, timeout=UPDATE_TIMEOUT, what=f"a run with {args}", describe=self.describe)

    def wait_for_watch_starts(self, count):
        """Waits until count watch runs (old and new) have started in this test."""
        self.wait_until(lambda: len([t for t in self.log_messages() if t.startswith("监视启动，")]) >= count,
                        timeout=UPDATE_TIMEOUT, what=f"{count} watch starts", describe=self.describe)

    def stop_watcher(self, pid):
        self.assertTrue(self.set_event(STOP_EVENT), "no stop event: the watcher is not running")
        self.assertTrue(wait_pid_gone(pid, harness.RUN_TIMEOUT), "the watcher did not end on the stop event")

    def assert_in_order(self, texts, patterns):
        """Each pattern matches a line after the line the previous one matched; returns the matches."""
        found = []
        position = 0
        for pattern in patterns:
            regex = re.compile(pattern)
            for index in range(position, len(texts)):
                m = regex.search(texts[index])
                if m:
                    found.append(m)
                    position = index + 1
                    break
            else:
                self.fail(f"no line matching {pattern!r} after line {position}\n" + self.describe())
        return found

    def assert_state_after_update(self):
        self.assertEqual(self.reg_text(STATE_SUBKEY, "PreviousVersion"), OLD)
        self.assertEqual(self.reg_text(STATE_SUBKEY, "LastUpdateAttempt"), NEW)
        self.assertRegex(self.reg_text(STATE_SUBKEY, "LastUpdateTime"), r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
        pending = self.reg_get(STATE_SUBKEY, "PendingNewExe")
        self.assertEqual((pending.type, pending.size, pending.data), ("REG_SZ", 2, ""))

    def assert_installed(self, published):
        self.assertEqual(file_version(self.exe), NEW)
        with open(self.exe, "rb") as f, open(published, "rb") as g:
            self.assertEqual(hashlib.sha256(f.read()).digest(), hashlib.sha256(g.read()).digest())
        self.assertFalse(os.path.exists(os.path.join(self.app_dir, "OKAVU.new.exe")))

    def assert_helper_story(self, texts):
        """The helper's own lines, in order; returns the old process's id as the helper names it."""
        waited = r"^(?:旧进程 (\d+) 已退出（等待 \d+ ms）|打开旧进程 (\d+) 句柄失败 \(err=\d+\)，直接尝试替换)$"
        found = self.assert_in_order(texts, [
            "^" + re.escape(HELPER_START) + "$",
            waited,
            "^已替换为新版本：" + re.escape(self.exe_win) + r"（替换重试耗时 \d+ ms）$",
            "^已拉起新版本$",
        ])
        return int(found[1].group(1) or found[1].group(2))
