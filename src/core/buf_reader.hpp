// Buffered, read-only file input with exact and scattered reads. The read-ahead
// starts small and grows while reads come back full, so a sequential pass over a regular file
// makes few system calls while a reader that is dropped early, or trickles from a pipe, stays
// small.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "core/blocking_calls.hpp"
#include "core/io_error.hpp"
#include "core/result.hpp"

namespace pluvo {

class BufReader {
 public:
  static constexpr std::size_t kInitialReadAhead = std::size_t{8} * 1024;
  static constexpr std::size_t kMaxReadAhead = std::size_t{256} * 1024;
  // Parts one read_scattered() call takes at most: the system's limit on a readv().
  static constexpr std::size_t kMaxScatteredParts = 1024;

  // Opens read-only with close-on-exec; reads nothing, so a directory opens too. The hooks, if
  // any, must outlive the input: they surround every system call that may wait.
  static Result<BufReader> open(std::string_view path, BlockingCalls* hooks = nullptr);

  BufReader(BufReader&& other) noexcept;
  BufReader& operator=(BufReader&& other) noexcept;
  BufReader(const BufReader&) = delete;
  BufReader& operator=(const BufReader&) = delete;
  ~BufReader();

  // Fills dst whole or fails; bytes consumed before a failure stay consumed. A destination larger
  // than what is buffered is filled by system calls that read into it directly, together with the
  // read-ahead of the bytes after it.
  Status read_exact(std::span<std::byte> dst) {
    return read_exact_reading_ahead(dst, kMaxReadAhead);
  }
  // As read_exact(), but a system call it makes reads at most kInitialReadAhead bytes ahead: for
  // bytes after which the caller reads straight into place, where a full read-ahead would only
  // be copied out again.
  Status read_exact_sparingly(std::span<std::byte> dst) {
    return read_exact_reading_ahead(dst, kInitialReadAhead);
  }

  // Fills the parts in order: first from what is buffered, then straight from the input with at
  // most one system call (EINTR retried as read_exact() retries it), reading nothing ahead. The
  // count delivered; less than the parts hold at the end of the data, or from a pipe.
  Result<std::size_t> read_scattered(std::span<const std::span<std::byte>> parts);
  // Makes the first n bytes of the parts, as read_scattered() filled them, the next to read again,
  // ahead of what is still buffered: for bytes a caller took too many of.
  void unread(std::span<const std::span<std::byte>> parts, std::size_t n);
  // The next n bytes, left unread, when they are all buffered; empty otherwise.
  [[nodiscard]] std::span<const std::byte> peek(std::size_t n) const noexcept {
    if (buffered() < n) return {};
    return {buffer_.get() + cursor_, n};
  }

  // Consumes n bytes as read_exact() would, without keeping them: a regular file is seeked past
  // them, after a check of its size so that the end of the data fails the same way.
  Status skip_exact(std::size_t n);

  // Bytes after the position that a regular file holds; nothing for other inputs.
  std::optional<std::uint64_t> bytes_left();

  // Reads from `offset` with one system call, leaving the position and the buffer as they are; the
  // count read, 0 at the end of the data. An input that cannot seek fails as lseek() would.
  Result<std::size_t> read_at(std::uint64_t offset, std::span<std::byte> dst);
  // The size of a regular file now; 0 for other inputs.
  Result<std::uint64_t> file_size();

  // Moves to `offset` (past the end too) and drops every buffered byte; returns the new offset.
  // An input that cannot seek fails and stays as it was.
  Result<std::uint64_t> seek(std::uint64_t offset);

  // Unread bytes held in the buffer.
  [[nodiscard]] std::size_t buffered() const noexcept { return valid_len_ - cursor_; }
  // Offset of the next byte to consume: bytes consumed since the open or the last seek, plus that
  // seek's offset.
  [[nodiscard]] std::uint64_t position() const noexcept {
    return consumed_before_buffer_ + cursor_;
  }

 private:
  BufReader(int fd, BlockingCalls* hooks) noexcept : fd_(fd), hooks_(hooks) {}
  // read_exact() with system calls that read at most max_ahead bytes ahead.
  Status read_exact_reading_ahead(std::span<std::byte> dst, std::size_t max_ahead) {
    if (buffered() >= dst.size()) {
      if (!dst.empty()) std::memcpy(dst.data(), buffer_.get() + cursor_, dst.size());
      cursor_ += dst.size();
      return {};
    }
    return read_exact_slow(dst, max_ahead);
  }
  Status read_exact_slow(std::span<std::byte> dst, std::size_t max_ahead);
  // Bytes after the descriptor's offset, for a regular file.
  std::optional<std::uint64_t> regular_file_bytes_left();
  // Empties the buffer, counting its bytes as consumed.
  void drop_buffer() noexcept;
  // One system call into dst and then the emptied buffer, at most max_ahead bytes of it; returns
  // the bytes that reached dst.
  Result<std::size_t> refill(std::span<std::byte> dst, std::size_t max_ahead);

  int fd_;
  BlockingCalls* hooks_;
  std::unique_ptr<std::byte[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t cursor_ = 0;
  std::size_t valid_len_ = 0;
  std::uint64_t consumed_before_buffer_ = 0;
  bool grow_ = false;  // the last refill came back full
};

}  // namespace pluvo
