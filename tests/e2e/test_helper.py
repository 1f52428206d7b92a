"""The apply-update helper ("--apply-update") run on its own: its exit codes 0, 7, 8, 9 and 64, the lock that
makes a second helper for the same target wait its turn, the wait for the old process, the move with
retries, the cleared "PendingNewExe", the start of the new version with the forwarded arguments in the old
run's folder, and the way back to the old version when the new one cannot be installed or does not run."""
import hashlib
import os
import re
import shutil

import harness
from harness import STATE_SUBKEY, OkavuTestCase
from update_case import file_version

START_LINE = "更新帮手启动，参数已就绪，准备等待旧进程退出"
REPLACE_ATTEMPTS_SECONDS = 60 * 0.25
# What the started new version is given where it is not the subject: it ends at once and logs nothing.
QUIET = ["--version"]
NEW = harness.next_version()


def remembered(version):
    return f"已记下安装失败的版本 {version}，清单不换版本或摘要就不再下载它"


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class HelperTestCase(OkavuTestCase):
    """A target (the program's build) and a verified download (the next version's) in a folder whose name
    has a space and Chinese, and the helper as a copy of its own elsewhere, as the hand-over leaves them."""

    def setUp(self):
        super().setUp()
        self.app_dir = os.path.join(self.work_dir, "程序 目录")
        os.makedirs(self.app_dir)
        self.exe = self.copy_program(self.app_dir)
        self.exe_win = self.win_path(self.exe)
        self.new_file = os.path.join(self.app_dir, "OKAVU.new.exe")
        shutil.copyfile(harness.next_exe(), self.new_file)
        self.new_win = self.win_path(self.new_file)
        helper_dir = os.path.join(self.work_dir, "temp")
        os.makedirs(helper_dir)
        self.helper = self.copy_program(helper_dir, "OKAVU-updater-4242.exe")
        self.helper_win = self.win_path(self.helper)
        self.old_digest = digest(self.exe)
        self.new_digest = digest(self.new_file)
        self.reg_set(STATE_SUBKEY, "PendingNewExe", self.new_win)

    def helper_args(self, pid="0", version=NEW, forwarded=(), sha256="", cwd=None):
        """The hand-over's command line; sha256 "" names the download's own digest, None leaves it out."""
        args = ["--apply-update", "--target", self.exe_win, "--new", self.new_win, "--pid", pid, "--ver", version]
        if sha256 is not None:
            args += ["--sha256", sha256 or self.new_digest]
        if cwd is not None:
            args += ["--cwd", cwd]
        if forwarded:
            args += ["--", *forwarded]
        return args

    def run_helper(self, *args, timeout=harness.RUN_TIMEOUT):
        result = self.run_program(self.helper_win, *args, timeout=timeout)
        # Started detached in real use; even with a console it must print nothing.
        self.assertEqual((result.stdout, result.stderr), (b"", b""), result.describe())
        return result

    def start_old_process(self):
        """A process that runs until end_old_process(): (Windows process id, event that ends it)."""
        _, quit_event = self._event_names("old")
        started = self.tool("start-detached", self.win_path(harness.testtool_exe()), "wait-event", quit_event, "60000")
        return int(started.stdout_text.strip()), quit_event

    def assert_untouched(self):
        self.assertEqual(digest(self.exe), self.old_digest, "the old executable changed")
        self.assertEqual(digest(self.new_file), self.new_digest, "the download changed or is gone")
        self.assertEqual(self.reg_text(STATE_SUBKEY, "PendingNewExe"), self.new_win)

    def backup_dropped(self):
        return f"新版本运行正常，已删除旧版本备份：{self.exe_win}.old"

    def assert_gave_up(self):
        """After an install this computer kept from happening: the old executable in place (no backup left),
        the download gone, "PendingNewExe" cleared, the release not remembered against it and the fault
        counted for this computer's back-off."""
        self.assertEqual(digest(self.exe), self.old_digest, "the old executable changed")
        self.assertEqual([n for n in os.listdir(self.app_dir)], ["OKAVU.exe"])
        self.assertEqual(self.reg_text(STATE_SUBKEY, "PendingNewExe"), "")
        self.assertIsNone(self.reg_get(STATE_SUBKEY, "FailedUpdateVersion"))
        self.assertEqual(self.reg_text(STATE_SUBKEY, "LocalUpdateFaults"), "1")
        self.assertTrue(self.reg_text(STATE_SUBKEY, "LocalUpdateFaultComputer"))

    def gave_up_lines(self):
        return [f"已删除未安装的新版本文件：{self.new_win}", "已重新拉起旧版本"]


class ArgumentErrors(HelperTestCase):
    def test_nothing_after_the_mode_exits_64_with_the_start_line_and_the_exit_line(self):
        result = self.run_helper("--apply-update")
        self.assert_exit(result, 64)
        self.assertEqual(self.log_texts(), [("INFO", START_LINE), harness.exit_log(64)])
        self.assert_untouched()

    def test_missing_target_or_new_file_exits_64(self):
        for args in (["--apply-update", "--new", self.new_win, "--pid", "1"],
                     ["--apply-update", "--target", self.exe_win],
                     ["--apply-update", "--target", self.exe_win, "--", "--new", self.new_win],
                     ["--APPLY-UPDATE", "--TARGET", self.exe_win, "--NEW", self.new_win]):
            with self.subTest(args=args):
                self.assert_exit(self.run_helper(*args), 64)
        self.assertEqual(self.log_texts(), [("INFO", START_LINE), harness.exit_log(64)] * 4)
        self.assert_untouched()

    def test_target_naming_the_helper_itself_exits_9(self):
        # Other letter case and a trailing backslash still name the helper's own file.
        own = self.helper_win.upper() + "\\"
        result = self.run_helper("--apply-update", "--target", own, "--new", self.new_win, "--ver", NEW,
                                 "--sha256", self.new_digest)
        self.assert_exit(result, 9)
        self.assertEqual(self.log_messages(), [START_LINE, "目标路径指向帮手自身，参数错误，放弃", harness.exit_log(9)[1]])
        self.assertTrue(os.path.exists(self.helper))
        self.assert_untouched()


class VersionCheck(HelperTestCase):
    def test_a_download_of_another_version_exits_7_and_the_old_version_runs_again(self):
        expected = harness.other_version(NEW, part=1)
        result = self.run_helper(*self.helper_args(version=expected, forwarded=QUIET))
        self.assert_exit(result, 7)
        self.assertEqual(self.log_messages(), [START_LINE, f"待替换文件版本({NEW})与预期({expected})不符，放弃更新"]
                         + self.gave_up_lines() + [harness.exit_log(7)[1]])
        self.assert_gave_up()

    def test_a_download_whose_digest_differs_exits_7_and_the_old_version_runs_again(self):
        # The hand-over passes the digest it verified; the file must still have it when it is moved.
        expected = hashlib.sha256(b"the build that was verified").hexdigest()
        result = self.run_helper(*self.helper_args(forwarded=QUIET, sha256=expected.upper()))
        self.assert_exit(result, 7)
        self.assertEqual(self.log_messages(), [START_LINE, f"待替换文件的 SHA256({self.new_digest})与预期({expected})不符，放弃更新"]
                         + self.gave_up_lines() + [harness.exit_log(7)[1]])
        self.assert_gave_up()

    def test_a_helper_is_never_without_both_checks(self):
        # No digest, no version, or the version switched off: a usage error that touches nothing.
        for args in (self.helper_args(sha256=None), self.helper_args(version="-"), self.helper_args(version=""),
                     self.helper_args(sha256="not-a-digest")):
            with self.subTest(args=args):
                self.reset_prefix()
                self.reg_set(STATE_SUBKEY, "PendingNewExe", self.new_win)
                self.assert_exit(self.run_helper(*args), 64)
                self.assertEqual(self.log_texts(), [("INFO", START_LINE), harness.exit_log(64)])
                self.assert_untouched()
        # A download whose version cannot be read is one of another version.
        shutil.copyfile(harness.testtool_exe(), self.new_file)
        self.assert_exit(self.run_helper(*self.helper_args(sha256=digest(self.new_file), forwarded=QUIET)), 7)
        self.assertIn(f"待替换文件版本()与预期({NEW})不符，放弃更新", self.log_messages())


class Replacement(HelperTestCase):
    def test_waits_for_the_old_process_replaces_and_starts_the_new_version_where_the_old_one_ran(self):
        pid, end_old = self.start_old_process()
        out_dir = os.path.join(self.work_dir, "导出 目录")
        os.makedirs(out_dir)
        extract = os.path.join(out_dir, "out picture.png")
        # The new version runs these in the old run's folder: a relative export without painting, options
        # whose values carry a space with double quotes and a trailing backslash, all read by the new
        # version's own parser.
        forwarded = ["--extract", "out picture.png", "-i", '4 "four"', "--update-interval", "30\\", "--no-paint"]
        helper = self.start_program(self.helper_win, *self.helper_args(
            pid=str(pid), forwarded=forwarded, sha256=self.new_digest, cwd=self.win_path(out_dir)))
        self.wait_for_log(re.escape(START_LINE))

        # A second helper for the same target (from another process of the program) waits its turn.
        second = self.start_program(self.helper_win,
                                    *self.helper_args(pid=str(pid), forwarded=QUIET, sha256=self.new_digest))
        self.wait_for_log("^另一个进程正在更新同一程序，等它完成（最多 60 秒）$", level="INFO")
        self.assert_untouched()
        self.assertTrue(helper.running, "the first helper must still wait for the old process")

        self.assertTrue(self.set_event(end_old))
        result = self.finish(helper)
        self.assert_exit(result, 0)
        self.assertEqual((result.stdout, result.stderr), (b"", b""))
        # The second finds the release installed and starts its own run of it.
        self.assert_exit(self.finish(second), 0)

        texts = self.log_messages()
        exited = [t for t in texts if t.startswith(f"旧进程 {pid} 已退出")]
        self.assertEqual(len(exited), 2, texts)  # each helper waited
        self.assertRegex(exited[0], rf"^旧进程 {pid} 已退出（等待 \d+ ms）$")
        replaced = [t for t in texts if t.startswith("已替换为新版本：")]
        self.assertEqual(len(replaced), 1, texts)
        self.assertRegex(replaced[0], "^已替换为新版本：" + re.escape(self.exe_win) + r"（替换重试耗时 \d+ ms）$")
        first = texts.index(replaced[0])
        self.assertEqual(texts[first + 1:first + 4], [f"旧版本暂存为 {self.exe_win}.old，新版本运行正常后删除",
                                                      "已拉起新版本", self.backup_dropped()])
        self.assertLess(texts.index(exited[0]), first)
        self.assertEqual(texts[-2:], [f"目标已是新版本（由另一个更新帮手装好）：{self.exe_win}", "已拉起新版本"])
        self.assertNotIn("替换首次失败", "".join(texts))

        self.assertEqual(file_version(self.exe), NEW)
        self.assertEqual(digest(self.exe), self.new_digest)
        self.assertEqual(os.listdir(self.app_dir), ["OKAVU.exe"])
        pending = self.reg_get(STATE_SUBKEY, "PendingNewExe")
        self.assertEqual((pending.type, pending.size, pending.data), ("REG_SZ", 2, ""))
        # The helper's own copy stays; the next start of the program removes it.
        self.assertTrue(os.path.exists(self.helper))

        # The new version ran in the old run's folder with the forwarded arguments.
        self.wait_until(lambda: os.path.exists(extract), what="the new version's export")
        with open(extract, "rb") as f, open(harness.picture_path(), "rb") as g:
            self.assertEqual(f.read(), g.read())

    def test_an_old_process_that_is_gone_is_not_waited_for(self):
        result = self.run_helper(*self.helper_args(pid="999999", forwarded=QUIET))
        self.assert_exit(result, 0)
        texts = self.log_messages()
        self.assertRegex(texts[1], r"^打开旧进程 999999 句柄失败 \(err=\d+\)，直接尝试替换$")
        self.assertEqual(self.log_entries()[1].level, "WARN")
        self.assertEqual(texts[-1], self.backup_dropped())
        self.assertEqual(file_version(self.exe), NEW)

    def test_a_target_that_stays_locked_exits_8_and_the_old_version_runs_again(self):
        # A reader that does not share delete access keeps the file from being replaced.
        self.hold_file(self.exe, share="r")
        result = self.run_helper(*self.helper_args(forwarded=QUIET, sha256=self.new_digest),
                                 timeout=harness.RUN_TIMEOUT + REPLACE_ATTEMPTS_SECONDS)
        self.assert_exit(result, 8)
        self.assertGreaterEqual(result.seconds, REPLACE_ATTEMPTS_SECONDS - 1)
        texts = self.log_messages()
        self.assertEqual(texts[0], START_LINE)
        self.assertRegex(texts[1], r"^替换首次失败 \(err=\d+\)，重试中…$")
        self.assertEqual(texts[2:], ["替换失败，旧版本保持不动：" + self.exe_win] + self.gave_up_lines()
                         + [harness.exit_log(8)[1]])
        self.assert_gave_up()

    def test_an_update_lock_held_for_good_brings_the_old_run_back_within_a_minute(self):
        # Whoever holds the lock file (only who may write the program's folder can) keeps this helper
        # out; after 60 s it leaves the run it was handed watching again, in the old version.
        open(self.exe + ".update.lock", "wb").close()
        self.hold_file(self.exe + ".update.lock")
        self.start_shell(record=False)
        helper = self.start_program(self.helper_win,
                                    *self.helper_args(forwarded=["--watch", "-i", "60", "--no-update"], cwd=self.work_win))
        self.wait_for_log("^已重新拉起旧版本$", timeout=75)
        self.assert_exit(self.finish(helper), 0)
        texts = self.log_messages()
        self.assertEqual(texts[:2], [START_LINE, "另一个进程正在更新同一程序，等它完成（最多 60 秒）"])
        self.assertRegex(texts[2], rf"^拿不到本程序的更新锁 \(err=258\)：{re.escape(self.exe_win)}\.update\.lock，放弃本次更新$")
        self.wait_for_log("^监视启动，间隔=60 秒，目标=", timeout=harness.RUN_TIMEOUT)
        self.assert_untouched()
        self.assertEqual(self.reg_text(STATE_SUBKEY, "LocalUpdateFaults"), "1")

    def test_a_new_version_that_cannot_start_is_rolled_back_and_the_helper_still_exits_0(self):
        # The download carries the right version and digest, but is built for another machine: its start
        # fails and the old one comes back.
        with open(self.new_file, "r+b") as f:
            data = bytearray(f.read())
            pe = int.from_bytes(data[0x3C:0x40], "little")
            data[pe + 4:pe + 6] = (0x01C4).to_bytes(2, "little")  # IMAGE_FILE_MACHINE_ARMNT
            f.seek(0)
            f.write(data)
        result = self.run_helper(*self.helper_args(sha256=digest(self.new_file), forwarded=QUIET))
        self.assert_exit(result, 0)
        texts = self.log_messages()
        failed = texts.index(next(t for t in texts if t.startswith("拉起新版本失败")))
        self.assertRegex(texts[failed], r"^拉起新版本失败 \(err=\d+\)$")
        self.assertEqual(texts[failed + 1:], [remembered(NEW), f"新版本未能正常运行，恢复旧版本：{self.exe_win}",
                                              f"已恢复旧版本：{self.exe_win}", "已重新拉起旧版本"])
        self.assertEqual(digest(self.exe), self.old_digest)
        self.assertEqual(os.listdir(self.app_dir), ["OKAVU.exe"])
        self.assertEqual(self.reg_text(STATE_SUBKEY, "PendingNewExe"), "")


    def test_an_old_version_that_cannot_be_put_back_runs_again_from_its_backup(self):
        # A release that fails once it is told to; meanwhile another program holds the backup without
        # letting it be renamed, so that the old version cannot go back under its name.
        shutil.copyfile(harness.broken_exe(), self.new_file)
        ready, _ = self._event_names("go")
        go = self._start_and_wait_ready(["hold-mutex", "Local\\" + ready + "_mutex", "--ready", ready, "--quit",
                                         "OKAVU_Test_BrokenRelease_Go"], ready, "the go event")
        self.addCleanup(go.kill)
        out = os.path.join(self.work_dir, "out.png")
        helper = self.start_program(self.helper_win, *self.helper_args(
            forwarded=["--extract", "out.png", "--no-paint"], sha256=digest(self.new_file), cwd=self.work_win))
        self.wait_for_log("^已拉起新版本$")
        self.hold_file(self.exe + ".old", share="r")
        self.assertTrue(self.set_event("OKAVU_Test_BrokenRelease_Go"))
        self.assert_exit(self.finish(helper, harness.RUN_TIMEOUT + REPLACE_ATTEMPTS_SECONDS), 0)

        texts = self.log_messages()
        failed = texts.index(next(t for t in texts if t.startswith("新版本启动后 ")))
        self.assertRegex(texts[failed], r"^新版本启动后 \d+ ms 就以退出码 3 结束$")
        self.assertEqual(texts[failed + 1:failed + 3], [remembered(NEW), f"新版本未能正常运行，恢复旧版本：{self.exe_win}"])
        self.assertRegex(texts[failed + 3], rf"^恢复旧版本失败 \(err=\d+\)：{re.escape(self.exe_win)}\.old$")
        self.assertEqual(texts[failed + 4], f"旧版本放不回原处，已从备份重新拉起：{self.exe_win}.old")
        self.assertEqual(self.log_entries()[failed + 4].level, "WARN")
        # The old version ran, from its backup, with the old run's arguments in its folder.
        self.wait_until(lambda: os.path.exists(out), what="the old version's export")
        with open(out, "rb") as f:
            self.assertEqual(f.read(), harness.embedded_picture())
        self.assertEqual(digest(self.exe + ".old"), self.old_digest)


if __name__ == "__main__":
    harness.main()
