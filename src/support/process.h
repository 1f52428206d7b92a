// Starting a program: the one CreateProcessW of the code base.
#pragma once

#include <string>

#include "support/handles.h"
#include "support/result.h"

// A started process: its handle (for waiting on it) and its id. The thread handle is closed at once.
struct StartedProcess {
  UniqueKernelHandle process;
  unsigned long id = 0;
};

// CreateProcessW with application as the program, commandLine as its line (argument 0 included),
// no inherited handles, the given creation flags, the caller's environment, and directory as the
// working directory (null: the caller's). The process is started outside the caller's job object
// where the job allows it (a job that ends its processes when it closes would end it with the
// caller), inside it otherwise. Fails with the error of CreateProcessW.
Result<StartedProcess> StartProcess(const std::wstring& application, const std::wstring& commandLine,
                                    unsigned long flags, const wchar_t* directory);
