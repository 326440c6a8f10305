#pragma once

#include <string_view>

namespace quintarvel {

// The system log: syslog(3) and standard error. The text is never used as a format.
void systemLog(std::string_view text);

// Logs `text` and ends the process with a failure status: for start-up needs without which
// nothing can work (the support folder, the version entries).
[[noreturn]] void fatalError(std::string_view text);

} // namespace quintarvel
