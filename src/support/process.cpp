// Process start.
#include "support/process.h"

namespace {

Result<StartedProcess> Start(const std::wstring& application, std::wstring commandLine, unsigned long flags,
                             const wchar_t* directory) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  // The line is passed as a writable copy: CreateProcessW may change it in place.
  if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, directory,
                      &startup, &info)) {
    return Status::LastError();
  }
  UniqueKernelHandle thread(info.hThread);
  StartedProcess started;
  started.process.reset(info.hProcess);
  started.id = info.dwProcessId;
  return started;
}

}  // namespace

Result<StartedProcess> StartProcess(const std::wstring& application, const std::wstring& commandLine,
                                    unsigned long flags, const wchar_t* directory) {
  Result<StartedProcess> started = Start(application, commandLine, flags | CREATE_BREAKAWAY_FROM_JOB, directory);
  // A job that does not allow its processes to leave refuses the flag; the process stays in it then.
  if (!started && started.error() == ERROR_ACCESS_DENIED) started = Start(application, commandLine, flags, directory);
  return started;
}
