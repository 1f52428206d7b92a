"""The deployment guide (docs/deploying.md): every reg command it shows runs, as shown, in a .cmd script under the
prefix's own cmd.exe and reg.exe, and does what the guide says (a Run value that is expanded for each
user at log-on, not once for the administrator who wrote it)."""
import os
import re

import harness
from harness import HKCU, HKLM, OkavuTestCase

RUN_KEY = r"Software\Microsoft\Windows\CurrentVersion\Run"
POLICY_KEY = r"SOFTWARE\Policies\OKAVU\Quillmere"
STATE_KEY = r"Software\OKAVU\Quillmere"


def guide_commands():
    """The reg commands of the guide's code blocks (lines indented by four spaces), in order."""
    with open(os.path.join(harness.source_dir(), "docs", "deploying.md"), encoding="utf-8") as f:
        return [line[4:].rstrip("\n") for line in f if re.match(r"^    reg (add|delete) ", line)]


class DeployGuide(OkavuTestCase):
    def run_script(self, command):
        script = os.path.join(self.work_dir, "step.cmd")
        with open(script, "w", encoding="ascii", newline="\r\n") as f:
            f.write("@echo off\n" + command + "\nexit /b %errorlevel%\n")
        return self.run_program("cmd", "/c", self.win_path(script), console=False)

    def test_every_reg_command_of_the_guide_runs_and_does_what_it_says(self):
        commands = guide_commands()
        self.assertGreaterEqual(len(commands), 7, commands)
        self.reg_set(STATE_KEY, "PreviousVersion", "1.0.0.0")  # something for the uninstall to remove
        for command in commands:
            with self.subTest(command=command):
                result = self.run_script(command)
                self.assert_exit(result, 0)
                if "CurrentVersion\\Run\" /v" in command and " add " in f" {command} ":
                    run = self.reg_get(RUN_KEY, "OKAVU Quillmere", root=HKLM)
                    self.assertEqual(run.type, "REG_EXPAND_SZ")
                    # Written as the guide shows it, the variable stays for each user's log-on to expand.
                    self.assertRegex(run.data, r'^"%(LOCALAPPDATA|ProgramFiles)%\\OKAVU\\OKAVUw\.exe" --watch$')
                if "/v DisableUpdates" in command:
                    self.assertEqual(self.reg_get(POLICY_KEY, "DisableUpdates", root=HKLM).data, 1)
                if "/v MaxVersion" in command:
                    self.assertEqual(self.reg_text(POLICY_KEY, "MaxVersion", root=HKLM), "1.8.0.0")
        # The uninstall steps took everything away again.
        self.assertIsNone(self.reg_get(RUN_KEY, "OKAVU Quillmere", root=HKLM))
        self.assertFalse(self.reg_key_exists(POLICY_KEY, root=HKLM))
        self.assertFalse(self.reg_key_exists(STATE_KEY, root=HKCU))

    def test_the_logon_task_definition_is_utf16_xml_for_the_users_group_without_limits(self):
        with open(os.path.join(harness.source_dir(), "deploy", "OKAVU-logon-task.xml"), "rb") as f:
            raw = f.read()
        self.assertTrue(raw.startswith(b"\xff\xfe"), "schtasks /XML reads the UTF-16 that its declaration names")
        text = raw[2:].decode("utf-16-le")
        for part in ("<GroupId>S-1-5-32-545</GroupId>", "<Delay>PT30S</Delay>", "<ExecutionTimeLimit>PT0S",
                     "<DisallowStartIfOnBatteries>false", "<StopIfGoingOnBatteries>false",
                     "<Command>%LOCALAPPDATA%\\OKAVU\\OKAVUw.exe</Command>", "<Arguments>--watch</Arguments>"):
            self.assertIn(part, text)


if __name__ == "__main__":
    harness.main()
