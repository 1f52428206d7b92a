"""Every way an update cycle can fail, end to end: the real OKAVU.exe runs "--check-update" against a
fault-injecting HTTPS server on localhost:443 (certificate from a throwaway CA trusted by the prefix).
Each case checks the exact console lines of the cycle, its exact log lines, what was requested, that the
run still ends with exit code 0, that no "OKAVU.new.exe" is left behind and that nothing was handed over."""
import hashlib
import os
import re
import shutil
import tempfile

import harness
import tls
from fault_server import FaultServer, Reply
from harness import OkavuTestCase, STATE_SUBKEY

OLD = harness.app_version()
NEW = harness.next_version()
MANIFEST = "/files/OKAVU/manifest.txt"
DOWNLOAD_NAME = f"OKAVU-{NEW}.exe"
DOWNLOAD = "/files/OKAVU/" + DOWNLOAD_NAME
NEW_EXE = "OKAVU.new.exe"
LIMIT = 64 * 1024 * 1024
AGENT = f"OKAVU-Quillmere/{OLD}"

CHECK_START = f"[INFO ] 独立执行一次更新检查（当前版本 {OLD}）…"
FOUND = "[INFO ] 发现新版本 {}（当前 " + OLD + "），开始下载…"


def manifest(version=NEW, url=DOWNLOAD_NAME, sha256=None, size=None, first_line=None):
    """Manifest bytes; a field given as None is left out."""
    lines = ["# OKAVU update manifest"] if first_line is None else [first_line]
    for key, value in (("version", version), ("url", url), ("sha256", sha256), ("size", size)):
        if value is not None:
            lines.append(f"{key}={value}")
    lines.append("notes=测试")
    return ("\r\n".join(lines) + "\r\n").encode("utf-8")


def found_log(version):
    return ("INFO", f"发现新版本 {version}（当前 {OLD}）")


def remembered_log(version):
    return ("INFO", f"已记下安装失败的版本 {version}，清单不换版本或摘要就不再下载它")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class Outcome:
    """What one "--check-update" run showed of its update cycle."""

    def __init__(self, result, console, errors, log, requests):
        self.result = result
        self.console = console    # stdout lines after the standalone check's first line
        self.errors = errors      # all stderr lines
        self.log = log            # (level, text) of every log line after the first set
        self.requests = requests  # request paths

    def describe(self):
        return f"{self.result.describe()}\nlog: {self.log!r}\nrequests: {self.requests!r}"


@harness.requires_local_update_host
class UpdateFailureTest(OkavuTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.certs = tempfile.mkdtemp(prefix="okavu-update-failures-")
        cls.trusted = tls.make_chain(os.path.join(cls.certs, "trusted"))
        tls.import_ca(harness.prefix(), harness.testtool_exe(), cls.trusted.ca_pem, wine=harness.wine())
        cls.server = FaultServer(cls.trusted).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.certs, ignore_errors=True)
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.server.clear()
        self.server.use_certificate(self.trusted)
        # A copy in the scratch folder, so that the download lands there and nowhere else.
        self.exe = self.copy_program()
        self.new_exe = os.path.join(self.work_dir, NEW_EXE)
        self.start_shell(record=False)

    # ---- running one cycle ---------------------------------------------------------------------------

    def check_update(self, manifest_reply, download_reply=None, download_path=DOWNLOAD):
        """Serves the manifest (bytes or a Reply) and the download, runs "--check-update" to its end."""
        if isinstance(manifest_reply, bytes):
            manifest_reply = Reply(body=manifest_reply)
        self.server.set(MANIFEST, manifest_reply)
        if download_reply is not None:
            self.server.set(download_path, download_reply)
        mark = self.log_mark()
        result = self.run_program(self.exe, "--check-update", timeout=60)
        stdout = result.stdout_text.splitlines()
        self.assertIn(CHECK_START, stdout, result.describe())
        console = stdout[stdout.index(CHECK_START) + 1:]
        # Every line of the run: the first set's, then only the cycle's, with nothing unexpected between.
        log = [(e.level, e.text) for e in self.log_entries(mark)]
        painted = ("INFO", f"设置墙纸：{self.target_win}")
        self.assertEqual(log[:1], [painted], result.describe())
        log = log[1:]
        requests = []
        for path, agent in self.server.requests:
            self.assertEqual(agent, AGENT, path)
            requests.append(path)
        return Outcome(result, console, result.stderr_text.splitlines(), log, requests)

    def expect(self, outcome, console=(), errors=(), log=(), requests=(MANIFEST,), state_written=None,
               remembered=None, remembered_before=False):
        """The cycle's exact console lines, error lines, log lines and requests; a failed cycle ends the
        run normally and leaves no download behind. A release at fault is remembered (remembered: the
        version and digest stored, with their log line last unless an earlier run stored them). Unless the hand-over began (state_written:
        the version it recorded), there is no other update state and no helper copy either."""
        what = outcome.describe()
        self.assert_exit(outcome.result, 0)
        self.assertEqual(outcome.console, list(console), what)
        self.assertEqual(outcome.errors, list(errors), what)
        self.assertEqual(outcome.log, list(log) + ([remembered_log(remembered[0])] if remembered and not remembered_before else []), what)
        self.assertEqual(outcome.requests, list(requests), what)
        self.assertFalse(os.path.exists(self.new_exe), f"{NEW_EXE} left behind\n{what}")
        if state_written:
            self.assertEqual(self.reg_text(STATE_SUBKEY, "PreviousVersion"), OLD)
            self.assertEqual(self.reg_text(STATE_SUBKEY, "LastUpdateAttempt"), state_written)
            self.assertEqual(self.reg_text(STATE_SUBKEY, "PendingNewExe"), self.win_path(self.new_exe))
            self.assertRegex(self.reg_text(STATE_SUBKEY, "LastUpdateTime"), r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
        elif remembered:
            self.assertIsNone(self.reg_text(STATE_SUBKEY, "PendingNewExe"), what)
        else:
            self.assertFalse(self.reg_key_exists(STATE_SUBKEY), f"update state written\n{what}")
        if remembered:
            self.assertEqual((self.reg_text(STATE_SUBKEY, "FailedUpdateVersion"),
                              self.reg_text(STATE_SUBKEY, "FailedUpdateSha256")), remembered, what)
        if not state_written:
            self.assertEqual([n for n in os.listdir(self.temp_dir) if n.startswith("OKAVU-updater-")], [], what)

    def expect_download_failure(self, outcome, version, console, errors, log, remembered=None):
        """A cycle that found version, downloaded it and then gave up."""
        self.expect(outcome, [FOUND.format(version)] + console, errors,
                    [found_log(version)] + log, [MANIFEST, DOWNLOAD], remembered=remembered)

    # ---- manifest --------------------------------------------------------------------------------------

    def test_manifest_not_found(self):
        outcome = self.check_update(Reply(status=404, body=b"missing\n"))
        self.expect(outcome, log=[("WARN", "更新检查失败：ok=0 状态码=404")])

    def test_manifest_redirect_is_not_followed(self):
        self.server.set("/files/OKAVU/elsewhere.txt", Reply(body=manifest()))
        outcome = self.check_update(Reply.redirect("/files/OKAVU/elsewhere.txt"))
        self.expect(outcome, log=[("WARN", "更新检查失败：ok=0 状态码=302")])

    def test_manifest_cut_off_mid_body(self):
        body = manifest(sha256="0" * 64, size=100)
        outcome = self.check_update(Reply(body=body, drop_after=len(body) // 2))
        self.expect(outcome, log=[("WARN", "更新检查失败：ok=0 状态码=200")])

    def test_manifest_without_url(self):
        outcome = self.check_update(manifest(url=None))
        self.expect(outcome, log=[("WARN", "清单格式不对，忽略")])

    def test_manifest_with_byte_order_mark_loses_its_first_key(self):
        body = b"\xef\xbb\xbf" + manifest(first_line=f"version={NEW}", version=None)
        outcome = self.check_update(body)
        self.expect(outcome, log=[("WARN", "清单格式不对，忽略")])

    def test_empty_manifest(self):
        outcome = self.check_update(b"")
        self.expect(outcome, log=[("WARN", "清单格式不对，忽略")])

    def test_version_not_newer_is_silent(self):
        for version in (OLD, OLD.rsplit(".", 2)[0], harness.older_version(OLD), "v" + NEW):
            with self.subTest(version=version):
                self.server.clear()
                outcome = self.check_update(manifest(version=version))
                self.expect(outcome)

    # ---- download location -----------------------------------------------------------------------------

    def test_rejected_download_locations(self):
        for url in ("http://localhost/files/OKAVU/x.exe",
                    f"a/../{DOWNLOAD_NAME}",
                    "//localhost/files/OKAVU/x.exe",
                    f"/other/{DOWNLOAD_NAME}",
                    "https://other.invalid/files/OKAVU/x.exe",
                    "https://localhost:443/files/OKAVU/x.exe",
                    # However the path is written, it stays below /files/OKAVU/ as any server decodes it.
                    "https://localhost/files/OKAVU/a/../../secret.exe",
                    "%2e%2e/%2e%2e/secret.exe",
                    "https://localhost/files/OKAVU/%2E%2E%2fsecret.exe",
                    "a%5c..%5csecret.exe",
                    "a\\..\\secret.exe"):
            with self.subTest(url=url):
                self.server.clear()
                outcome = self.check_update(manifest(url=url))
                self.expect(outcome, [FOUND.format(NEW)], [f"[ERROR] 下载地址不被允许：{url}"],
                            [found_log(NEW), ("ERROR", f"下载地址不被允许：{url}")])

    def test_absolute_location_on_the_update_host_is_requested(self):
        outcome = self.check_update(manifest(url="https://localhost/files/OKAVU/abs/x.exe"))
        self.expect(outcome, [FOUND.format(NEW)], ["[ERROR] 下载失败（状态码 404）"],
                    [found_log(NEW), ("ERROR", "下载失败：状态码 404")],
                    [MANIFEST, "/files/OKAVU/abs/x.exe"])

    # ---- download --------------------------------------------------------------------------------------

    def test_a_download_that_redirects_is_not_followed(self):
        self.server.set("/files/OKAVU/elsewhere.exe", Reply(body=b"MZ" + bytes(100)))
        outcome = self.check_update(manifest(), Reply.redirect("/files/OKAVU/elsewhere.exe"))
        self.expect_download_failure(outcome, NEW, [], ["[ERROR] 下载失败（状态码 302）"],
                                     [("ERROR", "下载失败：状态码 302")])

    def test_download_not_found_removes_leftover(self):
        with open(self.new_exe, "wb") as f:
            f.write(b"left over from an earlier run")
        outcome = self.check_update(manifest(), Reply(status=404, body=b"missing\n"))
        self.expect_download_failure(outcome, NEW, [], ["[ERROR] 下载失败（状态码 404）"],
                                     [("ERROR", "下载失败：状态码 404")])

    def test_download_connection_dropped(self):
        data = bytes(range(256)) * 4096
        for drop in ("fin", "rst"):
            with self.subTest(drop=drop):
                self.server.clear()
                outcome = self.check_update(manifest(sha256=sha256(data), size=len(data)),
                                            Reply(body=data, drop_after=len(data) // 3, drop=drop))
                # The log names what broke the transfer; how Wine reports a dropped connection varies.
                cause = outcome.log[2:]
                self.assertLessEqual(len(cause), 1, outcome.describe())
                for level, text in cause:
                    self.assertEqual(level, "ERROR")
                    self.assertRegex(text, r"^下载失败原因：(WinHTTP 错误|安全层错误|系统错误) ")
                self.expect_download_failure(outcome, NEW, [], ["[ERROR] 下载失败（状态码 200）"],
                                             [("ERROR", "下载失败：状态码 200")] + cause)

    def test_download_size_limit(self):
        data = bytes(range(256)) * (LIMIT // 256)
        # Exactly 64 MiB arrives whole (the size check then reports every byte); one more byte is refused.
        outcome = self.check_update(manifest(size=1), Reply(body=data))
        self.expect_download_failure(outcome, NEW, [], [f"[ERROR] 体积不符：期望 1 实际 {LIMIT}，放弃更新"],
                                     [("ERROR", f"体积不符：期望 1 实际 {LIMIT}")], remembered=(NEW, ""))
        self.server.clear()
        self.reg_delete(STATE_SUBKEY)
        outcome = self.check_update(manifest(size=1), Reply(body=data + b"!"))
        self.expect_download_failure(outcome, NEW, [], ["[ERROR] 下载失败（状态码 200）"],
                                     [("ERROR", "下载失败：状态码 200"),
                                      ("ERROR", "下载失败原因：系统错误 223 ERROR_FILE_TOO_LARGE（应答超过大小上限）")])

    def test_a_manifest_over_64_kib_is_not_read(self):
        body = manifest() + b"# padding\r\n" * (65536 // 11)
        self.assertGreater(len(body), 65536)
        outcome = self.check_update(body)
        self.expect(outcome, log=[("WARN", "更新检查失败：ok=0 状态码=200"),
                                  ("WARN", "更新检查失败原因：系统错误 223 ERROR_FILE_TOO_LARGE（应答超过大小上限）")])

    def test_empty_download(self):
        outcome = self.check_update(manifest(sha256=sha256(b""), size=0), Reply(body=b""))
        self.expect_download_failure(outcome, NEW, [], [], [("ERROR", "下载文件读不出")])

    def test_wrong_size_comes_before_the_digest(self):
        data = b"MZ" + bytes(1000)
        outcome = self.check_update(manifest(sha256="not-a-digest", size=len(data) + 1), Reply(body=data))
        self.expect_download_failure(outcome, NEW, [],
                                     [f"[ERROR] 体积不符：期望 {len(data) + 1} 实际 {len(data)}，放弃更新"],
                                     [("ERROR", f"体积不符：期望 {len(data) + 1} 实际 {len(data)}")],
                                     remembered=(NEW, "not-a-digest"))

    def test_malformed_or_missing_digest_after_download(self):
        data = b"MZ" + bytes(1000)
        # U+0A0A ends in the byte of a line feed: it must neither pass for a digit nor start a line of its own.
        for field, remembered in (("ABC", "abc"), ("0" * 63, "0" * 63), ("0" * 65, "0" * 65), ("g" * 64, "g" * 64),
                                  ("0" * 63 + "\u0a0a", "0" * 63 + "\u0a0a"), (None, "")):
            with self.subTest(sha256=field):
                self.server.clear()
                outcome = self.check_update(manifest(sha256=field, size=len(data)), Reply(body=data))
                self.expect_download_failure(
                    outcome, NEW, [], ["[ERROR] 清单里的 sha256 不是 64 位十六进制，拒绝更新（清单写错了？）"],
                    [("ERROR", f"清单 sha256 非法：{field or ''}")], remembered=(NEW, remembered))

    def test_digest_mismatch_is_remembered_and_not_downloaded_again(self):
        data = b"MZ" + bytes(1000)
        expected = sha256(b"something else")
        outcome = self.check_update(manifest(sha256=expected.upper()), Reply(body=data))
        self.expect_download_failure(outcome, NEW, [], ["[ERROR] SHA256 校验失败，放弃更新"],
                                     [("ERROR", f"SHA256 校验失败，期望 {expected} 实际 {sha256(data)}")],
                                     remembered=(NEW, expected))
        # The same release again: told once per run, never fetched; another digest is a new release. The
        # record's version is compared as a version: written with fewer parts, it still names the release.
        short = NEW[:-4] if NEW.endswith(".0.0") else NEW
        self.reg_set(STATE_SUBKEY, "FailedUpdateVersion", short)
        self.server.clear()
        outcome = self.check_update(manifest(sha256=expected), Reply(body=data))
        self.expect(outcome, [f"[INFO ] 版本 {NEW} 上次安装失败，不再下载（清单换了版本或摘要才会再试）"], [],
                    [("INFO", f"跳过上次安装失败的版本 {NEW}")], remembered=(short, expected), remembered_before=True)
        # The record roams with the profile: one made on another computer does not hold this one back.
        self.reg_set(STATE_SUBKEY, "FailedUpdateComputer", "ANOTHER-PC")
        self.server.clear()
        outcome = self.check_update(manifest(sha256=expected), Reply(body=data))
        self.expect_download_failure(outcome, NEW, [], ["[ERROR] SHA256 校验失败，放弃更新"],
                                     [("ERROR", f"SHA256 校验失败，期望 {expected} 实际 {sha256(data)}")],
                                     remembered=(NEW, expected))
        self.assertNotEqual(self.reg_text(STATE_SUBKEY, "FailedUpdateComputer"), "ANOTHER-PC")
        self.server.clear()
        outcome = self.check_update(manifest(sha256=sha256(data), size=1), Reply(body=data))
        self.expect_download_failure(outcome, NEW, [], ["[ERROR] 体积不符：期望 1 实际 1002，放弃更新"],
                                     [("ERROR", "体积不符：期望 1 实际 1002")], remembered=(NEW, sha256(data)))

    # ---- what the download is --------------------------------------------------------------------------

    def test_download_without_version_resource(self):
        # A real executable, but one built without a version resource.
        with open(harness.testtool_exe(), "rb") as f:
            data = f.read()
        digest = sha256(data)
        outcome = self.check_update(manifest(sha256=digest.upper(), size=len(data)), Reply(body=data))
        # The size and digest passed (the log says so); the console calls nothing passed for a refused file.
        self.expect_download_failure(
            outcome, NEW, [],
            ["[ERROR] 下载的 exe 没有版本资源，拒绝安装（请确认上传的是正确构建）"],
            [("INFO", f"下载校验通过：{len(data)} 字节 sha256={digest}"), ("ERROR", "下载的 exe 缺少版本资源，拒绝安装")],
            remembered=(NEW, digest))

    def test_file_version_differs_from_manifest(self):
        next_exe = os.environ.get("OKAVU_NEXT_EXE")
        if not next_exe or not os.path.exists(next_exe):
            self.fail("OKAVU_NEXT_EXE (the program built as the next version) is missing: run through ctest")
        with open(next_exe, "rb") as f:
            data = f.read()
        digest = sha256(data)
        announced = harness.other_version(NEW)
        outcome = self.check_update(manifest(version=announced, sha256=digest, size=len(data)), Reply(body=data))
        self.expect_download_failure(
            outcome, announced, [],
            [f"[ERROR] 下载包版本({NEW})与清单({announced})不一致，拒绝安装"],
            [("INFO", f"下载校验通过：{len(data)} 字节 sha256={digest}"),
             ("ERROR", f"下载包版本 {NEW} 与清单 {announced} 不一致，拒绝安装")], remembered=(announced, digest))

    # ---- hand-over -------------------------------------------------------------------------------------

    def use_temp_folder(self, windows_path):
        """Makes GetTempPathW of the next programs answer windows_path (TMP of the user's environment)."""
        old = self.reg_get("Environment", "TMP")

        def restore():
            if old is None:
                self.reg_delete("Environment", "TMP")
            else:
                self.reg_set("Environment", "TMP", old.data, old.type)

        self.addCleanup(restore)
        self.reg_set("Environment", "TMP", windows_path)

    def hand_over_release(self, version=NEW):
        """Serves the release built as NEW, announced as version, which passes every check; runs the
        cycle."""
        with open(os.environ["OKAVU_NEXT_EXE"], "rb") as f:
            data = f.read()
        digest = sha256(data)
        outcome = self.check_update(manifest(version=version, sha256=digest, size=len(data)), Reply(body=data))
        verified = [f"[ OK  ] 下载完成并通过校验：{len(data)} 字节，SHA256 {digest}", f"[ OK  ] 新包版本资源确认：{NEW}"]
        verified_log = [found_log(version), ("INFO", f"下载校验通过：{len(data)} 字节 sha256={digest}")]
        return outcome, [FOUND.format(version)] + verified, verified_log, (version, digest)

    def test_hand_over_without_temporary_folder_ends_silently(self):
        # Longer than GetTempPathW can return: the hand-over ends after writing the state values.
        deep = os.path.join(self.work_dir, "t" * 150, "u" * 150)
        os.makedirs(deep)
        self.use_temp_folder(self.win_path(deep))
        outcome, console, log, _ = self.hand_over_release()
        self.expect(outcome, console, [], log, [MANIFEST, DOWNLOAD], state_written=NEW)
        self.assertEqual(os.listdir(deep), [])

    def test_hand_over_cannot_copy_helper_into_a_missing_temporary_folder(self):
        # This computer's fault, not the release's: not remembered, and tried again at the next check.
        self.use_temp_folder("C:\\no\\such\\folder\\")
        # A manifest version with fewer parts matches the file's version and gets as far as the hand-over.
        short = NEW.rsplit(".", 2)[0]
        for attempt in range(2):
            self.server.clear()
            outcome, console, log, _ = self.hand_over_release(version=short)
            self.assertEqual(len(outcome.errors), 1, outcome.describe())
            self.assertRegex(outcome.errors[0], r"^\[ERROR\] 创建更新帮手失败 \(err=3\)："
                                                r"C:\\no\\such\\folder\\OKAVU-updater-[0-9a-f]{32}\.exe$")
            self.expect(outcome, console, outcome.errors, log + [("ERROR", "创建更新帮手失败 (err=3)")],
                        [MANIFEST, DOWNLOAD], state_written=short)
            self.assertIsNone(self.reg_get(STATE_SUBKEY, "FailedUpdateVersion"), f"attempt {attempt + 1}")

    def test_hand_over_cannot_start_helper(self):
        # The copy fits, but its full path is longer than the process loader accepts.
        base = len(self.win_path(self.work_dir)) + 2
        deep = os.path.join(self.work_dir, "t" * 100, "u" * (250 - base - 100))
        os.makedirs(deep)
        self.use_temp_folder(self.win_path(deep))
        outcome, console, log, _ = self.hand_over_release()
        self.assertEqual(len(outcome.errors), 1, outcome.describe())
        error = re.fullmatch(r"\[ERROR\] 启动更新帮手失败 \(err=([1-9]\d*)\)", outcome.errors[0])
        self.assertTrue(error, outcome.describe())
        self.expect(outcome, console, outcome.errors, log + [("ERROR", f"启动更新帮手失败 (err={error.group(1)})")],
                    [MANIFEST, DOWNLOAD], state_written=NEW)
        # The copy that could not be started is gone again.
        self.assertEqual(os.listdir(deep), [])

    # ---- transport -------------------------------------------------------------------------------------

    def test_untrusted_certificate(self):
        untrusted = tls.make_chain(os.path.join(self.certs, "untrusted"), ca_name="OKAVU Untrusted CA")
        self.server.use_certificate(untrusted)
        outcome = self.check_update(manifest())
        # The cause is named, so the log tells a certificate from a refused connection.
        self.expect(outcome, log=[("WARN", "更新检查失败：ok=0 状态码=0"),
                                  ("WARN", "更新检查失败原因：WinHTTP 错误 12157 ERROR_WINHTTP_SECURE_CHANNEL_ERROR"
                                           "（建立安全连接失败（证书不受信任或 TLS 协商失败））")], requests=())
        # The program reached the server and gave up during the handshake, before any request.
        self.assertGreaterEqual(self.server.connections, 1, "the program never reached the server")

    def test_refused_connection_is_named_apart_from_a_certificate_failure(self):
        self.server.stop()
        self.addCleanup(self.server.start)
        outcome = self.check_update(manifest())
        self.expect(outcome, log=[("WARN", "更新检查失败：ok=0 状态码=0"),
                                  ("WARN", "更新检查失败原因：WinHTTP 错误 12029 ERROR_WINHTTP_CANNOT_CONNECT"
                                           "（连不上更新源（端口 443 被拒绝或不可达））")], requests=())


if __name__ == "__main__":
    harness.main()
