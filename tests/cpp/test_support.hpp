// What the core tests share beyond writing files: opening inputs, feeding FIFOs, looking at this
// process's descriptors, running code under a memory cap, and generating cases from a seed.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "core/buf_reader.hpp"
#include "core/internal_fault.hpp"
#include "core/read_outcome.hpp"
#include "test_files.hpp"

namespace pluvo::testing {

inline BufReader open_input(const std::string& path) {
  auto opened = BufReader::open(path);
  if (!opened.ok()) throw std::runtime_error("cannot open " + path + ": " + opened.error().text());
  return std::move(opened).value();
}

// A small generator of its own: the same cases on every host and in every build.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  bool one_in(std::size_t n) { return below(n) == 0; }
  template <class T>
  const T& pick(const std::vector<T>& values) {
    return values[below(values.size())];
  }

 private:
  std::uint64_t state_;
};

inline bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Opens the FIFO for writing once a reader has it open (or waits in open); -1 on giving up.
inline int open_fifo_writer(const std::string& path, const std::function<bool()>& give_up) {
  int fd = -1;
  wait_for(
      [&] {
        fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0 || (errno != ENXIO && errno != EINTR) || give_up();
      },
      std::chrono::seconds(2));
  if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

inline bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size != 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

inline std::string make_fifo(const TempDir& dir, const std::string& name) {
  const std::string path = (dir.path() / name).string();
  if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + path);
  return path;
}

// Writes bytes into a FIFO from a thread of its own, in pieces of the given sizes taken in
// turn, each once the pipe is empty again: one read from the FIFO then gets at most the rest of
// one piece, and a piece of at most PIPE_BUF bytes arrives whole. Closes after the last byte.
class FifoFeeder {
 public:
  FifoFeeder(std::string path, Bytes bytes, std::vector<std::size_t> pieces)
      : path_(std::move(path)),
        bytes_(std::move(bytes)),
        pieces_(std::move(pieces)),
        thread_([this] { run(); }) {}
  ~FifoFeeder() {
    stop_ = true;
    thread_.join();
  }
  FifoFeeder(const FifoFeeder&) = delete;
  FifoFeeder& operator=(const FifoFeeder&) = delete;

  // Where each piece ends in the bytes.
  static std::vector<std::size_t> piece_ends(std::size_t size,
                                             const std::vector<std::size_t>& pieces) {
    std::vector<std::size_t> ends;
    for (std::size_t at = 0, i = 0; at < size; ++i) {
      at += std::min(pieces[i % pieces.size()], size - at);
      ends.push_back(at);
    }
    return ends;
  }

 private:
  void run() {
    // A reader gone early makes the write fail with EPIPE instead of killing the process.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    const int fd = open_fifo_writer(path_, [this] { return stop_.load(); });
    if (fd < 0) return;
    std::size_t done = 0;
    for (const std::size_t end : piece_ends(bytes_.size(), pieces_)) {
      if (!drained(fd) || !write_all(fd, bytes_.data() + done, end - done)) break;
      done = end;
    }
    ::close(fd);
  }

  // Waits for the reader to take everything in the pipe; false on giving up.
  bool drained(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      int queued = 0;
      if (stop_ || ::ioctl(fd, FIONREAD, &queued) != 0) return false;
      if (queued == 0) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  }

  std::string path_;
  Bytes bytes_;
  std::vector<std::size_t> pieces_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

inline void append_to_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot append to " + path);
}

template <class Event>
IoError expect_error(ReadOutcome<Event> outcome) {
  if (!std::holds_alternative<IoError>(outcome)) {
    ADD_FAILURE() << "expected an I/O error";
    return IoError::unexpected_eof();
  }
  return std::get<IoError>(outcome);
}

template <class Call>
void expect_capacity_overflow(Call&& call) {
  try {
    call();
    ADD_FAILURE() << "expected the fault \"capacity overflow\"";
  } catch (const InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "capacity overflow");
  }
}

// The descriptors open in this process, without the one used to list them.
inline std::set<int> open_descriptors() {
  std::set<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) throw std::runtime_error("cannot list /proc/self/fd");
  const int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd != own) fds.insert(fd);
  }
  ::closedir(dir);
  return fds;
}

// The descriptor through which this process has `path` open, or -1.
inline int descriptor_of(const std::string& path) {
  const auto target = std::filesystem::canonical(path);
  for (const int fd : open_descriptors()) {
    std::error_code ignored;
    if (std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ignored) == target) {
      return fd;
    }
  }
  return -1;
}

// Swaps what stands behind a descriptor, so a reader holding it meets a failing or a fresh file.
inline void replace_descriptor(int fd, const std::string& path, int flags) {
  const int other = ::open(path.c_str(), flags | O_CLOEXEC);
  ASSERT_GE(other, 0) << path;
  ASSERT_EQ(::dup2(other, fd), fd);
  ::close(other);
}

inline constexpr std::size_t kMemoryHeadroom = std::size_t{40} << 20;

// Runs `body` in a forked child whose address space may grow only `headroom` bytes past its
// present size, and returns the child's exit code (128 + signal if it died).
inline int run_with_memory_cap(std::size_t headroom, const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    long pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) _exit(90);
    std::fclose(statm);
    const auto cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) +
                     static_cast<rlim_t>(headroom);
    const rlimit limit{cap, cap};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) _exit(91);
    int code = 92;
    try {
      code = body();
    } catch (const std::bad_alloc&) {
      code = 93;
    } catch (...) {
      code = 94;
    }
    _exit(code);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace pluvo::testing
