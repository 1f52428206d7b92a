"""DLLs planted beside the program under the names of the system DLLs it loads (version.dll, winhttp.dll,
bcrypt.dll) are never loaded: not by a one-shot run, not by an update check, not by the update helper,
which runs from the user's temporary folder where any program of the user can drop a DLL. Wine loads a
planted DLL only when WINEDLLOVERRIDES prefers native DLLs, so every run here is given that preference,
and a test program's plain LoadLibraryW shows that the plant works."""
import glob
import hashlib
import os
import shutil

import harness
from harness import OkavuTestCase

PREFER_NATIVE = "version,winhttp,bcrypt=n,b"


class PlantedDlls(OkavuTestCase):
    def plant(self, folder):
        """The planted DLLs in folder; returns the markers they would leave."""
        os.makedirs(folder, exist_ok=True)
        for dll in harness.planted_dlls():
            shutil.copy(dll, folder)
        return os.path.join(folder, "*.loaded")

    def env(self):
        overrides = self.prefix.environ().get("WINEDLLOVERRIDES", "")
        return {"WINEDLLOVERRIDES": f"{overrides};{PREFER_NATIVE}" if overrides else PREFER_NATIVE}

    def test_the_plant_is_loaded_by_a_program_that_searches_its_own_folder(self):
        folder = os.path.join(self.work_dir, "tool")
        markers = self.plant(folder)
        tool = os.path.join(folder, "testtool.exe")
        shutil.copy(harness.testtool_exe(), tool)
        done = self.run_program(tool, "load-dll", "version.dll", console=False, env=self.env())
        self.assert_exit(done, 0)
        self.assertIn("version.dll.loaded", [os.path.basename(m) for m in glob.glob(markers)])

    def test_no_run_of_the_program_loads_them(self):
        self.start_shell(record=False)
        app = os.path.join(self.work_dir, "app")
        markers = [self.plant(app)]
        exe = self.copy_program(app)
        for args in ((), ("--check-update",)):
            with self.subTest(args=args):
                done = self.run_program(exe, *args, console=False, env=self.env())
                self.assert_exit(done, 0)
        # The helper as the hand-over starts it: a copy in the temporary folder, planted there too.
        helper = os.path.join(self.temp_dir, "OKAVU-updater-4242.exe")
        markers.append(self.plant(self.temp_dir))
        shutil.copy(harness.okavu_exe(), helper)
        new_file = os.path.join(app, "OKAVU.new.exe")
        shutil.copy(harness.next_exe(), new_file)
        with open(new_file, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        done = self.run_program(helper, "--apply-update", "--target", self.win_path(exe), "--new",
                                self.win_path(new_file), "--ver", harness.next_version(), "--sha256", digest, "--",
                                "--version", console=False, env=self.env())
        self.assert_exit(done, 0)
        self.assertEqual(self.log_messages()[-2:], ["已拉起新版本", f"新版本运行正常，已删除旧版本备份：{self.win_path(exe)}.old"])
        for pattern in markers:
            self.assertEqual(glob.glob(pattern), [], pattern)


if __name__ == "__main__":
    harness.main()
