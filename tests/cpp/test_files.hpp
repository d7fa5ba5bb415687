// Writes WD1/WD2 test files from their byte layouts, in a temporary directory per test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/read_outcome.hpp"

namespace pluvo::testing {

using Bytes = std::vector<std::uint8_t>;

template <class T>
void append_le(Bytes& out, T value) {
  const auto bits = std::bit_cast<
      std::conditional_t<sizeof(T) == 8, std::uint64_t,
                         std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint16_t>>>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i)
    out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

inline void append(Bytes& out, const Bytes& tail) {
  out.insert(out.end(), tail.begin(), tail.end());
}

struct WD1Header {
  std::int32_t event_size;
  std::int32_t board_id = 0;
  std::int32_t pattern = 0;
  std::int32_t board_channel = 0;
  std::int32_t event_counter = 0;
  std::int32_t timestamp = 0;
};

inline Bytes wd1_header(const WD1Header& h) {
  Bytes out;
  for (std::int32_t field :
       {h.event_size, h.board_id, h.pattern, h.board_channel, h.event_counter, h.timestamp}) {
    append_le(out, field);
  }
  return out;
}

// A well-formed record: event_size is 24 + 2 x samples.
inline Bytes wd1_record(std::int32_t event_counter, const std::vector<std::uint16_t>& samples) {
  Bytes out = wd1_header({.event_size = static_cast<std::int32_t>(24 + 2 * samples.size()),
                          .board_id = 1,
                          .pattern = 2,
                          .board_channel = 3,
                          .event_counter = event_counter,
                          .timestamp = 1000 + event_counter});
  for (std::uint16_t s : samples) append_le(out, s);
  return out;
}

struct WD2Header {
  std::uint32_t event_counter;
  std::uint64_t timestamp = 0;
  std::uint32_t samples = 0;
  std::uint64_t sampling_period = 0;
  std::optional<std::int32_t> channels;  // present in the multi-channel layout only
};

inline Bytes wd2_header(const WD2Header& h) {
  Bytes out;
  append_le(out, h.event_counter);
  append_le(out, h.timestamp);
  append_le(out, h.samples);
  append_le(out, h.sampling_period);
  if (h.channels) append_le(out, *h.channels);
  return out;
}

inline Bytes wd2_record(const WD2Header& h, const std::vector<std::uint32_t>& sample_bits) {
  Bytes out = wd2_header(h);
  for (std::uint32_t bits : sample_bits) append_le(out, bits);
  return out;
}

inline std::uint32_t bits_of(float value) {
  return std::bit_cast<std::uint32_t>(value);
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pluvo-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  std::string write(const std::string& name, const Bytes& bytes) const {
    const std::string file = (path_ / name).string();
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (f == nullptr) throw std::runtime_error("cannot create " + file);
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return file;
  }

 private:
  std::filesystem::path path_;
};

template <class Event>
bool is_end(const ReadOutcome<Event>& outcome) {
  return std::holds_alternative<EndOfRecords>(outcome);
}

// The record of an outcome that must be one; fails the test otherwise.
template <class Event>
Event expect_record(ReadOutcome<Event> outcome) {
  if (auto* error = std::get_if<IoError>(&outcome)) {
    ADD_FAILURE() << "expected a record, got the I/O error " << error->text();
  } else if (is_end(outcome)) {
    ADD_FAILURE() << "expected a record, got the end of the records";
  }
  return std::get<Event>(std::move(outcome));
}

}  // namespace pluvo::testing
