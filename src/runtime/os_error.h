// Text of an operating-system error number.
#pragma once

#include <string>

namespace corvane::runtime {

// The system's description of errno `code`, then " (os error <code>)".
std::string os_error_text(int code);

}  // namespace corvane::runtime
