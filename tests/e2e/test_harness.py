"""The test harness and testtool.exe themselves: console capture, process clean-up, registry round trips,
the stand-in shell and the wallpaper it draws, held objects, log reading and path conversion. Every other
end-to-end test relies on these."""
import os
import struct
import threading
import zlib

import harness
from harness import DESKTOP_KEY, HKCU, HKLM, POLICY_KEY, STATE_SUBKEY, OkavuTestCase


class ConsoleAndArguments(OkavuTestCase):
    TRICKY = ["plain", "two words", "中文 路径", "", 'quote"inside', "trailing\\", "tab\there", "C:\\a b\\"]

    def test_arguments_round_trip_exactly_with_and_without_console(self):
        expected = "".join(a + "\n" for a in self.TRICKY).encode("utf-8")
        for console in (True, False):
            with self.subTest(console=console):
                result = self.run_program(harness.testtool_exe(), "print-args", *self.TRICKY, console=console)
                self.assert_exit(result, 0)
                self.assertEqual(result.stdout, expected)
                self.assertEqual(result.stderr, b"")

    def test_console_is_present_only_when_asked_for(self):
        self.assert_exit(self.run_program(harness.testtool_exe(), "has-console", console=True), 0)
        self.assert_exit(self.run_program(harness.testtool_exe(), "has-console", console=False), 1)

    def test_working_directory_is_the_scratch_folder_in_drive_c(self):
        self.assertTrue(self.work_win.startswith("C:\\tests\\"), self.work_win)
        with open(os.path.join(self.work_dir, "cert.txt"), "w") as f:
            f.write("not a certificate")
        # A relative path resolves against the scratch folder: the file is found, but is no certificate.
        result = self.tool("import-ca", "cert.txt", check=False)
        self.assert_exit(result, 3)
        self.assertIn("CertAddEncodedCertificateToStore", result.stderr_text)
        missing = self.tool("import-ca", "missing.der", check=False)
        self.assertIn("reading the certificate file", missing.stderr_text)

    def test_a_program_that_does_not_end_fails_the_test_and_is_killed(self):
        ready, quit_event = self._event_names("hang")
        running = self.start_program(harness.testtool_exe(), "hold-mutex", "Local\\OKAVU_Test_Hang", "--ready",
                                     ready, "--quit", quit_event, console=False)
        with self.assertRaises(self.failureException):
            self.finish(running, timeout=0.5)
        self.assertFalse(running.running)

    def test_bad_usage_exits_2(self):
        for args in (["no-such-command"], ["reg-get", "HKCR", "x", "y"], ["reg-set", HKCU, "k", "v", "REG_BINARY", "abc"]):
            with self.subTest(args=args):
                self.assert_exit(self.tool(*args, check=False), 2)


class Registry(OkavuTestCase):
    def test_text_round_trips_exactly(self):
        text = "壁纸 C:\\图片\\a b.png"
        self.reg_set(STATE_SUBKEY, "PreviousVersion", text)
        value = self.reg_get(STATE_SUBKEY, "PreviousVersion")
        self.assertEqual(value, harness.RegValue("REG_SZ", 2 * (len(text) + 1), text))

    def test_types_sizes_and_missing_values(self):
        self.reg_set(STATE_SUBKEY, "Empty", "")
        self.assertEqual(self.reg_get(STATE_SUBKEY, "Empty"), harness.RegValue("REG_SZ", 2, ""))
        self.reg_set(POLICY_KEY, "NoChangingWallPaper", 1)
        self.assertEqual(self.reg_get(POLICY_KEY, "NoChangingWallPaper"), harness.RegValue("REG_DWORD", 4, 1))
        self.reg_set(POLICY_KEY, "Wide", 2**40, "REG_QWORD")
        self.assertEqual(self.reg_get(POLICY_KEY, "Wide"), harness.RegValue("REG_QWORD", 8, 2**40))
        self.reg_set(STATE_SUBKEY, "Raw", b"\x00\xff\x10")
        self.assertEqual(self.reg_get(STATE_SUBKEY, "Raw"), harness.RegValue("REG_BINARY", 3, b"\x00\xff\x10"))
        self.assertIsNone(self.reg_get(STATE_SUBKEY, "Missing"))
        self.assertIsNone(self.reg_get(r"Software\OKAVU\NoSuchKey", "Missing"))
        self.reg_delete(POLICY_KEY, "Wide")
        self.assertIsNone(self.reg_get(POLICY_KEY, "Wide"))

    def test_key_tree_delete_and_existence(self):
        self.reg_set(STATE_SUBKEY + r"\Deeper", "x", "1")
        self.assertTrue(self.reg_key_exists(STATE_SUBKEY))
        self.reg_delete(r"Software\OKAVU")
        self.assertFalse(self.reg_key_exists(r"Software\OKAVU"))

    def test_local_machine_is_reachable(self):
        self.reg_set(r"Software\OKAVU-tests", "HklmValue", "机器")
        self.assertIsNone(self.reg_get(r"Software\OKAVU-tests", "HklmValue", root=HKLM))
        self.reg_set(r"Software\OKAVU-tests", "HklmValue", "机器", root=HKLM)
        self.assertEqual(self.reg_text(r"Software\OKAVU-tests", "HklmValue", root=HKLM), "机器")
        self.reg_delete(r"Software\OKAVU-tests", root=HKLM)
        self.reg_delete(r"Software\OKAVU-tests")


class Reset(OkavuTestCase):
    def test_reset_removes_everything_a_test_may_leave(self):
        # Leave the prefix as dirty as a failed test could: a detached child holding the watcher mutex,
        # a shell, the state key, desktop values, the policy, and files in every cleaned folder.
        child = self.tool("start-detached", harness.win_path(harness.testtool_exe()), "hold-mutex",
                          harness.WATCHER_MUTEX, "--ready", "r-detached", "--quit", "q-detached")
        child_pid = int(child.stdout_text)
        self.tool("wait-event", "r-detached", "10000")
        self.start_shell()
        self.reg_set(STATE_SUBKEY, "PendingNewExe", "C:\\x.exe")
        for name in harness.DESKTOP_VALUES:
            self.reg_set(DESKTOP_KEY, name, "dirty")
        self.reg_set(POLICY_KEY, "NoChangingWallPaper", 1)
        for root in (HKLM, HKCU):
            self.reg_set(r"SOFTWARE\Policies\OKAVU\Quillmere", "DisableUpdates", 1, root=root)
        self.reg_set(harness.RUN_KEY, harness.RUN_VALUE, "x.exe", root=HKLM)
        self.reg_set("Environment", "TMP", "C:\\elsewhere")
        self.reg_set("Environment", "TEMP", "C:\\elsewhere")
        for folder, name in ((self.pictures_dir, "a.png"), (self.temp_dir, "OKAVU-updater-1.exe"),
                             (self.temp_dir, "keep.txt"), (os.path.join(self.local_appdata_dir, "OKAVU-wallpaper"),
                                                            "guard.log")):
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, name), "wb") as f:
                f.write(b"x")
        os.makedirs(os.path.join(self.pictures_dir, "sub"))
        self.assertTrue(harness.program_pids())
        self.assertNotEqual(child_pid, 0)

        self.reset_prefix()

        self.assertEqual(harness.program_pids(), [])
        self.assertFalse(self.reg_key_exists(r"Software\OKAVU"))
        self.assertEqual(self.desktop_values(), {"Wallpaper": None, "WallpaperStyle": None, "TileWallpaper": None})
        self.assertIsNone(self.reg_get(POLICY_KEY, "NoChangingWallPaper"))
        for root in (HKLM, HKCU):
            self.assertFalse(self.reg_key_exists(r"SOFTWARE\Policies\OKAVU", root=root))
        self.assertIsNone(self.reg_get(harness.RUN_KEY, harness.RUN_VALUE, root=HKLM))
        temp = f"C:\\users\\{self.user}\\Temp"
        self.assertEqual((self.reg_text("Environment", "TMP"), self.reg_text("Environment", "TEMP")), (temp, temp))
        self.assertEqual(os.listdir(self.pictures_dir), [])
        self.assertFalse(os.path.exists(os.path.join(self.local_appdata_dir, "OKAVU-wallpaper")))
        self.assertEqual([n for n in os.listdir(self.temp_dir) if n.startswith("OKAVU-")], [])
        self.assertTrue(os.path.exists(os.path.join(self.temp_dir, "keep.txt")))
        os.unlink(os.path.join(self.temp_dir, "keep.txt"))
        # The mutex went with its owner: another process takes it at once.
        self.hold_mutex().release()

    def test_user_folders_are_real_folders_of_the_prefix(self):
        for name in ("Desktop", "Documents", "Downloads", "Music", "Pictures", "Videos"):
            path = os.path.join(self.prefix.user_dir, name)
            self.assertTrue(os.path.isdir(path) and not os.path.islink(path), path)
        self.assertEqual(harness.win_path(self.pictures_dir), f"C:\\users\\{self.user}\\Pictures")
        self.assertEqual(self.target_win, f"C:\\users\\{self.user}\\Pictures\\OKAVU-wallpaper.png")


RED = (255, 0, 0)
BLUE = (0, 0, 255)


def halves_png(width, height):
    """A PNG whose left half is red and right half blue."""
    row = b"\0" + bytes(RED) * (width // 2) + bytes(BLUE) * (width - width // 2)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(row * height)) + chunk(b"IEND", b""))


class Shell(OkavuTestCase):
    def test_both_windows_receive_the_wallpaper_broadcast(self):
        shell = self.start_shell()
        self.set_wallpaper_elsewhere("C:\\其他\\b.png")
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), "C:\\其他\\b.png")
        messages = self.wait_until(lambda: len(shell.messages()) >= 2 and shell.messages(), what="two messages")
        self.assertEqual(sorted(m[0] for m in messages), ["Progman", "WorkerW"])
        self.assertTrue(all(m[1] == 20 for m in messages), messages)  # SPI_SETDESKWALLPAPER
        shell.stop()
        self.assertFalse(shell.running.running)
        self.assert_exit(shell.running.wait(0), 0)

    def test_single_window_shells_and_restart(self):
        for windows, classes in (("progman", ["Progman"]), ("workerw", ["WorkerW"])):
            with self.subTest(windows=windows):
                shell = self.start_shell(windows)
                self.set_wallpaper_elsewhere("C:\\x.png")
                messages = self.wait_until(shell.messages, what="a message")
                self.assertEqual([m[0] for m in messages], classes)
                shell.stop()
        self.assertIsNone(self.start_shell("none"))

    def test_it_draws_the_file_the_desktop_values_name_in_their_style(self):
        picture = os.path.join(self.work_dir, "halves.png")
        with open(picture, "wb") as f:
            f.write(halves_png(200, 100))
        shown = self.win_path(picture)
        # Where no picture lies, the desktop's own colour, as the system colours hold it.
        background = tuple(int(n) for n in self.reg_text(r"Control Panel\Colors", "Background").split())
        self.assertNotIn(background, (RED, BLUE))
        self.start_shell(record=False)
        first = self.screen()
        w, h = first.width, first.height

        def shows(style, tile, path, *expected):
            """Sets the values, tells the shell as another program would, and waits until the screen shows
            each (x, y, colour)."""
            self.reg_set(DESKTOP_KEY, "WallpaperStyle", style)
            self.reg_set(DESKTOP_KEY, "TileWallpaper", tile)
            self.set_wallpaper_elsewhere(path)

            def seen():
                screen = self.screen()
                return [(x, y, screen.pixel(x, y)) for x, y, _ in expected]

            self.wait_until(lambda: seen() == list(expected), what=f"style {style}, tile {tile}, {path}",
                            describe=lambda: f"expected {expected}, seen {seen()}")

        # Fill: cropped top and bottom, the left half red and the right half blue.
        shows("10", "0", shown, (w // 4, 5, RED), (3 * w // 4, h - 5, BLUE))
        # Fit: the whole picture between two bands of the background.
        shows("6", "0", shown, (w // 4, 5, background), (3 * w // 4, h - 5, background), (w // 4, h // 2, RED),
              (3 * w // 4, h // 2, BLUE))
        shows("2", "0", shown, (5, 5, RED), (w - 5, h - 5, BLUE))
        # Centre: the picture at its own size in the middle; tiled from the corner.
        shows("0", "0", shown, (w // 2 - 50, h // 2, RED), (w // 2 + 50, h // 2, BLUE), (w // 2 - 150, h // 2, background),
              (w // 2, h // 2 - 70, background))
        shows("0", "1", shown, (50, 50, RED), (150, 50, BLUE), (250, 150, RED),
              (w - 10, h - 10, RED if (w - 10) % 200 < 100 else BLUE))
        # A file that is not there shows the background alone.
        shows("10", "0", self.win_path(os.path.join(self.work_dir, "gone.png")), (w // 4, h // 2, background),
              (3 * w // 4, h // 2, background))

    def test_a_second_shell_is_refused_while_one_runs(self):
        self.start_shell(record=False)
        with self.assertRaises(self.failureException):
            self.start_shell(record=False)


class HeldObjects(OkavuTestCase):
    def test_held_file_cannot_be_opened_until_released(self):
        path = os.path.join(self.work_dir, "held.txt")
        with open(path, "w") as f:
            f.write("x")
        holder = self.hold_file(path)
        # Another Wine process cannot open it, even for reading.
        blocked = self.tool("hold-file", self.win_path(path), "--share", "rwd", "--ready", "r", "--quit", "q",
                            check=False)
        self.assert_exit(blocked, 3)
        self.assertIn("error 32", blocked.stderr_text)
        holder.release()
        again = self.hold_file(path, share="r")
        again.release()

    def test_named_events_and_mutex(self):
        self.assertFalse(self.set_event("Local\\OKAVU_Test_NoSuchEvent"))
        holder = self.hold_mutex("Local\\OKAVU_Test_Mutex")
        self.assertTrue(self.set_event(holder.quit_event))
        self.assert_exit(self.finish(holder.running), 0)


class LogAndPaths(OkavuTestCase):
    def write_log(self, data, mode="wb"):
        os.makedirs(os.path.dirname(self.log_path), exist_ok=True)
        with open(self.log_path, mode) as f:
            f.write(data)

    def test_log_lines_entries_and_marks(self):
        self.assertIsNone(self.log_bytes())
        self.assertEqual(self.log_lines(), [])
        self.write_log(harness.BOM + "2026-01-05 09:03:07 [WARN] 检测到壁纸被改为：C:\\x.png\r\n".encode("utf-8"))
        mark = self.log_mark()
        self.write_log(b"2026-01-05 09:03:08 [INFO] second\r\n", "ab")
        self.assertEqual(self.log_lines(), ["2026-01-05 09:03:07 [WARN] 检测到壁纸被改为：C:\\x.png",
                                            "2026-01-05 09:03:08 [INFO] second"])
        self.assertEqual(self.log_entries(since=mark), [harness.LogEntry("2026-01-05 09:03:08", "INFO", "second")])
        self.assertEqual(self.wait_for_log("被改为", level="WARN").stamp, "2026-01-05 09:03:07")

    def test_wait_for_log_sees_a_line_written_later_and_fails_without_one(self):
        writer = threading.Timer(0.2, self.write_log, args=(b"2026-01-05 09:03:09 [ERROR] late\r\n", "ab"))
        writer.start()
        self.addCleanup(writer.join)
        self.assertEqual(self.wait_for_log("^late$", timeout=10).level, "ERROR")
        with self.assertRaises(self.failureException):
            self.wait_for_log("never", timeout=0.2)

    def test_path_conversion_round_trips(self):
        for unix in (self.pictures_dir, self.work_dir, harness.testtool_exe()):
            with self.subTest(unix=unix):
                self.assertEqual(harness.unix_path(harness.win_path(unix)), unix)
        self.assertEqual(harness.unix_path(f"c:\\USERS\\{self.user}\\pictures\\"), self.pictures_dir)
        self.assertEqual(harness.unix_path("\\\\?\\C:\\tests"), os.path.join(self.prefix.drive_c, "tests"))


if __name__ == "__main__":
    harness.main()
