"""What keeps a desktop guarded while it updates: a release that cannot be installed or does not run brings
the old version back and is not fetched again, and one process at a time updates an executable."""
import os
import re

import harness
from harness import STATE_SUBKEY
from update_case import MANIFEST, NEW, OLD, UPDATE_TIMEOUT, UpdateTestCase, file_version


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
        self.assert_exit(self.finish(old), 0)
        self.wait_for_watch_starts(2)
        pid = self.wait_for_run(self.ARGS)
        self.assertEqual(file_version(self.exe), OLD)
        self.assertEqual(os.listdir(self.app_dir), ["OKAVU.exe"])
        self.assertEqual(self.reg_text(STATE_SUBKEY, "PendingNewExe"), "")
        return pid

    def test_a_target_that_stays_locked_is_not_held_against_the_release_and_the_update_is_tried_again(self):
        _, published = self.host.publish(harness.next_exe())
        old = self.start_watcher()
        holder = self.hold_file(self.exe, share="r")
        self.assert_old_version_watches_again(old)
        holder.release()
        self.assertIn("替换失败，旧版本保持不动：" + self.exe_win, self.log_messages())
        # A locked file is this computer's trouble: the release is not remembered, the fault is counted.
        self.assertIsNone(self.reg_get(STATE_SUBKEY, "FailedUpdateVersion"))
        self.assertEqual(self.reg_text(STATE_SUBKEY, "LocalUpdateFaults"), "1")

        # The old version waits out the back-off, fetches the release again and installs it now.
        self.wait_for_log("^新版本运行正常，已删除旧版本备份：" + re.escape(self.exe_win) + r"\.old$", timeout=UPDATE_TIMEOUT)
        self.assert_installed(published)
        self.assertEqual(len(self.requests(f"/files/OKAVU/OKAVU-{NEW}.exe")), 2, self.describe())
        self.assertEqual(self.reg_text(STATE_SUBKEY, "LocalUpdateFaults"), "", "an install ends the back-off")
        self.stop_watcher(self.wait_for_run(self.ARGS))

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
    # The check's download lasts longer than the watcher's first wait, so the watcher's first cycle meets
    # the executable's lock whatever the machine's load.
    download_seconds = 10.0


    def test_a_watcher_and_a_check_of_the_same_executable_make_one_update(self):
        self.start_shell()
        _, published = self.host.publish(harness.next_exe())
        # While another process holds the executable's update lock (the file beside it), a check skips and
        # says so.
        open(self.exe + ".update.lock", "wb").close()
        holder = self.hold_file(self.exe + ".update.lock")
        skipped = self.run_program(self.exe_win, "--check-update", timeout=UPDATE_TIMEOUT)
        self.assert_exit(skipped, 0)
        self.assertTrue(skipped.stdout_text.endswith("[INFO ] 另一个进程正在更新本程序，本次检查跳过\n"), skipped.describe())
        self.assertIn("另一个进程正在更新本程序，跳过本次检查", self.log_messages())
        self.assertEqual([r.path for r in self.host.requests()], [MANIFEST])
        holder.release()

        # A check takes the lock first (it announces the release once it holds it), then a watcher starts.
        args = ["-w", "--update-interval", "5"]
        check = self.start_program(self.exe_win, "--check-update")
        self.wait_for_log(f"^发现新版本 {re.escape(NEW)}（当前 {re.escape(OLD)}）$", timeout=UPDATE_TIMEOUT)
        watcher = self.start_program(self.exe_win, *args)
        self.assert_exit(self.finish(check, UPDATE_TIMEOUT), 0)
        self.assert_exit(self.finish(watcher, UPDATE_TIMEOUT), 0)
        self.wait_for_watch_starts(2)
        new_pid = self.wait_for_run(args)

        self.assert_installed(published)
        self.assertEqual(len(self.requests(f"/files/OKAVU/OKAVU-{NEW}.exe")), 1, self.describe())
        texts = self.log_messages()
        # The watcher's first cycle met the lock, its next one the release in place.
        self.assertEqual(texts.count("另一个进程正在更新本程序，跳过本次检查"), 2, self.describe())
        self.assertIn(f"程序文件已是新版本 {NEW}，不再下载，交给更新帮手重新启动", texts)
        self.assertEqual(len([t for t in texts if t.startswith("已替换为新版本：")]), 1, self.describe())
        self.assertEqual([e for e in self.log_entries() if e.level == "ERROR"], [], self.describe())
        self.wait_until(lambda: self.requests(MANIFEST, NEW), timeout=30, what="the new watcher's check",
                        describe=self.describe)
        self.stop_watcher(new_pid)


if __name__ == "__main__":
    harness.main()
