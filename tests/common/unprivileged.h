// The identity of an unprivileged user ("nobody") for tests that run as
// root: for the rest of a scope (Unprivileged), so that file permissions
// apply to what the scope does, or for good in a child process, as another
// local user (become_nobody, as_nobody).  Directories the scope must
// traverse need to be open to others (for example 0755).
#ifndef EKLOGGER_TESTS_COMMON_UNPRIVILEGED_H_
#define EKLOGGER_TESTS_COMMON_UNPRIVILEGED_H_

#include <unistd.h>

#include <functional>

class Unprivileged {
 public:
  static constexpr uid_t kNobody = 65534;

  Unprivileged() : was_root_(::geteuid() == 0) {
    if (was_root_) dropped_ = ::setegid(kNobody) == 0 && ::seteuid(kNobody) == 0;
  }
  ~Unprivileged() {
    if (was_root_) {
      if (::seteuid(0) != 0 || ::setegid(0) != 0) _exit(99);  // never go on half restored
    }
  }
  Unprivileged(const Unprivileged&) = delete;
  Unprivileged& operator=(const Unprivileged&) = delete;

  // False when running as root and the identity could not be changed.
  bool ok() const { return !was_root_ || dropped_; }

 private:
  const bool was_root_;
  bool dropped_ = false;
};

// In a child process: takes nobody's real and effective identity for good.
// False when it cannot (the test does not run as root).
bool become_nobody();

// Runs attack in a child process of nobody; true when it returned true.
bool as_nobody(const std::function<bool()>& attack);

#endif  // EKLOGGER_TESTS_COMMON_UNPRIVILEGED_H_
