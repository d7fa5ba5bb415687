// Preloaded in front of the C library: makes read(), readv() and pread() fail with a chosen error
// number on one file, and counts the reads that came back interrupted, so tests can tell that a
// signal hit a read; counts the reads and seeks of that file too.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static ssize_t (*real_read)(int, void*, size_t);
static ssize_t (*real_readv)(int, const struct iovec*, int);
static ssize_t (*real_pread64)(int, void*, size_t, off64_t);
static off64_t (*real_lseek64)(int, off64_t, int);

static dev_t target_dev;
static ino_t target_ino;
static int armed;
static long long from_offset;
static long long remaining;  // failures still to inject; negative: no limit
static long long every = 1;  // fail the first qualifying read and every n-th after it
static long long seen;
static int error_number;

long long pluvo_shim_injected;
long long pluvo_shim_interrupted;
long long pluvo_shim_calls;  // reads of the configured file, failed or not
long long pluvo_shim_seeks;  // lseek() calls on the configured file, but for this shim's own

// Failures start with the first qualifying read; reads on other files are never touched.
void pluvo_shim_configure(unsigned long long dev, unsigned long long ino, long long offset,
                          long long count, long long period, int error) {
  target_dev = (dev_t)dev;
  target_ino = (ino_t)ino;
  from_offset = offset;
  remaining = count;
  every = period > 0 ? period : 1;
  seen = 0;
  error_number = error;
  pluvo_shim_injected = 0;
  pluvo_shim_calls = 0;
  pluvo_shim_seeks = 0;
  armed = 1;
}

void pluvo_shim_disarm(void) { armed = 0; }

static int is_target(int fd) {
  struct stat st;
  return armed && fstat(fd, &st) == 0 && st.st_dev == target_dev && st.st_ino == target_ino;
}

// `offset` is where the read starts; negative for pipes, where every read qualifies.
static int should_fail(off64_t offset) {
  if (remaining == 0) return 0;
  if (offset >= 0 && offset < from_offset) return 0;
  return seen++ % every == 0;
}

// Injects the configured failure; returns 1 when it did.
static int inject(int fd, off64_t offset) {
  if (!is_target(fd)) return 0;
  ++pluvo_shim_calls;
  if (!should_fail(offset)) return 0;
  if (remaining > 0) --remaining;
  ++pluvo_shim_injected;
  if (error_number == EINTR) ++pluvo_shim_interrupted;
  errno = error_number;
  return 1;
}

static off64_t call_lseek64(int fd, off64_t offset, int whence) {
  if (real_lseek64 == NULL) real_lseek64 = (off64_t(*)(int, off64_t, int))dlsym(RTLD_NEXT, "lseek64");
  return real_lseek64(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence) {
  const int saved = errno;
  if (is_target(fd)) ++pluvo_shim_seeks;
  errno = saved;
  return call_lseek64(fd, offset, whence);
}

off_t lseek(int fd, off_t offset, int whence) { return lseek64(fd, offset, whence); }

ssize_t read(int fd, void* buf, size_t count) {
  if (real_read == NULL) real_read = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  const int saved = errno;
  if (inject(fd, call_lseek64(fd, 0, SEEK_CUR))) return -1;
  errno = saved;
  const ssize_t got = real_read(fd, buf, count);
  if (got < 0 && errno == EINTR) ++pluvo_shim_interrupted;
  return got;
}

ssize_t readv(int fd, const struct iovec* parts, int count) {
  if (real_readv == NULL) {
    real_readv = (ssize_t(*)(int, const struct iovec*, int))dlsym(RTLD_NEXT, "readv");
  }
  const int saved = errno;
  if (inject(fd, call_lseek64(fd, 0, SEEK_CUR))) return -1;
  errno = saved;
  const ssize_t got = real_readv(fd, parts, count);
  if (got < 0 && errno == EINTR) ++pluvo_shim_interrupted;
  return got;
}

// The module's pread() is pread64() wherever off_t is narrower.
ssize_t pread64(int fd, void* buf, size_t count, off64_t offset) {
  if (real_pread64 == NULL) {
    real_pread64 = (ssize_t(*)(int, void*, size_t, off64_t))dlsym(RTLD_NEXT, "pread64");
  }
  const int saved = errno;
  if (inject(fd, offset)) return -1;
  errno = saved;
  const ssize_t got = real_pread64(fd, buf, count, offset);
  if (got < 0 && errno == EINTR) ++pluvo_shim_interrupted;
  return got;
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
  return pread64(fd, buf, count, offset);
}
