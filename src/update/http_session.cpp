// The session's proxy setting, with the fallback for systems older than the automatic-proxy type.
#include "update/http_session.h"

HINTERNET OpenUpdateSession(decltype(&::WinHttpOpen) open, const wchar_t* agent) {
  HINTERNET session =
      open(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (session || GetLastError() != ERROR_INVALID_PARAMETER) return session;
  return open(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
}
