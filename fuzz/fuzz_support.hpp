// What the harnesses share: the input as a file the readers open by name, the layout's
// little-endian fields read straight from the input, and failing a check loudly.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "core/batch_reader.hpp"
#include "core/buf_reader.hpp"
#include "core/internal_fault.hpp"
#include "core/read_outcome.hpp"

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

// Puts the first `cut` bytes of `file` into the input file and opens it; the rest is appended
// later, as a file that grows while it is read.
inline BufReader open_prefix(Bytes file, std::size_t cut) {
  InputFile& input = input_file();
  input.replace(file.first(cut));
  auto opened = BufReader::open(input.path());
  check(opened.ok(), "open");
  return std::move(opened).value();
}

enum class Expect : std::uint8_t { Record, Fault, End };

// What the layout says stands at an offset.
struct Expected {
  Expect what;
  std::size_t block;  // bytes of samples, for a record
};

// Reads records from `offset` on, comparing every outcome with `expected_at(offset)` and every
// record with `check_record(event, offset, block)`. Every step ends or moves the walk on by a
// header at least, so the loop is bounded by the input's size.
template <class Reader, class ExpectedAt, class CheckRecord>
void walk_records(Reader& reader, std::size_t offset, std::size_t header,
                  const ExpectedAt& expected_at, const CheckRecord& check_record) {
  for (;;) {
    const Expected expected = expected_at(offset);
    try {
      auto outcome = reader.next();
      if (std::holds_alternative<EndOfRecords>(outcome)) {
        check(expected.what == Expect::End, "records ended early");
        return;
      }
      check(!std::holds_alternative<IoError>(outcome), "I/O error reading memory");
      check(expected.what == Expect::Record, "a record where the layout has none");
      check_record(std::get<0>(outcome), offset, expected.block);
      offset += header + expected.block;
    } catch (const InternalFault& fault) {
      check(expected.what == Expect::Fault, "a fault where the layout has none");
      check(std::strcmp(fault.what(), "capacity overflow") == 0, "fault message");
      offset += header;  // the header stays consumed
    }
  }
}

// A reader's records taken through read_batch(): next() hands out the rows of one batch after
// the other as records, so that walk_records() checks batches as it checks records.
template <class Format>
class BatchedRecords {
 public:
  using Record = typename Format::Record;
  using Sample = typename Format::Sample;

  BatchedRecords(RecordReader<Format>& reader, BatchLimits limits) noexcept
      : reader_(reader), limits_(limits) {}

  ReadOutcome<Record> next() {
    if (row_ == batch_.rows) {
      if (batch_.failure) return *std::exchange(batch_.failure, std::nullopt);
      auto outcome = read_batch(reader_, limits_);
      if (auto* error = std::get_if<IoError>(&outcome)) return *error;
      if (std::holds_alternative<EndOfRecords>(outcome)) return EndOfRecords{};
      batch_ = std::move(std::get<0>(outcome));
      check(batch_.rows >= 1 && batch_.rows <= limits_.max_events, "batch size");
      check(
          batch_.rows == 1 || batch_.rows * batch_.row_length * sizeof(Sample) <= limits_.max_bytes,
          "batch bytes");
      row_ = 0;
    }
    Record record{};
    for_each_header_field<Record>([&](auto index, const auto& field) {
      record.*field.member = std::get<decltype(index)::value>(batch_.header)[row_];
    });
    record.data.resize_uninitialized(batch_.row_length);
    if (batch_.row_length != 0) {
      std::memcpy(record.data.data(), batch_.samples.data() + row_ * batch_.row_length,
                  batch_.row_length * sizeof(Sample));
    }
    ++row_;
    return record;
  }

 private:
  RecordReader<Format>& reader_;
  BatchLimits limits_;
  Batch<Record, Sample> batch_;
  std::size_t row_ = 0;
};

// Limits that the input itself picks, from its last bytes, so the fuzzer explores them too.
inline BatchLimits limits_for(Bytes file) {
  const std::size_t a = file.empty() ? 0 : file[file.size() - 1];
  const std::size_t b = file.size() < 2 ? 0 : file[file.size() - 2];
  return {.max_events = 1 + a % 9, .max_bytes = 1 + b * 37};
}

}  // namespace pluvo::fuzz
