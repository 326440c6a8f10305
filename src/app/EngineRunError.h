#pragma once

#include <stdexcept>
#include <string>

namespace quintarvel {

// What `SolverDelegate::run` throws when an engine program did not end well. The text is
// the red line the run logged.
class EngineRunError : public std::runtime_error {
  public:
    enum class Case {
        aborted,    // ended with status 15: SIGTERM from abort, or exit code 15
        terminated, // ended with any other non-zero status
        notStarted, // refused name, no such program, or the start failed
    };

    EngineRunError(Case errorCase, const std::string &text)
        : std::runtime_error(text), case_(errorCase) {}

    Case errorCase() const { return case_; }
    // "aborted", "terminated" or "not started".
    const char *domain() const;
    int code() const { return 0; }

  private:
    Case case_;
};

} // namespace quintarvel
