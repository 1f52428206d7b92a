// Names of request errors.
#include "update/request_error.h"

#include <windows.h>
#include <winhttp.h>

#include "support/text.h"

namespace {

struct KnownError {
  unsigned long code;
  const wchar_t* name;
  const wchar_t* meaning;
};

// The errors a request to the update host can end with, and what an administrator should look at.
constexpr KnownError kKnownErrors[] = {
    {ERROR_WINHTTP_TIMEOUT, L"ERROR_WINHTTP_TIMEOUT", L"请求超时"},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, L"ERROR_WINHTTP_NAME_NOT_RESOLVED", L"解析不了更新源的主机名"},
    {ERROR_WINHTTP_CANNOT_CONNECT, L"ERROR_WINHTTP_CANNOT_CONNECT", L"连不上更新源（端口 443 被拒绝或不可达）"},
    {ERROR_WINHTTP_CONNECTION_ERROR, L"ERROR_WINHTTP_CONNECTION_ERROR", L"连接被中断或重置"},
    {ERROR_WINHTTP_OPERATION_CANCELLED, L"ERROR_WINHTTP_OPERATION_CANCELLED", L"请求被取消"},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, L"ERROR_WINHTTP_INVALID_SERVER_RESPONSE", L"服务器的应答无法解析"},
    {ERROR_WINHTTP_REDIRECT_FAILED, L"ERROR_WINHTTP_REDIRECT_FAILED", L"重定向失败"},
    {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, L"ERROR_WINHTTP_SECURE_CERT_DATE_INVALID", L"服务器证书已过期或尚未生效"},
    {ERROR_WINHTTP_SECURE_CERT_CN_INVALID, L"ERROR_WINHTTP_SECURE_CERT_CN_INVALID", L"服务器证书的名称与主机名不符"},
    {ERROR_WINHTTP_SECURE_INVALID_CA, L"ERROR_WINHTTP_SECURE_INVALID_CA", L"服务器证书的颁发机构不受信任"},
    {ERROR_WINHTTP_SECURE_CERT_REV_FAILED, L"ERROR_WINHTTP_SECURE_CERT_REV_FAILED", L"无法检查服务器证书是否被吊销"},
    {ERROR_WINHTTP_SECURE_CERT_REVOKED, L"ERROR_WINHTTP_SECURE_CERT_REVOKED", L"服务器证书已被吊销"},
    {ERROR_WINHTTP_SECURE_INVALID_CERT, L"ERROR_WINHTTP_SECURE_INVALID_CERT", L"服务器证书无效"},
    {ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE, L"ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE", L"服务器证书不能用于此用途"},
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, L"ERROR_WINHTTP_SECURE_CHANNEL_ERROR",
     L"建立安全连接失败（证书不受信任或 TLS 协商失败）"},
    {ERROR_WINHTTP_SECURE_FAILURE, L"ERROR_WINHTTP_SECURE_FAILURE", L"证书或安全连接有问题"},
    {ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED, L"ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED", L"服务器要求客户端证书"},
    {ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR, L"ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR", L"自动代理服务出错"},
    {ERROR_WINHTTP_AUTODETECTION_FAILED, L"ERROR_WINHTTP_AUTODETECTION_FAILED", L"自动检测代理失败"},
    {ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT, L"ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT", L"代理脚本有误"},
    {ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT, L"ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT", L"下载不了代理脚本"},
};

// The program's own reasons for ending a request, and the file errors of a download.
constexpr KnownError kSystemErrors[] = {
    {ERROR_FILE_TOO_LARGE, L"ERROR_FILE_TOO_LARGE", L"应答超过大小上限"},
    {ERROR_FILE_EXISTS, L"ERROR_FILE_EXISTS", L"下载文件已被别的进程先建好"},
    {ERROR_DISK_FULL, L"ERROR_DISK_FULL", L"磁盘已满"},
    {ERROR_ACCESS_DENIED, L"ERROR_ACCESS_DENIED", L"没有权限写下载文件"},
};

// What the security layer under WinHTTP passes up on some systems instead of a WinHTTP error.
constexpr KnownError kSecurityErrors[] = {
    {0x80090318UL, L"SEC_E_INCOMPLETE_MESSAGE", L"安全连接的数据不完整（连接中途断开）"},
    {0x80090322UL, L"SEC_E_WRONG_PRINCIPAL", L"服务器证书的名称与主机名不符"},
    {0x80090325UL, L"SEC_E_UNTRUSTED_ROOT", L"服务器证书的颁发机构不受信任"},
    {0x80090326UL, L"SEC_E_ILLEGAL_MESSAGE", L"TLS 协商失败"},
    {0x80090327UL, L"SEC_E_CERT_UNKNOWN", L"服务器证书无效"},
    {0x80090328UL, L"SEC_E_CERT_EXPIRED", L"服务器证书已过期"},
};

constexpr unsigned long kWinHttpFirst = 12000;
constexpr unsigned long kWinHttpLast = 12199;

}  // namespace

std::wstring DescribeRequestError(unsigned long error) {
  for (const KnownError& known : kKnownErrors) {
    if (known.code == error) return Format(L"WinHTTP 错误 %lu %ls（%ls）", error, known.name, known.meaning);
  }
  if (error >= kWinHttpFirst && error <= kWinHttpLast) return Format(L"WinHTTP 错误 %lu", error);
  for (const KnownError& known : kSecurityErrors) {
    if (known.code == error) return Format(L"安全层错误 0x%08lX %ls（%ls）", error, known.name, known.meaning);
  }
  for (const KnownError& known : kSystemErrors) {
    if (known.code == error) return Format(L"系统错误 %lu %ls（%ls）", error, known.name, known.meaning);
  }
  // Codes with the high bit set are HRESULTs and SECURITY_STATUS values, read in hexadecimal.
  if ((error & 0x80000000UL) != 0) return Format(L"系统错误 0x%08lX", error);
  return Format(L"系统错误 %lu", error);
}
