// The one shape of an outcome that can fail: success, or a failure with the Windows error code that
// caused it (0 when the failure has no such code, such as a refused value).
#pragma once

#include <windows.h>

#include <utility>

class [[nodiscard]] Status {
 public:
  static Status Success() noexcept { return Status(true, ERROR_SUCCESS); }
  static Status Failure(unsigned long error = ERROR_SUCCESS) noexcept { return Status(false, error); }
  // The calling thread's last error: call it right after the call that failed.
  static Status LastError() noexcept { return Failure(GetLastError()); }
  // A registry call's result: ERROR_SUCCESS or the error itself.
  static Status FromCode(long code) noexcept {
    return code == ERROR_SUCCESS ? Success() : Failure(static_cast<unsigned long>(code));
  }

  bool ok() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  unsigned long error() const noexcept { return error_; }

 private:
  Status(bool ok, unsigned long error) noexcept : ok_(ok), error_(error) {}
  bool ok_;
  unsigned long error_;
};

// A value and the status of the operation that made it. value is default-made on failure unless
// the operation says what it keeps there.
template <typename T>
struct [[nodiscard]] Result {
  Status status = Status::Failure();
  T value{};

  Result() = default;
  Result(T v) : status(Status::Success()), value(std::move(v)) {}  // NOLINT: implicit on purpose
  Result(Status s, T v = T{}) : status(s), value(std::move(v)) {}  // NOLINT
  bool ok() const noexcept { return status.ok(); }
  explicit operator bool() const noexcept { return status.ok(); }
  unsigned long error() const noexcept { return status.error(); }
};
