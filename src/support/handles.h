// Move-only owners for every Windows handle family the program uses, and a scope guard.
#pragma once

#include <windows.h>

#include <utility>

#include "support/system_dll.h"

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

// Handles whose empty value is null; CloseFn ends one.
template <typename H, void (*CloseFn)(H) noexcept>
struct NullEmptyTraits {
  using Handle = H;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { CloseFn(h); }
};

// Handles whose empty value is INVALID_HANDLE_VALUE (files, searches).
template <void (*CloseFn)(HANDLE) noexcept>
struct InvalidEmptyTraits {
  using Handle = HANDLE;
  static Handle Empty() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { CloseFn(h); }
};

// The closing calls, as plain functions: a system function imported from a DLL has no constant
// address that a template could name. The owners of WinHTTP and BCrypt handles are filled only after
// their DLL was loaded, so its table is complete when they close.
namespace handle_close {
inline void Kernel(HANDLE h) noexcept { ::CloseHandle(h); }
inline void Find(HANDLE h) noexcept { ::FindClose(h); }
inline void ChangeNotification(HANDLE h) noexcept { ::FindCloseChangeNotification(h); }
inline void RegKey(HKEY h) noexcept { ::RegCloseKey(h); }
inline void Internet(HINTERNET h) noexcept { WinHttp().closeHandle(h); }
inline void BcryptAlgorithm(BCRYPT_ALG_HANDLE h) noexcept { Bcrypt().closeAlgorithmProvider(h, 0); }
inline void BcryptHash(BCRYPT_HASH_HANDLE h) noexcept { Bcrypt().destroyHash(h); }
inline void BcryptKey(BCRYPT_KEY_HANDLE h) noexcept { Bcrypt().destroyKey(h); }
inline void MutexHold(HANDLE h) noexcept { ::ReleaseMutex(h); }
inline void Library(HMODULE h) noexcept { ::FreeLibrary(h); }
}  // namespace handle_close

using UniqueKernelHandle = UniqueHandle<NullEmptyTraits<HANDLE, handle_close::Kernel>>;  // events, processes, threads
using UniqueFile = UniqueHandle<InvalidEmptyTraits<handle_close::Kernel>>;
using UniqueFind = UniqueHandle<InvalidEmptyTraits<handle_close::Find>>;
using UniqueChangeNotification = UniqueHandle<InvalidEmptyTraits<handle_close::ChangeNotification>>;
using UniqueRegKey = UniqueHandle<NullEmptyTraits<HKEY, handle_close::RegKey>>;
using UniqueInternet = UniqueHandle<NullEmptyTraits<HINTERNET, handle_close::Internet>>;
using UniqueBcryptAlgorithm = UniqueHandle<NullEmptyTraits<BCRYPT_ALG_HANDLE, handle_close::BcryptAlgorithm>>;
using UniqueBcryptHash = UniqueHandle<NullEmptyTraits<BCRYPT_HASH_HANDLE, handle_close::BcryptHash>>;
using UniqueBcryptKey = UniqueHandle<NullEmptyTraits<BCRYPT_KEY_HANDLE, handle_close::BcryptKey>>;
using UniqueLibrary = UniqueHandle<NullEmptyTraits<HMODULE, handle_close::Library>>;  // also one loaded as data
// Ownership of a mutex that this thread holds: its end releases the mutex, it does not close the handle.
using UniqueMutexHold = UniqueHandle<NullEmptyTraits<HANDLE, handle_close::MutexHold>>;

// A mutex handle and, while it is held, its hold: the end releases the mutex, then closes the handle.
struct HeldMutex {
  UniqueKernelHandle mutex;
  UniqueMutexHold hold;  // declared after the handle, so it ends first

  HeldMutex() = default;
  HeldMutex(HeldMutex&&) noexcept = default;
  HeldMutex& operator=(HeldMutex&& other) noexcept {
    hold.reset();
    mutex = std::move(other.mutex);
    hold = std::move(other.hold);
    return *this;
  }
  bool held() const noexcept { return static_cast<bool>(hold); }

  // Waits up to timeoutMs to own the mutex. WAIT_OBJECT_0, and WAIT_ABANDONED (its last owner died
  // holding it), make this thread the holder. Returns the wait's result.
  DWORD Take(DWORD timeoutMs) noexcept {
    const DWORD result = ::WaitForSingleObject(mutex.get(), timeoutMs);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) hold.reset(mutex.get());
    return result;
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
