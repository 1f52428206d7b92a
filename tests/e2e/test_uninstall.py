"""The uninstall scripts of deploy/, run by the prefix's own cmd.exe as a deployment tool runs them:
uninstall-user.cmd ends this session's watcher and takes away what the per-user install left for this
user, keeping a wallpaper file the desktop shows; uninstall-machine.cmd takes away the machine's Run value
and log-on tasks. Each exits 0 when what was there is gone or nothing was there."""
import os
import shutil
import unittest

import harness
from harness import DESKTOP_KEY, HKLM, OkavuTestCase

RUN_KEY = r"Software\Microsoft\Windows\CurrentVersion\Run"
RUN_VALUE = "OKAVU Quillmere"
STATE_KEY = r"Software\OKAVU\Quillmere"
TASKS = ("OKAVU Quillmere", "OKAVU Quillmere once")


def deploy_file(name):
    return os.path.join(harness.source_dir(), "deploy", name)


class ScriptTestCase(OkavuTestCase):
    def run_cmd(self, script):
        """Runs a .cmd script (Unix path) with the prefix's cmd.exe and no console; returns the Result."""
        return self.run_program("cmd", "/c", self.win_path(script), console=False)

    def run_deploy_script(self, name):
        return self.run_cmd(deploy_file(name))

    def assert_lines(self, result, code, lines):
        self.assertEqual((result.exit_code, result.stdout_text.splitlines()), (code, lines), result.describe())


class UninstallUser(ScriptTestCase):
    def setUp(self):
        super().setUp()
        self.app_dir = os.path.join(self.local_appdata_dir, "OKAVU")
        self.app_win = self.win_path(self.app_dir)
        self.program = os.path.join(self.app_dir, "OKAVUw.exe")
        self.helper = os.path.join(self.temp_dir, "OKAVU-updater-4242.exe")
        self.addCleanup(shutil.rmtree, self.app_dir, True)
        self.addCleanup(self.reg_delete, RUN_KEY, RUN_VALUE)

    def copy_program(self):
        """The per-user copy as the guide makes it: the windowless twin in %LOCALAPPDATA%\\OKAVU."""
        os.makedirs(self.app_dir)
        shutil.copyfile(harness.windowless_exe(), self.program)

    def test_it_stops_the_watcher_and_removes_everything_but_the_wallpaper_the_desktop_shows(self):
        self.start_shell(record=False)
        self.copy_program()
        self.reg_set(RUN_KEY, RUN_VALUE, '"%LOCALAPPDATA%\\OKAVU\\OKAVUw.exe" --watch', type_name="REG_EXPAND_SZ")
        watcher = self.start_program(self.win_path(self.program), "--watch", "-i", "60")
        self.wait_for_log("^监视启动，")
        # Left by an update (a watcher's start clears earlier ones).
        shutil.copyfile(harness.windowless_exe(), self.helper)
        self.reg_set(STATE_KEY, "PreviousVersion", "1.5.0.0")

        result = self.run_deploy_script("uninstall-user.cmd")
        log_dir = self.win_path(os.path.dirname(self.log_path))
        self.assert_lines(result, 0, [
            "Stopped the watcher of this session.",
            f"Removed {self.app_win}.",
            f"Removed the update helpers from {self.win_path(self.temp_dir)}.",
            f"Removed {log_dir}.",
            f"Kept {self.target_win}: the desktop shows it.",
            f"Removed HKCU\\{STATE_KEY}.",
            f"Removed the Run value \"{RUN_VALUE}\" of HKCU\\{RUN_KEY}.",
        ])
        self.assertEqual(self.finish(watcher).exit_code, 0)
        for path in (self.app_dir, self.helper, os.path.dirname(self.log_path)):
            self.assertFalse(os.path.exists(path), path)
        self.assertFalse(self.reg_key_exists(STATE_KEY))
        self.assertIsNone(self.reg_get(RUN_KEY, RUN_VALUE))
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), self.target_win)
        self.assertTrue(os.path.isfile(self.target_path))

        again = self.run_deploy_script("uninstall-user.cmd")
        self.assert_lines(again, 0, [f"Kept {self.target_win}: the desktop shows it."])

    def test_on_a_clean_prefix_it_finds_nothing_and_succeeds(self):
        self.assert_lines(self.run_deploy_script("uninstall-user.cmd"), 0, [])
        self.assertFalse(os.path.exists(os.path.dirname(self.log_path)), "a run of the program left its log")

    def test_a_wallpaper_file_the_desktop_no_longer_shows_goes_and_one_in_the_program_folder_stays_alone(self):
        self.start_shell(record=False)
        self.copy_program()
        self.assertEqual(self.run_program(self.win_path(self.program), console=False).exit_code, 0)
        self.assertTrue(os.path.isfile(self.target_path))
        # Written into the program folder instead (outside a protected Pictures folder) and shown from there.
        extracted = os.path.join(self.app_dir, harness.TARGET_NAME)
        result = self.run_program(self.win_path(self.program), "--extract", self.win_path(extracted), console=False)
        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), self.win_path(extracted))

        result = self.run_deploy_script("uninstall-user.cmd")
        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertIn(f"Removed {self.app_win} but {harness.TARGET_NAME}: the desktop shows it.",
                      result.stdout_text.splitlines())
        self.assertEqual(os.listdir(self.app_dir), [harness.TARGET_NAME])

        other = os.path.join(self.work_dir, "other.png")
        shutil.copyfile(harness.picture_path(), other)
        self.set_wallpaper_elsewhere(self.win_path(other))
        result = self.run_deploy_script("uninstall-user.cmd")
        self.assert_lines(result, 0, [f"Removed {self.app_win}.", f"Removed {self.target_win}."])
        self.assertFalse(os.path.exists(self.app_dir))
        self.assertFalse(os.path.exists(self.target_path))

    def test_outside_a_user_profile_it_removes_nothing_with_exit_code_1(self):
        self.copy_program()
        script = os.path.join(self.work_dir, "no-profile.cmd")
        with open(script, "w", encoding="ascii", newline="\r\n") as f:
            f.write(f'@set "LOCALAPPDATA="\n@call "{self.win_path(deploy_file("uninstall-user.cmd"))}"\n')
        self.assert_lines(self.run_cmd(script), 1,
                          ["LOCALAPPDATA or TEMP is not set: this is no user's session; nothing was removed."])
        self.assertTrue(os.path.isfile(self.program))

    def test_a_watcher_that_does_not_end_leaves_everything_in_place_with_exit_code_1(self):
        self.copy_program()
        self.reg_set(STATE_KEY, "PreviousVersion", "1.5.0.0")
        self.pose_as_watcher(stop_event=False)
        result = self.run_deploy_script("uninstall-user.cmd")
        self.assert_lines(result, 1, [f"The watcher of this session did not end ({self.app_win}\\OKAVUw.exe --stop: "
                                      "exit code 6); nothing was removed."])
        self.assertTrue(os.path.isfile(self.program))
        self.assertTrue(self.reg_key_exists(STATE_KEY))


class UninstallMachine(ScriptTestCase):
    def task_file(self, name):
        return os.path.join(self.prefix.drive_c, "windows", "system32", "tasks", name)

    def test_it_removes_the_run_value_and_the_log_on_tasks_then_finds_nothing(self):
        for name, xml in zip(TASKS, ("OKAVU-logon-task.xml", "OKAVU-once-task.xml")):
            self.addCleanup(lambda n=name: os.path.exists(self.task_file(n)) and os.unlink(self.task_file(n)))
            script = os.path.join(self.work_dir, "import.cmd")
            with open(script, "w", encoding="ascii", newline="\r\n") as f:
                f.write(f'@schtasks /Create /TN "{name}" /XML "{self.win_path(deploy_file(xml))}" /F >nul\n')
            self.assertEqual(self.run_cmd(script).exit_code, 0)
            self.assertTrue(os.path.isfile(self.task_file(name)))
        self.reg_set(RUN_KEY, RUN_VALUE, '"%LOCALAPPDATA%\\OKAVU\\OKAVUw.exe" --watch', type_name="REG_EXPAND_SZ",
                     root=HKLM)
        self.addCleanup(self.reg_delete, RUN_KEY, RUN_VALUE, root=HKLM)

        result = self.run_deploy_script("uninstall-machine.cmd")
        self.assert_lines(result, 0, [f"Removed the Run value \"{RUN_VALUE}\" of HKLM\\{RUN_KEY}.",
                                      *(f"Removed the task \"{name}\"." for name in TASKS)])
        self.assertIsNone(self.reg_get(RUN_KEY, RUN_VALUE, root=HKLM))
        for name in TASKS:
            self.assertFalse(os.path.exists(self.task_file(name)), name)
        self.assert_lines(self.run_deploy_script("uninstall-machine.cmd"), 0, [])


class ScriptFiles(unittest.TestCase):
    def test_the_scripts_have_the_line_ends_cmd_needs_for_its_labels(self):
        for name in ("uninstall-user.cmd", "uninstall-machine.cmd"):
            with open(deploy_file(name), "rb") as f:
                data = f.read()
            self.assertEqual(data.count(b"\n"), data.count(b"\r\n"), name)
            commands = [line for line in data.split(b"\r\n") if not line.lower().startswith(b"rem ")]
            self.assertNotIn(b"||", b"\n".join(commands), f"{name}: Wine's cmd runs the right side of || after a success")


if __name__ == "__main__":
    harness.main()
