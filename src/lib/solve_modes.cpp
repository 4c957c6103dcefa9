#include "lib/solve_modes.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "runtime/decimal.h"

namespace corvane::py {
namespace {

std::atomic<std::uint64_t> g_solve_calls{0};

bool refuse(const char* name, const char* value, const char* expected) {
  // Environment strings are bytes: shown the way os.environ decodes them.
  PyRef shown = PyRef::steal(PyUnicode_DecodeFSDefault(value));
  if (shown) PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", name, expected, shown.get());
  return false;
}

bool read_seed(SolveModes& modes) {
  const char* value = std::getenv("CORVANE_SEED");
  if (value == nullptr || *value == '\0') return true;
  modes.seed = runtime::parse_unsigned(value);
  if (modes.seed) return true;
  return refuse("CORVANE_SEED", value, "empty or a decimal integer from 0 to 18446744073709551615");
}

bool read_release_gil(SolveModes& modes) {
  const char* value = std::getenv("CORVANE_RELEASE_GIL");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "0") == 0) return true;
  if (std::strcmp(value, "1") == 0) {
    modes.release_gil = true;
    return true;
  }
  return refuse("CORVANE_RELEASE_GIL", value, "empty, 0 or 1");
}

bool read_time_limit(SolveModes& modes) {
  const char* value = std::getenv("CORVANE_TIME_LIMIT");
  if (value == nullptr) return true;
  // An empty value is refused, not taken for unset: it is most likely a
  // limit that a script meant to set and did not.
  const std::optional<double> seconds = runtime::parse_decimal(value);
  if (seconds && *seconds > 0.0) {
    modes.time_limit = seconds;
    return true;
  }
  return refuse("CORVANE_TIME_LIMIT", value, "a positive, finite decimal number of seconds");
}

}  // namespace

std::optional<SolveModes> read_solve_modes() {
  SolveModes modes;
  if (!read_seed(modes) || !read_release_gil(modes) || !read_time_limit(modes)) return std::nullopt;
  return modes;
}

std::uint64_t next_call_number() noexcept { return g_solve_calls.fetch_add(1, std::memory_order_relaxed); }

}  // namespace corvane::py
