"""The self-update in a fleet: the windowless twin installs only its own build, the administrator's update
policy turns updates off or holds them below a version, a second check asks whether the manifest changed, a
staged rollout reaches each ring at its time, and a busy host's Retry-After sets the pace."""
import os
import re
import shutil
import time

import harness
from harness import STOP_EVENT
from update_case import MANIFEST, NEW, OLD, UPDATE_TIMEOUT, UpdateTestCase, file_version, publish


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
        # As `reg add` writes it without /t: a REG_SZ of digits counts as its number.
        self.set_policy("DisableUpdates", "1")
        result = self.run_program(self.exe_win, "--check-update", timeout=UPDATE_TIMEOUT)
        self.assert_exit(result, 0)
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
        # A per-machine install gets its new versions from the deployment: no request, nothing to do.
        self.reg_set(harness.STATE_SUBKEY, "ManagedInstall", 1, root=harness.HKLM)
        result = self.run_program(self.exe_win, "--check-update", timeout=UPDATE_TIMEOUT)
        self.assert_exit(result, 0)
        self.assertIn("[INFO ] 自动更新：新版本由管理员的部署推送，本程序不自行更新"
                      "（HKLM\\SOFTWARE\\OKAVU\\Quillmere\\ManagedInstall=1）\n", result.stdout_text)
        self.assertEqual(self.host.requests(), [])
        self.reg_delete(harness.STATE_SUBKEY, "ManagedInstall", root=harness.HKLM)

        self.set_policy("MaxVersion", OLD)
        result = self.run_program(self.exe_win, "--check-update", timeout=UPDATE_TIMEOUT)
        self.assert_exit(result, 0)
        self.assertIn(f"[INFO ] 版本 {NEW} 高于策略允许的最高版本 {OLD}，不更新\n", result.stdout_text)
        self.assertEqual([r.path for r in self.host.requests()], [MANIFEST])
        self.assertEqual(file_version(self.exe), OLD)

    def test_a_policy_set_while_a_watcher_runs_reaches_it_before_its_next_check(self):
        self.start_shell()
        self.host.publish(harness.okavu_exe())  # nothing newer yet
        watcher = self.start_program(self.exe_win, "-w", "--update-interval", "5")
        self.wait_until(lambda: self.requests(MANIFEST), timeout=UPDATE_TIMEOUT, what="the watcher's first check",
                        describe=self.describe)
        mark = self.log_mark()
        self.wait_until(lambda: self.requests(MANIFEST)[2:], timeout=UPDATE_TIMEOUT, what="the watcher's third check",
                        describe=self.describe)
        # Later checks ask whether the manifest changed, all on the connection of the first; a 304 leaves
        # everything as it was: no line, no state.
        first, *later = self.requests(MANIFEST)[:3]
        self.assertEqual((first.status, first.asked_etag), (200, ""), self.describe())
        self.assertTrue(first.etag, self.describe())
        self.assertEqual([(r.status, r.asked_etag, r.connection) for r in later],
                         [(304, first.etag, first.connection)] * 2, self.describe())
        self.assertFalse(self.reg_key_exists(harness.STATE_SUBKEY))
        # An administrator holds the fleet below the release about to come out, then turns updates off.
        self.set_policy("MaxVersion", OLD)
        self.host.publish(harness.next_exe())
        held = f"版本 {NEW} 高于策略 MaxVersion={OLD}，不更新"
        self.wait_for_log(f"^{re.escape(held)}$", timeout=UPDATE_TIMEOUT)
        self.assertEqual(self.log_texts(mark), [("INFO", held)], "nothing between the checks")
        self.set_policy("DisableUpdates", 1)
        self.wait_for_log(r"^自动更新已被策略禁用（HKLM\\" + re.escape(self.POLICY) + r"\\DisableUpdates）$",
                          timeout=UPDATE_TIMEOUT)
        asked = len(self.requests(MANIFEST))
        self.assertEqual(self.requests(f"/files/OKAVU/OKAVU-{NEW}.exe"), [], self.describe())
        self.assertTrue(self.set_event(STOP_EVENT))
        self.assert_exit(self.finish(watcher), 0)
        self.assertEqual(len(self.requests(MANIFEST)), asked, "no check once updates were off")
        self.assertEqual(file_version(self.exe), OLD)

    def check_update(self):
        result = self.run_program(self.exe_win, "--check-update", timeout=UPDATE_TIMEOUT)
        self.assert_exit(result, 0)
        return result

    def test_a_staged_rollout_reaches_the_first_ring_at_its_start_and_the_last_at_its_end(self):
        self.start_shell()
        now = int(time.time())
        # It starts tomorrow: nobody takes it, and the desktop says when it will, in its own time.
        self.host.publish(harness.next_exe(), rollout_start=publish.utc_text(now + 86400), rollout_hours=0)
        due = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(now + 86400))
        self.assertIn(f"[INFO ] 版本 {NEW} 正在分批推送，本机将于 {due} 起更新\n", self.check_update().stdout_text)
        # Under way for an hour: the last ring waits for its end.
        self.host.publish(harness.next_exe(), rollout_start=publish.utc_text(now - 60), rollout_hours=1)
        self.set_policy("UpdateRing", 2)
        end = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(now - 60 + 3600))
        self.assertIn(f"[INFO ] 版本 {NEW} 正在分批推送，本机将于 {end} 起更新\n", self.check_update().stdout_text)
        self.assertEqual([r.path for r in self.host.requests()], [MANIFEST, MANIFEST], "nothing downloaded")
        self.assertRegex(self.reg_text(harness.STATE_SUBKEY, "InstallId"), "^[0-9a-f]{32}$")
        # The first ring takes it from its start.
        self.set_policy("UpdateRing", 0)
        self.check_update()
        self.wait_for_log("^新版本运行正常，已删除旧版本备份：" + re.escape(self.exe_win) + r"\.old$", timeout=UPDATE_TIMEOUT)
        self.assertEqual(file_version(self.exe), NEW)

    def test_a_busy_host_that_names_its_pace_is_not_asked_again_before_it(self):
        self.start_shell()
        self.host.answer_manifest(503, {"Retry-After": "120"})
        watcher = self.start_program(self.exe_win, "-w", "--update-interval", "5")
        first = self.wait_until(lambda: self.requests(MANIFEST), timeout=UPDATE_TIMEOUT, what="the first check",
                                describe=self.describe)[0]
        # A minute at an interval of five seconds: no second request.
        while time.time() < first.time + 60:
            self.assertEqual(len(self.requests(MANIFEST)), 1, self.describe())
            time.sleep(0.5)
        self.assertTrue(self.set_event(STOP_EVENT))
        stopped = self.finish(watcher)
        self.assert_exit(stopped, 0)
        told = "更新服务器要求暂缓检查（状态码 503，Retry-After: 120），120 秒内不再检查"
        self.assertEqual(stopped.stderr_text.count(f"[WARN ] {told}\n"), 1, stopped.describe())
        self.assertEqual(self.log_messages().count("服务器回 503，Retry-After: 120，120 秒内不再检查"), 1)
        self.assertEqual(len(self.requests(MANIFEST)), 1, self.describe())


if __name__ == "__main__":
    harness.main()
