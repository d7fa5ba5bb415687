// What the core tests share beyond writing files: opening inputs, looking at this process's
// descriptors, and running code under a memory cap.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <variant>

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
