// The generator type of modules with generator functions.
#include "internal.hpp"

namespace tarvex {

bool ready_generator_type() noexcept { return true; }

} // namespace tarvex
