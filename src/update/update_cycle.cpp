// The update cycle: every step from the manifest to the hand-over, each failure reported and undone.
#include "update/update_cycle.h"

#include <windows.h>

#include <memory>
#include <string>

#include "support/console.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"
#include "update/handover.h"
#include "update/handover_signal.h"
#include "update/http_fetch.h"
#include "update/manifest.h"
#include "update/sha256.h"
#include "update/update_thread.h"
#include "version.h"

namespace {

// The download goes next to the running executable, so the helper's move stays on one volume.
std::wstring NewExePath() { return Join(FolderOf(ModulePath(), L"."), kNewExeName); }

bool SameVersion(const std::wstring& a, const std::wstring& b) {
  int pa[4];
  int pb[4];
  // A version that does not parse counts as 0.0.0.0 (ParseVersion zeroes the parts).
  ParseVersion(a, pa);
  ParseVersion(b, pb);
  for (int i = 0; i < 4; ++i) {
    if (pa[i] != pb[i]) return false;
  }
  return true;
}

// Downloads, verifies and hands over; every return is a failure already reported, except after
// the hand-over.
void RunCycle(UpdateGuard& guard) {
  std::string body;
  unsigned long status = 0;
  const bool fetched = HttpFetch(kManifestPath, false, std::wstring(), body, status, kManifestTimeoutMs);
  if (!fetched || status != 200) {
    LogLine(L"WARN", L"更新检查失败：ok=%d 状态码=%lu", fetched ? 1 : 0, status);
    return;
  }

  UpdateInfo info;
  const std::wstring text = FromUtf8(body);
  if (text.empty() || !ParseManifest(text, info)) {
    LogLine(L"WARN", L"清单格式不对，忽略");
    return;
  }
  if (!IsNewerVersion(info.version, kAppVersion)) return;

  Info(L"发现新版本 %ls（当前 %ls），开始下载…", info.version.c_str(), kAppVersion);
  LogLine(L"INFO", L"发现新版本 %ls（当前 %ls）", info.version.c_str(), kAppVersion);

  std::wstring requestPath;
  if (!ResolveDownloadPath(info.url, requestPath)) {
    Fail(L"下载地址不被允许：%ls", info.url.c_str());
    LogLine(L"ERROR", L"下载地址不被允许：%ls", info.url.c_str());
    return;
  }

  const std::wstring newExe = NewExePath();
  guard.path = newExe;
  DeleteFileW(newExe.c_str());

  std::string unused;
  if (!HttpFetch(requestPath, true, newExe, unused, status, kDownloadTimeoutMs) || status != 200) {
    Fail(L"下载失败（状态码 %lu）", status);
    LogLine(L"ERROR", L"下载失败：状态码 %lu", status);
    return;
  }

  unsigned long long byteCount = 0;
  std::string actual;
  {
    // Held only for the digest: up to 64 MiB.
    std::unique_ptr<unsigned char[]> bytes = ReadAllBytes(newExe, byteCount);
    if (!bytes) {
      LogLine(L"ERROR", L"下载文件读不出");
      return;
    }
    actual = Sha256Hex(bytes.get(), static_cast<size_t>(byteCount));
  }
  const size_t actualSize = static_cast<size_t>(byteCount);

  if (info.size > 0 && static_cast<unsigned long long>(info.size) != byteCount) {
    Fail(L"体积不符：期望 %lld 实际 %zu，放弃更新", info.size, actualSize);
    LogLine(L"ERROR", L"体积不符：期望 %lld 实际 %zu", info.size, actualSize);
    return;
  }

  std::string expected;
  if (!NormalizeSha256(info.sha256, expected)) {
    Fail(L"清单里的 sha256 不是 64 位十六进制，拒绝更新（清单写错了？）");
    LogLine(L"ERROR", L"清单 sha256 非法：%hs", expected.c_str());
    return;
  }
  if (actual.size() != 64 || actual != expected) {
    Fail(L"SHA256 校验失败，放弃更新");
    LogLine(L"ERROR", L"SHA256 校验失败，期望 %hs 实际 %hs", expected.c_str(), actual.c_str());
    return;
  }
  Ok(L"下载完成并通过校验：%zu 字节，SHA256 %hs", actualSize, actual.c_str());
  LogLine(L"INFO", L"下载校验通过：%zu 字节 sha256=%hs", actualSize, actual.c_str());

  std::wstring fileVersion;
  if (!PeFileVersionString(newExe, fileVersion)) {
    Fail(L"下载的 exe 没有版本资源，拒绝安装（请确认上传的是正确构建）");
    LogLine(L"ERROR", L"下载的 exe 缺少版本资源，拒绝安装");
    return;
  }
  if (!SameVersion(fileVersion, info.version)) {
    Fail(L"下载包版本(%ls)与清单(%ls)不一致，拒绝安装", fileVersion.c_str(), info.version.c_str());
    LogLine(L"ERROR", L"下载包版本 %ls 与清单 %ls 不一致，拒绝安装", fileVersion.c_str(), info.version.c_str());
    return;
  }
  Ok(L"新包版本资源确认：%ls", fileVersion.c_str());

  LaunchUpdateHelper(info, newExe, guard.handedOver);
}

}  // namespace

UpdateGuard::~UpdateGuard() {
  if (handedOver) return;
  if (!path.empty()) DeleteFileW(path.c_str());
  g_updaterBusy.exchange(0);
}

void DoUpdateCycle() {
  if (g_updaterBusy.exchange(1) != 0) return;
  UpdateGuard guard;
  RunCycle(guard);
}
