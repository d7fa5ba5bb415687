#include "io_error.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

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

// Each maximal ill-formed sequence becomes one U+FFFD, as a lossy UTF-8 decoder does.
std::string utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t width = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      width = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      width = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      width = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      width = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    if (width == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t valid = 1;
    while (valid < width && i + valid < bytes.size()) {
      const auto next = static_cast<unsigned char>(bytes[i + valid]);
      const bool second = valid == 1;
      if (next < (second ? low : 0x80) || next > (second ? high : 0xBF)) break;
      ++valid;
    }
    if (valid == width) {
      out.append(bytes.substr(i, width));
    } else {
      out += kReplacement;
    }
    i += valid;
  }
  return out;
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
