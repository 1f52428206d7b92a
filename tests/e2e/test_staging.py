"""The target file through the real OKAVU.exe: the plain run, the skip rule and "--force", "--extract",
"--no-paint", in-place use when the Pictures folder cannot be written, and the re-check on disk."""
import os

import harness
from harness import DESKTOP_KEY, OkavuTestCase


PICTURE = harness.embedded_picture()
SIZE = len(PICTURE)


class StagingTestCase(OkavuTestCase):
    def setUp(self):
        super().setUp()
        self.shell = self.start_shell()

    def read(self, unix_path):
        with open(unix_path, "rb") as f:
            return f.read()

    def write(self, unix_path, data):
        with open(unix_path, "wb") as f:
            f.write(data)


class PlainRun(StagingTestCase):
    def test_no_arguments_sets_the_embedded_picture_silently(self):
        result = self.run_okavu(console=False)
        self.assert_exit(result, 0)
        self.assertEqual(result.stdout, b"")
        self.assertEqual(result.stderr, b"")
        self.assertEqual(self.read(self.target_path), PICTURE)
        self.assertEqual(self.desktop_values(),
                         {"Wallpaper": self.target_win, "WallpaperStyle": "10", "TileWallpaper": "0"})
        self.assertEqual(self.log_texts(), [("INFO", f"设置墙纸：{self.target_win}")])

    def test_same_size_file_is_kept_unless_forced(self):
        first = self.run_okavu("--once")
        self.assert_exit(first, 0)
        self.assertIn(f"[ OK  ] 图片已落盘：{self.target_win}（{SIZE} 字节）\n", first.stdout_text)

        # Another valid picture of exactly the same size: only the size is compared.
        other = PICTURE[:16] + bytes(b ^ 0x5A for b in PICTURE[16:])
        self.write(self.target_path, other)
        second = self.run_okavu("--once")
        self.assert_exit(second, 0)
        self.assertIn(f"[INFO ] 已存在同样大小的文件，跳过重写：{self.target_win}\n", second.stdout_text)
        self.assertNotIn("图片已落盘", second.stdout_text)
        self.assertEqual(self.read(self.target_path), other)

        forced = self.run_okavu("--once", "--force")
        self.assert_exit(forced, 0)
        self.assertIn(f"[ OK  ] 图片已落盘：{self.target_win}（{SIZE} 字节）\n", forced.stdout_text)
        self.assertEqual(self.read(self.target_path), PICTURE)

    def test_different_size_is_rewritten(self):
        self.write(self.target_path, PICTURE + b"tail")
        result = self.run_okavu("--once")
        self.assert_exit(result, 0)
        self.assertIn(f"[ OK  ] 图片已落盘：{self.target_win}（{SIZE} 字节）\n", result.stdout_text)
        self.assertEqual(self.read(self.target_path), PICTURE)

    def test_same_size_non_picture_passes_the_skip_rule_and_fails_the_re_check(self):
        self.write(self.target_path, b"x" * SIZE)
        result = self.run_okavu("--once")
        self.assert_exit(result, 5)
        self.assertIn(f"[INFO ] 已存在同样大小的文件，跳过重写：{self.target_win}\n", result.stdout_text)
        self.assertEqual(result.stderr_text, f"[ERROR] 磁盘上的目标文件不是有效位图：{self.target_win}（未知格式）\n")
        self.assertNotIn("当前会话", result.stdout_text)  # stopped before the environment checks
        self.assertIsNone(self.reg_get(DESKTOP_KEY, "Wallpaper"))
        self.assertEqual(self.read(self.target_path), b"x" * SIZE)


class Extract(StagingTestCase):
    def test_relative_extract_path_becomes_the_wallpaper(self):
        result = self.run_okavu("--once", "--extract", "out.png")
        self.assert_exit(result, 0)
        full = self.work_win + "\\out.png"
        self.assertIn(f"[ OK  ] 图片已落盘：{full}（{SIZE} 字节）\n"
                      f"[ OK  ] 磁盘文件复查通过：{full}（PNG）\n", result.stdout_text)
        self.assertEqual(self.read(os.path.join(self.work_dir, "out.png")), PICTURE)
        self.assertEqual(os.listdir(self.pictures_dir), [])
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), full)

    def test_extract_into_a_missing_folder_is_exit_5_without_fall_back(self):
        path = self.work_win + "\\缺失\\out.png"
        result = self.run_okavu("--once", "--extract", path)
        self.assert_exit(result, 5)
        self.assertEqual(result.stderr_text, f"[WARN ] 写入失败 (err=3)：{path}\n")
        self.assertEqual(os.listdir(self.pictures_dir), [])
        self.assertIsNone(self.reg_get(DESKTOP_KEY, "Wallpaper"))
        self.assertEqual(self.log_texts(), [("ERROR", f"写入墙纸文件失败 (err=3)：{path}"), harness.exit_log(5)])

    def test_extract_with_no_paint_only_writes_the_file(self):
        result = self.run_okavu("--extract", "sub.png", "--no-paint", console=False)
        self.assert_exit(result, 0)
        self.assertEqual(self.read(os.path.join(self.work_dir, "sub.png")), PICTURE)
        self.assertIsNone(self.reg_get(DESKTOP_KEY, "Wallpaper"))


class NoPaint(OkavuTestCase):
    """No shell here: the environment checks would end a painting run with exit code 4."""

    def test_no_paint_stages_and_leaves_the_desktop_alone(self):
        result = self.run_okavu("--no-paint", console=False)
        self.assert_exit(result, 0)
        self.assertEqual((result.stdout, result.stderr), (b"", b""))
        with open(self.target_path, "rb") as f:
            self.assertEqual(f.read(), PICTURE)
        self.assertEqual(self.desktop_values(), {"Wallpaper": None, "WallpaperStyle": None, "TileWallpaper": None})
        self.assertEqual(self.log_entries(), [])

    def test_no_paint_reports_the_target_and_skips_the_checks(self):
        result = self.run_okavu("--once", "--no-paint")
        self.assert_exit(result, 0)
        self.assertTrue(result.stdout_text.endswith(
            f"[ OK  ] 图片已落盘：{self.target_win}（{SIZE} 字节）\n"
            f"[ OK  ] --no-paint：跳过设置壁纸。目标文件 = {self.target_win}\n"), result.describe())
        self.assertEqual(result.stderr, b"")


class InPlace(StagingTestCase):
    """The staged file cannot be written: a picture file is used from where it lies, the embedded one cannot."""

    def hold_target(self):
        # Another size than the picture, so the skip rule does not apply; held without any sharing.
        self.write(self.target_path, b"held")
        return self.hold_file(self.target_path)

    def test_picture_file_is_used_in_place(self):
        source = os.path.join(self.work_dir, "mine.png")
        self.write(source, PICTURE)
        self.hold_target()
        result = self.run_okavu("--once", "mine.png")
        self.assert_exit(result, 0)
        source_win = self.work_win + "\\mine.png"
        self.assertEqual(result.stderr_text,
                         f"[WARN ] 写入失败 (err=32)：{self.target_win}\n"
                         "[WARN ] 图片目录写入失败，改为原地使用源文件\n")
        self.assertIn(f"[ OK  ] 磁盘文件复查通过：{source_win}（PNG）\n", result.stdout_text)
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), source_win)
        self.assertEqual(self.read(source), PICTURE)
        self.assertEqual(self.log_texts()[0], ("ERROR", f"写入墙纸文件失败 (err=32)：{self.target_win}"))

    def test_embedded_picture_cannot_be_used_in_place(self):
        self.hold_target()
        result = self.run_okavu("--once")
        self.assert_exit(result, 5)
        self.assertEqual(result.stderr_text,
                         f"[WARN ] 写入失败 (err=32)：{self.target_win}\n"
                         "[WARN ] 图片目录写入失败，改为原地使用源文件\n"
                         "[ERROR] 没有可用的墙纸文件路径，无法继续\n")
        self.assertIsNone(self.reg_get(DESKTOP_KEY, "Wallpaper"))

    def test_pictures_folder_replaced_by_a_file(self):
        os.rmdir(self.pictures_dir)
        self.write(self.pictures_dir, b"not a folder")

        def restore():
            os.unlink(self.pictures_dir)
            os.mkdir(self.pictures_dir)

        self.addCleanup(restore)
        embedded = self.run_okavu("--once")
        self.assert_exit(embedded, 5)
        self.assertIn("[ERROR] 没有可用的墙纸文件路径，无法继续\n", embedded.stderr_text)
        self.write(os.path.join(self.work_dir, "mine.png"), PICTURE)
        from_file = self.run_okavu("--once", "mine.png")
        self.assert_exit(from_file, 0)
        self.assertIn("[WARN ] 图片目录写入失败，改为原地使用源文件\n", from_file.stderr_text)
        self.assertEqual(self.reg_text(DESKTOP_KEY, "Wallpaper"), self.work_win + "\\mine.png")


if __name__ == "__main__":
    harness.main()
