// The test tool's subcommands and the few helpers they share (output, arguments, named events).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Exit codes of every subcommand.
inline constexpr int kToolOk = 0;
inline constexpr int kToolNo = 1;      // the asked-for thing is missing / did not happen
inline constexpr int kToolUsage = 2;   // bad command line
inline constexpr int kToolFailed = 3;  // a system call failed

// The arguments after the subcommand name.
using ToolArgs = std::vector<std::wstring>;

// UTF-8 to standard output / standard error (exact bytes when redirected).
void Out(const std::wstring& text);
void Err(const std::wstring& text);

// Prints "testtool <what>: <message> (error N)" to standard error and returns kToolFailed.
int SystemFailure(const wchar_t* what, DWORD error);
// Prints the usage line of a subcommand to standard error and returns kToolUsage.
int UsageFailure(const wchar_t* usage);

// Takes "--name VALUE" out of args; false when the option is absent or has no value.
bool TakeOption(ToolArgs& args, const wchar_t* name, std::wstring& value);
// Takes "--name" out of args; true when it was present.
bool TakeFlag(ToolArgs& args, const wchar_t* name);

// Opens or creates the named manual-reset event, so either side of a hand-shake may come first.
HANDLE OpenOrCreateEvent(const std::wstring& name);
// Creates the named ready and quit events, signals ready and waits for quit (pumping messages when
// pump is set). Returns kToolOk when quit was signalled.
int SignalReadyAndWaitForQuit(const std::wstring& readyName, const std::wstring& quitName, bool pump);

int RegGetCommand(ToolArgs args);
int RegSetCommand(ToolArgs args);
int RegDeleteCommand(ToolArgs args);
int RegKeyExistsCommand(ToolArgs args);
int RegBatchCommand(ToolArgs args);
int ShellCommand(ToolArgs args);
int SetWallpaperCommand(ToolArgs args);
int HoldMutexCommand(ToolArgs args);
int HoldFileCommand(ToolArgs args);
int ImportCaCommand(ToolArgs args);
int StartDetachedCommand(ToolArgs args);
int LoadDllCommand(ToolArgs args);
int LaunchCommand(ToolArgs args);
int PoseAsWatcherCommand(ToolArgs args);
int PolicyTableCommand(const ToolArgs& args);
int SetEventWhenFileCommand(const std::wstring& event, const std::wstring& file);
