// The files the settings read or look at (the configuration file, secret files, the state
// file's folder), through one interface that tests replace.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace emberscope::config {

/// What a path names, links followed.
enum class FileKind { missing, regular, directory, fifo, socket, character_device, block_device, other };

/// A kind in words for messages: "a FIFO", "a directory", ..., "not a regular file" for one
/// without a name.
std::string_view kind_words(FileKind kind);

/// What reading a regular file found.
struct FileBytes {
    enum class Outcome {
        read,         ///< `bytes` holds up to the limit asked for
        cannot_open,  ///< `reason`: the system's ("No such file or directory")
        not_regular,  ///< `kind` says what is there instead
        cannot_read,  ///< `reason`: the system's
    };
    Outcome outcome = Outcome::read;
    std::string bytes;
    std::string reason;
    FileKind kind = FileKind::regular;

    /// Why there are no bytes, as the host's OSError puts it ("a FIFO, not a regular file").
    std::string why() const;
};

class Files {
public:
    virtual ~Files() = default;
    /// What `path` names; missing when it cannot be looked at.
    virtual FileKind kind(std::string_view path) = 0;
    /// The first `limit` bytes of the regular file `path`. A FIFO or a device is refused
    /// without blocking.
    virtual FileBytes read_regular(std::string_view path, std::size_t limit) = 0;
    /// Creates the folder (mode 0700) and those above it; nullopt when it exists afterwards,
    /// else the system's reason.
    virtual std::optional<std::string> make_folders(std::string_view path) = 0;
    /// The user's home folder from the password database, for a process without HOME; nullopt
    /// when there is none.
    virtual std::optional<std::string> password_home() = 0;
};

/// Files on POSIX.
class PosixFiles final : public Files {
public:
    FileKind kind(std::string_view path) override;
    FileBytes read_regular(std::string_view path, std::size_t limit) override;
    std::optional<std::string> make_folders(std::string_view path) override;
    std::optional<std::string> password_home() override;
};

/// The folder part of `path`, as the host's os.path.dirname gives it ("" for a bare name, "/"
/// for a file at the root, trailing slashes of the folder removed).
std::string folder_of(std::string_view path);

/// `folder` and `name` joined by one slash, as os.path.join joins two parts ("" joins to
/// `name` alone; an absolute `name` stands alone).
std::string joined(std::string_view folder, std::string_view name);

}  // namespace emberscope::config
