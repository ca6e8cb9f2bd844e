// The module's definition: identity, the names bound at load, one entry per operation.
#pragma once

#include <span>

#include "host/calls.hpp"

namespace emberscope::host {

/// The operations of the module, in the order of their table (emberscope.cpp).
extern const std::span<const Operation> module_operations;

/// The most operations the module can hold (one entry function each).
inline constexpr std::size_t kMaxOperations = 32;

}  // namespace emberscope::host
