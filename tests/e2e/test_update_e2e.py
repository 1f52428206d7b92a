"""The self-update end to end: a program finds the next version's build of the same sources that
tools/publish.py put on a real HTTPS update host (nginx on loopback, certificate from a CA the prefix
trusts), downloads and verifies it, hands over to its helper and ends; the helper replaces the executable
and starts the new version with the old run's arguments. Also the update thread's start and stop, the
standalone check and the clean-up of leftover helper copies."""
import hashlib
import os
import re
import shutil
import time

import harness
from harness import STATE_SUBKEY, STOP_EVENT
from update_case import (FIRST_CYCLE_DELAY, MANIFEST, NEW, OLD, UPDATE_TIMEOUT, UpdateTestCase, file_version,
                         process_args)


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
        self.assert_exit(result, 0)
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
        # Signed with the key the release carries: a program without a publisher key reads the signature line,
        # seq and expires as keys it does not know.
        version, published = self.host.publish(harness.next_exe(), sign_key=harness.test_key("other-test.pem"))
        size = os.path.getsize(published)
        with open(published, "rb") as f:
            sha = hashlib.sha256(f.read()).hexdigest()
        args = ["--check-update", "--update-interval", "6\\", "--", "-w", "-i", '4 "q r"']
        forwarded = ["-w", "-i", '4 "q r"', "--check-update", "--update-interval", "6\\"]
        result = self.run_program(self.exe_win, *args, timeout=UPDATE_TIMEOUT)
        self.assert_exit(result, 0)
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
        self.assert_exit(result, 0)
        self.assertTrue(result.stdout_text.endswith(
            "[INFO ] 自动更新：每 30 秒检查一次 /files/OKAVU/manifest.txt\n"
            f"[INFO ] 独立执行一次更新检查（当前版本 {OLD}）…\n"), result.describe())
        self.assertEqual([r.path for r in self.host.requests()], [MANIFEST])
        self.assertEqual(file_version(self.exe), OLD)
        self.assertIsNone(self.reg_get(STATE_SUBKEY, "PendingNewExe"))


@harness.requires_local_update_host
class UpdateThread(UpdateTestCase):
    def test_a_stop_during_the_first_wait_ends_the_thread_without_a_cycle(self):
        # "--no-update" does not keep a watch run from starting its thread.
        self.start_shell()
        self.host.publish(harness.next_exe())
        # The stop comes from a process started beforehand, the moment the test asks for it: a fresh
        # Wine process could take longer than the thread's first wait on a loaded machine.
        trigger = os.path.join(self.work_dir, "stop-now")
        stopper = self.start_program(harness.testtool_exe(), "set-event", STOP_EVENT, "--when-file",
                                     self.win_path(trigger), console=False)
        old = self.start_program(self.exe_win, "-w", "--no-update")
        self.wait_for_output(old, "自动更新：每 30 秒检查一次 /files/OKAVU/manifest.txt")
        self.wait_for_log("^监视启动，间隔=3 秒，目标=")
        open(trigger, "w").close()
        self.assert_exit(self.finish(stopper), 0)
        result = self.finish(old)
        self.assert_exit(result, 0)
        self.assertEqual(self.host.requests(), [])
        self.assertEqual(file_version(self.exe), OLD)

    def test_a_watcher_keeps_guarding_across_runs_that_start_and_end_an_update_thread(self):
        self.start_shell()
        self.host.publish(harness.okavu_exe())  # nothing newer
        watcher = self.start_program(self.exe_win, "-w", "-i", "1", "--no-update")
        self.wait_for_log("^监视启动，间隔=1 秒，目标=")
        for args in (["--once", "--update"], ["--update"], ["--check-update"]):
            result = self.run_program(self.exe_win, *args, console=False)
            self.assert_exit(result, 0)
            self.assertTrue(watcher.running, f"the watcher ended with {args}\n" + self.describe())
        other = os.path.join(self.work_dir, "other.png")
        shutil.copyfile(harness.picture_path(), other)
        mark = self.log_mark()
        self.set_wallpaper_elsewhere(self.win_path(other))
        self.wait_for_log("^恢复正常：" + re.escape(self.target_win) + "$", since=mark)
        self.assertTrue(self.set_event(STOP_EVENT))
        self.assert_exit(self.finish(watcher), 0)

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
        self.assert_exit(result, 0)
        texts = self.log_messages()
        self.assertEqual(texts.count("清理了 2 个遗留的更新帮手副本"), 1, self.describe())
        self.assertEqual(sorted(n for n in os.listdir(self.temp_dir) if n.startswith("OKAVU-")),
                         ["OKAVU-other.exe", "OKAVU-updater-555.exe"])
        # The thread was stopped at the end of the run, before its first cycle was due.
        self.assertEqual(self.host.requests(), [])
        self.set_event(quit_event)


if __name__ == "__main__":
    harness.main()
