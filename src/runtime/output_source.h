// A source of 64-bit generator outputs: the thread's generator in
// production, scripted values in tests.
#pragma once

#include <cstdint>

namespace corvane {

class OutputSource {
 public:
  virtual ~OutputSource() = default;
  virtual std::uint64_t next_u64() = 0;
};

}  // namespace corvane
