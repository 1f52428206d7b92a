"""The per-machine package OKAVU-<version>-x64.msi (the msi target), installed, upgraded and removed by the
prefix's own msiexec the way a deployment tool runs it, quietly: both programs in C:\\Program Files\\OKAVU,
the ManagedInstall value, the Apps & features entry, and with AUTOSTART=1 the Run value that starts the
watcher at log-on, which an upgrade keeps. Log-on and restart are Wine's own: wineboot starts what the
Run values name, wineboot -r carries out the file moves an installer left for the restart."""
import os
import re
import shutil
import subprocess
import unittest

import harness
from harness import DESKTOP_KEY, HKLM, OkavuTestCase

RUN_KEY = r"Software\Microsoft\Windows\CurrentVersion\Run"
RUN_VALUE = "OKAVU Quillmere"
PRODUCT_KEY = r"SOFTWARE\OKAVU\Quillmere"
UNINSTALL_KEY = r"Software\Microsoft\Windows\CurrentVersion\Uninstall"
SESSION_MANAGER_KEY = r"System\CurrentControlSet\Control\Session Manager"
INSTALL_DIR = r"C:\Program Files\OKAVU"
RUN_COMMAND = f'"{INSTALL_DIR}\\OKAVUw.exe" --watch'
SUCCESS, RESTART_REQUIRED, INSTALL_FAILURE = 0, 3010, 1603


def packages():
    """This build's package (empty when its version can have none) and the next version's."""
    return os.environ.get("OKAVU_MSI"), os.environ.get("OKAVU_NEXT_MSI")


def three_parts(version):
    return ".".join(version.split(".")[:3])


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


@unittest.skipUnless(packages()[0], os.environ.get("OKAVU_NO_MSI_REASON") or "no package was built")
class PerMachinePackage(OkavuTestCase):
    def setUp(self):
        super().setUp()
        self.msi, self.next_msi = packages()
        self.install_dir = self.unix_path(INSTALL_DIR)
        self.addCleanup(self.remove_every_trace)

    def msiexec(self, *args):
        """Runs msiexec to its end as a script does and returns its exit code, which a Unix exit status
        cannot hold whole (3010, 1603). The verbose log goes to the scratch folder."""
        self.msi_runs = getattr(self, "msi_runs", 0) + 1
        log = os.path.join(self.work_dir, f"msiexec-{self.msi_runs}.log")
        quoted = " ".join(f'"{a}"' if " " in a else a for a in args)
        script = os.path.join(self.work_dir, "run-msiexec.cmd")
        with open(script, "w", encoding="ascii", newline="\r\n") as f:
            f.write(f'@start "" /wait msiexec.exe {quoted} /l*v "{self.win_path(log)}"\n@echo exit code %errorlevel%\n')
        result = self.run_program("cmd", "/c", self.win_path(script), console=False, timeout=120)
        found = re.fullmatch(r"exit code (\d+)\r?\n", result.stdout_text)
        self.assertTrue(found, result.describe())
        return int(found.group(1))

    def install(self, msi, *properties):
        return self.msiexec("/i", self.win_path(msi), "/qn", "/norestart", *properties)

    def remove_every_trace(self):
        harness.kill_programs()
        for msi in (self.next_msi, self.msi):
            self.msiexec("/x", self.win_path(msi), "/qn", "/norestart")
        self.reg_delete(SESSION_MANAGER_KEY, "PendingFileRenameOperations", root=HKLM)
        shutil.rmtree(self.install_dir, ignore_errors=True)

    def log_on(self):
        """What Windows does at log-on: start the commands of the Run values (wineboot does that); returns once
        the watcher that starts so has begun to watch."""
        mark = self.log_mark()
        self.assertEqual(self.run_program("wineboot", console=False).exit_code, 0)
        self.wait_for_log("^监视启动，间隔=3 秒，目标=" + re.escape(self.target_win) + "$", since=mark)

    def restart(self):
        """A restart: every program ends, the file moves left for it are carried out, the shell comes back."""
        harness.kill_programs()
        self.assertEqual(self.run_program("wineboot", "-r", console=False).exit_code, 0)
        self.start_shell(record=False)

    def products(self):
        """The Apps & features entries of the package: {product code: (name, version, publisher)}."""
        exported = os.path.join(self.work_dir, "uninstall.reg")
        result = self.run_program("reg", "export", f"HKLM\\{UNINSTALL_KEY}", self.win_path(exported), "/y",
                                  console=False)
        self.assertEqual(result.exit_code, 0, result.describe())
        entries = {}
        text = read_file(exported).decode("utf-16")
        for key, body in re.findall(r"^\[[^\]]*\\Uninstall\\(\{[0-9A-F-]{36}\})\]\r?\n(.*?)(?=^\[|\Z)", text,
                                    re.M | re.S):
            values = dict(re.findall(r'^"(\w+)"="([^"]*)"', body, re.M))
            if values.get("DisplayName") == "OKAVU Quillmere":
                entries[key] = (values["DisplayName"], values.get("DisplayVersion"), values.get("Publisher"))
        return entries

    def watcher_version(self):
        status = self.run_program(f"{INSTALL_DIR}\\OKAVU.exe", "--status")
        self.assertEqual(status.exit_code, 0, status.describe())
        return re.search(r"监视实例正在运行：PID \d+，版本 (\S+)，", status.stdout_text).group(1)

    def assert_programs(self, folder):
        for name in ("OKAVU.exe", "OKAVUw.exe"):
            self.assertEqual(read_file(os.path.join(self.install_dir, name)), read_file(os.path.join(folder, name)),
                             f"{INSTALL_DIR}\\{name} is not the one of {folder}")

    def assert_run_value(self, present):
        value = self.reg_get(RUN_KEY, RUN_VALUE, root=HKLM)
        self.assertEqual(value and (value.type, value.data), ("REG_SZ", RUN_COMMAND) if present else None)

    def test_installed_with_autostart_it_watches_from_log_on_and_an_upgrade_while_it_runs_keeps_it(self):
        self.start_shell(record=False)
        self.assertEqual(self.install(self.msi, "AUTOSTART=1"), SUCCESS)
        self.assert_programs(os.path.dirname(self.msi))
        self.assertEqual(self.reg_get(PRODUCT_KEY, "ManagedInstall", root=HKLM), harness.RegValue("REG_DWORD", 4, 1))
        self.assert_run_value(True)
        self.assertEqual(list(self.products().values()),
                         [("OKAVU Quillmere", three_parts(harness.app_version()), "OKAVU")])
        # The machine's uninstall script is for the per-user install: the package's Run value is not its own.
        result = self.run_program("cmd", "/c", self.win_path(os.path.join(harness.source_dir(), "deploy",
                                                                          "uninstall-machine.cmd")), console=False)
        self.assertEqual((result.exit_code, result.stdout_text.splitlines()),
                         (0, [f'Left the Run value "{RUN_VALUE}": the per-machine install owns it '
                              "(msiexec /x removes it)."]), result.describe())
        self.assert_run_value(True)

        self.log_on()
        self.assertEqual(self.watcher_version(), harness.app_version())
        # Installed per machine, it leaves its new versions to the deployment: no update thread, no request.
        self.assertIn(("INFO", "受管安装，新版本由管理员的部署推送，不检查更新（HKLM\\SOFTWARE\\OKAVU\\Quillmere\\"
                               "ManagedInstall=1）"), self.log_texts())
        other = os.path.join(self.work_dir, "other.png")
        shutil.copyfile(harness.picture_path(), other)
        mark = self.log_mark()
        self.set_wallpaper_elsewhere(self.win_path(other))
        self.wait_for_log("^已改回目标墙纸：" + re.escape(self.target_win) + "$", since=mark)

        # The running watcher holds its file: the installer replaces it at the next restart and says so.
        code = self.install(self.next_msi)
        self.assertIn(code, (SUCCESS, RESTART_REQUIRED))
        self.assertEqual(list(self.products().values()),
                         [("OKAVU Quillmere", three_parts(harness.next_version()), "OKAVU")])
        self.assert_run_value(True)
        self.assertEqual(self.reg_get(PRODUCT_KEY, "ManagedInstall", root=HKLM), harness.RegValue("REG_DWORD", 4, 1))
        if code == RESTART_REQUIRED:
            pending = self.tool("reg-get", HKLM, SESSION_MANAGER_KEY, "PendingFileRenameOperations", check=False)
            self.assertEqual(pending.exit_code, 0, "a restart was asked for, with no file to replace at it")
            self.restart()
        self.assert_programs(os.path.dirname(self.next_msi))
        self.log_on()
        self.assertEqual(self.watcher_version(), harness.next_version())
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), self.target_win)

        stop = self.run_program(f"{INSTALL_DIR}\\OKAVU.exe", "--stop")
        self.assertEqual(stop.exit_code, 0, stop.describe())
        [product_code] = self.products()
        self.assertEqual(self.msiexec("/x", product_code, "/qn", "/norestart"), SUCCESS)
        self.assertFalse(os.path.exists(self.install_dir))
        self.assert_run_value(False)
        self.assertFalse(self.reg_key_exists(PRODUCT_KEY, root=HKLM))
        self.assertEqual(self.products(), {})

    def test_autostart_follows_the_command_line_of_an_upgrade_and_no_older_package_installs_over_a_newer(self):
        self.assertEqual(self.install(self.msi), SUCCESS)
        self.assert_run_value(False)
        self.assertEqual(self.install(self.next_msi, "AUTOSTART=1"), SUCCESS)
        self.assert_run_value(True)
        self.assertEqual(self.install(self.msi), INSTALL_FAILURE)
        self.assertEqual(list(self.products().values()),
                         [("OKAVU Quillmere", three_parts(harness.next_version()), "OKAVU")])
        self.assert_programs(os.path.dirname(self.next_msi))
        self.assert_run_value(True)

    def test_autostart_0_on_an_upgrade_takes_the_remembered_run_value_away(self):
        self.assertEqual(self.install(self.msi, "AUTOSTART=1"), SUCCESS)
        self.assertEqual(self.install(self.next_msi, "AUTOSTART=0"), SUCCESS)
        self.assert_run_value(False)
        self.assertEqual(self.reg_get(PRODUCT_KEY, "ManagedInstall", root=HKLM), harness.RegValue("REG_DWORD", 4, 1))


class PackageVersion(unittest.TestCase):
    """Windows Installer compares three version parts, within 255.255.65535: the build makes no package for a
    version it would confuse with another."""

    def build(self, version, folder):
        output = os.path.join(folder, f"OKAVU-{version}-x64.msi")
        result = subprocess.run(
            [os.environ["OKAVU_CMAKE"], f"-DWIXL={os.environ.get('OKAVU_WIXL', '')}", f"-DVERSION={version}",
             f"-DPROGRAM_DIR={os.path.dirname(harness.okavu_exe())}", f"-DOUTPUT={output}", "-P",
             os.path.join(harness.source_dir(), "cmake", "Msi.cmake")],
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        return result, output

    def test_a_version_with_a_fourth_part_or_beyond_the_limits_gets_no_package(self):
        folder = os.path.join(harness.build_dir(), "tests", "msi-versions")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for version, reason in (
                ("1.6.0.1", "No MSI for version 1.6.0.1: Windows Installer compares only the first three parts of "
                            "'1.6.0.1', so its fourth part must be 0 for it to upgrade or be upgraded"),
                ("256.0.0.0", "No MSI for version 256.0.0.0: '256.0.0.0' is beyond what Windows Installer holds "
                              "(255.255.65535)"),
                ("1.0.65536.0", "No MSI for version 1.0.65536.0: '1.0.65536.0' is beyond what Windows Installer "
                                "holds (255.255.65535)")):
            with self.subTest(version=version):
                result, output = self.build(version, folder)
                self.assertNotEqual(result.returncode, 0, result.stderr)
                self.assertIn(reason, " ".join(result.stderr.split()))
                self.assertFalse(os.path.exists(output))
                self.assertFalse(os.path.exists(output + ".part"))


if __name__ == "__main__":
    harness.main()
