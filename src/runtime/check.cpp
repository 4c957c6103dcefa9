#include "runtime/check.h"

#include <string>
#include <string_view>

namespace corvane {

void check_failed(const char* what, const char* file, int line) {
  // The path from the source tree on (src/...), as the code base names its files.
  std::string_view path(file);
  if (const std::size_t at = path.rfind("/src/"); at != std::string_view::npos) path.remove_prefix(at + 1);
  fail(std::string("check failed: ") + what + " at " + std::string(path) + ":" + std::to_string(line));
}

}  // namespace corvane
