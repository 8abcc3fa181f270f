#pragma once

// A library that writes to a socket with write(2) (hiredis, OpenSSL) would end the process with
// SIGPIPE when the peer has gone. This blocks SIGPIPE on the calling thread for its lifetime and
// swallows one raised meanwhile.

#include <signal.h>

#include <cerrno>
#include <ctime>

namespace quillbox {

class SigpipeBlocked {
 public:
  SigpipeBlocked() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
  }
  SigpipeBlocked(const SigpipeBlocked&) = delete;
  SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;
  ~SigpipeBlocked() {
    if (!wasPending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        timespec zero{0, 0};
        while (sigtimedwait(&pipe_, nullptr, &zero) == -1 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }

 private:
  sigset_t pipe_;
  sigset_t previous_;
  bool wasPending_ = false;
};

}  // namespace quillbox
