// The module's namespace as seen from inside a call.
//
// Host services are looked up by their module-level names when they are used ("time", then its
// "sleep"), exactly as a Python module's code would, so a substitute installed on the module
// or on the host library is what runs.
#pragma once

#include "host/object.hpp"

namespace emberscope::host {

/// Makes `module` the namespace of the operations running on this thread until destroyed.
class CallScope {
public:
    explicit CallScope(RawObject* module);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    RawObject* previous_;
};

/// The value a global name has now: the module's own binding, else the builtin of that name.
/// An unknown name raises the host's NameError.
Object global(const char* name);

}  // namespace emberscope::host
