"""Signed updates end to end: the build that carries the test publisher's key installs what that key signed,
and refuses every other manifest before anything is downloaded."""
import hashlib
import os
import shutil
import time

import harness
from harness import STATE_SUBKEY
from update_case import MANIFEST, NEW, OLD, UPDATE_TIMEOUT, UpdateTestCase, file_version, publish
from wineprefix import wait_pid_gone


@harness.requires_local_update_host
class SignedUpdate(UpdateTestCase):
    """The build with the test publisher's key: it installs what that key signed, and nothing else."""

    def setUp(self):
        super().setUp()
        shutil.copyfile(harness.keyed_exe(), self.exe)
        self.start_shell()

    def check_update(self):
        result = self.run_program(self.exe_win, "--check-update", timeout=UPDATE_TIMEOUT)
        self.assert_exit(result, 0)
        return result

    def publish_rotation(self):
        """The next build, which carries other-test's key, signed with the key the installed build carries."""
        return self.host.publish(harness.next_exe(), sign_key=harness.test_key("publisher-test.pem"),
                                 new_key=harness.test_key("other-test.pub.pem"))

    def test_a_release_that_carries_another_key_is_installed_and_the_key_moves_on_with_it(self):
        # The next version carries tests/keys/other-test.pub.pem: a rotation release, signed with the key
        # the installed program carries.
        _, published = self.publish_rotation()
        result = self.check_update()
        moved = f"新版本 {NEW} 换用新的发布者公钥"
        self.assertEqual(result.stderr_text.count(f"[WARN ] {moved}：此后的更新须由新密钥签名\n"), 1, result.describe())
        new_pid = self.wait_for_new_version()
        self.assert_installed(published)
        self.assertEqual(self.log_messages().count(moved), 1)
        # The new version repeats the check with its own key: the old key's manifest is no longer its.
        self.wait_for_log("^清单签名校验失败：签名与发布者公钥不符$")
        self.assertTrue(wait_pid_gone(new_pid, harness.RUN_TIMEOUT), self.describe())

    def test_a_release_without_a_key_is_refused_remembered_and_nothing_is_replaced(self):
        # Signed with the right key, but a build without a key of its own: installed, it would take any
        # manifest from then on. publish.py refuses to sign such a release, so the manifest is made by hand.
        with open(harness.broken_exe(), "rb") as f:
            data = f.read()
        digest = hashlib.sha256(data).hexdigest()
        name = f"OKAVU-{NEW}.exe"
        os.makedirs(os.path.join(self.host.root, publish.PUBLISH_DIR), exist_ok=True)
        with open(os.path.join(self.host.root, publish.PUBLISH_DIR, name), "wb") as f:
            f.write(data)
        body = publish.manifest_text(NEW, name, digest, len(data)).encode("utf-8")
        self.host.write_manifest(body + publish.signature_line(body, harness.test_key("publisher-test.pem")))
        result = self.check_update()
        self.assertTrue(result.stderr_text.endswith(
            f"[WARN ] 新版本 {NEW} 不带发布者公钥：装上它就不再校验更新清单的签名，拒绝安装（请用带公钥的构建发布）\n"),
            result.describe())
        self.assertIn(f"新版本 {NEW} 不带发布者公钥，装上后不再校验签名，拒绝安装", self.log_messages())
        self.assertEqual(file_version(self.exe), OLD)
        self.assertEqual(os.listdir(self.app_dir), ["OKAVU.exe"])
        self.assertEqual([n for n in os.listdir(self.temp_dir) if n.startswith("OKAVU-updater-")], [])
        self.assertEqual((self.reg_text(STATE_SUBKEY, "FailedUpdateVersion"),
                          self.reg_text(STATE_SUBKEY, "FailedUpdateSha256")), (NEW, digest))

    def test_a_manifest_not_signed_by_the_publisher_is_refused_before_anything_is_downloaded(self):
        self.publish_rotation()
        signed = self.host.manifest_bytes()
        body = signed[:signed.rindex(b"signature=")]
        mismatch = "签名与发布者公钥不符"
        cases = (
            ("a changed byte", body.replace(b"size=", b"size= ") + signed[len(body):], mismatch),
            ("no signature line", body, "没有签名行"),
            ("another key's signature", body + publish.signature_line(body, harness.test_key("other-test.pem")),
             mismatch),
            ("a malformed signature", body + b"signature=not-base64\n", "签名行格式不对"),
        )
        for name, manifest, reason in cases:
            with self.subTest(case=name):
                self.host.write_manifest(manifest)
                self.host.clear_requests()
                mark = self.log_mark()
                result = self.check_update()
                self.assertEqual(result.stderr_text, f"[WARN ] 更新清单的签名不可信（{reason}），本次不更新\n")
                self.assertEqual(self.log_texts(mark), [("INFO", f"设置墙纸：{self.target_win}"),
                                                        ("WARN", f"清单签名校验失败：{reason}")])
                self.assertEqual([r.path for r in self.host.requests()], [MANIFEST], "nothing but the manifest")
                self.assertFalse(os.path.exists(os.path.join(self.app_dir, "OKAVU.new.exe")))
                self.assertEqual(file_version(self.exe), OLD)

    def test_only_a_fresh_manifest_is_taken_and_the_highest_seq_is_kept(self):
        key = harness.test_key("publisher-test.pem")
        day = 86400
        # Signed three days ago for one day: expired beyond the day of clock skew allowed.
        self.host.publish(harness.keyed_exe(), sign_key=key, valid_days=1, now=time.time() - 3 * day)
        replay = self.host.manifest_bytes()
        fields = publish.manifest_fields(replay)
        ended = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(int(fields["seq"]) + day))
        self.assertEqual(self.check_update().stderr_text, f"[WARN ] 更新清单已于 {ended} 过期，本次不更新（须由发布者重新签名）\n")
        self.assertIsNone(self.reg_text(STATE_SUBKEY, "ManifestSeq"))
        # A fresh one is taken (nothing newer in it) and its seq kept.
        self.host.publish(harness.keyed_exe(), sign_key=key)
        seq = publish.manifest_fields(self.host.manifest_bytes())["seq"]
        self.assertEqual(self.check_update().stderr_text, "")
        self.assertEqual(self.reg_text(STATE_SUBKEY, "ManifestSeq"), seq)
        # From then on an older manifest, or one without seq and expires, is a replay.
        body = publish.manifest_text(OLD, "x.exe", "0" * 64, 1).encode("utf-8")
        for manifest, told in (
                (replay, f"更新清单比本机接受过的旧（seq {fields['seq']}，已接受 {seq}），可能是重放的旧清单，本次不更新"),
                (body + publish.signature_line(body, key),
                 f"更新清单缺少 seq 或 expires，而本机接受过带这两项的清单（seq {seq}），本次不更新")):
            self.host.write_manifest(manifest)
            self.assertEqual(self.check_update().stderr_text, f"[WARN ] {told}\n")
        self.assertEqual(self.reg_text(STATE_SUBKEY, "ManifestSeq"), seq)
        self.assertEqual({r.path for r in self.host.requests()}, {MANIFEST}, "nothing but the manifest")


if __name__ == "__main__":
    harness.main()
