#include "core/io_error.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "core/utf8.hpp"

namespace pluvo {

ErrorKind kind_from_os_code(int code) noexcept {
  switch (code) {
    case EPERM:
    case EACCES:
      return ErrorKind::PermissionDenied;
    case ENOENT:
      return ErrorKind::NotFound;
    case EINTR:
      return ErrorKind::Interrupted;
    case E2BIG:
      return ErrorKind::ArgumentListTooLong;
    case EAGAIN:
      return ErrorKind::WouldBlock;
    case ENOMEM:
      return ErrorKind::OutOfMemory;
    case EBUSY:
      return ErrorKind::ResourceBusy;
    case EEXIST:
      return ErrorKind::AlreadyExists;
    case EXDEV:
      return ErrorKind::CrossesDevices;
    case ENOTDIR:
      return ErrorKind::NotADirectory;
    case EISDIR:
      return ErrorKind::IsADirectory;
    case EINVAL:
      return ErrorKind::InvalidInput;
    case ETXTBSY:
      return ErrorKind::ExecutableFileBusy;
    case EFBIG:
      return ErrorKind::FileTooLarge;
    case ENOSPC:
      return ErrorKind::StorageFull;
    case ESPIPE:
      return ErrorKind::NotSeekable;
    case EROFS:
      return ErrorKind::ReadOnlyFilesystem;
    case EMLINK:
      return ErrorKind::TooManyLinks;
    case EPIPE:
      return ErrorKind::BrokenPipe;
    case EDEADLK:
      return ErrorKind::Deadlock;
    case ENAMETOOLONG:
      return ErrorKind::InvalidFilename;
    case ENOSYS:
    case EOPNOTSUPP:
      return ErrorKind::Unsupported;
    case ENOTEMPTY:
      return ErrorKind::DirectoryNotEmpty;
    case ELOOP:
      return ErrorKind::FilesystemLoop;
    case EADDRINUSE:
      return ErrorKind::AddrInUse;
    case EADDRNOTAVAIL:
      return ErrorKind::AddrNotAvailable;
    case ENETDOWN:
      return ErrorKind::NetworkDown;
    case ENETUNREACH:
      return ErrorKind::NetworkUnreachable;
    case ECONNABORTED:
      return ErrorKind::ConnectionAborted;
    case ECONNRESET:
      return ErrorKind::ConnectionReset;
    case ENOTCONN:
      return ErrorKind::NotConnected;
    case ETIMEDOUT:
      return ErrorKind::TimedOut;
    case ECONNREFUSED:
      return ErrorKind::ConnectionRefused;
    case EHOSTUNREACH:
      return ErrorKind::HostUnreachable;
    case EINPROGRESS:
      return ErrorKind::InProgress;
    case ESTALE:
      return ErrorKind::StaleNetworkFileHandle;
    case EDQUOT:
      return ErrorKind::QuotaExceeded;
    default:
      return ErrorKind::Uncategorized;
  }
}

namespace {

// glibc with _GNU_SOURCE (always set by g++) declares the GNU strerror_r, which returns the
// description; musl and other libcs declare the POSIX one, which fills the buffer and returns
// a status. Overloading on the return type picks the right reading for either.
[[maybe_unused]] const char* description_of(const char* gnu_result, const char* /*buffer*/) {
  return gnu_result;
}
[[maybe_unused]] const char* description_of(int /*posix_status*/, const char* buffer) {
  return buffer;
}

}  // namespace

std::string IoError::text() const {
  if (fixed_message_ != nullptr) return fixed_message_;
  std::array<char, 128> buffer{};
  const char* description =
      description_of(strerror_r(os_code_, buffer.data(), buffer.size()), buffer.data());
  std::string text = utf8_lossy(description != nullptr ? description : "");
  text += " (os error ";
  text += std::to_string(os_code_);
  text += ')';
  return text;
}

}  // namespace pluvo
