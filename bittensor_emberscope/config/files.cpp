// The settings' files on POSIX.
#include "config/files.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace emberscope::config {
namespace {

FileKind kind_of(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::regular;
    if (S_ISDIR(mode)) return FileKind::directory;
    if (S_ISFIFO(mode)) return FileKind::fifo;
    if (S_ISSOCK(mode)) return FileKind::socket;
    if (S_ISCHR(mode)) return FileKind::character_device;
    if (S_ISBLK(mode)) return FileKind::block_device;
    return FileKind::other;
}

FileBytes failed(FileBytes::Outcome outcome, int number) {
    FileBytes out;
    out.outcome = outcome;
    out.reason = std::strerror(number);
    return out;
}

}  // namespace

std::string_view kind_words(FileKind kind) {
    switch (kind) {
        case FileKind::fifo: return "a FIFO";
        case FileKind::directory: return "a directory";
        case FileKind::socket: return "a socket";
        case FileKind::character_device: return "a character device";
        case FileKind::block_device: return "a block device";
        default: return "not a regular file";
    }
}

std::string FileBytes::why() const {
    if (outcome == Outcome::not_regular) return std::string(kind_words(kind)) + ", not a regular file";
    return reason;
}

FileKind PosixFiles::kind(std::string_view path) {
    struct stat info {};
    if (::stat(std::string(path).c_str(), &info) != 0) return FileKind::missing;
    return kind_of(info.st_mode);
}

FileBytes PosixFiles::read_regular(std::string_view path, std::size_t limit) {
    // Non-blocking, so that opening a FIFO returns at once; the kind is then checked on the
    // descriptor itself.
    const int fd = ::open(std::string(path).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return failed(FileBytes::Outcome::cannot_open, errno);
    FileBytes out;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        out = failed(FileBytes::Outcome::cannot_read, errno);
    } else if (!S_ISREG(info.st_mode)) {
        out.outcome = FileBytes::Outcome::not_regular;
        out.kind = kind_of(info.st_mode);
    } else {
        char chunk[65536];
        while (out.bytes.size() < limit) {
            const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, limit - out.bytes.size()));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                out = failed(FileBytes::Outcome::cannot_read, errno);
                break;
            }
            if (n == 0) break;
            out.bytes.append(chunk, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return out;
}

std::optional<std::string> PosixFiles::make_folders(std::string_view path) {
    const std::string whole(path);
    for (std::size_t slash = whole.find('/', 1); ; slash = whole.find('/', slash + 1)) {
        const std::string part = whole.substr(0, slash);
        // As the host's makedirs: the folders above get the usual mode, the last one 0700.
        const mode_t mode = slash == std::string::npos ? 0700 : 0777;
        if (!part.empty() && ::mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
            return std::string(std::strerror(errno));
        if (slash == std::string::npos) break;
    }
    if (kind(whole) != FileKind::directory) return std::string(std::strerror(ENOTDIR));
    return std::nullopt;
}

std::optional<std::string> PosixFiles::password_home() {
    const struct passwd* entry = ::getpwuid(::getuid());
    if (entry == nullptr || entry->pw_dir == nullptr) return std::nullopt;
    return std::string(entry->pw_dir);
}

std::string folder_of(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return "";
    std::string_view head = path.substr(0, slash + 1);
    if (head.find_first_not_of('/') == std::string_view::npos) return std::string(head);
    while (head.ends_with('/')) head.remove_suffix(1);
    return std::string(head);
}

std::string joined(std::string_view folder, std::string_view name) {
    if (name.starts_with('/') || folder.empty()) return std::string(name);
    std::string out(folder);
    if (!out.ends_with('/')) out += '/';
    out += name;
    return out;
}

}  // namespace emberscope::config
