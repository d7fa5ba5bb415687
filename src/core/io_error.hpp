// The I/O error value: what every failed read, open or seek returns instead of throwing.
#pragma once

#include <cstdint>
#include <string>

namespace pluvo {

enum class ErrorKind : std::uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  QuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  InProgress,
  Other,
  Uncategorized,
};

// Linux error numbers; every number without a kind of its own is Uncategorized.
ErrorKind kind_from_os_code(int code) noexcept;

// Either an operating-system error number (its kind derived from the number) or a kind with a
// fixed message. Cheap to copy: the text is rendered only when asked for.
class IoError {
 public:
  static IoError from_os_code(int code) noexcept {
    return {kind_from_os_code(code), code, nullptr};
  }
  static IoError unexpected_eof() noexcept {
    return {ErrorKind::UnexpectedEof, 0, "failed to fill whole buffer"};
  }
  static IoError nul_in_path() noexcept {
    return {ErrorKind::InvalidInput, 0, "file name contained an unexpected NUL byte"};
  }
  // A wait that the BlockingCalls hooks stopped after a signal.
  static IoError cancelled() noexcept { return {ErrorKind::Interrupted, 0, kCancelledMessage}; }

  [[nodiscard]] ErrorKind kind() const noexcept { return kind_; }
  [[nodiscard]] bool is_os_error() const noexcept { return fixed_message_ == nullptr; }
  [[nodiscard]] bool is_cancelled() const noexcept { return fixed_message_ == kCancelledMessage; }
  // Meaningful only for an operating-system error.
  [[nodiscard]] int os_code() const noexcept { return os_code_; }

  // The C library's description followed by " (os error N)", or the fixed message.
  [[nodiscard]] std::string text() const;

 private:
  // One object for the whole program, so its address tells a cancelled wait apart.
  static constexpr char kCancelledMessage[] = "interrupted by a signal handler";

  IoError(ErrorKind kind, int os_code, const char* fixed_message) noexcept
      : kind_(kind), os_code_(os_code), fixed_message_(fixed_message) {}

  ErrorKind kind_;
  int os_code_;
  const char* fixed_message_;
};

}  // namespace pluvo
