#include "runtime/memory_error.h"

#include <sys/sysinfo.h>

#include "runtime/decimal.h"

namespace corvane {

Error not_enough_memory_for(const std::string& what, ByteCount bytes) {
  return Error{ErrorKind::MemoryError, "not enough memory for " + what + " (" + runtime::to_decimal(bytes) + " bytes)"};
}

Error not_enough_memory_for(const std::string& what, ByteCount bytes, const std::string& limit) {
  Error error = not_enough_memory_for(what, bytes);
  if (!limit.empty()) error.message += ": " + limit;
  return error;
}

Error not_enough_memory_to(const std::string& what) {
  return Error{ErrorKind::MemoryError, "not enough memory to " + what};
}

std::string grid_size(std::uint64_t m, std::uint64_t n) { return std::to_string(m) + "×" + std::to_string(n); }

ByteCount memory_and_swap() noexcept {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return ~ByteCount{0};
  return (ByteCount{info.totalram} + info.totalswap) * (info.mem_unit == 0 ? 1 : info.mem_unit);
}

}  // namespace corvane
