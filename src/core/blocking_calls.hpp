// What the input does around system calls that may wait (the open of a FIFO, a read from a slow
// device): the Python layer lets other threads run meanwhile and runs signal handlers when a call
// is interrupted. The core knows nothing of Python; without hooks, interrupted calls are retried.
#pragma once

namespace pluvo {

class BlockingCalls {
 public:
  // Called before a system call that may wait; what it returns goes to after_wait().
  virtual void* before_wait() noexcept = 0;
  virtual void after_wait(void* token) noexcept = 0;
  // Called when a call failed with EINTR: true retries it, false gives it up with
  // IoError::cancelled(), for the hook has an error of its own to report.
  virtual bool resume_after_interrupt() noexcept = 0;

 protected:
  // Never destroyed through this interface: the hooks outlive every input that uses them.
  BlockingCalls() = default;
  BlockingCalls(const BlockingCalls&) = default;
  BlockingCalls& operator=(const BlockingCalls&) = default;
  BlockingCalls(BlockingCalls&&) = default;
  BlockingCalls& operator=(BlockingCalls&&) = default;
  ~BlockingCalls() = default;
};

}  // namespace pluvo
