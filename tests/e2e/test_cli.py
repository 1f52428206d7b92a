"""The command line end to end: help and version text, every command-line error with and without a console,
quiet runs, the banner with the last-update report, and the encoding probe."""
import os
import unittest

import harness
from harness import OkavuTestCase, STATE_KEY, STATE_SUBKEY

# Filled with the version, the update base address and the program name as invoked.
HELP_FORMAT = (
    "OKAVU Quillmere  v{}\n"
    "更新源：{}\n"
    "\n"
    "用法：{} [图片] [选项]\n"
    "  不带参数            使用 exe 内嵌的图片设置一次\n"
    "  图片路径            改用外部图片文件\n"
    "  -w, --watch         设置后常驻监视，被改成别的图就自动改回来\n"
    "  -i, --interval N    壁纸检查间隔秒数，默认 3（范围 1..3600）\n"
    "      --once          只检查并修复一次然后退出（适合计划任务）\n"
    "      --extract P     把内嵌图片导出到 P\n"
    "      --force         即使副本已存在也强制重写\n"
    "      --no-paint      只做落盘/导出，不修改桌面背景\n"
    "  -q, --quiet         不打印到控制台（仍然写日志文件）\n"
    "  -v, --version       打印版本号后退出\n"
    "      --status        显示本会话的监视实例（PID、版本、上次更新）；没有时退出码 10\n"
    "      --stop          请本会话的监视实例退出，最多等 10 秒\n"
    "  -h, --help          显示本帮助\n"
    "\n"
    "自动更新：\n"
    "      --update                启用自动更新（--watch 模式下默认已启用）\n"
    "      --no-update             本次运行禁用自动更新\n"
    "      --update-interval N     检查间隔秒数，默认 30（范围 5..86400）\n"
    "      --check-update          立刻检查一次：有新版就更新并重启，没有就退出\n"
    "  更新前的状态保存在 HKCU\\Software\\OKAVU\\Quillmere\n"
    "  日志：%LOCALAPPDATA%\\OKAVU-wallpaper\\guard.log（超过 1MB 轮转为 .log.1）\n"
)

ERRORS = [
    (["-i"], "--interval 后面缺少秒数"),
    (["--interval", "0"], "--interval 超出范围（1..3600）：0"),
    (["-i", "3601"], "--interval 超出范围（1..3600）：3601"),
    (["--extract"], "--extract 后面缺少路径"),
    (["--extract", "--", "x"], "--extract 后面缺少路径"),
    (["--update-interval"], "--update-interval 后面缺少秒数"),
    (["--update-interval", "4"], "--update-interval 超出范围（5..86400）：4"),
    (["a.png", "b.png"], "只接受一个图片参数，多余的：b.png"),
]


class HelpAndVersion(OkavuTestCase):
    def expected_help(self, program):
        return HELP_FORMAT.format(harness.app_version(), f"https://{harness.update_host()}/files/OKAVU/",
                                  program).encode("utf-8")

    def test_help_text_byte_for_byte_for_each_form(self):
        for form in ("--help", "-H", "/?"):
            with self.subTest(form=form):
                r = self.run_okavu(form)
                self.assert_exit(r, 0)
                self.assertEqual(r.stdout, self.expected_help(harness.win_path(harness.okavu_exe())))
                self.assertEqual(r.stderr, b"")

    def test_quiet_never_hides_the_help_and_help_wins_over_later_errors(self):
        r = self.run_okavu("-q", "--help", "--bogus")
        self.assert_exit(r, 0)
        self.assertTrue(r.stdout.startswith(f"OKAVU Quillmere  v{harness.app_version()}\n".encode()))
        self.assertEqual(r.stderr, b"")

    def test_version_line_only_and_nothing_logged(self):
        r = self.run_okavu("--version", "-w")
        self.assertEqual((r.exit_code, r.stdout, r.stderr), (0, f"OKAVU Quillmere  v{harness.app_version()}\n".encode(), b""))
        self.assertIsNone(self.log_bytes())

    def test_without_a_console_help_and_version_print_nothing(self):
        for args in (["--help"], ["-v"]):
            r = self.run_okavu(*args, console=False)
            self.assertEqual((r.exit_code, r.stdout, r.stderr), (0, b"", b""), args)


class CommandLineErrors(OkavuTestCase):
    def test_each_error_exits_64_with_its_message_on_standard_error(self):
        for args, message in ERRORS:
            with self.subTest(args=args):
                r = self.run_okavu("-w", *args)
                self.assert_exit(r, 64)
                self.assertEqual(r.stderr_text, f"[ERROR] {message}\n")
                self.assertEqual(r.stdout, b"", "no banner, no help")
        # Each left one line, also where standard error reached nobody.
        self.assertEqual(self.log_texts(), [harness.exit_log(64)] * len(ERRORS))
        self.assertFalse(self.reg_key_exists(STATE_KEY), "nothing of the run started")

    def test_unknown_option_prints_message_then_help(self):
        r = self.run_okavu("-w", "--apply-update")
        self.assert_exit(r, 64)
        self.assertEqual(r.stderr_text, "[ERROR] 未知参数：--apply-update\n")
        self.assertTrue(r.stdout_text.startswith(f"OKAVU Quillmere  v{harness.app_version()}\n更新源："))

    def test_unknown_option_alone_gives_up_the_console_and_prints_nothing(self):
        r = self.run_okavu("--bogus")
        self.assertEqual((r.exit_code, r.stdout, r.stderr), (64, b"", b""))

    def test_quiet_hides_the_error_but_not_the_help(self):
        r = self.run_okavu("-w", "-q", "--bogus")
        self.assert_exit(r, 64)
        self.assertEqual(r.stderr, b"")
        self.assertTrue(r.stdout.startswith(f"OKAVU Quillmere  v{harness.app_version()}\n".encode()))

    def test_errors_without_a_console_exit_64_silently(self):
        for args, _ in ERRORS:
            r = self.run_okavu("-w", *args, console=False)
            self.assertEqual((r.exit_code, r.stdout, r.stderr), (64, b"", b""), args)


class BannerAndQuiet(OkavuTestCase):
    def test_banner_shows_the_last_update_only_when_both_values_exist(self):
        self.reg_set(STATE_SUBKEY, "PreviousVersion", "1.5.0.0")
        r = self.run_okavu("--once", "--no-paint")
        self.assert_exit(r, 0)
        self.assertNotIn("上次更新", r.stdout_text)
        self.reg_set(STATE_SUBKEY, "LastUpdateTime", "2026-12-01 08:05:09")
        r = self.run_okavu("--once", "--no-paint")
        self.assert_exit(r, 0)
        lines = r.stdout_text.splitlines()
        version = harness.app_version()
        self.assertEqual(lines[0], f"[INFO ] OKAVU Quillmere  v{version}")
        self.assertEqual(lines[1], f"[INFO ] 上次更新：1.5.0.0 → {version}（2026-12-01 08:05:09）")
        self.assertNotIn("上次更新", "\n".join(self.log_lines()), "the report goes to the console only")

    def test_quiet_run_prints_nothing_but_still_logs(self):
        self.start_shell(record=False)
        r = self.run_okavu("--once", "-q", "--extract", "out.png")
        self.assertEqual((r.exit_code, r.stdout, r.stderr), (0, b"", b""), r.describe())
        target = harness.win_path(os.path.join(self.work_dir, "out.png"))
        self.assertEqual(self.log_texts(), [("INFO", f"设置墙纸：{target}"), ("INFO", "检查通过")])

    def test_reading_the_state_never_creates_the_key(self):
        self.run_okavu("--once", "--no-paint")
        self.assertFalse(self.reg_key_exists(STATE_KEY))


class EncodingProbe(OkavuTestCase):
    def probe_file(self):
        return os.path.join(self.work_dir, "enc_probe_utf8.txt")

    def test_probe_writes_its_file_and_prints_nothing_even_with_a_console(self):
        r = self.run_okavu("--ENC-PROBE", "--watch")
        self.assertEqual((r.exit_code, r.stdout, r.stderr), (0, b"", b""))
        with open(self.probe_file(), "rb") as f:
            data = f.read()
        self.assertTrue(data.startswith(b"\xef\xbb\xbf"))
        lines = data[3:].decode("utf-8").split("\r\n")
        self.assertEqual(lines[0], "wcslen=11")
        units = "".join(f"U+{ord(c):04X} " for c in "[] 中文测试 exe")
        self.assertEqual(lines[1], "码点: " + units)
        raw = "".join(f"{b:02X} " for b in "[] 中文测试 exe".encode("utf-16-le"))
        self.assertEqual(lines[2], "宽字符内存原始字节: " + raw)
        utf8 = "[] 中文测试 exe".encode("utf-8")
        self.assertEqual(lines[3], f"UTF-8 转换结果 ({len(utf8)} 字节): " + "".join(f"{b:02X} " for b in utf8))
        self.assertTrue(lines[4].startswith("直接写 UTF-8: "))
        self.assertEqual(lines[5], "CRT 写宽字符: [] 中文测试 exe")
        self.assertIsNone(self.log_bytes(), "the probe does not log")

    def test_probe_in_an_unwritable_folder_exits_0_without_a_file(self):
        os.makedirs(self.probe_file())  # a folder where the file should go
        r = self.run_okavu("--enc-probe")
        self.assert_exit(r, 0)
        self.assertTrue(os.path.isdir(self.probe_file()))


if __name__ == "__main__":
    unittest.main()
