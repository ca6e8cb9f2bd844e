// Whole-file reading and writing through the host's `open`, `json` and `os` at call time.
#pragma once

#include <string_view>

#include "host/object.hpp"

namespace emberscope::host {

/// `json.load` of the file at `path`, opened with `open(path, "r", encoding="utf-8")`. The
/// file is closed on every path out; a failure to close after another failure is dropped, so
/// the first error reaches the caller unchanged.
Object load_json_file(std::string_view path);

/// Replaces the content of the file at `path` by `content` so that the file holds either its
/// old or its new content in full at every moment: `content` goes to a fresh temporary file in
/// the same directory, is forced to disk, and is renamed over the file; the directory is then
/// synced. A symbolic link at `path` stays a link and its target is replaced. An existing
/// file's permission bits are carried over; a new file gets those of an ordinary create.
/// The containing directory must exist. Errors are the host's OSErrors, naming `path` where
/// they name a file; no temporary file is left behind on any failure. A path that exists but
/// is neither a regular file, nor a directory, nor a link to one of those (a pipe, a device, a
/// socket) is refused with an OSError naming `path` before anything is opened.
void replace_file(std::string_view path, std::string_view content);

}  // namespace emberscope::host
