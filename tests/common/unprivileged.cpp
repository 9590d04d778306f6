#include "unprivileged.h"

#include "child_process.h"

bool become_nobody() {
  return ::setgid(Unprivileged::kNobody) == 0 && ::setuid(Unprivileged::kNobody) == 0;
}

bool as_nobody(const std::function<bool()>& attack) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (!become_nobody()) ::_exit(2);
    ::_exit(attack() ? 0 : 1);
  }
  return child > 0 && exit_status(child) == 0;
}
