"""The desktop through the real OKAVU.exe: the environment checks (no shell is exit 4, the wallpaper policy
is only reported), the shell notification of Progman and WorkerW, and the check after the first set in
"--once" runs, passing and repairing."""
import os

import harness
from harness import DESKTOP_KEY, HKLM, POLICY_KEY, POLICY_VALUE, OkavuTestCase

NO_SHELL = "[ERROR] 找不到 Shell 窗口（Explorer.exe 没运行）—— 墙纸设置无法生效\n"
POLICY_CONSOLE = "[ERROR] 策略 NoChangingWallPaper=1 已锁死墙纸，需管理员/组策略解除\n"
POLICY_LOG = ("ERROR", "策略 NoChangingWallPaper=1，墙纸被组策略锁定")
NO_SHELL_WINDOWS = "没找到 Progman/WorkerW 窗口"
STYLE_LINE = "[INFO ] 墙纸样式 = 10（10=填充 6=适应 2=拉伸 0=居中 22=跨区），平铺 = 0\n"


class DesktopTestCase(OkavuTestCase):
    def desktop_nudges(self, shell):
        """The windows that received the program's own settings-change message (wParam 0, "Desktop")."""
        return [window for window, wparam, text in shell.messages() if wparam == 0 and text == "Desktop"]


class Environment(DesktopTestCase):
    def test_no_shell_window_is_exit_4_before_anything_is_set(self):
        result = self.run_okavu("--once")
        self.assert_exit(result, 4)
        self.assertTrue(result.stdout_text.endswith("[INFO ] 当前会话 ID = 1\n"), result.describe())
        self.assertNotIn("Explorer 所在会话", result.stdout_text)
        self.assertEqual(result.stderr_text, NO_SHELL)
        self.assertEqual(self.log_texts(), [harness.exit_log(4)])  # the run's end names the missing shell
        self.assertEqual(self.desktop_values(), {"Wallpaper": None, "WallpaperStyle": None, "TileWallpaper": None})

    def test_no_shell_window_without_console(self):
        result = self.run_okavu(console=False)
        self.assert_exit(result, 4)
        self.assertEqual((result.stdout, result.stderr), (b"", b""))
        self.assertIsNone(self.reg_get(DESKTOP_KEY, "Wallpaper"))

    def test_every_finding_is_reported_before_the_decision(self):
        self.reg_set(POLICY_KEY, POLICY_VALUE, 1)
        result = self.run_okavu("--once")
        self.assert_exit(result, 4)
        self.assertEqual(result.stderr_text, NO_SHELL + POLICY_CONSOLE)
        self.assertEqual(self.log_texts(), [POLICY_LOG, harness.exit_log(4)])

    def test_shell_in_the_same_session_gives_two_info_lines(self):
        self.start_shell()
        result = self.run_okavu("--once")
        self.assert_exit(result, 0)
        self.assertIn("[INFO ] 当前会话 ID = 1\n[INFO ] Explorer 所在会话 ID = 1\n" + STYLE_LINE, result.stdout_text)
        self.assertEqual(result.stderr, b"")

    def test_user_policy_is_reported_and_the_wallpaper_still_set(self):
        self.start_shell()
        self.reg_set(POLICY_KEY, POLICY_VALUE, 1)
        result = self.run_okavu("--once")
        self.assert_exit(result, 0)
        self.assertEqual(result.stderr_text, POLICY_CONSOLE)
        self.assertEqual(self.log_texts()[:2], [POLICY_LOG, ("INFO", f"设置墙纸：{self.target_win}")])
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), self.target_win)

    def test_policy_values_that_are_no_finding(self):
        self.start_shell()
        cases = (
            ("zero", None, 0, None),
            ("machine only", HKLM, 1, None),
            ("eight bytes", None, 1, "REG_QWORD"),  # does not fit the 4-byte number: the query fails
        )
        for name, root, data, type_name in cases:
            with self.subTest(name=name):
                self.reg_delete(POLICY_KEY, POLICY_VALUE)
                if root == HKLM:
                    self.addCleanup(self.reg_delete, POLICY_KEY, POLICY_VALUE, root=HKLM)
                    self.reg_set(POLICY_KEY, POLICY_VALUE, data, type_name, root=HKLM)
                else:
                    self.reg_set(POLICY_KEY, POLICY_VALUE, data, type_name)
                result = self.run_okavu("--once")
                self.assert_exit(result, 0)
                self.assertEqual(result.stderr, b"")
                self.assertNotIn("策略", self.log_bytes().decode("utf-8"))

    def test_any_non_zero_four_bytes_count_as_set(self):
        self.start_shell()
        self.reg_set(POLICY_KEY, POLICY_VALUE, "1")  # REG_SZ "1" with its terminator: 4 bytes, not zero
        result = self.run_okavu("--once")
        self.assert_exit(result, 0)
        self.assertEqual(result.stderr_text, POLICY_CONSOLE)


class RefusedWallpaper(DesktopTestCase):
    def test_a_refused_first_set_is_exit_1_and_nothing_after_it_runs(self):
        # A build whose setter refuses like Windows does for a file it cannot use (Wine accepts any file).
        refusing = os.path.join(harness.build_dir(), "okavu-refusing", "OKAVU.exe")
        shell = self.start_shell()
        result = self.run_program(refusing, "--watch", "--once")
        self.assert_exit(result, 1)
        self.assertTrue(result.stdout_text.endswith("[INFO ] 已取得单实例锁，开始常驻。\n" + STYLE_LINE), result.describe())
        self.assertEqual(result.stderr_text, "[ERROR] SystemParametersInfoW(SPI_SETDESKWALLPAPER) 失败，GetLastError=5\n")
        self.assertEqual(self.log_texts(),
                         [("ERROR", f"设置墙纸失败 (GetLastError=5)：{self.target_win}"), harness.exit_log(1)])
        self.assertEqual(self.desktop_nudges(shell), [])
        self.assertIsNone(self.reg_get(DESKTOP_KEY, "Wallpaper"))


class ShellNotification(DesktopTestCase):
    def test_progman_and_workerw_are_told_once_each(self):
        shell = self.start_shell("both")
        result = self.run_okavu(console=False)
        self.assert_exit(result, 0)
        self.assertEqual(sorted(self.desktop_nudges(shell)), ["Progman", "WorkerW"])

    def test_one_shell_window_is_enough(self):
        for windows, expected in (("progman", ["Progman"]), ("workerw", ["WorkerW"])):
            with self.subTest(windows=windows):
                shell = self.start_shell(windows)
                result = self.run_okavu("--once", "--force")
                self.assert_exit(result, 0)
                self.assertEqual(self.desktop_nudges(shell), expected)
                self.assertNotIn(NO_SHELL_WINDOWS, result.stderr_text)
                self.assertEqual(result.stderr, b"")
                shell.stop()


class InitialCheck(DesktopTestCase):
    def test_once_passes_when_the_desktop_shows_the_target(self):
        shell = self.start_shell()
        result = self.run_okavu("--once")
        self.assert_exit(result, 0)
        self.assertTrue(result.stdout_text.endswith(
            f"[ OK  ] 桌面背景已设置为 {self.target_win}\n"
            "[INFO ] 自动更新：已禁用\n"
            "[ OK  ] 检查通过：桌面就是目标墙纸。\n"), result.describe())
        self.assertEqual(self.log_texts(), [("INFO", f"设置墙纸：{self.target_win}"), ("INFO", "检查通过")])
        self.assertEqual(self.desktop_nudges(shell), ["Progman", "WorkerW"])

    def test_plain_run_does_not_check(self):
        self.start_shell()
        result = self.run_okavu(console=False)
        self.assert_exit(result, 0)
        self.assertEqual(self.log_texts(), [("INFO", f"设置墙纸：{self.target_win}")])

    def test_once_repairs_a_desktop_that_shows_another_path(self):
        # Wine keeps at most 259 characters of a wallpaper path, so right after the first set the
        # desktop names a shorter path than a long target: a mismatch that "--once" must repair.
        folder = os.path.join(self.work_dir, "长" * 60, "d" * 100, "e" * 100)
        os.makedirs(folder)
        target = self.win_path(os.path.join(folder, "target.png"))
        self.assertGreater(len(target), 259)
        shown = target[:259]
        shell = self.start_shell()
        result = self.run_okavu("--once", "--extract", target)
        self.assert_exit(result, 0)
        self.assertEqual(result.stderr_text, f"[WARN ] 检查发现不符（{shown}），正在改回…\n")
        self.assertTrue(result.stdout_text.endswith(
            f"[ OK  ] 桌面背景已设置为 {target}\n"
            "[INFO ] 自动更新：已禁用\n" + STYLE_LINE + f"[ OK  ] 已改回：{target}\n"), result.describe())
        self.assertEqual(self.log_texts(), [("INFO", f"设置墙纸：{target}"), ("WARN", f"检查发现不符：{shown}"),
                                            ("INFO", "已改回")])
        self.assertEqual(self.desktop_nudges(shell), ["Progman", "WorkerW"] * 2)


if __name__ == "__main__":
    harness.main()
