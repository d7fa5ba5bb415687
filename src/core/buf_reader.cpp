#include "core/buf_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <string>
#include <utility>

#include "core/little_endian.hpp"

namespace pluvo {

namespace {

// One read system call; the count is clamped because read() cannot report more than SSIZE_MAX.
Result<std::size_t> read_once(int fd, std::byte* dst, std::size_t n) {
  const ssize_t got = ::read(fd, dst, std::min<std::size_t>(n, SSIZE_MAX));
  if (got < 0) return IoError::from_os_code(errno);
  return static_cast<std::size_t>(got);
}

}  // namespace

Result<BufReader> BufReader::open(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return IoError::nul_in_path();
  const std::string name(path);
  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR) fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC, 0666);
  if (fd < 0) return IoError::from_os_code(errno);
  BufReader reader(fd, nullptr);  // owns the descriptor should the buffer allocation throw
  reader.buffer_ = std::make_unique_for_overwrite<std::byte[]>(kBufferSize);
  return reader;
}

BufReader::BufReader(int fd, std::unique_ptr<std::byte[]> buffer) noexcept
    : fd_(fd), buffer_(std::move(buffer)) {}

BufReader::BufReader(BufReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      buffer_(std::move(other.buffer_)),
      cursor_(std::exchange(other.cursor_, 0)),
      valid_len_(std::exchange(other.valid_len_, 0)) {}

BufReader& BufReader::operator=(BufReader&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    buffer_ = std::move(other.buffer_);
    cursor_ = std::exchange(other.cursor_, 0);
    valid_len_ = std::exchange(other.valid_len_, 0);
  }
  return *this;
}

BufReader::~BufReader() {
  if (fd_ >= 0) ::close(fd_);  // nothing useful can be done about a failed close
}

Result<std::size_t> BufReader::read(std::span<std::byte> dst) {
  if (cursor_ == valid_len_) {
    cursor_ = 0;
    valid_len_ = 0;
    // Large requests bypass the buffer so big sample blocks are not copied twice.
    if (dst.size() >= kBufferSize) return read_once(fd_, dst.data(), dst.size());
    auto filled = read_once(fd_, buffer_.get(), kBufferSize);
    if (!filled.ok()) return filled;
    valid_len_ = filled.value();
  }
  const std::size_t n = std::min(valid_len_ - cursor_, dst.size());
  if (n != 0) std::memcpy(dst.data(), buffer_.get() + cursor_, n);
  cursor_ += n;
  return n;
}

Status BufReader::read_exact_slow(std::span<std::byte> dst) {
  while (!dst.empty()) {
    auto got = read(dst);
    if (!got.ok()) {
      if (got.error().kind() == ErrorKind::Interrupted) continue;
      return got.error();
    }
    if (got.value() == 0) return IoError::unexpected_eof();
    dst = dst.subspan(got.value());
  }
  return {};
}

template <class T>
Result<T> BufReader::read_le() {
  std::array<std::byte, sizeof(T)> scratch{};
  if (auto error = read_exact(scratch)) return *error;
  return load_le<T>(scratch.data());
}

Result<std::int32_t> BufReader::read_i32() {
  return read_le<std::int32_t>();
}
Result<std::uint32_t> BufReader::read_u32() {
  return read_le<std::uint32_t>();
}
Result<std::uint64_t> BufReader::read_u64() {
  return read_le<std::uint64_t>();
}

Result<std::uint64_t> BufReader::rewind() {
  if (::lseek(fd_, 0, SEEK_SET) < 0) return IoError::from_os_code(errno);
  cursor_ = 0;
  valid_len_ = 0;
  return std::uint64_t{0};
}

}  // namespace pluvo
