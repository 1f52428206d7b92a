"""The deployment guide (docs/deploying.md): every reg command it shows runs, as shown, in a .cmd script under the
prefix's own cmd.exe and reg.exe, and does what the guide says (a Run value that is expanded for each
user at log-on, not once for the administrator who wrote it)."""
import os
import re
from xml.etree import ElementTree

import harness
from harness import HKCU, HKLM, OkavuTestCase

RUN_KEY = r"Software\Microsoft\Windows\CurrentVersion\Run"
POLICY_KEY = r"SOFTWARE\Policies\OKAVU\Quillmere"
STATE_KEY = r"Software\OKAVU\Quillmere"
TASK_NS = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
# The task definitions of deploy/: the arguments of their one action and their time limit.
TASKS = {"OKAVU-logon-task.xml": ("--watch", "PT0S"), "OKAVU-once-task.xml": ("--once", "PT10M")}


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
                self.assertEqual(result.exit_code, 0, result.describe())
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

    def test_the_task_definitions_start_the_program_for_each_user_of_the_users_group(self):
        for name, (arguments, time_limit) in TASKS.items():
            with self.subTest(task=name):
                with open(os.path.join(harness.source_dir(), "deploy", name), "rb") as f:
                    raw = f.read()
                self.assertTrue(raw.startswith(b"\xff\xfe"), "schtasks /XML reads the UTF-16 that its declaration names")
                task = ElementTree.fromstring(raw)
                self.assertEqual(task.findtext("t:Principals/t:Principal/t:GroupId", namespaces=TASK_NS), "S-1-5-32-545")
                # The instances of a group's task are counted across its users: with any other policy the first
                # user's run would keep the next user's from starting.
                settings = task.find("t:Settings", TASK_NS)
                self.assertEqual(settings.findtext("t:MultipleInstancesPolicy", namespaces=TASK_NS), "Parallel")
                self.assertEqual(settings.findtext("t:ExecutionTimeLimit", namespaces=TASK_NS), time_limit)
                for battery in ("DisallowStartIfOnBatteries", "StopIfGoingOnBatteries"):
                    self.assertEqual(settings.findtext(f"t:{battery}", namespaces=TASK_NS), "false", battery)
                [trigger] = task.find("t:Triggers", TASK_NS)
                self.assertEqual(trigger.tag, f"{{{TASK_NS['t']}}}LogonTrigger")
                self.assertEqual(trigger.findtext("t:Delay", namespaces=TASK_NS), "PT30S")
                repeat = trigger.findtext("t:Repetition/t:Interval", namespaces=TASK_NS)
                self.assertEqual(repeat, "PT1H" if arguments == "--once" else None)
                [action] = task.find("t:Actions", TASK_NS)
                self.assertEqual((action.findtext("t:Command", namespaces=TASK_NS),
                                  action.findtext("t:Arguments", namespaces=TASK_NS)),
                                 ("%LOCALAPPDATA%\\OKAVU\\OKAVUw.exe", arguments))


if __name__ == "__main__":
    harness.main()
