"""What an administrator rolling the program out relies on: the windowless twin OKAVUw.exe (no console,
the same work, the log only), "--status" and "--stop", a log line for every failing run, and the reports
of the wallpaper policies that Group Policy writes and of the settings that change the wallpaper on their
own (a background that is no picture, a desktop image of the Personalization service provider)."""
import os
import re
import shutil

import harness
from harness import DESKTOP_KEY, HKLM, OkavuTestCase

POLICIES = r"Software\Microsoft\Windows\CurrentVersion\Policies"
WALLPAPERS = r"Software\Microsoft\Windows\CurrentVersion\Explorer\Wallpapers"
PERSONALIZATION_CSP = r"SOFTWARE\Microsoft\Windows\CurrentVersion\PersonalizationCSP"
CSP_IMAGE = r"C:\Windows\Personalization\desk.jpg"


class FleetTestCase(OkavuTestCase):
    def setUp(self):
        super().setUp()
        folder = os.path.join(self.work_dir, "app")
        os.makedirs(folder)
        self.exe = self.win_path(self.copy_program(folder))
        self.exe_w = os.path.join(folder, "OKAVUw.exe")
        shutil.copyfile(harness.windowless_exe(), self.exe_w)
        self.exe_w = self.win_path(self.exe_w)

    def silent(self, *args, **kwargs):
        """Runs the windowless twin with a terminal attached; it must print nothing at all."""
        result = self.run_program(self.exe_w, *args, **kwargs)
        self.assertEqual((result.stdout, result.stderr), (b"", b""), result.describe())
        return result


class WindowlessTwin(FleetTestCase):
    def test_it_is_a_windows_subsystem_program_that_works_like_the_console_one_and_prints_nothing(self):
        self.assertEqual(harness.pe_subsystem(harness.windowless_exe()), 2)
        self.assertEqual(harness.pe_subsystem(harness.okavu_exe()), 3)
        self.start_shell(record=False)
        for args in (("--version",), ("--help",), ("--bogus",)):
            with self.subTest(args=args):
                self.silent(*args)
        mark = self.log_mark()
        result = self.silent("--once")
        self.assert_exit(result, 0)
        self.assertEqual(self.log_texts(mark), [("INFO", f"设置墙纸：{self.target_win}"), ("INFO", "检查通过")])
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), self.target_win)

    def test_a_windowless_watcher_guards_reports_its_status_and_stops(self):
        self.start_shell(record=False)
        status = self.run_program(self.exe, "--status")
        self.assert_exit(status, 10)
        self.assertEqual(status.stdout_text, "[INFO ] 本会话没有运行中的监视实例\n[INFO ] 上次更新：无记录\n")
        self.assertEqual(self.log_texts(), [("INFO", "状态查询：本会话没有运行中的监视实例"),
                                            ("INFO", "状态查询：上次更新无记录"), harness.exit_log(10)])

        watcher = self.start_program(self.exe_w, "--watch", "-i", "60", "--no-update")
        self.wait_for_log("^监视启动，间隔=60 秒，目标=")
        other = os.path.join(self.work_dir, "other.png")
        shutil.copyfile(harness.picture_path(), other)
        mark = self.log_mark()
        self.set_wallpaper_elsewhere(self.win_path(other))
        self.wait_for_log("^已改回目标墙纸：" + re.escape(self.target_win) + "$", since=mark)

        # An update recorded as the hand-over records it.
        previous = harness.older_version(harness.app_version())
        self.reg_set(harness.STATE_SUBKEY, "PreviousVersion", previous)
        self.reg_set(harness.STATE_SUBKEY, "LastUpdateAttempt", harness.app_version())
        self.reg_set(harness.STATE_SUBKEY, "LastUpdateTime", "2026-12-01 08:00:05")
        status = self.run_program(self.exe, "--status")
        self.assert_exit(status, 0)
        running = re.fullmatch(r"\[INFO \] 监视实例正在运行：PID (\d+)，版本 (\S+)，启动于 \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\n"
                               r"\[INFO \] 上次更新：2026-12-01 08:00:05（(\S+) → (\S+)）\n", status.stdout_text)
        self.assertTrue(running, status.describe())
        self.assertEqual(running.groups()[1:], (harness.app_version(), previous, harness.app_version()))
        # From the twin: the exit code and the log.
        mark = self.log_mark()
        self.assert_exit(self.silent("--status"), 0)
        self.assertIn(f"状态查询：监视实例运行中（PID {running.group(1)}，", "\n".join(self.log_messages(mark)))

        mark = self.log_mark()
        self.assert_exit(self.silent("--stop"), 0)
        self.assert_exit(self.finish(watcher), 0)
        self.assertIn(f"已请监视实例 PID {running.group(1)} 退出，它已退出", self.log_messages(mark))
        stop = self.run_program(self.exe, "--stop")
        self.assert_exit(stop, 10)


class FailingRuns(FleetTestCase):
    def test_every_failing_run_leaves_its_code_and_reason_in_the_log(self):
        # No shell yet, as at a log-on before the desktop is up: exit 4.
        mark = self.log_mark()
        self.assert_exit(self.silent(), 4)
        self.assertEqual(self.log_texts(mark)[-1], harness.exit_log(4))
        # A picture that is not there, from the console build run without a console: exit 2.
        mark = self.log_mark()
        result = self.run_program(self.exe, "C:\\no\\such.png", console=False)
        self.assert_exit(result, 2)
        self.assertEqual(self.log_texts(mark)[-1], harness.exit_log(2))
        mark = self.log_mark()
        self.assert_exit(self.silent("--interval", "0"), 64)
        self.assertEqual(self.log_texts(mark), [harness.exit_log(64)])
        # A file that is no picture: exit 3.
        bad = os.path.join(self.work_dir, "bad.png")
        with open(bad, "wb") as f:
            f.write(b"not a picture at all, only text" * 4)
        mark = self.log_mark()
        self.assert_exit(self.silent(self.win_path(bad)), 3)
        self.assertEqual(self.log_texts(mark)[-1], harness.exit_log(3))

    def test_stop_gives_up_on_a_watcher_that_does_not_end_with_exit_6(self):
        # Something that publishes a watcher's status and stop event but never answers the stop.
        poser = self.pose_as_watcher()
        pid = re.search(r"PID (\d+)", self.run_program(self.exe, "--status").stdout_text).group(1)
        mark = self.log_mark()
        stop = self.run_program(self.exe, "--stop")
        self.assert_exit(stop, 6)
        self.assertGreaterEqual(stop.seconds, 10)
        self.assertEqual(stop.stderr_text, f"[ERROR] 监视实例（PID {pid}）10 秒内没有退出\n")
        self.assertEqual(self.log_texts(mark), [("ERROR", f"已请监视实例 PID {pid} 退出，10 秒内没有退出"),
                                                harness.exit_log(6)])
        self.assertTrue(poser.running.running)


class GroupPolicyReports(FleetTestCase):
    def test_the_policies_group_policy_writes_are_reported_and_the_wallpaper_still_set(self):
        self.start_shell(record=False)
        self.reg_set(POLICIES + r"\ActiveDesktop", "NoChangingWallPaper", 1)
        self.reg_set(POLICIES + r"\System", "Wallpaper", r"\\corp\wall.jpg")
        self.addCleanup(self.reg_delete, POLICIES + r"\ActiveDesktop")
        self.addCleanup(self.reg_delete, POLICIES + r"\System")
        mark = self.log_mark()
        result = self.run_program(self.exe, "--once")
        self.assert_exit(result, 0)
        self.assertIn("[WARN ] 组策略“阻止更改桌面背景”已启用（ActiveDesktop\\NoChangingWallPaper=1），本程序照常设置\n",
                      result.stderr_text)
        self.assertIn("[WARN ] 组策略“桌面墙纸”指定了 \\\\corp\\wall.jpg，策略刷新时会换回它，本程序照常设置\n",
                      result.stderr_text)
        self.assertEqual(self.log_texts(mark)[:2],
                         [("WARN", "策略 ActiveDesktop\\NoChangingWallPaper=1，组策略阻止更改桌面背景"),
                          ("WARN", "策略 System\\Wallpaper=\\\\corp\\wall.jpg，组策略强制指定墙纸")])
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), self.target_win)


class SettingsThatChangeTheWallpaper(FleetTestCase):
    def setUp(self):
        super().setUp()
        self.start_shell(record=False)
        self.addCleanup(self.reg_delete, WALLPAPERS, "BackgroundType")
        self.addCleanup(self.reg_delete, PERSONALIZATION_CSP, root=HKLM)

    def test_spotlight_and_the_service_providers_image_are_reported_and_the_watch_goes_on(self):
        self.reg_set(WALLPAPERS, "BackgroundType", 3)
        self.reg_set(PERSONALIZATION_CSP, "DesktopImagePath", CSP_IMAGE, root=HKLM)
        self.reg_set(PERSONALIZATION_CSP, "DesktopImageStatus", 1, root=HKLM)
        mark = self.log_mark()
        watcher = self.start_program(self.exe, "--watch", "-i", "60", "--no-update")
        self.wait_for_log("^监视启动，间隔=60 秒，目标=", since=mark)
        result = self.stop_program(watcher)
        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertEqual(result.stderr_text,
                         "[WARN ] 桌面背景设为“Windows 聚焦”而不是图片（Wallpapers\\BackgroundType=3），"
                         "Windows 可能自行换掉墙纸，本程序照常设置\n"
                         f"[WARN ] 设备管理（Personalization CSP）指定了桌面图片 {CSP_IMAGE}，Windows 会换回它，本程序照常设置\n")
        self.assertEqual(self.log_texts(mark)[:3],
                         [("WARN", "桌面背景类型为“Windows 聚焦”（BackgroundType=3），不是图片"),
                          ("WARN", f"PersonalizationCSP\\DesktopImagePath={CSP_IMAGE}，设备管理指定桌面图片"),
                          ("INFO", f"设置墙纸：{self.target_win}")])
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), self.target_win)

    def test_each_kind_of_background_is_named_and_what_is_not_in_force_says_nothing(self):
        self.reg_set(PERSONALIZATION_CSP, "DesktopImagePath", CSP_IMAGE, root=HKLM)
        cases = (
            (1, None, 3, "纯色"),
            (2, None, 2, "幻灯片放映"),
            (6, None, 6, "其他类型"),
            (0, None, 1, None),  # a picture: the program's own kind
            (2, "REG_QWORD", None, None),  # unreadable as a number; no status for the image: nothing
        )
        for background, type_name, csp_status, kind in cases:
            with self.subTest(background=background, type_name=type_name, csp_status=csp_status):
                self.reg_set(WALLPAPERS, "BackgroundType", background, type_name)
                self.reg_delete(PERSONALIZATION_CSP, "DesktopImageStatus", root=HKLM)
                if csp_status is not None:
                    self.reg_set(PERSONALIZATION_CSP, "DesktopImageStatus", csp_status, root=HKLM)
                mark = self.log_mark()
                result = self.run_program(self.exe, "--once")
                self.assertEqual(result.exit_code, 0, result.describe())
                expected = []
                if kind:
                    expected.append(f"桌面背景类型为“{kind}”（BackgroundType={background}），不是图片")
                if csp_status == 1:
                    expected.append(f"PersonalizationCSP\\DesktopImagePath={CSP_IMAGE}，设备管理指定桌面图片")
                self.assertEqual([text for level, text in self.log_texts(mark) if level == "WARN"], expected)
                self.assertEqual(result.stderr_text.count("[WARN ] "), len(expected), result.describe())


if __name__ == "__main__":
    harness.main()
