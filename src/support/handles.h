// Move-only owners for every Windows handle family the program uses, and a scope guard.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <utility>

// One owner per handle; Traits names the handle type, its empty value and how to close it.
template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Handle h) noexcept : h_(h) {}
  UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  Handle get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != Traits::Empty(); }

  // Closes the current handle and returns the address for an API to write a new one into.
  Handle* put() noexcept {
    reset();
    return &h_;
  }
  Handle release() noexcept { return std::exchange(h_, Traits::Empty()); }
  void reset(Handle h = Traits::Empty()) noexcept {
    Handle old = std::exchange(h_, h);
    if (old != Traits::Empty()) Traits::Close(old);
  }

 private:
  Handle h_ = Traits::Empty();
};

struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Empty() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Empty() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { ::FindClose(h); }
};
struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::RegCloseKey(h); }
};
struct InternetHandleTraits {
  using Handle = HINTERNET;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::WinHttpCloseHandle(h); }
};
struct BcryptAlgorithmTraits {
  using Handle = BCRYPT_ALG_HANDLE;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct BcryptHashTraits {
  using Handle = BCRYPT_HASH_HANDLE;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::BCryptDestroyHash(h); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;  // events, mutexes, processes, threads
using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueFind = UniqueHandle<FindHandleTraits>;
using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueInternet = UniqueHandle<InternetHandleTraits>;
using UniqueBcryptAlgorithm = UniqueHandle<BcryptAlgorithmTraits>;
using UniqueBcryptHash = UniqueHandle<BcryptHashTraits>;

// The two handles CreateProcessW hands back, closed thread first.
struct UniqueProcessInformation {
  PROCESS_INFORMATION info{};
  UniqueProcessInformation() = default;
  UniqueProcessInformation(const UniqueProcessInformation&) = delete;
  UniqueProcessInformation& operator=(const UniqueProcessInformation&) = delete;
  ~UniqueProcessInformation() {
    if (info.hThread) ::CloseHandle(info.hThread);
    if (info.hProcess) ::CloseHandle(info.hProcess);
  }
};

// Runs a function on scope exit unless release() was called first (commit/rollback).
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) noexcept : f_(std::move(f)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() {
    if (armed_) f_();
  }
  void release() noexcept { armed_ = false; }

 private:
  F f_;
  bool armed_ = true;
};
