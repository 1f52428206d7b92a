#!/usr/bin/env python3
"""The main job, shown: OKAVU.exe run the way a user runs it, in an isolated Wine prefix with a desktop
(Xvfb and a stand-in shell that draws the wallpaper as the real one does), and everything it did: console
lines, log lines, the wallpaper registry values, the target file and the shell's notifications, and a
screenshot of the display; then a short watch run that gets the wallpaper changed under it, and a
screenshot after its repair.

Usage: show_run.py BUILD_DIR   (called by scripts/run.sh after the build). Standard library only;
reuses the test harness's prefix, process and path code. Every wait has a deadline.
"""
import os
import sys
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))

EXIT_MEANINGS = {
    0: "success",
    1: "the first set failed",
    2: "no usable picture",
    3: "picture too short or not a supported format",
    4: "desktop not reachable (Session 0 or no shell window)",
    5: "no target file",
    6: "another watcher runs and did not give way",
    64: "command-line error",
}

RUN_TIMEOUT = 60.0
WATCH_READY_TIMEOUT = 15.0
RESTORE_TIMEOUT = 20.0
SCREEN_TIMEOUT = 15.0  # for the shell to draw what the desktop values name
SCREEN_SETTLED = 0.3  # two looks this far apart that agree: the drawing is done


class Show:
    def __init__(self, build_dir):
        import harness
        from wineprefix import Prefix

        self.h = harness
        self.build_dir = os.path.abspath(build_dir)
        self.root = os.path.join(self.build_dir, "run-wine")
        os.environ.update({
            "OKAVU_TEST_ROOT": self.root,
            "OKAVU_EXE": os.path.join(self.build_dir, "OKAVU.exe"),
            "OKAVU_TESTTOOL": os.path.join(self.build_dir, "tests", "testtool.exe"),
            "OKAVU_SOURCE_DIR": SOURCE_DIR,
            "OKAVU_BUILD_DIR": self.build_dir,
        })
        self.prefix = Prefix(self.root)
        self.shell = None
        self.shell_log = None
        self.messages_shown = 0
        self.plain_screen = None

    # ---- plumbing ------------------------------------------------------------------------------------

    def start(self, exe, *args, console=True, cwd=None):
        return self.h.Running([self.h.wine(), exe, *args], self.prefix.environ(), cwd or self.work_dir, console)

    def finish(self, running, timeout):
        result = running.wait(timeout)
        if result is None:
            running.kill()
            print(f"   (no end after {timeout:.0f} s: stopped it)")
            result = running.wait(5)
        return result

    def tool(self, *args):
        return self.finish(self.start(self.h.testtool_exe(), *args, console=False), 30)

    def log_size(self):
        try:
            return os.path.getsize(self.log_path)
        except FileNotFoundError:
            return 0

    def print_log_since(self, mark):
        try:
            with open(self.log_path, "rb") as f:
                f.seek(mark)
                data = f.read()
        except FileNotFoundError:
            print("   log file: not written")
            return
        if data.startswith(self.h.BOM):
            data = data[len(self.h.BOM):]
        lines = [line for line in data.decode("utf-8", "replace").split("\r\n") if line]
        print(f"   log lines ({len(lines)}):" if lines else "   log lines: none")
        for line in lines:
            print(f"     {line}")

    def print_result(self, result):
        meaning = EXIT_MEANINGS.get(result.exit_code, "see the README")
        print(f"   exit code {result.exit_code} ({meaning}) after {result.seconds:.1f} s")
        for name, data in (("standard output", result.stdout), ("standard error", result.stderr)):
            text = data.decode("utf-8", "replace")
            if not text:
                print(f"   {name}: nothing")
                continue
            print(f"   {name}:")
            for line in text.splitlines():
                print(f"     {line}")

    # ---- the show ------------------------------------------------------------------------------------

    def boot(self):
        print("\n== An isolated Wine prefix with a desktop")
        self.prefix.boot(log=sys.stdout)
        self.log_path = os.path.join(self.prefix.user_dir, "AppData", "Local", self.h.LOG_FOLDER, self.h.LOG_NAME)
        self.pictures = os.path.join(self.prefix.user_dir, "Pictures")
        self.target = os.path.join(self.pictures, self.h.TARGET_NAME)
        self.work_dir = os.path.join(self.prefix.drive_c, "run")
        os.makedirs(self.work_dir, exist_ok=True)
        ready, quit_event = "OKAVU_Run_Shell_ready", "OKAVU_Run_Shell_quit"
        self.shell_log = os.path.join(self.work_dir, "shell-messages.txt")
        self.shell = self.start(self.h.testtool_exe(), "shell", "--ready", ready, "--quit", quit_event, "--log",
                                self.h.win_path(self.shell_log), console=False)
        self.shell_quit = quit_event
        waited = self.tool("wait-event", ready, "15000")
        if waited.exit_code != 0 or not self.shell.running:
            raise SystemExit("the stand-in shell did not start: "
                             + self.shell.output("stderr").decode("utf-8", "replace"))
        self.settled_screen()  # its first picture: the desktop without a wallpaper
        print(f"   user {self.prefix.user}, DISPLAY {self.prefix.run_env['DISPLAY']}, stand-in shell with a "
              f"\"Progman\" and a \"WorkerW\" window, drawing the wallpaper over the screen; working folder "
              f"{self.h.win_path(self.work_dir)}")

    def plain_run(self):
        print("\n== OKAVU.exe   (no options, started from a terminal: it gives its console up and reports only "
              "to its log)")
        mark = self.log_size()
        before = self.screen().rgb
        self.print_result(self.finish(self.start(self.h.okavu_exe()), RUN_TIMEOUT))
        self.print_log_since(mark)
        # The shell draws on a thread of its own: wait for the picture to change, then to settle.
        self.wait_for_screen(lambda rgb: rgb != before, "the shell to draw the new wallpaper")
        self.plain_screen = self.settled_screen()
        self.save_screenshot("desktop.png", "after the plain run")

    # ---- the display ---------------------------------------------------------------------------------

    def screen(self):
        return self.h.capture_screen(self.prefix.run_env["DISPLAY"])

    def wait_for_screen(self, condition, what):
        deadline = time.monotonic() + SCREEN_TIMEOUT
        while not condition(self.screen().rgb):
            if time.monotonic() >= deadline:
                print(f"   (waited {SCREEN_TIMEOUT:.0f} s for {what}; the screenshot shows the display as it is)")
                return False
            time.sleep(0.05)
        return True

    def settled_screen(self):
        deadline = time.monotonic() + SCREEN_TIMEOUT
        last = self.screen().rgb
        while time.monotonic() < deadline:
            time.sleep(SCREEN_SETTLED)
            now = self.screen().rgb
            if now == last:
                break
            last = now
        return last

    def save_screenshot(self, name, when):
        path = os.path.join(self.root, name)
        self.h.save_screen_png(self.prefix.run_env["DISPLAY"], path)
        print(f"   screenshot of the display {when}: {path}")

    def once_run(self):
        print("\n== OKAVU.exe --once   (keeps its console: sets, checks and repairs once)")
        mark = self.log_size()
        self.print_result(self.finish(self.start(self.h.okavu_exe(), "--once"), RUN_TIMEOUT))
        self.print_log_since(mark)

    def desktop_state(self, title):
        print(f"\n== {title}")
        for name in self.h.DESKTOP_VALUES:
            print(f"   HKCU\\{self.h.DESKTOP_KEY}\\{name} = {self.reg_value(self.h.DESKTOP_KEY, name)}")
        target_win = self.h.win_path(self.target)
        if os.path.exists(self.target):
            with open(self.target, "rb") as f:
                staged = f.read()
            with open(self.h.picture_path(), "rb") as f:
                embedded = f.read()
            same = "equals" if staged == embedded else "differs from"
            print(f"   target file {target_win} ({self.target}): {len(staged)} bytes, {same} resources/OKAVU.png")
        else:
            print(f"   target file {target_win}: not there")
        messages = []
        if os.path.exists(self.shell_log):
            with open(self.shell_log, "rb") as f:
                messages = f.read().decode("utf-8", "replace").splitlines()
        fresh = messages[self.messages_shown:]
        self.messages_shown = len(messages)
        print(f"   settings-change messages the shell received since the last look ({len(fresh)}):" if fresh
              else "   settings-change messages the shell received since the last look: none")
        for line in fresh:
            window, wparam, text = (line.split("\t", 2) + ["", ""])[:3]
            print(f"     {window}: wParam {wparam}, lParam \"{text}\"")

    def reg_value(self, key, name):
        result = self.tool("reg-get", "HKCU", key, name)
        if result.exit_code == 1:
            return "(not set)"
        header, _, data = result.stdout_text.partition("\n")
        return f"\"{data[:-1]}\" ({header.split(' ')[0]})"

    def wallpaper(self):
        result = self.tool("reg-get", "HKCU", self.h.DESKTOP_KEY, "Wallpaper")
        return result.stdout_text.partition("\n")[2][:-1] if result.exit_code == 0 else None

    def watch_run(self):
        print("\n== OKAVU.exe --watch --interval 1   (resident; another program then changes the wallpaper; "
              "Ctrl+C ends it)")
        mark = self.log_size()
        watcher = self.start(self.h.okavu_exe(), "--watch", "--interval", "1")
        deadline = time.monotonic() + WATCH_READY_TIMEOUT
        while watcher.running and self.log_size() == mark and time.monotonic() < deadline:
            time.sleep(0.05)
        if not watcher.running:
            print("   it ended at once:")
            self.print_result(watcher.wait(5))
            self.print_log_since(mark)
            return
        other = self.h.win_path(os.path.join(self.pictures, "someone-else.png"))
        target = self.h.win_path(self.target)
        changed_at = time.monotonic()
        self.tool("set-wallpaper", other)
        print(f"   another program set the wallpaper to {other}")
        restored = None
        deadline = changed_at + RESTORE_TIMEOUT
        while watcher.running and time.monotonic() < deadline:
            current = self.wallpaper()
            if current is not None and current.lower() == target.lower():
                restored = time.monotonic() - changed_at
                break
            time.sleep(0.1)
        if restored is not None:
            print(f"   the watcher put {target} back after {restored:.1f} s")
            # The same values as after the plain run: the same picture once the shell has drawn it.
            self.wait_for_screen(lambda rgb: rgb == self.plain_screen, "the shell to draw the repaired wallpaper")
        else:
            print(f"   the wallpaper was not put back within {RESTORE_TIMEOUT:.0f} s (now: {self.wallpaper()})")
        self.save_screenshot("desktop-repaired.png", "after the watcher's repair")
        watcher.interrupt()
        self.print_result(self.finish(watcher, 30))
        self.print_log_since(mark)

    def stop(self):
        if self.shell is not None and self.shell.running:
            self.tool("set-event", self.shell_quit)
            if self.shell.wait(10) is None:
                self.shell.kill()
        self.prefix.stop(quiet=True)


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    show = Show(argv[1])
    try:
        show.boot()
        show.plain_run()
        show.desktop_state("What the desktop shows after the plain run")
        show.once_run()
        show.watch_run()
        show.desktop_state("What the desktop shows at the end")
        print(f"\nThe prefix stays in {show.prefix.path} for a look around (the next run starts it afresh).")
    finally:
        show.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
