#include "core/buf_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <limits>
#include <new>
#include <string>
#include <utility>

namespace pluvo {

namespace {

// readv() cannot report more than SSIZE_MAX bytes, so the destination part of a request is cut
// to leave room for the read-ahead.
constexpr std::size_t kMaxDirectBytes = SSIZE_MAX - BufReader::kMaxReadAhead;

// Runs a system call that fails with a negative result and errno, with the hooks around it, and
// again after EINTR while the hooks allow: the one place where calls are retried.
template <class Call>
auto system_call(BlockingCalls* hooks, Call call) -> Result<decltype(call())> {
  for (;;) {
    void* const token = hooks != nullptr ? hooks->before_wait() : nullptr;
    const auto result = call();
    const int error = errno;
    if (hooks != nullptr) hooks->after_wait(token);
    if (result >= 0) return result;
    if (error != EINTR) return IoError::from_os_code(error);
    if (hooks != nullptr && !hooks->resume_after_interrupt()) return IoError::cancelled();
  }
}

}  // namespace

Result<BufReader> BufReader::open(std::string_view path, BlockingCalls* hooks) {
  if (path.find('\0') != std::string_view::npos) return IoError::nul_in_path();
  const std::string name(path);
  const auto fd =
      system_call(hooks, [&] { return ::open(name.c_str(), O_RDONLY | O_CLOEXEC, 0666); });
  if (!fd.ok()) return fd.error();
  // Advice only: a larger kernel read-ahead for our front-to-back reads; a pipe refuses it.
  (void)::posix_fadvise(fd.value(), 0, 0, POSIX_FADV_SEQUENTIAL);
  BufReader reader(fd.value(), hooks);  // owns the descriptor should the buffer allocation throw
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

Result<std::size_t> BufReader::refill(std::span<std::byte> dst, std::size_t max_ahead) {
  drop_buffer();
  if (capacity_ > kMaxReadAhead) {
    // Grown by unread(): back to the bound.
    buffer_ = std::make_unique_for_overwrite<std::byte[]>(kMaxReadAhead);
    capacity_ = kMaxReadAhead;
  }
  if (grow_ && capacity_ < kMaxReadAhead) {
    // The buffer is empty, so nothing is copied. Without the memory the reads stay as they are.
    const std::size_t larger = std::min(capacity_ * 2, kMaxReadAhead);
    if (auto grown = std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[larger])) {
      buffer_ = std::move(grown);
      capacity_ = larger;
    }
  }
  const std::size_t direct = std::min(dst.size(), kMaxDirectBytes);
  // Behind a destination as large as the buffer, most of what is read ahead would be the start of
  // the next large block, copied twice: read ahead just enough for the next header.
  const std::size_t ahead = std::min(direct < capacity_ ? capacity_ : kInitialReadAhead, max_ahead);
  std::array<iovec, 2> parts = {
      iovec{dst.data(), direct},
      iovec{buffer_.get(), ahead},
  };
  const auto got = system_call(
      hooks_, [&] { return ::readv(fd_, parts.data(), static_cast<int>(parts.size())); });
  if (!got.ok()) return got.error();
  const auto count = static_cast<std::size_t>(got.value());
  grow_ = count == direct + ahead;
  if (count <= direct) {
    consumed_before_buffer_ += count;
    return count;
  }
  consumed_before_buffer_ += direct;
  valid_len_ = count - direct;
  return direct;
}

Status BufReader::read_exact_slow(std::span<std::byte> dst, std::size_t max_ahead) {
  const std::size_t buffered_bytes = buffered();
  if (buffered_bytes != 0) {
    std::memcpy(dst.data(), buffer_.get() + cursor_, buffered_bytes);
    cursor_ = valid_len_;
    dst = dst.subspan(buffered_bytes);
  }
  while (!dst.empty()) {
    auto got = refill(dst, max_ahead);
    if (!got.ok()) return got.error();
    if (got.value() == 0) return IoError::unexpected_eof();
    dst = dst.subspan(got.value());
  }
  return {};
}

Result<std::size_t> BufReader::read_scattered(std::span<const std::span<std::byte>> parts) {
  // Left uninitialised: zeroing it would cost more than a read of small parts.
  std::array<iovec, kMaxScatteredParts> vectors;
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
  const auto got =
      system_call(hooks_, [&] { return ::readv(fd_, vectors.data(), static_cast<int>(count)); });
  if (!got.ok()) return got.error();
  consumed_before_buffer_ += static_cast<std::size_t>(got.value());
  return from_buffer + static_cast<std::size_t>(got.value());
}

void BufReader::unread(std::span<const std::span<std::byte>> parts, std::size_t n) {
  const std::size_t kept = buffered();
  // The bytes given back end where the bytes still buffered begin, at `at` of the buffer.
  std::size_t at = cursor_;
  if (n > cursor_) {
    at = n;
    if (n + kept > capacity_) {
      auto grown = std::make_unique_for_overwrite<std::byte[]>(n + kept);
      if (kept != 0) std::memcpy(grown.get() + at, buffer_.get() + cursor_, kept);
      buffer_ = std::move(grown);
      capacity_ = n + kept;
    } else if (kept != 0) {
      std::memmove(buffer_.get() + at, buffer_.get() + cursor_, kept);
    }
    consumed_before_buffer_ += cursor_;
    consumed_before_buffer_ -= n;
    valid_len_ = at + kept;
  }
  cursor_ = at - n;
  std::byte* to = buffer_.get() + cursor_;
  for (const auto part : parts) {
    if (n == 0) break;
    const std::size_t size = std::min(part.size(), n);
    if (size != 0) std::memcpy(to, part.data(), size);
    to += size;
    n -= size;
  }
}

Status BufReader::skip_exact(std::size_t n) {
  if (buffered() >= n) {
    cursor_ += n;
    return {};
  }
  n -= buffered();
  drop_buffer();
  if (const auto left = regular_file_bytes_left()) {
    const std::uint64_t skipped = std::min<std::uint64_t>(*left, n);
    const auto moved =
        system_call(hooks_, [&] { return ::lseek(fd_, static_cast<off_t>(skipped), SEEK_CUR); });
    if (!moved.ok()) return moved.error();
    consumed_before_buffer_ += skipped;
    if (skipped < n) return IoError::unexpected_eof();
    return {};
  }
  // Not seekable: the bytes are read through the buffer and dropped.
  while (n != 0) {
    if (buffered() == 0) {
      if (auto got = refill({}, kMaxReadAhead); !got.ok()) return got.error();
      if (buffered() == 0) return IoError::unexpected_eof();
    }
    const std::size_t taken = std::min(n, buffered());
    cursor_ += taken;
    n -= taken;
  }
  return {};
}

std::optional<std::uint64_t> BufReader::regular_file_bytes_left() {
  struct stat status {};
  if (!system_call(hooks_, [&] { return ::fstat(fd_, &status); }).ok() ||
      !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  const auto offset = system_call(hooks_, [&] { return ::lseek(fd_, 0, SEEK_CUR); });
  if (!offset.ok()) return std::nullopt;
  return static_cast<std::uint64_t>(std::max<off_t>(status.st_size - offset.value(), 0));
}

std::optional<std::uint64_t> BufReader::bytes_left() {
  const auto left = regular_file_bytes_left();
  if (!left) return std::nullopt;
  return buffered() + *left;
}

Result<std::size_t> BufReader::read_at(std::uint64_t offset, std::span<std::byte> dst) {
  const std::size_t size = std::min(dst.size(), kMaxDirectBytes);
  const auto got = system_call(
      hooks_, [&] { return ::pread(fd_, dst.data(), size, static_cast<off_t>(offset)); });
  if (!got.ok()) return got.error();
  return static_cast<std::size_t>(got.value());
}

Result<std::uint64_t> BufReader::file_size() {
  struct stat status {};
  if (const auto done = system_call(hooks_, [&] { return ::fstat(fd_, &status); }); !done.ok()) {
    return done.error();
  }
  return S_ISREG(status.st_mode) ? static_cast<std::uint64_t>(status.st_size) : 0;
}

Result<std::uint64_t> BufReader::seek(std::uint64_t offset) {
  // Past the largest offset lseek() takes, as lseek() itself would fail (an offset it takes may
  // still be past what the file system allows: it fails the same way).
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return IoError::from_os_code(EINVAL);
  }
  if (const auto moved =
          system_call(hooks_, [&] { return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET); });
      !moved.ok()) {
    return moved.error();
  }
  cursor_ = 0;
  valid_len_ = 0;
  consumed_before_buffer_ = offset;
  grow_ = false;  // reading starts over, and so does the evidence of a long sequential read
  return offset;
}

}  // namespace pluvo
