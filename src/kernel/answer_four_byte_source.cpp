// The general path for a source of four-byte code points.
#include "kernel/answer_machines.hpp"

namespace corvane::detail {

CORVANE_ANSWER_FOR_SOURCE(std::uint32_t);

} // namespace corvane::detail
