"""The deployment guide (docs/deploying.md): every reg and schtasks command it shows runs, as shown, in a .cmd
script under the prefix's own cmd.exe, reg.exe and schtasks.exe, and does what it says (a Run value that is
expanded for each user at log-on, not once for the administrator who wrote it); every one has a PowerShell
twin beside it that names the same key, value, type and data, or the same task. The task definitions of
deploy/ start the program for each user of the Users group."""
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

# How many of each the guide shows: a command that the patterns below stopped matching must not simply drop
# out of the test.
GUIDE_REG_COMMANDS = 10
GUIDE_SCHTASKS_COMMANDS = 4

REG_NAME = r'(?P<name>"[^"]+"|[^\s"]+)'
REG_KEY = r'"(?P<root>HKLM|HKCU)\\(?P<key>[^"]+)"'
REG_VIEW = r"(?P<view> /reg:64)?"
CMD_FORMS = {
    "reg add": re.compile(rf'^reg add {REG_KEY} /v {REG_NAME} /t (?P<type>REG_SZ|REG_EXPAND_SZ|REG_DWORD) '
                          rf'/d (?P<data>"(?:\\"|[^"])*"|[^\s"]+) /f{REG_VIEW}$'),
    "reg delete value": re.compile(rf"^reg delete {REG_KEY} /v {REG_NAME} /f{REG_VIEW}$"),
    "reg delete key": re.compile(rf"^reg delete {REG_KEY} /f{REG_VIEW}$"),
    "schtasks create": re.compile(r'^schtasks /Create /TN "(?P<name>[^"]+)" /XML (?P<file>\S+) /F$'),
    "schtasks delete": re.compile(r'^schtasks /Delete /TN "(?P<name>[^"]+)" /F$'),
}
PS_PATH = r"'(?P<root>HKLM|HKCU):\\(?P<key>[^']+)'"
PS_FORMS = {
    "reg add": re.compile(rf"^New-ItemProperty -Path {PS_PATH} -Name '(?P<name>[^']+)' -PropertyType "
                          r"(?P<type>String|ExpandString|DWord) -Value (?P<data>'(?:[^']|'')*'|\d+) -Force \| Out-Null$"),
    "reg delete value": re.compile(rf"^Remove-ItemProperty -Path {PS_PATH} -Name '(?P<name>[^']+)'$"),
    "reg delete key": re.compile(rf"^Remove-Item -Path {PS_PATH} -Recurse$"),
    "schtasks create": re.compile(r"^Register-ScheduledTask -TaskName '(?P<name>[^']+)' "
                                  r"-Xml \(Get-Content -Raw '(?P<file>[^']+)'\) -Force \| Out-Null$"),
    "schtasks delete": re.compile(r"^Unregister-ScheduledTask -TaskName '(?P<name>[^']+)' -Confirm:\$false$"),
}
# PowerShell lines that are no recipe's twin: a key made before its values, starting the watcher.
PS_HELPERS = (re.compile(rf"^if \(-not \(Test-Path {PS_PATH}\)\) \{{ New-Item -Path '(?P=root):\\(?P=key)' "
                         r"-Force \| Out-Null \}$"),
              re.compile(r"^Start-Process "))
PS_TYPES = {"String": "REG_SZ", "ExpandString": "REG_EXPAND_SZ", "DWord": "REG_DWORD"}


def guide_code_lines():
    """The lines of the guide's code blocks (indented by four spaces), in order."""
    with open(os.path.join(harness.source_dir(), "docs", "deploying.md"), encoding="utf-8") as f:
        return [line[4:].rstrip("\n") for line in f if line.startswith("    ") and line.strip()]


def parse(line, forms):
    """(form name, match) of the one form that line has; fails loudly for none."""
    for name, form in forms.items():
        found = form.match(line)
        if found:
            return name, found
    raise AssertionError(f"a guide command of no known form: {line!r}")


def guide_commands():
    """The guide's reg and schtasks commands as (line, form name, match)."""
    return [(line, *parse(line, CMD_FORMS)) for line in guide_code_lines() if re.match(r"(reg|schtasks) ", line)]


def guide_powershell():
    """The guide's PowerShell recipe lines as (line, form name, match), helpers left out."""
    lines = [line for line in guide_code_lines() if re.match(r"([A-Z][a-z]+-[A-Z][A-Za-z]+|if \() ?", line)]
    return [(line, *parse(line, PS_FORMS)) for line in lines if not any(h.match(line) for h in PS_HELPERS)]


def name_of(match):
    return match["name"].strip('"')


def cmd_data(match):
    """The data a reg add writes, as the .cmd script hands it on: %% is %, \" is ", the outer quotes go."""
    text = match["data"].replace("%%", "%")
    if text.startswith('"'):
        text = text[1:-1].replace('\\"', '"')
    return int(text) if match["type"] == "REG_DWORD" else text


def ps_data(match):
    text = match["data"]
    return int(text) if text.isdigit() else text[1:-1].replace("''", "'")


class DeployGuide(OkavuTestCase):
    def run_script(self, command):
        """Runs command in a .cmd script from the top of the source tree (the guide's relative paths)."""
        script = os.path.join(self.work_dir, "step.cmd")
        with open(script, "w", encoding="ascii", newline="\r\n") as f:
            f.write("@echo off\n" + command + "\nexit /b %errorlevel%\n")
        return self.run_program("cmd", "/c", self.win_path(script), cwd=harness.source_dir(), console=False)

    def task_file(self, name):
        return os.path.join(self.prefix.drive_c, "windows", "system32", "tasks", name)

    def check(self, form, match):
        """Asserts what the command of that form did; returns the form's name once it has."""
        root = match.groupdict().get("root")
        if form == "reg add":
            value = self.reg_get(match["key"], name_of(match), root=root)
            self.assertIsNotNone(value)
            self.assertEqual((value.type, value.data), (match["type"], cmd_data(match)))
            if match["key"] == RUN_KEY:
                # Written as the guide shows it, the variable stays for each user's log-on to expand.
                self.assertEqual(value.type, "REG_EXPAND_SZ")
                self.assertEqual(value.data, '"%LOCALAPPDATA%\\OKAVU\\OKAVUw.exe" --watch')
        elif form == "reg delete value":
            self.assertIsNone(self.reg_get(match["key"], name_of(match), root=root))
        elif form == "reg delete key":
            self.assertFalse(self.reg_key_exists(match["key"], root=root))
        elif form == "schtasks create":
            self.assertTrue(os.path.isfile(self.task_file(match["name"])))
        else:
            self.assertFalse(os.path.exists(self.task_file(match["name"])))
        return form

    def test_every_reg_and_schtasks_command_of_the_guide_runs_and_does_what_it_says(self):
        commands = guide_commands()
        forms = [form for _, form, _ in commands]
        self.assertEqual(sum(form.startswith("reg ") for form in forms), GUIDE_REG_COMMANDS, commands)
        self.assertEqual(sum(form.startswith("schtasks ") for form in forms), GUIDE_SCHTASKS_COMMANDS, commands)
        self.reg_set(STATE_KEY, "PreviousVersion", "1.0.0.0")  # something for the uninstall to remove
        for root in (HKLM, HKCU):
            self.addCleanup(self.reg_delete, RUN_KEY, "OKAVU Quillmere", root=root)
        self.addCleanup(self.reg_delete, POLICY_KEY, root=HKLM)
        for name in (name for _, form, m in commands if form == "schtasks create" for name in [m["name"]]):
            self.addCleanup(lambda n=name: os.path.exists(self.task_file(n)) and os.unlink(self.task_file(n)))
        checked = []
        for line, form, match in commands:
            with self.subTest(command=line):
                # The programs read the 64-bit view, which a 32-bit deployment agent reaches only so.
                if match.groupdict().get("root") == "HKLM":
                    self.assertTrue(match["view"], "an HKLM command without /reg:64")
                result = self.run_script(line)
                self.assert_exit(result, 0)
                checked.append(self.check(form, match))
        self.assertEqual(checked, forms)
        # The removal steps took everything away again.
        self.assertIsNone(self.reg_get(RUN_KEY, "OKAVU Quillmere", root=HKLM))
        self.assertIsNone(self.reg_get(RUN_KEY, "OKAVU Quillmere", root=HKCU))
        self.assertFalse(self.reg_key_exists(POLICY_KEY, root=HKLM))
        self.assertFalse(self.reg_key_exists(STATE_KEY, root=HKCU))

    def test_every_command_has_a_powershell_twin_with_the_same_key_value_type_and_data(self):
        commands = guide_commands()
        twins = guide_powershell()
        self.assertEqual([form for _, form, _ in twins], [form for _, form, _ in commands],
                         "the PowerShell recipes, in order, are not one for each reg or schtasks command")
        for (line, form, cmd), (twin, _, ps) in zip(commands, twins):
            with self.subTest(command=line, twin=twin):
                if form.startswith("reg "):
                    self.assertEqual((ps["root"], ps["key"]), (cmd["root"], cmd["key"]))
                if form in ("reg add", "reg delete value"):
                    self.assertEqual(ps["name"], name_of(cmd))
                if form == "reg add":
                    self.assertEqual(PS_TYPES[ps["type"]], cmd["type"])
                    self.assertEqual(ps_data(ps), cmd_data(cmd))
                if form.startswith("schtasks "):
                    self.assertEqual(ps["name"], cmd["name"])
                if form == "schtasks create":
                    self.assertEqual(ps["file"], cmd["file"])

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
