"""The picture: the three sources in their order, their messages, the format refusal (exit 3), the missing
picture (exit 2) and the PNG dimension line, all through the real OKAVU.exe."""
import os
import shutil
import struct

import harness
from harness import DESKTOP_KEY, OkavuTestCase

BANNER_END = "[INFO ] 数据格式 = "
REFUSED = "[ERROR] 数据不是 Windows 支持的位图格式（支持 BMP/JPEG/PNG/GIF/TIFF；不支持 WebP/HEIC/AVIF）\n"


def png_head(width, height, chunk=b"IHDR"):
    """A PNG signature and a first chunk header with the two big-endian numbers: 24 bytes."""
    return b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + chunk + struct.pack(">II", width, height)


def bare_exe():
    """OKAVU.exe built without the embedded picture."""
    return os.path.join(harness.build_dir(), "okavu-bare", "OKAVU.exe")


class PictureTestCase(OkavuTestCase):
    def setUp(self):
        super().setUp()
        self.shell = self.start_shell()

    def write(self, name, data):
        path = os.path.join(self.work_dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def assert_nothing_painted(self):
        self.assertIsNone(self.reg_get(DESKTOP_KEY, "Wallpaper"))
        self.assertEqual(os.listdir(self.pictures_dir), [])


class EmbeddedPicture(PictureTestCase):
    def test_resource_is_read_reported_and_staged(self):
        picture = harness.embedded_picture()
        result = self.run_okavu("--once")
        self.assert_exit(result, 0)
        self.assertIn(f"[ OK  ] 已从 exe 内部读取出嵌入图片：{len(picture)} 字节\n"
                      f"[INFO ] 图片来源 = exe 内嵌资源 \"OKAVU_PNG\"（{len(picture)} 字节）\n"
                      "[INFO ] 数据格式 = PNG\n"
                      "[INFO ] 图片尺寸 = 1536x1152\n", result.stdout_text)
        self.assertNotIn("资源", result.stderr_text)
        with open(self.target_path, "rb") as f:
            self.assertEqual(f.read(), picture)

    def test_argument_replaces_the_resource(self):
        data = png_head(1920, 1080) + b"\0" * 40
        self.write("wide.png", data)
        result = self.run_okavu("--once", "wide.png")
        self.assert_exit(result, 0)
        full = self.work_win + "\\wide.png"
        self.assertIn(f"[INFO ] 图片来源 = {full}（64 字节）\n"
                      "[INFO ] 数据格式 = PNG\n"
                      "[INFO ] 图片尺寸 = 1920x1080\n", result.stdout_text)
        self.assertNotIn("内嵌", result.stdout_text + result.stderr_text)
        with open(self.target_path, "rb") as f:
            self.assertEqual(f.read(), data)

    def test_dimension_line_only_for_a_png_with_a_whole_ihdr(self):
        cases = {
            "short.png": png_head(1920, 1080)[:23],          # one byte short of the height
            "idat.png": png_head(1920, 1080, chunk=b"IDAT"),  # first chunk is not IHDR
            "photo.jpg": b"\xff\xd8\xff\xe0" + struct.pack(">II", 1920, 1080) * 4,
        }
        for name, data in cases.items():
            with self.subTest(name=name):
                self.write(name, data)
                result = self.run_okavu("--once", "--force", name)
                self.assert_exit(result, 0)
                self.assertIn(BANNER_END, result.stdout_text)
                self.assertNotIn("图片尺寸", result.stdout_text)


class PictureArgumentFailures(PictureTestCase):
    def test_missing_or_directory_argument_is_exit_2_naming_it_as_given(self):
        os.mkdir(os.path.join(self.work_dir, "folder.png"))
        for arg in ("missing.png", "folder.png", "子目录\\缺失.png"):
            with self.subTest(arg=arg):
                result = self.run_okavu("--once", arg)
                self.assert_exit(result, 2)
                self.assertEqual(result.stderr_text, f"[ERROR] 文件不存在：{arg}\n")
                self.assertNotIn("图片来源", result.stdout_text)
                self.assert_nothing_painted()

    def test_empty_argument_file_is_exit_2_with_its_full_path(self):
        self.write("empty.png", b"")
        result = self.run_okavu("--once", "empty.png")
        self.assert_exit(result, 2)
        self.assertEqual(result.stderr_text, f"[ERROR] 读不出文件或文件为空：{self.work_win}\\empty.png\n")
        self.assert_nothing_painted()

    def test_unsupported_or_short_data_is_exit_3(self):
        cases = {
            "anim.webp": (b"RIFF\x10\0\0\0WEBPVP8 " + b"\0" * 8, "未知格式"),
            "photo.heic": (b"\0\0\0\x18ftypheic" + b"\0" * 12, "未知格式"),
            "three.bmp": (b"BM\0", "数据太短"),
        }
        for name, (data, format_name) in cases.items():
            with self.subTest(name=name):
                self.write(name, data)
                result = self.run_okavu("--once", name)
                self.assert_exit(result, 3)
                self.assertIn(f"[INFO ] 图片来源 = {self.work_win}\\{name}（{len(data)} 字节）\n"
                              f"[INFO ] 数据格式 = {format_name}\n", result.stdout_text)
                self.assertEqual(result.stderr_text, REFUSED)
                self.assert_nothing_painted()

    def test_four_bytes_are_enough_for_every_format(self):
        for name, data, format_name in (("a.bmp", b"BM\0\0", "BMP"), ("a.jpg", b"\xff\xd8\0\0", "JPEG"),
                                        ("a.gif", b"GIF\0", "GIF"), ("le.tif", b"II*\x7f", "TIFF"),
                                        ("be.tif", b"MM\0*", "TIFF")):
            with self.subTest(name=name):
                self.write(name, data)
                result = self.run_okavu("--once", "--force", name)
                self.assert_exit(result, 0)
                self.assertIn(f"[INFO ] 数据格式 = {format_name}\n", result.stdout_text)


class FallbackFile(PictureTestCase):
    """OKAVU.exe without the resource: OKAVU.png is looked up in the working directory."""

    def run_bare(self, *args, cwd=None):
        return self.run_program(bare_exe(), *args, cwd=cwd)

    def test_fallback_file_in_the_working_directory(self):
        data = png_head(800, 600) + b"\0" * 10
        self.write("OKAVU.png", data)
        result = self.run_bare("--once")
        self.assert_exit(result, 0)
        self.assertRegex(result.stderr_text, r"^\[WARN \] exe 内找不到资源 \"OKAVU_PNG\" \(RCDATA\)，GetLastError=\d+\n")
        self.assertIn("[INFO ] 回退到外部文件 OKAVU.png\n"
                      f"[INFO ] 图片来源 = {self.work_win}\\OKAVU.png（34 字节）\n"
                      "[INFO ] 数据格式 = PNG\n"
                      "[INFO ] 图片尺寸 = 800x600\n", result.stdout_text)
        with open(self.target_path, "rb") as f:
            self.assertEqual(f.read(), data)

    def test_fallback_next_to_the_program_is_not_looked_at(self):
        program_dir = os.path.join(self.work_dir, "program")
        os.mkdir(program_dir)
        exe = os.path.join(program_dir, "OKAVU.exe")
        shutil.copyfile(bare_exe(), exe)
        self.write("program/OKAVU.png", png_head(1, 1))
        result = self.run_program(exe, "--once")
        self.assert_exit(result, 2)
        self.assertIn("[ERROR] 既没有内嵌图片，也找不到 OKAVU.png；请用 build.bat 重新编译\n", result.stderr_text)
        self.assert_nothing_painted()

    def test_empty_fallback_file_is_exit_2_with_its_full_path(self):
        self.write("OKAVU.png", b"")
        result = self.run_bare("--once")
        self.assert_exit(result, 2)
        self.assertIn("[INFO ] 回退到外部文件 OKAVU.png\n", result.stdout_text)
        self.assertTrue(result.stderr_text.endswith(f"[ERROR] 读不出 {self.work_win}\\OKAVU.png\n"),
                        result.describe())
        self.assert_nothing_painted()

    def test_argument_needs_no_resource(self):
        self.write("mine.gif", b"GIF89a" + b"\0" * 20)
        result = self.run_bare("--once", "mine.gif")
        self.assert_exit(result, 0)
        self.assertNotIn("资源", result.stderr_text)
        self.assertIn("[INFO ] 数据格式 = GIF\n", result.stdout_text)


if __name__ == "__main__":
    harness.main()
