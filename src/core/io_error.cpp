#include "core/io_error.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/utf8.hpp"

namespace pluvo {

namespace {

// Linux error numbers with a kind of their own.
constexpr std::pair<int, ErrorKind> kKindsOfCodes[] = {{EPERM, ErrorKind::PermissionDenied},
                                                       {EACCES, ErrorKind::PermissionDenied},
                                                       {ENOENT, ErrorKind::NotFound},
                                                       {EINTR, ErrorKind::Interrupted},
                                                       {E2BIG, ErrorKind::ArgumentListTooLong},
                                                       {EAGAIN, ErrorKind::WouldBlock},
                                                       {ENOMEM, ErrorKind::OutOfMemory},
                                                       {EBUSY, ErrorKind::ResourceBusy},
                                                       {EEXIST, ErrorKind::AlreadyExists},
                                                       {EXDEV, ErrorKind::CrossesDevices},
                                                       {ENOTDIR, ErrorKind::NotADirectory},
                                                       {EISDIR, ErrorKind::IsADirectory},
                                                       {EINVAL, ErrorKind::InvalidInput},
                                                       {ETXTBSY, ErrorKind::ExecutableFileBusy},
                                                       {EFBIG, ErrorKind::FileTooLarge},
                                                       {ENOSPC, ErrorKind::StorageFull},
                                                       {ESPIPE, ErrorKind::NotSeekable},
                                                       {EROFS, ErrorKind::ReadOnlyFilesystem},
                                                       {EMLINK, ErrorKind::TooManyLinks},
                                                       {EPIPE, ErrorKind::BrokenPipe},
                                                       {EDEADLK, ErrorKind::Deadlock},
                                                       {ENAMETOOLONG, ErrorKind::InvalidFilename},
                                                       {ENOSYS, ErrorKind::Unsupported},
                                                       {EOPNOTSUPP, ErrorKind::Unsupported},
                                                       {ENOTEMPTY, ErrorKind::DirectoryNotEmpty},
                                                       {ELOOP, ErrorKind::FilesystemLoop},
                                                       {EADDRINUSE, ErrorKind::AddrInUse},
                                                       {EADDRNOTAVAIL, ErrorKind::AddrNotAvailable},
                                                       {ENETDOWN, ErrorKind::NetworkDown},
                                                       {ENETUNREACH, ErrorKind::NetworkUnreachable},
                                                       {ECONNABORTED, ErrorKind::ConnectionAborted},
                                                       {ECONNRESET, ErrorKind::ConnectionReset},
                                                       {ENOTCONN, ErrorKind::NotConnected},
                                                       {ETIMEDOUT, ErrorKind::TimedOut},
                                                       {ECONNREFUSED, ErrorKind::ConnectionRefused},
                                                       {EHOSTUNREACH, ErrorKind::HostUnreachable},
                                                       {EINPROGRESS, ErrorKind::InProgress},
                                                       {ESTALE, ErrorKind::StaleNetworkFileHandle},
                                                       {EDQUOT, ErrorKind::QuotaExceeded}};

}  // namespace

ErrorKind kind_from_os_code(int code) noexcept {
  for (const auto& [number, kind] : kKindsOfCodes) {
    if (number == code) return kind;
  }
  return ErrorKind::Uncategorized;
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
