#include "runtime/os_error.h"

#include <cstring>

namespace corvane::runtime {

std::string os_error_text(int code) {
  char buffer[256];
  // The GNU strerror_r returns the text, which need not be in `buffer`.
  const char* description = strerror_r(code, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(code) + ")";
}

}  // namespace corvane::runtime
