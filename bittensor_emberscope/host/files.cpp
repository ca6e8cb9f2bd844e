// Whole-file reading and writing through the host's `open`, `json` and `os` at call time.
#include "host/files.hpp"

#include <Python.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "common/temp_names.hpp"
#include "host/error.hpp"
#include "host/json.hpp"
#include "host/module.hpp"

namespace emberscope::host {
namespace {

// Permissions asked for on create; the process umask takes its bits away as for any create.
constexpr std::int64_t kCreateMode = 0666;

struct OpenFlags {
    std::int64_t read_only, write_only, create, exclusive, truncate, close_on_exec;
};

std::int64_t flag(const Object& os, const char* name) {
    return os.attr(name).small_integer().value_or(0);
}

OpenFlags open_flags(const Object& os) {
    return {flag(os, "O_RDONLY"), flag(os, "O_WRONLY"), flag(os, "O_CREAT"),
            flag(os, "O_EXCL"),   flag(os, "O_TRUNC"),  flag(os, "O_CLOEXEC")};
}

Object bytes(std::string_view data) {
    return Object::steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

// Clean-up steps drop the host's operating-system errors only: anything else (an exception
// raised by a signal handler, an interrupt) goes on its way at once.
void drop_os_error(Error& e) {
    if (!is_os_error(e)) throw std::move(e);
}

void close_file_quietly(const Object& file) {
    try {
        file.attr("close").call();
    } catch (Error& e) {
        drop_os_error(e);
    }
}

void close_fd_quietly(const Object& os, const Object& fd) {
    if (fd.empty()) return;
    try {
        os.attr("close").call({fd});
    } catch (Error& e) {
        drop_os_error(e);
    }
}

// Closes a descriptor whose failure to close is an error of the write (deferred write-back
// errors surface here on some file systems). The descriptor is released either way.
void close_fd(const Object& os, Object& fd) {
    Object open_fd = std::exchange(fd, Object());
    os.attr("close").call({open_fd});
}

// An OSError that names a file (the temporary one, or the resolved path) is raised again as the
// same error naming `path`, the file the caller asked for. Other errors return untouched.
void rename_os_error(const Error& error, std::string_view path) {
    if (!is_os_error(error)) return;
    Object exc = exception_value(error);
    Object filename = exc.attr("filename");
    Object number = exc.attr("errno");
    Object message = exc.attr("strerror");
    if (filename.is_null() || number.kind() != Kind::integer || message.kind() != Kind::text) return;
    Object renamed = global("OSError").call({number, message, text(path)});
    PyErr_SetRaisedException(renamed.release());
    throw Error();
}

void write_all(const Object& os, const Object& fd, std::string_view content) {
    Object write = os.attr("write");
    std::size_t done = 0;
    while (done < content.size()) {
        const std::size_t left = content.size() - done;
        std::optional<std::int64_t> n = write.call({fd, bytes(content.substr(done))}).small_integer();
        if (!n || *n <= 0 || static_cast<std::uint64_t>(*n) > left) {
            // A write that makes no progress would loop for ever.
            Object strerror = os.attr("strerror").call({integer(EIO)});
            PyErr_SetRaisedException(global("OSError").call({integer(EIO), strerror}).release());
            throw Error();
        }
        done += static_cast<std::size_t>(*n);
    }
}

// The mode of the file at `target` (links followed), or nullopt when nothing is there.
std::optional<std::int64_t> existing_mode(const Object& os, const Object& target,
                                          std::string_view path) {
    try {
        return os.attr("stat").call({target}).attr("st_mode").small_integer();
    } catch (Error& e) {
        if (matches(e, global("FileNotFoundError"))) return std::nullopt;
        rename_os_error(e, path);
        throw;
    }
}

// Truncates and writes `file` where it is: for paths that are not regular files, where a
// rename would replace the device or pipe itself, and for paths without a file name, whose
// open fails with the reason a plain write would give.
void write_in_place(const Object& os, const OpenFlags& f, const Object& file,
                    std::string_view content, std::string_view path) {
    Object fd;
    try {
        const std::int64_t flags = f.write_only | f.create | f.truncate | f.close_on_exec;
        fd = os.attr("open").call({file, integer(flags), integer(kCreateMode)});
        write_all(os, fd, content);
        close_fd(os, fd);
    } catch (Error& e) {
        close_fd_quietly(os, fd);
        rename_os_error(e, path);
        throw;
    } catch (...) {
        close_fd_quietly(os, fd);
        throw;
    }
}

// Makes the rename itself durable. The new content is in place already, so a directory that
// cannot be opened or synced (some file systems refuse) does not turn the save into a failure.
void sync_directory(const Object& os, const OpenFlags& f, const Object& directory) {
    Object fd;
    try {
        fd = os.attr("open").call({directory, integer(f.read_only | f.close_on_exec)});
        os.attr("fsync").call({fd});
    } catch (Error& e) {
        close_fd_quietly(os, fd);
        if (is_os_error(e)) return;
        throw;
    }
    close_fd_quietly(os, fd);
}

// Removes the temporary files of `base` that a process killed in the middle of a save left
// behind. A file whose writer may still be running (this process, or a process that exists) is
// left alone; no operating-system error here fails the save, but a signal's exception does.
void remove_abandoned_temporaries(const Object& os, const Object& directory,
                                  std::string_view base) {
    try {
        const std::int64_t self = os.attr("getpid").call().small_integer().value_or(-1);
        const Object names = os.attr("listdir").call({directory});
        const Object kill = os.attr("kill");
        const Object join = os.attr("path").attr("join");
        for (std::size_t i = 0, n = names.size(); i < n; ++i) {
            const Object name = names.at(i);
            if (name.kind() != Kind::text) continue;
            const std::optional<std::int64_t> pid = temp_names::writer(name.text(), base);
            if (!pid || *pid == self || *pid <= 0) continue;
            try {
                kill.call({integer(*pid), integer(0)});
                continue;  // the writer exists
            } catch (Error& e) {
                drop_os_error(e);
                if (!matches(e, global("ProcessLookupError"))) continue;
            }
            try {
                os.attr("unlink").call({join.call({directory, name})});
            } catch (Error& e) {
                drop_os_error(e);
            }
        }
    } catch (Error& e) {
        drop_os_error(e);
    }
}

}  // namespace

Object load_json_file(std::string_view path) {
    Object file = global("open").call({text(path), text("r")}, {{"encoding", text("utf-8")}});
    Object document;
    try {
        document = json_load(file);
    } catch (...) {
        close_file_quietly(file);
        throw;
    }
    file.attr("close").call();
    return document;
}

void replace_file(std::string_view path, std::string_view content) {
    Object os = global("os");
    Object os_path = os.attr("path");
    const OpenFlags f = open_flags(os);

    const std::string given_base = os_path.attr("basename").call({text(path)}).text();
    if (given_base.empty() || given_base == "." || given_base == "..") {
        write_in_place(os, f, text(path), content, path);
        return;
    }
    Object target = os_path.attr("realpath").call({text(path)});
    const std::optional<std::int64_t> mode = existing_mode(os, target, path);
    if (mode && (*mode & S_IFMT) == S_IFDIR) {
        write_in_place(os, f, target, content, path);  // fails as a plain write would
        return;
    }
    if (mode && (*mode & S_IFMT) != S_IFREG) {
        // A pipe would block the save until a reader comes, a device or a socket would take the
        // state somewhere it cannot be read back: refused before anything is opened.
        Object error = global("OSError").call(
            {integer(EINVAL), text("Not a regular file"), text(path)});
        PyErr_SetRaisedException(error.release());
        throw Error();
    }

    Object parts = os_path.attr("split").call({target});
    Object directory = parts.at(0);
    const std::string base = parts.at(1).text();
    remove_abandoned_temporaries(os, directory, base);
    const std::string token = os.attr("urandom").call({integer(8)}).attr("hex").call().text();
    const std::int64_t pid = os.attr("getpid").call().small_integer().value_or(0);
    Object temp = os_path.attr("join").call({directory, text(temp_names::make(base, pid, token))});

    Object fd;
    try {
        const std::int64_t flags = f.write_only | f.create | f.exclusive | f.close_on_exec;
        fd = os.attr("open").call({temp, integer(flags), integer(kCreateMode)});
    } catch (Error& e) {
        rename_os_error(e, path);
        throw;
    }
    auto discard = [&]() {
        close_fd_quietly(os, fd);
        try {
            os.attr("unlink").call({temp});
        } catch (Error& e) {
            drop_os_error(e);
        }
    };
    try {
        if (mode) os.attr("fchmod").call({fd, integer(*mode & 07777)});
        write_all(os, fd, content);
        os.attr("fsync").call({fd});
        close_fd(os, fd);
        os.attr("replace").call({temp, target});
    } catch (Error& e) {
        discard();
        rename_os_error(e, path);
        throw;
    } catch (...) {
        discard();
        throw;
    }
    sync_directory(os, f, directory);
}

}  // namespace emberscope::host
