// The definition of an extension module of the package: identity, the names bound at load, one
// entry per operation. Each module's table file defines `module_spec`; host/extension.cpp turns
// it into the module the interpreter loads.
#pragma once

#include <span>

#include "host/calls.hpp"

namespace emberscope::host {

/// A number a module binds under its name when loaded: a default that its callers take from
/// the module instead of restating it.
struct Constant {
    const char* name;
    double value;
    const char* text = nullptr;  ///< when set, the constant is this text instead of `value`
};

struct ModuleSpec {
    const char* qualified_name;  ///< "bittensor_emberscope.emberscope"
    const char* short_name;      ///< "emberscope", as the refusal of a second load names it
    const char* doc;
    std::span<const Operation> operations;  ///< in the order they are bound
    /// Binds `Any` and `OWNER_BURN_DECIMALS` after the library modules (the documented module).
    bool documented_names = false;
    /// Imports the host's urllib when loaded (the modules whose services go through it).
    bool host_http = true;
    std::span<const Constant> constants = {};  ///< bound as floats when the module loads
};

/// The module this extension defines (emberscope.cpp or monitor.cpp).
extern const ModuleSpec module_spec;

/// The most operations a module can hold (one entry function each).
inline constexpr std::size_t kMaxOperations = 32;

}  // namespace emberscope::host
