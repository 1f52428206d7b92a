"""The self-update end to end: a program finds the next version's build of the same sources that
tools/publish.py put on a real HTTPS update host (nginx on loopback, certificate from a CA the prefix
trusts), downloads and verifies it, hands over to its helper and ends; the helper replaces the executable
and starts the new version with the old run's arguments. Also the update thread's start and stop, the
standalone check and the clean-up of leftover helper copies."""
import hashlib
import os
import re
import shutil
import sys
import tempfile
import time

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



@harness.requires_local_update_host
class WatchRunUpdate(UpdateTestCase):
    def test_a_watch_run_updates_itself_and_the_new_version_runs_with_the_same_arguments_where_it_ran(self):
        self.start_shell()
        _, published = self.host.publish(harness.next_exe())
        # A picture named relative to the folder the watch was started in (not the program's folder).
        os.makedirs(os.path.join(self.work_dir, "pictures"))
        with open(harness.picture_path(), "rb") as f:
            picture = f.read() + b"corp"
        with open(os.path.join(self.work_dir, "pictures", "corp.png"), "wb") as f:
            f.write(picture)
        # "--" puts options for the new version first; the values carry a space with double quotes and a
        # trailing backslash, which must survive the helper's command line and the restart line.
        args = ["-w", "--update-interval", "5\\", "pictures\\corp.png", "--", "-i", '2 "x y"']
        forwarded = ["-i", '2 "x y"', "-w", "--update-interval", "5\\", "pictures\\corp.png"]
        started = time.time()
        old = self.start_program(self.exe_win, *args)
        self.wait_for_log("^监视启动，间隔=3 秒，目标=")

        new_pid = self.wait_for_new_version()
        result = self.finish(old)
        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertEqual(process_args(new_pid), [self.exe_win, *forwarded])
        # The new version read the forwarded options itself: its watch runs with the interval 2.
        new_start = self.wait_for_log("^监视启动，间隔=2 秒，目标=")

        self.assert_installed(published)
        self.assert_state_after_update()

        # The old process's thread waited 5 s before its first and only cycle; the new version's thread
        # then asks with its own version and finds nothing newer.
        first = self.requests(MANIFEST, OLD)
        self.assertEqual(len(first), 1, self.describe())
        self.assertGreaterEqual(first[0].time - started, FIRST_CYCLE_DELAY)
        downloads = self.requests(f"/files/OKAVU/OKAVU-{NEW}.exe", OLD)
        self.assertEqual([(r.status, r.bytes) for r in downloads], [(200, os.path.getsize(published))])
        self.wait_until(lambda: self.requests(MANIFEST, NEW), timeout=30, what="the new version's update check",
                        describe=self.describe)

        # The story, in order, in the one log file that all three processes write.
        texts = self.log_messages()
        m = self.assert_in_order(texts, [
            "^监视启动，间隔=3 秒，目标=",
            f"^发现新版本 {NEW}（当前 {OLD}）$",
            r"^下载校验通过：\d+ 字节 sha256=[0-9a-f]{64}$",
            r"^CreateProcess 返回成功 \(帮手 PID (\d+)\)$",
            r"^更新帮手已启动 \(PID (\d+)\)$",
            "^监视结束$",
            f"^开始应用更新：目标版本 {NEW}$",
            rf"^本进程退出以完成更新（新版本 {NEW}，帮手 PID (\d+)）$",
        ])
        self.assertEqual({m[3].group(1), m[4].group(1), m[7].group(1)}, {m[3].group(1)})
        old_pid = self.assert_helper_story(texts)
        self.assertNotEqual(old_pid, int(m[3].group(1)))
        # The move could only happen once the old process had ended, and the new version starts after it.
        self.assertLess(texts.index(m[7].group(0)), texts.index(next(t for t in texts if t.startswith("已替换为新版本"))))
        self.assertLess(texts.index("已拉起新版本"), texts.index(new_start.text))
        self.assertNotIn(f"发现新版本 {NEW}（当前 {NEW}）", texts)
        # The new version shows the picture it was given, and once it has run for a while the old
        # version's backup goes.
        with open(self.target_path, "rb") as f:
            self.assertEqual(f.read(), picture)
        self.wait_for_log("^新版本运行正常，已删除旧版本备份：" + re.escape(self.exe_win) + r"\.old$", timeout=30)
        self.assertEqual(os.listdir(self.app_dir), ["OKAVU.exe"])

        self.stop_watcher(new_pid)


@harness.requires_local_update_host
class StandaloneCheck(UpdateTestCase):
    # The foreground cycle still holds the busy flag when the thread's first cycle comes due after 5 s.
    download_seconds = 6.5

    def test_check_update_hands_over_at_once_and_the_thread_does_not_run_a_second_cycle(self):
        self.start_shell()
        # Signed: a program without a publisher key reads the signature line as a key it does not know.
        version, published = self.host.publish(harness.next_exe(), sign_key=harness.test_key("publisher-test.pem"))
        size = os.path.getsize(published)
        with open(published, "rb") as f:
            sha = hashlib.sha256(f.read()).hexdigest()
        args = ["--check-update", "--update-interval", "6\\", "--", "-w", "-i", '4 "q r"']
        forwarded = ["-w", "-i", '4 "q r"', "--check-update", "--update-interval", "6\\"]
        result = self.run_program(self.exe_win, *args, timeout=UPDATE_TIMEOUT)
        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertGreaterEqual(result.seconds, FIRST_CYCLE_DELAY, "the download was meant to outlast the 5 s")

        helper_pid = int(re.search(r"更新帮手已启动（PID (\d+)）", result.stdout_text).group(1))
        expected_tail = (
            "[INFO ] 自动更新：每 6 秒检查一次 /files/OKAVU/manifest.txt\n"
            f"[INFO ] 独立执行一次更新检查（当前版本 {OLD}）…\n"
            f"[INFO ] 发现新版本 {NEW}（当前 {OLD}），开始下载…\n"
            f"[ OK  ] 下载完成并通过校验：{size} 字节，SHA256 {sha}\n"
            f"[ OK  ] 新包版本资源确认：{NEW}\n"
            f"[ OK  ] 更新帮手已启动（PID {helper_pid}），本进程即将退出以完成替换\n"
            "[INFO ] ==== 准备自动更新 ====\n"
            f"[INFO ] 目标版本：{NEW}\n"
            f"[INFO ] 更新帮手 PID {helper_pid} 已就绪，本进程立即退出。\n"
            f"[INFO ] 随后由它完成：等本进程释放文件 → 覆盖 exe → 拉起新版 v{NEW}。\n"
            "[INFO ] 提示：若杀毒软件正在扫描新 exe，这一步可能耗时几十秒，属正常现象；\n"
            "[INFO ]       期间Quillmere短暂中断，新版本启动后自动恢复。\n")
        self.assertTrue(result.stdout_text.endswith(expected_tail), result.describe())

        new_pid = self.wait_for_new_version()
        self.assertEqual(process_args(new_pid), [self.exe_win, *forwarded])
        self.wait_for_log("^监视启动，间隔=4 秒，目标=")
        self.assert_installed(published)
        self.assert_state_after_update()

        # One cycle of the old version: the thread's attempt found the busy flag and asked nothing.
        self.assertEqual(len(self.requests(MANIFEST, OLD)), 1, self.describe())
        self.assertEqual(len(self.requests(f"/files/OKAVU/OKAVU-{version}.exe", OLD)), 1, self.describe())
        texts = self.log_messages()
        self.assert_in_order(texts, [
            f"^发现新版本 {NEW}（当前 {OLD}）$",
            rf"^本进程退出以完成更新（新版本 {NEW}，帮手 PID {helper_pid}）$",
        ])
        self.assert_helper_story(texts)
        self.assertEqual(texts.count(f"发现新版本 {NEW}（当前 {OLD}）"), 1)
        self.stop_watcher(new_pid)

    def test_check_update_without_a_newer_build_checks_once_and_exits_0(self):
        self.start_shell()
        self.host.publish(harness.okavu_exe())  # the running version itself
        result = self.run_program(self.exe_win, "--check-update", timeout=UPDATE_TIMEOUT)
        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertTrue(result.stdout_text.endswith(
            "[INFO ] 自动更新：每 30 秒检查一次 /files/OKAVU/manifest.txt\n"
            f"[INFO ] 独立执行一次更新检查（当前版本 {OLD}）…\n"), result.describe())
        self.assertEqual([r.path for r in self.host.requests()], [MANIFEST])
        self.assertEqual(file_version(self.exe), OLD)
        self.assertIsNone(self.reg_get(STATE_SUBKEY, "PendingNewExe"))


@harness.requires_local_update_host
class SignedUpdate(UpdateTestCase):
    """The build with the test publisher's key: it installs what that key signed, and nothing else."""

    def setUp(self):
        super().setUp()
        shutil.copyfile(harness.keyed_exe(), self.exe)
        self.start_shell()

    def check_update(self):
        result = self.run_program(self.exe_win, "--check-update", timeout=UPDATE_TIMEOUT)
        self.assertEqual(result.exit_code, 0, result.describe())
        return result

    def test_a_release_signed_with_the_publishers_key_is_installed(self):
        _, published = self.host.publish(harness.next_exe(), sign_key=harness.test_key("publisher-test.pem"))
        self.check_update()
        new_pid = self.wait_for_new_version()
        self.assert_installed(published)
        # The new version repeats the check with its own version, finds nothing newer and ends.
        self.assertTrue(wait_pid_gone(new_pid, harness.RUN_TIMEOUT), self.describe())

    def test_a_manifest_not_signed_by_the_publisher_is_refused_before_anything_is_downloaded(self):
        self.host.publish(harness.next_exe(), sign_key=harness.test_key("publisher-test.pem"))
        signed = self.host.manifest_bytes()
        body = signed[:signed.rindex(b"signature=")]
        mismatch = "签名与发布者公钥不符"
        cases = (
            ("a changed byte", body.replace(b"size=", b"size= ") + signed[len(body):], mismatch),
            ("no signature line", body, "没有签名行"),
            ("another key's signature", body + publish.signature_line(body, harness.test_key("other-test.pem")),
             mismatch),
            ("a malformed signature", body + b"signature=not-base64\n", "签名行格式不对"),
        )
        for name, manifest, reason in cases:
            with self.subTest(case=name):
                self.host.write_manifest(manifest)
                self.host.clear_requests()
                mark = self.log_mark()
                result = self.check_update()
                self.assertEqual(result.stderr_text, f"[WARN ] 更新清单的签名不可信（{reason}），本次不更新\n")
                self.assertEqual(self.log_texts(mark), [("INFO", f"设置墙纸：{self.target_win}"),
                                                        ("WARN", f"清单签名校验失败：{reason}")])
                self.assertEqual([r.path for r in self.host.requests()], [MANIFEST], "nothing but the manifest")
                self.assertFalse(os.path.exists(os.path.join(self.app_dir, "OKAVU.new.exe")))
                self.assertEqual(file_version(self.exe), OLD)


@harness.requires_local_update_host
class Recovery(UpdateTestCase):
    """What keeps the desktop guarded when a release cannot be installed or does not run."""

    ARGS = ["-w", "--update-interval", "5"]

    def start_watcher(self):
        self.start_shell()
        old = self.start_program(self.exe_win, *self.ARGS)
        self.wait_for_log("^监视启动，间隔=3 秒，目标=")
        return old

    def assert_old_version_watches_again(self, old):
        """The helper started the old version again with the same arguments; returns its process id."""
        self.wait_for_log("^已重新拉起旧版本$", timeout=UPDATE_TIMEOUT)
        self.assertEqual(self.finish(old).exit_code, 0)
        self.wait_for_watch_starts(2)
        pid = self.wait_for_run(self.ARGS)
        self.assertEqual(file_version(self.exe), OLD)
        self.assertEqual(os.listdir(self.app_dir), ["OKAVU.exe"])
        self.assertEqual(self.reg_text(STATE_SUBKEY, "PendingNewExe"), "")
        return pid

    def test_a_target_that_stays_locked_brings_the_old_version_back_and_the_release_is_not_fetched_again(self):
        _, published = self.host.publish(harness.next_exe())
        with open(published, "rb") as f:
            sha = hashlib.sha256(f.read()).hexdigest()
        old = self.start_watcher()
        holder = self.hold_file(self.exe, share="r")
        pid = self.assert_old_version_watches_again(old)
        holder.release()
        self.assertIn("替换失败，旧版本保持不动：" + self.exe_win, self.log_messages())
        self.assertEqual((self.reg_text(STATE_SUBKEY, "FailedUpdateVersion"),
                          self.reg_text(STATE_SUBKEY, "FailedUpdateSha256")), (NEW, sha))

        # Its cycles find the same release, say once that they skip it, and never download it again.
        skipped = self.wait_for_log(f"^跳过上次安装失败的版本 {re.escape(NEW)}$", timeout=30)
        asked = len(self.requests(MANIFEST))
        self.wait_until(lambda: len(self.requests(MANIFEST)) >= asked + 2, timeout=30,
                        what="two more update checks", describe=self.describe)
        self.assertEqual(len(self.requests(f"/files/OKAVU/OKAVU-{NEW}.exe")), 1, self.describe())
        self.assertEqual(self.log_messages().count(skipped.text), 1)
        self.stop_watcher(pid)

    def test_a_new_version_that_ends_with_an_error_at_once_is_rolled_back(self):
        self.host.publish(harness.broken_exe())
        old = self.start_watcher()
        pid = self.assert_old_version_watches_again(old)
        texts = self.log_messages()
        self.assert_in_order(texts, [
            "^已拉起新版本$",
            r"^新版本启动后 \d+ ms 就以退出码 3 结束$",
            f"^已记下安装失败的版本 {re.escape(NEW)}，",
            "^新版本未能正常运行，恢复旧版本：" + re.escape(self.exe_win) + "$",
            "^已恢复旧版本：" + re.escape(self.exe_win) + "$",
            "^已重新拉起旧版本$",
        ])
        self.stop_watcher(pid)


@harness.requires_local_update_host
class OneUpdateAtATime(UpdateTestCase):
    def test_a_watcher_and_a_check_of_the_same_executable_make_one_update(self):
        self.start_shell()
        _, published = self.host.publish(harness.next_exe())
        args = ["-w", "--update-interval", "5"]
        watcher = self.start_program(self.exe_win, *args)
        self.wait_for_log("^监视启动，间隔=3 秒，目标=")
        # The check updates at once; the watcher's first cycle, 5 s after its start, meets that update.
        check = self.run_program(self.exe_win, "--check-update", timeout=UPDATE_TIMEOUT)
        self.assertEqual(check.exit_code, 0, check.describe())
        self.assertEqual(self.finish(watcher).exit_code, 0)
        self.wait_for_watch_starts(2)
        new_pid = self.wait_for_run(args)

        self.assert_installed(published)
        self.assertEqual(len(self.requests(f"/files/OKAVU/OKAVU-{NEW}.exe")), 1, self.describe())
        texts = self.log_messages()
        self.assertIn(f"程序文件已是新版本 {NEW}，不再下载，交给更新帮手重新启动", texts)
        self.assertEqual(len([t for t in texts if t.startswith("已替换为新版本：")]), 1, self.describe())
        self.assertEqual([e for e in self.log_entries() if e.level == "ERROR"], [], self.describe())
        self.wait_until(lambda: self.requests(MANIFEST, NEW), timeout=30, what="the new watcher's check",
                        describe=self.describe)
        self.stop_watcher(new_pid)


@harness.requires_local_update_host
class Fleet(UpdateTestCase):
    """The windowless twin's own updates, and the administrator's update policy."""

    POLICY = r"SOFTWARE\Policies\OKAVU\Quillmere"

    def set_policy(self, name, data):
        self.reg_set(self.POLICY, name, data, root=harness.HKLM)
        self.addCleanup(self.reg_delete, self.POLICY, root=harness.HKLM)

    def test_the_windowless_twin_installs_only_its_own_build_and_stays_windowless(self):
        self.start_shell()
        exe_w = os.path.join(self.app_dir, "OKAVUw.exe")
        shutil.copyfile(harness.windowless_exe(), exe_w)
        exe_w_win = self.win_path(exe_w)
        # A manifest of the console build alone: the twin stays where it is and says so once.
        self.host.publish(harness.next_exe())
        result = self.run_program(exe_w_win, "--check-update", timeout=UPDATE_TIMEOUT)
        self.assertEqual((result.exit_code, result.stdout, result.stderr), (0, b"", b""), result.describe())
        self.assertIn(f"清单的版本 {NEW} 没有无窗口版下载地址，不更新", self.log_messages())
        self.assertEqual([r.path for r in self.host.requests()], [MANIFEST])

        self.host.publish(harness.next_exe(), windowless=harness.next_windowless_exe())
        self.host.clear_requests()
        result = self.run_program(exe_w_win, "--check-update", timeout=UPDATE_TIMEOUT)
        self.assertEqual((result.exit_code, result.stdout, result.stderr), (0, b"", b""), result.describe())
        self.wait_for_log("^新版本运行正常，已删除旧版本备份：" + re.escape(exe_w_win) + r"\.old$", timeout=UPDATE_TIMEOUT)
        self.assertEqual(file_version(exe_w), NEW)
        self.assertEqual(harness.pe_subsystem(exe_w), 2)
        self.assertEqual([r.path for r in self.requests(version=OLD)], [MANIFEST, f"/files/OKAVU/OKAVUw-{NEW}.exe"])
        self.assertEqual(file_version(self.exe), OLD, "the console build beside it is not touched")

    def test_the_policy_turns_updates_off_or_holds_them_below_a_version(self):
        self.start_shell()
        self.host.publish(harness.next_exe())
        self.set_policy("DisableUpdates", 1)
        result = self.run_program(self.exe_win, "--check-update", timeout=UPDATE_TIMEOUT)
        self.assertEqual(result.exit_code, 0, result.describe())
        disabled = f"[INFO ] 自动更新：已被策略禁用（HKLM\\{self.POLICY}\\DisableUpdates）\n"
        self.assertIn(disabled, result.stdout_text)
        # A watcher starts no update thread at all.
        watcher = self.start_program(self.exe_win, "-w", "--update-interval", "5")
        self.wait_for_log("^监视启动，间隔=3 秒，目标=")
        self.assertTrue(self.set_event(STOP_EVENT))
        stopped = self.finish(watcher)
        self.assertIn(disabled, stopped.stdout_text)
        self.assertNotIn("自动更新：每", stopped.stdout_text)
        self.assertEqual(self.host.requests(), [])

        self.reg_delete(self.POLICY, "DisableUpdates", root=harness.HKLM)
        self.set_policy("MaxVersion", OLD)
        result = self.run_program(self.exe_win, "--check-update", timeout=UPDATE_TIMEOUT)
        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertIn(f"[INFO ] 版本 {NEW} 高于策略允许的最高版本 {OLD}，不更新\n", result.stdout_text)
        self.assertEqual([r.path for r in self.host.requests()], [MANIFEST])
        self.assertEqual(file_version(self.exe), OLD)


@harness.requires_local_update_host
class UpdateThread(UpdateTestCase):
    def test_a_stop_during_the_first_wait_ends_the_thread_without_a_cycle(self):
        # "--no-update" does not keep a watch run from starting its thread.
        self.start_shell()
        self.host.publish(harness.next_exe())
        old = self.start_program(self.exe_win, "-w", "--no-update")
        self.wait_for_output(old, "自动更新：每 30 秒检查一次 /files/OKAVU/manifest.txt")
        self.wait_for_log("^监视启动，间隔=3 秒，目标=")
        self.assertTrue(self.set_event(STOP_EVENT))
        result = self.finish(old)
        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertEqual(self.host.requests(), [])
        self.assertEqual(file_version(self.exe), OLD)

    def test_a_watcher_keeps_guarding_across_runs_that_start_and_end_an_update_thread(self):
        self.start_shell()
        self.host.publish(harness.okavu_exe())  # nothing newer
        watcher = self.start_program(self.exe_win, "-w", "-i", "1", "--no-update")
        self.wait_for_log("^监视启动，间隔=1 秒，目标=")
        for args in (["--once", "--update"], ["--update"], ["--check-update"]):
            result = self.run_program(self.exe_win, *args, console=False)
            self.assertEqual(result.exit_code, 0, result.describe())
            self.assertTrue(watcher.running, f"the watcher ended with {args}\n" + self.describe())
        other = os.path.join(self.work_dir, "other.png")
        shutil.copyfile(harness.picture_path(), other)
        mark = self.log_mark()
        self.set_wallpaper_elsewhere(self.win_path(other))
        self.wait_for_log("^恢复正常：" + re.escape(self.target_win) + "$", since=mark)
        self.assertTrue(self.set_event(STOP_EVENT))
        self.assertEqual(self.finish(watcher).exit_code, 0)

    def test_update_alone_cleans_old_helper_copies_and_stops_the_thread_before_any_cycle(self):
        self.start_shell()
        self.host.publish(harness.next_exe())
        for pid in (1234, 99):
            shutil.copyfile(harness.okavu_exe(), os.path.join(self.temp_dir, f"OKAVU-updater-{pid}.exe"))
        # A copy that still runs (as a helper would) cannot be deleted and is not counted.
        busy_copy = os.path.join(self.temp_dir, "OKAVU-updater-555.exe")
        shutil.copyfile(harness.testtool_exe(), busy_copy)
        _, quit_event = self._event_names("busy_copy")
        self.tool("start-detached", self.win_path(busy_copy), "wait-event", quit_event, "60000")
        self.wait_until(lambda: any((process_args(p) or [""])[0].lower().endswith("okavu-updater-555.exe")
                                    for p in harness.program_pids()), what="the running copy")
        unrelated = os.path.join(self.temp_dir, "OKAVU-other.exe")
        shutil.copyfile(harness.okavu_exe(), unrelated)

        result = self.run_program(self.exe_win, "--update", console=False)
        self.assertEqual(result.exit_code, 0, result.describe())
        texts = self.log_messages()
        self.assertEqual(texts.count("清理了 2 个遗留的更新帮手副本"), 1, self.describe())
        self.assertEqual(sorted(n for n in os.listdir(self.temp_dir) if n.startswith("OKAVU-")),
                         ["OKAVU-other.exe", "OKAVU-updater-555.exe"])
        # The thread was stopped at the end of the run, before its first cycle was due.
        self.assertEqual(self.host.requests(), [])
        self.set_event(quit_event)


if __name__ == "__main__":
    harness.main()
