// Host services used by every subsystem: environment, clock, sleep, console, file tests.
//
// Each function looks its service up at call time (see host/module.hpp) and throws host::Error
// with the host's exception unchanged when the service fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace emberscope::host {

/// `os.environ.get(name)`: the variable's text, or nullopt when unset. A value that is not a
/// text raises the "Expected str, got ..." type error.
std::optional<std::string> environment(std::string_view name);

/// `datetime.now(timezone.utc).strftime(pattern)`.
std::string utc_now(std::string_view pattern);

/// `time.sleep(seconds)`.
void sleep(double seconds);

/// `sys.stderr.write(text)`, one call per line.
void write_stderr(std::string_view text);

/// `os.path.isfile(path)`.
bool is_file(std::string_view path);

}  // namespace emberscope::host
