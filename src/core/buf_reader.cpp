#include "core/buf_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <new>
#include <string>
#include <utility>

#include "core/little_endian.hpp"

namespace pluvo {

namespace {

// readv() cannot report more than SSIZE_MAX bytes, so the destination part of a request is cut
// to leave room for the read-ahead.
constexpr std::size_t kMaxDirectBytes = SSIZE_MAX - BufReader::kMaxReadAhead;

// A system call with the hooks around it; errno is kept from the call.
template <class Call>
auto waiting(BlockingCalls* hooks, Call call) {
  if (hooks == nullptr) return call();
  void* const token = hooks->before_wait();
  const auto result = call();
  const int error = errno;
  hooks->after_wait(token);
  errno = error;
  return result;
}

// After EINTR: whether to try again.
bool resume(BlockingCalls* hooks) {
  return hooks == nullptr || hooks->resume_after_interrupt();
}

}  // namespace

Result<BufReader> BufReader::open(std::string_view path, BlockingCalls* hooks) {
  if (path.find('\0') != std::string_view::npos) return IoError::nul_in_path();
  const std::string name(path);
  int fd = -1;
  for (;;) {
    fd = waiting(hooks, [&] { return ::open(name.c_str(), O_RDONLY | O_CLOEXEC, 0666); });
    if (fd >= 0) break;
    if (errno != EINTR) return IoError::from_os_code(errno);
    if (!resume(hooks)) return IoError::cancelled();
  }
  BufReader reader(fd, hooks);  // owns the descriptor should the buffer allocation throw
  reader.buffer_ = std::make_unique_for_overwrite<std::byte[]>(kInitialReadAhead);
  reader.capacity_ = kInitialReadAhead;
  return reader;
}

BufReader::BufReader(BufReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      hooks_(other.hooks_),
      buffer_(std::move(other.buffer_)),
      capacity_(std::exchange(other.capacity_, 0)),
      cursor_(std::exchange(other.cursor_, 0)),
      valid_len_(std::exchange(other.valid_len_, 0)),
      consumed_before_buffer_(std::exchange(other.consumed_before_buffer_, 0)),
      grow_(std::exchange(other.grow_, false)) {}

BufReader& BufReader::operator=(BufReader&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    hooks_ = other.hooks_;
    buffer_ = std::move(other.buffer_);
    capacity_ = std::exchange(other.capacity_, 0);
    cursor_ = std::exchange(other.cursor_, 0);
    valid_len_ = std::exchange(other.valid_len_, 0);
    consumed_before_buffer_ = std::exchange(other.consumed_before_buffer_, 0);
    grow_ = std::exchange(other.grow_, false);
  }
  return *this;
}

BufReader::~BufReader() {
  if (fd_ >= 0) ::close(fd_);  // nothing useful can be done about a failed close
}

void BufReader::drop_buffer() noexcept {
  consumed_before_buffer_ += valid_len_;
  cursor_ = 0;
  valid_len_ = 0;
}

Result<std::size_t> BufReader::refill(std::span<std::byte> dst) {
  drop_buffer();
  if (capacity_ > kMaxReadAhead) {
    // Grown by unread(): back to the bound.
    buffer_ = std::make_unique_for_overwrite<std::byte[]>(kMaxReadAhead);
    capacity_ = kMaxReadAhead;
  }
  if (grow_ && capacity_ < kMaxReadAhead) {
    // The buffer is empty, so nothing is copied. Without the memory the reads stay as they are.
    const std::size_t larger = capacity_ * 2;
    if (auto grown = std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[larger])) {
      buffer_ = std::move(grown);
      capacity_ = larger;
    }
  }
  const std::size_t direct = std::min(dst.size(), kMaxDirectBytes);
  // Behind a destination as large as the buffer, most of what is read ahead would be the start of
  // the next large block, copied twice: read ahead just enough for the next header.
  const std::size_t ahead = direct < capacity_ ? capacity_ : kInitialReadAhead;
  std::array<iovec, 2> parts = {
      iovec{dst.data(), direct},
      iovec{buffer_.get(), ahead},
  };
  const ssize_t got =
      waiting(hooks_, [&] { return ::readv(fd_, parts.data(), static_cast<int>(parts.size())); });
  if (got < 0) return IoError::from_os_code(errno);
  const auto count = static_cast<std::size_t>(got);
  grow_ = count == direct + ahead;
  if (count <= direct) {
    consumed_before_buffer_ += count;
    return count;
  }
  consumed_before_buffer_ += direct;
  valid_len_ = count - direct;
  return direct;
}

Status BufReader::unless_retried(const IoError& error) {
  if (error.kind() != ErrorKind::Interrupted) return error;
  if (!resume(hooks_)) return IoError::cancelled();
  return {};
}

Result<std::size_t> BufReader::read(std::span<std::byte> dst) {
  if (dst.empty()) return std::size_t{0};
  if (cursor_ == valid_len_) return refill(dst);
  const std::size_t n = std::min(valid_len_ - cursor_, dst.size());
  std::memcpy(dst.data(), buffer_.get() + cursor_, n);
  cursor_ += n;
  return n;
}

Status BufReader::read_exact_slow(std::span<std::byte> dst) {
  const std::size_t buffered_bytes = buffered();
  if (buffered_bytes != 0) {
    std::memcpy(dst.data(), buffer_.get() + cursor_, buffered_bytes);
    cursor_ = valid_len_;
    dst = dst.subspan(buffered_bytes);
  }
  while (!dst.empty()) {
    auto got = refill(dst);
    if (!got.ok()) {
      if (auto error = unless_retried(got.error())) return error;
      continue;
    }
    if (got.value() == 0) return IoError::unexpected_eof();
    dst = dst.subspan(got.value());
  }
  return {};
}

Result<std::size_t> BufReader::read_scattered(std::span<const std::span<std::byte>> parts) {
  std::array<iovec, kMaxScatteredParts> vectors{};
  std::size_t count = 0;
  std::size_t from_buffer = 0;
  std::size_t total = 0;
  for (const auto part : parts.first(std::min(parts.size(), kMaxScatteredParts))) {
    // The buffered bytes go first; the rest of the part, and the parts after it, come from the
    // input.
    const std::size_t copied = std::min(part.size(), buffered());
    if (copied != 0) std::memcpy(part.data(), buffer_.get() + cursor_, copied);
    cursor_ += copied;
    from_buffer += copied;
    const std::size_t rest = part.size() - copied;
    if (rest == 0) continue;
    if (total + rest > kMaxDirectBytes) break;
    vectors.at(count++) = iovec{part.data() + copied, rest};
    total += rest;
  }
  if (count == 0) return from_buffer;
  drop_buffer();
  for (;;) {
    const ssize_t got =
        waiting(hooks_, [&] { return ::readv(fd_, vectors.data(), static_cast<int>(count)); });
    if (got >= 0) {
      consumed_before_buffer_ += static_cast<std::size_t>(got);
      return from_buffer + static_cast<std::size_t>(got);
    }
    if (auto error = unless_retried(IoError::from_os_code(errno))) return *error;
  }
}

void BufReader::unread(std::span<const std::span<const std::byte>> pieces) {
  std::size_t total = 0;
  for (const auto piece : pieces) total += piece.size();
  if (total > capacity_) {
    buffer_ = std::make_unique_for_overwrite<std::byte[]>(total);
    capacity_ = total;
  }
  std::size_t at = 0;
  for (const auto piece : pieces) {
    if (!piece.empty()) std::memcpy(buffer_.get() + at, piece.data(), piece.size());
    at += piece.size();
  }
  cursor_ = 0;
  valid_len_ = total;
  consumed_before_buffer_ -= total;
}

Status BufReader::skip_exact(std::size_t n) {
  if (buffered() >= n) {
    cursor_ += n;
    return {};
  }
  n -= buffered();
  drop_buffer();
  struct stat status {};
  if (waiting(hooks_, [&] { return ::fstat(fd_, &status); }) == 0 && S_ISREG(status.st_mode)) {
    const off_t offset = waiting(hooks_, [&] { return ::lseek(fd_, 0, SEEK_CUR); });
    if (offset >= 0) {
      const auto left = static_cast<std::uint64_t>(std::max<off_t>(status.st_size - offset, 0));
      const std::uint64_t skipped = std::min<std::uint64_t>(left, n);
      if (waiting(hooks_, [&] { return ::lseek(fd_, static_cast<off_t>(skipped), SEEK_CUR); }) <
          0) {
        return IoError::from_os_code(errno);
      }
      consumed_before_buffer_ += skipped;
      if (skipped < n) return IoError::unexpected_eof();
      return {};
    }
  }
  // Not seekable: the bytes are read through the buffer and dropped.
  while (n != 0) {
    if (buffered() == 0) {
      if (auto got = refill({}); !got.ok()) {
        if (auto error = unless_retried(got.error())) return error;
        continue;
      }
      if (buffered() == 0) return IoError::unexpected_eof();
    }
    const std::size_t taken = std::min(n, buffered());
    cursor_ += taken;
    n -= taken;
  }
  return {};
}

std::optional<std::uint64_t> BufReader::bytes_left() {
  struct stat status {};
  if (waiting(hooks_, [&] { return ::fstat(fd_, &status); }) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  const off_t offset = waiting(hooks_, [&] { return ::lseek(fd_, 0, SEEK_CUR); });
  if (offset < 0) return std::nullopt;
  return buffered() + static_cast<std::uint64_t>(std::max<off_t>(status.st_size - offset, 0));
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
  if (waiting(hooks_, [&] { return ::lseek(fd_, 0, SEEK_SET); }) < 0) {
    return IoError::from_os_code(errno);
  }
  cursor_ = 0;
  valid_len_ = 0;
  consumed_before_buffer_ = 0;
  grow_ = false;  // reading starts over, and so does the evidence of a long sequential read
  return std::uint64_t{0};
}

}  // namespace pluvo
