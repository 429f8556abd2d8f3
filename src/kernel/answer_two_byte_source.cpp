// The general path for a source of two-byte code points.
#include "kernel/answer_machines.hpp"

namespace corvane::detail {

CORVANE_ANSWER_FOR_SOURCE(std::uint16_t);

} // namespace corvane::detail
