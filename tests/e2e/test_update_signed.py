"""Signed updates end to end: the build that carries the test publisher's key installs what that key signed,
and refuses every other manifest before anything is downloaded."""
import os
import shutil

import harness
from update_case import MANIFEST, OLD, UPDATE_TIMEOUT, UpdateTestCase, file_version, publish
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

    def test_a_release_signed_with_the_publishers_key_is_installed(self):
        _, published = self.publish_rotation()
        self.check_update()
        new_pid = self.wait_for_new_version()
        self.assert_installed(published)
        # The new version repeats the check with its own version, finds nothing newer and ends.
        self.assertTrue(wait_pid_gone(new_pid, harness.RUN_TIMEOUT), self.describe())

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


if __name__ == "__main__":
    harness.main()
