// What a failed request's error code means, for the log line that follows a failed update check or
// download: an administrator must be able to tell a certificate problem from a refused connection.
#pragma once

#include <string>

// "WinHTTP 错误 12175 ERROR_WINHTTP_SECURE_FAILURE（证书或安全连接有问题）" for the errors of WinHTTP,
// "安全层错误 0x80090318 SEC_E_INCOMPLETE_MESSAGE（…）" for the TLS layer's, "系统错误 223
// ERROR_FILE_TOO_LARGE（应答超过大小上限）" for the program's own reasons, "系统错误 5" (or "系统错误
// 0x80004005") for any other Windows error. Pure.
std::wstring DescribeRequestError(unsigned long error);
