// Fixtures shared by the unit tests: a scratch folder, file bytes, the working directory, captured
// console lines, new log lines and the system's own command-line splitting.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/console.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"

namespace fixtures {

inline std::string ReadFileText(const std::wstring& path) {
  Result<std::vector<unsigned char>> data = ReadAllBytes(path);
  return data ? std::string(data.value.begin(), data.value.end()) : std::string();
}

inline void WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  if (!bytes.empty()) WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

inline std::vector<unsigned char> FileBytes(const std::wstring& path) {
  std::string text = ReadFileText(path);
  return std::vector<unsigned char>(text.begin(), text.end());
}

// A fresh folder under the temporary directory, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            (L"okavu-unit-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::wstring Path() const { return path_.wstring(); }
  std::wstring File(const std::wstring& name) const { return (path_ / name).wstring(); }

 private:
  std::filesystem::path path_;
};

// Makes the working directory dir until the end of the scope.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::wstring& dir) {
    wchar_t old[MAX_PATH * 4] = {};
    GetCurrentDirectoryW(MAX_PATH * 4, old);
    old_ = old;
    SetCurrentDirectoryW(dir.c_str());
  }
  ~WorkingDirectory() { SetCurrentDirectoryW(old_.c_str()); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  std::wstring old_;
};

// The real standard error while a ConsoleCapture runs, -1 otherwise.
inline int g_realStderr = -1;

// GoogleTest prints a failure the moment it happens, to standard output, which a ConsoleCapture has
// sent into its file; this listener (installed by main.cpp) prints it again where the reader sees it.
class FailuresDuringCapture : public testing::EmptyTestEventListener {
 public:
  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (g_realStderr < 0 || !result.failed()) return;
    std::string text = std::string(result.file_name() ? result.file_name() : "?") + ":" +
                       std::to_string(result.line_number()) + ": failure while the console was captured\n" +
                       result.message() + "\n";
    _write(g_realStderr, text.data(), static_cast<unsigned>(text.size()));
  }
};

// Turns the console levels on and sends standard output and standard error into files, so the
// framed lines can be compared as the UTF-8 bytes a redirected console receives.
class ConsoleCapture {
 public:
  ConsoleCapture() : saved_(CurrentConsoleState()) {
    outPath_ = dir_.File(L"stdout.txt");
    errPath_ = dir_.File(L"stderr.txt");
    Redirect(stdout, outPath_, savedOut_);
    Redirect(stderr, errPath_, savedErr_);
    g_realStderr = savedErr_;
    SetConsoleState({true, false});
  }
  ~ConsoleCapture() { Stop(); }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  // Restores the streams; the captured text stays readable.
  void Stop() {
    if (stopped_) return;
    stopped_ = true;
    SetConsoleState(saved_);
    g_realStderr = -1;
    Restore(stdout, savedOut_);
    Restore(stderr, savedErr_);
  }
  std::string Out() {
    Stop();
    return ReadFileText(outPath_);
  }
  std::string Err() {
    Stop();
    return ReadFileText(errPath_);
  }

 private:
  static void Redirect(FILE* stream, const std::wstring& path, int& saved) {
    fflush(stream);
    saved = _dup(_fileno(stream));
    int fd = _wopen(path.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(fd, _fileno(stream));
    _close(fd);
  }
  static void Restore(FILE* stream, int saved) {
    fflush(stream);
    _dup2(saved, _fileno(stream));
    _close(saved);
  }

  ScratchDir dir_;
  std::wstring outPath_;
  std::wstring errPath_;
  int savedOut_ = -1;
  int savedErr_ = -1;
  ConsoleState saved_;
  bool stopped_ = false;
};

// The log lines appended after construction, without their timestamps: "[LEVEL] text" each.
class LogWatch {
 public:
  LogWatch() : path_(LogPath()), start_(ReadFileText(path_).size()) {}

  std::vector<std::string> NewLines() const {
    std::string all = ReadFileText(path_);
    std::string fresh = all.size() > start_ ? all.substr(start_) : std::string();
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < fresh.size()) {
      size_t end = fresh.find("\r\n", pos);
      if (end == std::string::npos) end = fresh.size();
      std::string line = fresh.substr(pos, end - pos);
      size_t bracket = line.find(" [");  // after "YYYY-MM-DD HH:MM:SS"
      lines.push_back(bracket == std::string::npos ? line : line.substr(bracket + 1));
      pos = end + 2;
    }
    return lines;
  }

 private:
  std::wstring path_;
  size_t start_;
};

inline std::string U8(const std::wstring& text) { return ToUtf8(text); }

// How a program started with this command line sees its arguments (argv[0] included): the splitting
// the runtime of the started program does.
inline std::vector<std::wstring> SplitCommandLine(const std::wstring& line) {
  struct LocalFreeDeleter {
    void operator()(wchar_t** p) const { LocalFree(p); }
  };
  int count = 0;
  std::unique_ptr<wchar_t*, LocalFreeDeleter> argv(CommandLineToArgvW(line.c_str(), &count));
  EXPECT_TRUE(argv) << "CommandLineToArgvW failed: " << GetLastError();
  std::vector<std::wstring> args;
  if (!argv) return args;
  for (int i = 0; i < count; ++i) args.emplace_back(argv.get()[i]);
  return args;
}

}  // namespace fixtures
