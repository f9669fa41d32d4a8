// How a failure ends the program: every exception the run may raise mapped,
// in this one place, to an exit status and the message for standard error.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace cirsharp {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // a failure during the run
inline constexpr int kExitUsage = 2;    // bad arguments, or paths naming one file

// Wrong arguments, or paths that name one file where they may not.
class UsageError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

struct Outcome {
    int status = kExitSuccess;
    std::string message;  // without "cirsharp: "; empty on success
};

// The outcome of `failure`: UsageError is status 2, anything else status 1.
Outcome outcome_of(const std::exception_ptr& failure);

// Runs `step`; its failure, if any, as an outcome.
template <class Step>
Outcome attempt(Step&& step) {
    try {
        step();
        return {};
    } catch (...) {
        return outcome_of(std::current_exception());
    }
}

// What standard error says of a failed outcome: the message, and for a
// usage error where to read more.
std::string failure_text(const Outcome& outcome);

}  // namespace cirsharp
