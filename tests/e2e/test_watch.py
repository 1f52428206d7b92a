"""Watch runs end to end: the wallpaper put back after another program changed it, a deleted target rebuilt,
a change or a deletion acted on when it happens and a fight with another program, a second watcher taking
over, a watcher that does not give way (exit 6), an abandoned mutex, Ctrl+C, and a watcher started before
the desktop shell that waits for it."""
import ctypes
import os
import re
import shutil
import signal

import harness
from harness import DESKTOP_KEY, STOP_EVENT, OkavuTestCase

READY_LINE = "[INFO ] 已取得单实例锁，开始常驻。\n"
TAKEOVER_LINE = "[INFO ] 检测到已有监视实例，已请求它退出，等待接管…\n"
STOPPED_LINE = "[INFO ] 收到退出信号，监视结束。\n"
GAVE_UP_LINE = "[ERROR] 已有监视实例在运行，且未能接管，本实例直接退出。\n"
NO_SHELL_LINE = "[ERROR] 找不到 Shell 窗口（Explorer.exe 没运行）—— 墙纸设置无法生效\n"
SHELL_WAIT_LINE = "[INFO ] 桌面外壳尚未运行：监视实例等它出现（最多 10 分钟，每 2 秒看一次）\n"
SHELL_WAIT_LOG = "桌面外壳尚未运行，等待它出现（最多 10 分钟）"

# Generous bounds for one pass of "-i 1" plus Wine's process and registry latency.
PASS_TIMEOUT = 10.0
EXIT_TIMEOUT = 15.0


def exchange_paths(a, b):
    """Swaps two paths in one step (renameat2 with RENAME_EXCHANGE)."""
    libc = ctypes.CDLL(None, use_errno=True)
    at_fdcwd, rename_exchange = -100, 2
    if libc.renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error), a)


class WatchTestCase(OkavuTestCase):
    def setUp(self):
        super().setUp()
        self.shell = self.start_shell()

    def start_watcher(self, *args):
        """Starts a watch run with a console and waits until its loop runs; returns (running, log mark)."""
        mark = self.log_mark()
        running = self.start_okavu("--watch", *args)
        self.wait_for_watch_start(running, mark)
        return running

    def wait_for_watch_start(self, running, mark):
        self.wait_for_log(r"^监视启动，间隔=\d+ 秒，目标=", "INFO", since=mark, timeout=EXIT_TIMEOUT)
        self.assertTrue(running.running, running.output("stderr").decode("utf-8", "replace"))

    def stop_watcher(self, running):
        result = self.stop_program(running, EXIT_TIMEOUT)
        self.assert_exit(result, 0)
        self.assertTrue(result.stdout_text.endswith(STOPPED_LINE), result.describe())
        return result

    def other_picture(self, name="other.png"):
        """A picture file of another program, as a Windows path."""
        path = os.path.join(self.work_dir, name)
        shutil.copyfile(harness.picture_path(), path)
        return self.win_path(path)

    def wait_for_line(self, level, text, since, timeout):
        """Waits for the log line with exactly this level and text."""
        return self.wait_for_log("^" + re.escape(text) + "$", level, since=since, timeout=timeout)

    def log_offset_after(self, level, text):
        """The log's byte offset just after the first line with exactly this level and text."""
        line = f"[{level}] {text}\r\n".encode("utf-8")
        data = self.log_bytes() or b""
        found = data.find(line)
        self.assertNotEqual(found, -1, f"no log line {line!r}")
        return found + len(line)

    def texts(self, level, since):
        return [e.text for e in self.log_entries(since) if e.level == level]

    def assert_in_order(self, text, *parts):
        """Each part occurs in text, each after the one before."""
        position = 0
        for part in parts:
            found = text.find(part, position)
            self.assertNotEqual(found, -1, f"{part!r} missing after position {position} in:\n{text}")
            position = found + len(part)

    def assert_log_order(self, since, *texts):
        """Each (level, text) occurs among the log lines from since, in this order."""
        entries = self.log_texts(since)
        position = 0
        for wanted in texts:
            try:
                position = entries.index(wanted, position) + 1
            except ValueError:
                self.fail(f"{wanted!r} missing (in order) in the log:\n" + "\n".join(map(repr, entries)))


class Repair(WatchTestCase):
    def test_picture_set_by_another_program_is_put_back_and_recovery_reported_once(self):
        watcher = self.start_watcher("-i", "1")
        target = self.target_win
        other = self.other_picture()
        mark = self.log_mark()

        self.set_wallpaper_elsewhere(other)
        self.wait_for_line("WARN", f"检测到壁纸被改为：{other}", since=mark, timeout=PASS_TIMEOUT)
        self.wait_for_line("INFO", f"恢复正常：{target}", since=mark, timeout=PASS_TIMEOUT)
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), target)
        self.assertEqual(self.reg_text(DESKTOP_KEY, "WallpaperStyle"), "10")

        # A few clean passes later the recovery still appears only once and nothing else was logged.
        self.wait_for_output(watcher, r"壁纸正常。\n")
        result = self.stop_watcher(watcher)
        self.assert_log_order(mark, ("WARN", f"检测到壁纸被改为：{other}"), ("INFO", f"已改回目标墙纸：{target}"),
                              ("INFO", f"恢复正常：{target}"), ("INFO", "监视结束"))
        self.assertEqual(self.texts("INFO", mark).count(f"恢复正常：{target}"), 1)
        self.assertEqual(self.texts("WARN", mark), [f"检测到壁纸被改为：{other}"])
        self.assert_in_order(result.stdout_text, "[INFO ] 墙纸样式 = 10",
                             f"[ OK  ] 已改回：{target}\n", "[ OK  ] 复查通过：桌面已恢复为目标墙纸。\n",
                             "[INFO ] 壁纸正常。\n", STOPPED_LINE)
        self.assertEqual(result.stdout_text.count("[INFO ] 壁纸正常。\n"), 1)
        self.assertIn(f"[WARN ] 检测到桌面壁纸被改成：{other}\n", result.stderr_text)
        self.assertNotIn("复查未通过", result.stderr_text)
        # The shell heard of the restore: the first set and the repair each notify both windows, once.
        nudges = [window for window, wparam, text in self.shell.messages() if wparam == 0 and text == "Desktop"]
        self.assertEqual(nudges, ["Progman", "WorkerW"] * 2)

    def test_every_change_is_repaired_while_the_watch_runs(self):
        watcher = self.start_watcher("-i", "1")
        target = self.target_win
        for n in range(3):
            other = self.other_picture(f"other{n}.png")
            mark = self.log_mark()
            self.set_wallpaper_elsewhere(other)
            self.wait_for_line("INFO", f"恢复正常：{target}", since=mark, timeout=PASS_TIMEOUT)
            self.assert_log_order(mark, ("WARN", f"检测到壁纸被改为：{other}"),
                                  ("INFO", f"已改回目标墙纸：{target}"))
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), target)
        self.stop_watcher(watcher)


class ChangeNotices(WatchTestCase):
    """A watch also acts when the desktop settings or the target's folder change, not only at its interval."""

    # Generous for a loaded machine, and still far below the hour of "-i 3600": only a change notice can
    # have set off the repair.
    HEARD_TIMEOUT = 25.0

    def test_at_an_hour_interval_a_change_and_a_deletion_are_repaired_when_they_happen(self):
        watcher = self.start_watcher("-i", "3600")
        target = self.target_win
        other = self.other_picture()
        mark = self.log_mark()
        self.set_wallpaper_elsewhere(other)
        self.wait_for_line("INFO", f"已改回目标墙纸：{target}", since=mark, timeout=self.HEARD_TIMEOUT)
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), target)

        mark = self.log_mark()
        os.unlink(self.target_path)
        self.wait_for_line("WARN", f"目标墙纸文件丢失，重建：{target}", since=mark, timeout=self.HEARD_TIMEOUT)
        self.wait_for_line("INFO", f"已改回目标墙纸：{target}", since=mark, timeout=self.HEARD_TIMEOUT)
        with open(self.target_path, "rb") as f:
            self.assertEqual(f.read(), harness.embedded_picture())
        self.stop_watcher(watcher)
        # The pass that the loop's own repair set off (its notice comes a moment later) found the desktop
        # right and said nothing.
        self.assertEqual(self.texts("WARN", mark), [f"目标墙纸文件丢失，重建：{target}"])

    def test_a_fight_falls_back_to_the_timer_and_the_watch_keeps_guarding(self):
        watcher = self.start_watcher("-i", "2")
        target = self.target_win
        other = self.other_picture()
        mark = self.log_mark()
        fallback = "一分钟内改回 5 次，疑与其他程序争抢墙纸，5 分钟内仅定时检查（每 2 秒）"
        # Another program sets its picture again and again, as fast as it can.
        self.wait_until(lambda: self.set_wallpaper_elsewhere(other) or fallback in self.log_messages(mark),
                        timeout=30, what="the fallback to the timer")
        # It stops; the timer's passes put the target back (the recovery may come before this test saw
        # the fallback line, so it is looked for from that line on).
        after_fallback = self.log_offset_after("WARN", fallback)
        self.wait_for_line("INFO", f"恢复正常：{target}", since=after_fallback, timeout=PASS_TIMEOUT)
        self.wait_until(lambda: self.reg_text(DESKTOP_KEY, "Wallpaper") == target, PASS_TIMEOUT,
                        "the timer to put the target back")
        self.assertEqual(self.texts("WARN", mark).count(fallback), 1)
        result = self.stop_watcher(watcher)
        self.assertIn("[WARN ] 一分钟内已改回 5 次，似乎有别的程序在反复更换墙纸：接下来 5 分钟只按每 2 秒的定时检查修复\n",
                      result.stderr_text)


class Rebuild(WatchTestCase):
    def test_deleted_extract_file_is_rebuilt_where_it_was_and_pictures_stays_empty(self):
        # The run guards the --extract file it wrote; a rebuild writes that file again.
        extracted = os.path.join(self.work_dir, "mine.png")
        extracted_win = self.win_path(extracted)
        watcher = self.start_watcher("--extract", extracted_win, "-i", "1")
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), extracted_win)
        mark = self.log_mark()

        os.unlink(extracted)
        self.wait_for_line("WARN", f"目标墙纸文件丢失，重建：{extracted_win}", since=mark, timeout=PASS_TIMEOUT)
        self.wait_for_line("INFO", f"恢复正常：{extracted_win}", since=mark, timeout=PASS_TIMEOUT)
        with open(extracted, "rb") as f:
            self.assertEqual(f.read(), harness.embedded_picture())
        self.assertEqual(os.listdir(self.pictures_dir), [])
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), extracted_win)

        # The loop still guards the same file.
        other = self.other_picture()
        second = self.log_mark()
        self.set_wallpaper_elsewhere(other)
        self.wait_for_line("INFO", f"已改回目标墙纸：{extracted_win}", since=second, timeout=PASS_TIMEOUT)
        result = self.stop_watcher(watcher)

        self.assert_log_order(mark, ("WARN", f"目标墙纸文件丢失，重建：{extracted_win}"),
                              ("INFO", f"已改回目标墙纸：{extracted_win}"), ("INFO", f"恢复正常：{extracted_win}"))
        self.assertIn(f"[WARN ] 目标文件已不存在，正在重建：{extracted_win}\n", result.stderr_text)
        self.assert_in_order(result.stdout_text,
                             f"[ OK  ] 图片已落盘：{extracted_win}（{len(harness.embedded_picture())} 字节）\n",
                             f"[ OK  ] 已改回：{extracted_win}\n", "[ OK  ] 复查通过：桌面已恢复为目标墙纸。\n")
        self.assertNotIn(self.target_win, result.stdout_text + result.stderr_text)

    def test_a_source_picture_used_in_place_is_not_recreated_but_staged_in_pictures(self):
        # The staged file is held, so the run shows its picture file where it lies.
        source = os.path.join(self.work_dir, "mine.png")
        shutil.copyfile(harness.picture_path(), source)
        source_win = self.win_path(source)
        with open(self.target_path, "wb") as f:
            f.write(b"held")
        holder = self.hold_file(self.target_path)
        watcher = self.start_watcher("mine.png", "-i", "1")
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), source_win)
        mark = self.log_mark()

        os.unlink(source)
        self.wait_for_line("WARN", f"目标墙纸文件丢失，重建：{source_win}", since=mark, timeout=PASS_TIMEOUT)
        self.wait_for_line("ERROR", "重建失败，1 秒后重试", since=mark, timeout=PASS_TIMEOUT)
        self.assertIn(f"写入墙纸文件失败 (err=32)：{self.target_win}", self.texts("ERROR", mark))
        # Once Pictures can be written the picture goes there, and the user's file stays gone.
        holder.release()
        self.wait_for_line("INFO", f"恢复正常：{self.target_win}", since=mark, timeout=PASS_TIMEOUT)
        with open(self.target_path, "rb") as f:
            self.assertEqual(f.read(), harness.embedded_picture())
        self.assertFalse(os.path.exists(source))
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), self.target_win)
        self.stop_watcher(watcher)

    def test_failed_rebuild_is_logged_and_retried_every_pass(self):
        watcher = self.start_watcher("-i", "1")
        target = self.target_win
        mark = self.log_mark()

        # A folder in the file's place: the check finds no file and the write cannot create one. Swapped
        # in one step: the watcher acts on the folder's change at once and would rebuild into a gap.
        folder = self.target_path + ".folder"
        os.mkdir(folder)
        exchange_paths(folder, self.target_path)
        os.unlink(folder)
        self.wait_until(lambda: self.texts("ERROR", mark).count("重建失败，1 秒后重试") >= 2, PASS_TIMEOUT,
                        "two failed rebuilds", lambda: "\n".join(self.log_lines(mark)))
        self.assertIn(f"目标墙纸文件丢失，重建：{target}", self.texts("WARN", mark))
        self.assertTrue(any(t.startswith("写入墙纸文件失败 (err=") for t in self.texts("ERROR", mark)))
        self.assertNotIn(f"已改回目标墙纸：{target}", self.texts("INFO", mark))
        self.assertTrue(watcher.running)

        # Once the way is free the next pass writes the file and sets it again.
        os.rmdir(self.target_path)
        self.wait_for_line("INFO", f"恢复正常：{target}", since=mark, timeout=PASS_TIMEOUT)
        with open(self.target_path, "rb") as f:
            self.assertEqual(f.read(), harness.embedded_picture())
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), target)
        self.stop_watcher(watcher)


class SingleInstance(WatchTestCase):
    def test_second_watcher_takes_over_and_keeps_guarding(self):
        first = self.start_watcher("-i", "1")
        mark = self.log_mark()
        second = self.start_okavu("--watch", "-i", "1")

        ended = self.finish(first, EXIT_TIMEOUT)
        self.assert_exit(ended, 0)
        self.assertTrue(ended.stdout_text.endswith(STOPPED_LINE), ended.describe())
        self.wait_for_watch_start(second, mark)
        # The two processes log at the same moment, in either order.
        self.assertIn("检测到已有监视实例，请求其退出以接管", self.texts("INFO", mark))
        self.assertIn("监视结束", self.texts("INFO", mark))
        self.assert_in_order(second.output().decode("utf-8"), TAKEOVER_LINE, READY_LINE)

        # The request that ended the first watcher does not end the second one.
        other = self.other_picture()
        repair = self.log_mark()
        self.set_wallpaper_elsewhere(other)
        self.wait_for_line("INFO", f"恢复正常：{self.target_win}", since=repair, timeout=PASS_TIMEOUT)
        self.assertNotIn("监视结束", self.texts("INFO", repair))
        self.stop_watcher(second)

    def test_watcher_that_does_not_give_way_makes_the_new_one_exit_6(self):
        # Holds the mutex but has no stop event: nobody to ask, so no pause, then 4 s for the mutex.
        holder = self.hold_mutex()
        mark = self.log_mark()
        result = self.run_okavu("--watch", "-i", "1", timeout=EXIT_TIMEOUT)
        self.assert_exit(result, 6)
        self.assertTrue(result.stderr_text.endswith(GAVE_UP_LINE), result.describe())
        self.assertNotIn("开始常驻", result.stdout_text)
        self.assertNotIn(TAKEOVER_LINE, result.stdout_text)
        self.assertGreaterEqual(result.seconds, 4.0)
        self.assertEqual(self.texts("ERROR", mark), ["已有监视实例在运行且接管失败，退出", harness.exit_log(6)[1]])
        self.assertNotIn("检测到已有监视实例，请求其退出以接管", self.texts("INFO", mark))
        # Stage 11 comes before the first set: the desktop was not touched.
        self.assertIsNone(self.reg_get(DESKTOP_KEY, "Wallpaper"))
        self.assertTrue(holder.running.running)

    def test_holder_with_a_stop_event_is_asked_then_given_up_on_after_the_pause(self):
        holder = self.hold_mutex()
        event_holder = self.hold_set_event(STOP_EVENT)
        mark = self.log_mark()
        result = self.run_okavu("--watch", "-i", "1", timeout=EXIT_TIMEOUT)
        self.assert_exit(result, 6)
        self.assertIn(TAKEOVER_LINE, result.stdout_text)
        self.assertTrue(result.stderr_text.endswith(GAVE_UP_LINE), result.describe())
        # 1.5 s pause, then 4 s for the mutex.
        self.assertGreaterEqual(result.seconds, 5.5)
        self.assert_log_order(mark, ("INFO", "检测到已有监视实例，请求其退出以接管"),
                              ("ERROR", "已有监视实例在运行且接管失败，退出"))
        self.assertTrue(holder.running.running and event_holder.running)

    def test_stale_stop_request_does_not_end_the_new_watcher(self):
        # The stop event is set and kept open by a run that does not watch it (a standalone update
        # check that stopped its own thread, say) while no watcher runs.
        event_holder = self.hold_set_event(STOP_EVENT)
        mark = self.log_mark()
        watcher = self.start_okavu("--watch", "-i", "1")
        self.wait_for_watch_start(watcher, mark)
        self.assert_in_order(watcher.output().decode("utf-8"), TAKEOVER_LINE, READY_LINE)
        # The new watcher withdrew the request once it held the mutex.
        self.assert_exit(self.tool("wait-event", STOP_EVENT, "0", check=False), 1)

        other = self.other_picture()
        repair = self.log_mark()
        self.set_wallpaper_elsewhere(other)
        self.wait_for_line("INFO", f"恢复正常：{self.target_win}", since=repair, timeout=PASS_TIMEOUT)
        self.assertNotIn("监视结束", self.texts("INFO", mark))
        self.assertTrue(event_holder.running)
        self.stop_watcher(watcher)

    def test_killed_watcher_leaves_nothing_in_the_way(self):
        first = self.start_watcher("-i", "1")
        first.kill()  # SIGKILL: no clean-up at all
        self.assertEqual(first.wait(0).exit_code, -signal.SIGKILL)
        mark = self.log_mark()
        second = self.start_okavu("--watch", "-i", "1")
        self.wait_for_watch_start(second, mark)
        out = second.output().decode("utf-8")
        self.assertIn(READY_LINE, out)
        # The killed watcher's event went with it: nobody to ask, nobody to wait for.
        self.assertNotIn(TAKEOVER_LINE, out)
        self.assertNotIn("ERROR", [e.level for e in self.log_entries(mark)])
        self.stop_watcher(second)

    def test_abandoned_mutex_is_taken_normally(self):
        holder = self.hold_mutex()
        mark = self.log_mark()
        watcher = self.start_okavu("--watch", "-i", "1")
        # The desktop report is the last thing before the mutex: the new watcher now waits for it.
        self.wait_for_output(watcher, r"Explorer 所在会话 ID = \d+\n", timeout=EXIT_TIMEOUT)
        holder.running.kill()  # dies owning the mutex, which the waiting watcher keeps alive
        self.wait_for_watch_start(watcher, mark)
        self.assertIn(READY_LINE, watcher.output().decode("utf-8"))
        self.assertNotIn("ERROR", [e.level for e in self.log_entries(mark)])
        self.stop_watcher(watcher)

    def hold_set_event(self, name):
        """Another process keeps the named event open and set, without waiting for it, until the test
        ends. testtool hold-mutex opens its --ready event, sets it and keeps it open while it waits for
        --quit: with the stop event's name as ready event, that is exactly such a process."""
        ready, quit_event = self._event_names("holder")
        running = self.start_program(harness.testtool_exe(), "hold-mutex", f"Local\\{ready}", "--ready", name,
                                     "--quit", quit_event, console=False)
        waited = self.tool("wait-event", name, str(int(harness.READY_TIMEOUT * 1000)), check=False)
        self.assert_exit(waited, 0)
        return running


class StopSignal(WatchTestCase):
    def test_ctrl_c_ends_even_a_long_wait_at_once_and_leaves_nothing_behind(self):
        mark = self.log_mark()
        watcher = self.start_watcher("-i", "3600")
        target = self.target_win
        result = self.stop_watcher(watcher)
        self.assert_in_order(result.stdout_text, READY_LINE, "[INFO ] === 监视模式：每 3600 秒检查一次 ===\n",
                             f"[INFO ] 目标墙纸：{target}\n",
                             f"[INFO ] 日志文件：{self.win_path(self.log_path)}\n", "[INFO ] 按 Ctrl+C 退出。\n",
                             STOPPED_LINE)
        self.assert_log_order(mark, ("INFO", f"监视启动，间隔=3600 秒，目标={target}"), ("INFO", "监视结束"))

        # The run released everything: the next watcher finds no one to ask and no mutex to wait for.
        self.wait_until(lambda: self.tool("set-event", STOP_EVENT, check=False).exit_code == 1, EXIT_TIMEOUT,
                        "the stop event to be gone")
        mark = self.log_mark()
        again = self.start_okavu("--watch", "-i", "1")
        self.wait_for_watch_start(again, mark)
        self.assertNotIn(TAKEOVER_LINE, again.output().decode("utf-8"))
        self.stop_watcher(again)


class WaitingForTheShell(WatchTestCase):
    """A watcher started before the desktop shell (first log-on, a fresh virtual desktop) waits for it,
    as a watcher that "--status" sees and "--stop" ends."""

    def setUp(self):
        OkavuTestCase.setUp(self)  # no shell yet

    def start_waiting_watcher(self):
        mark = self.log_mark()
        watcher = self.start_okavu("--watch", "-i", "1")
        self.wait_for_line("INFO", SHELL_WAIT_LOG, since=mark, timeout=EXIT_TIMEOUT)
        return watcher, mark

    def test_it_is_seen_while_it_waits_and_goes_on_when_the_shell_comes(self):
        watcher, mark = self.start_waiting_watcher()
        status = self.run_okavu("--status")
        self.assert_exit(status, 0)
        self.assertRegex(status.stdout_text,
                         rf"\[INFO \] 监视实例正在运行：PID \d+，版本 {re.escape(harness.app_version())}，启动于 ")
        self.assertIsNone(self.reg_get(DESKTOP_KEY, "Wallpaper"))
        self.assertTrue(watcher.running)

        shell = self.start_shell()
        self.wait_for_watch_start(watcher, mark)
        target = self.target_win
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), target)
        arrived = self.wait_for_log(r"^桌面外壳已出现，等了 \d+ 秒$", "INFO", since=mark)
        self.assert_log_order(mark, ("INFO", SHELL_WAIT_LOG), ("INFO", arrived.text), ("INFO", f"设置墙纸：{target}"),
                              ("INFO", f"监视启动，间隔=1 秒，目标={target}"))
        self.assertEqual([window for window, wparam, text in shell.messages() if wparam == 0 and text == "Desktop"],
                         ["Progman", "WorkerW"])

        # Then it guards as any watcher does.
        other = self.other_picture()
        repair = self.log_mark()
        self.set_wallpaper_elsewhere(other)
        self.wait_for_line("INFO", f"恢复正常：{target}", since=repair, timeout=PASS_TIMEOUT)
        result = self.stop_watcher(watcher)
        self.assertTrue(result.stderr_text.startswith(NO_SHELL_LINE), result.describe())
        self.assert_in_order(result.stdout_text, READY_LINE, SHELL_WAIT_LINE, "[INFO ] 桌面外壳已出现（等了 ",
                             "[INFO ] Explorer 所在会话 ID = 1\n", f"[ OK  ] 桌面背景已设置为 {target}\n",
                             "[INFO ] === 监视模式：每 1 秒检查一次 ===\n", STOPPED_LINE)
        self.assertNotIn(harness.exit_log(4), self.log_texts(mark))

    def test_stop_ends_a_waiting_watcher_and_leaves_the_desktop_alone(self):
        watcher, mark = self.start_waiting_watcher()
        stop = self.run_okavu("--stop")
        self.assert_exit(stop, 0)
        self.assertRegex(stop.stdout_text, r"\[ OK  \] 监视实例（PID \d+）已退出\n")
        ended = self.finish(watcher, EXIT_TIMEOUT)
        self.assert_exit(ended, 0)
        self.assertTrue(ended.stdout_text.endswith(SHELL_WAIT_LINE + STOPPED_LINE), ended.describe())
        self.assert_log_order(mark, ("INFO", SHELL_WAIT_LOG), ("INFO", "监视结束"))
        self.assertFalse(any(text.startswith("桌面外壳已出现") for text in self.log_messages(mark)))
        self.assertIsNone(self.reg_get(DESKTOP_KEY, "Wallpaper"))
        self.assert_exit(self.run_okavu("--status"), 10)


if __name__ == "__main__":
    harness.main()
