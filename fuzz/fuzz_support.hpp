// What the harnesses share: the input as a file the readers open by name, the layout's
// little-endian fields read straight from the input, and failing a check loudly.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace pluvo::fuzz {

using Bytes = std::span<const std::uint8_t>;

// libFuzzer reports the abort as a crash, with the input that caused it.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "harness check failed: %s\n", what);
  std::abort();
}

inline void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

// An in-memory file, reused for every input. Each open of its /proc path gets its own offset,
// as a regular file does.
class InputFile {
 public:
  InputFile() : fd_(::memfd_create("pluvo-fuzz-input", MFD_CLOEXEC)) {
    check(fd_ >= 0, "memfd_create");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  InputFile(InputFile&&) = delete;
  InputFile& operator=(InputFile&&) = delete;
  ~InputFile() { ::close(fd_); }

  [[nodiscard]] const std::string& path() const { return path_; }

  void replace(Bytes bytes) {
    check(::ftruncate(fd_, 0) == 0, "ftruncate");
    size_ = 0;
    append(bytes);
  }

  // What a writer adding to the file while it is being read does.
  void append(Bytes bytes) {
    while (!bytes.empty()) {
      const ssize_t written = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(size_));
      check(written > 0, "pwrite");
      size_ += static_cast<std::size_t>(written);
      bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
  }

 private:
  int fd_;
  std::string path_;
  std::size_t size_ = 0;
};

inline InputFile& input_file() {
  static InputFile file;
  return file;
}

inline std::uint32_t u32_at(Bytes bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{bytes[offset + i]} << (8 * i);
  return value;
}

inline std::int32_t i32_at(Bytes bytes, std::size_t offset) {
  return static_cast<std::int32_t>(u32_at(bytes, offset));
}

inline std::uint64_t u64_at(Bytes bytes, std::size_t offset) {
  return std::uint64_t{u32_at(bytes, offset)} | std::uint64_t{u32_at(bytes, offset + 4)} << 32;
}

inline std::uint16_t u16_at(Bytes bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

// Where the input is cut: the reader reads the bytes before it to their end, then the file grows by
// the rest and the reader goes on.
inline std::size_t growth_point(Bytes bytes) {
  return bytes.size() - bytes.size() / 3;
}

}  // namespace pluvo::fuzz
