#include "driver/failure.hpp"

#include <new>

namespace cirsharp {

Outcome outcome_of(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const UsageError& e) {
        return {kExitUsage, e.what()};
    } catch (const std::bad_alloc&) {
        return {kExitFailure, "not enough memory for the work buffers"};
    } catch (const std::exception& e) {
        return {kExitFailure, e.what()};
    } catch (...) {
        return {kExitFailure, "an unknown failure"};
    }
}

std::string failure_text(const Outcome& outcome) {
    if (outcome.message.empty()) return "";
    std::string text = "cirsharp: " + outcome.message + '\n';
    if (outcome.status == kExitUsage) text += "Try 'cirsharp --help' for more information.\n";
    return text;
}

}  // namespace cirsharp
