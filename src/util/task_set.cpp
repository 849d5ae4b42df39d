#include "util/task_set.h"

#include "util/debug_text.h"

#include <fmt/format.h>

namespace quorvel {

std::string to_string(const JoinError& error) {
    if (error.kind == JoinError::Kind::Cancelled) {
        return fmt::format("task {} was cancelled", error.id);
    }
    return fmt::format("task {} panicked with message {}", error.id, debug_quoted(error.message));
}

}  // namespace quorvel
