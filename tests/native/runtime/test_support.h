// Helpers shared by the runtime tests.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "runtime/failure.h"

namespace corvane::testing {

// The text of the InternalFailure that `body` throws, or "(no failure)".
template <class F>
std::string failure_text(F&& body) {
  try {
    body();
  } catch (const InternalFailure& failure) {
    return failure.message();
  }
  return "(no failure)";
}

// Forks; the child runs `body` and leaves with _exit(its result), or is
// killed by an alarm after `seconds` if it hangs. Returns the exit code, or
// 128 + signal number when the child was killed.
inline int run_in_child(const std::function<int()>& body, unsigned seconds = 60) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(seconds);
    int code = 99;
    try {
      code = body();
    } catch (...) {
      code = 98;
    }
    _exit(code);
  }
  if (pid < 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace corvane::testing
