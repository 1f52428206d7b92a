// testtool launch: runs a program as its child and records the exit code Windows itself reports for it,
// so that the tests can tell an exit code the program chose from one that Wine's own teardown of a
// process turned into another.
#include <cstdio>

#include "support/handles.h"
#include "support/text.h"
#include "testtool.h"
#include "update/command_line.h"

int LaunchCommand(ToolArgs args) {
  std::wstring codeFile;
  if (!TakeOption(args, L"--code-file", codeFile) || args.size() < 2 || args[0] != L"--") {
    return UsageFailure(L"launch --code-file FILE -- EXE [ARGS...]");
  }
  args.erase(args.begin());
  std::wstring commandLine;
  for (const std::wstring& arg : args) {
    if (!commandLine.empty()) commandLine += L' ';
    AppendQuotedArgument(commandLine, arg);
  }
  // The child shares this process's console state and standard handles, as if the test had started it
  // itself. No creation flag: DETACHED_PROCESS would also take the console from the child's own
  // children (a script's "for /f" would read nothing), which a program started without one keeps.
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  // Found as the command line names it, so that a bare "cmd" is looked up on the path as a shell would.
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return SystemFailure(L"CreateProcessW", GetLastError());
  }
  UniqueKernelHandle process(info.hProcess);
  UniqueKernelHandle thread(info.hThread);
  DWORD code = 0;
  if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.get(), &code)) {
    return SystemFailure(L"waiting for the child", GetLastError());
  }
  UniqueFile file(CreateFileW(codeFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  const std::string text = std::to_string(code) + "\n";
  DWORD written = 0;
  if (!file || !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    return SystemFailure(L"writing the exit code", GetLastError());
  }
  return static_cast<int>(code);
}
