// Whole-file reading and atomic replacement on POSIX.
#include "native/posix_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "burns/repr.hpp"
#include "common/temp_names.hpp"
#include "common/utf8.hpp"

namespace emberscope::native {
namespace {

constexpr mode_t kCreateMode = 0666;

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    /// Closes it; the error of the close (a write-back failure) is the caller's.
    int close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd);
    }

private:
    int fd_;
};


void write_all(int fd, std::string_view content, std::string_view path) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw OsError(errno, path);
        }
        if (n == 0) throw OsError(EIO, path);  // no progress would loop for ever
        done += static_cast<std::size_t>(n);
    }
}

void write_in_place(const std::string& file, std::string_view content, std::string_view path) {
    Descriptor fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kCreateMode));
    if (fd.get() < 0) throw OsError(errno, path);
    write_all(fd.get(), content, path);
    if (fd.close() != 0) throw OsError(errno, path);
}

void sync_directory(const std::string& directory) {
    Descriptor fd(::open(directory.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() >= 0) ::fsync(fd.get());  // some file systems refuse: the content is in place
}

// Temporary files of `base` whose writer no longer runs.
void remove_abandoned_temporaries(const std::string& directory, std::string_view base) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(dir)) {
        const std::optional<std::int64_t> pid = temp_names::writer(entry->d_name, base);
        if (!pid || *pid == self || *pid <= 0 || *pid > INT_MAX) continue;
        if (::kill(static_cast<pid_t>(*pid), 0) == 0 || errno != ESRCH) continue;
        ::unlink((directory + "/" + entry->d_name).c_str());
    }
    ::closedir(dir);
}

std::string random_token() {
    unsigned char bytes[8];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw OsError(errno, "");
        }
        got += static_cast<std::size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 0xF];
    }
    return token;
}

std::string decode_error_text(std::string_view bytes, std::size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char lead = p[at];
    const char* reason = "invalid start byte";
    if (lead >= 0xC2 && lead <= 0xF4) {
        const std::size_t want = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        bool truncated = true;
        for (std::size_t i = 1; i < want && truncated; ++i)
            if (at + i < bytes.size() && (p[at + i] & 0xC0) != 0x80) truncated = false;
        reason = truncated && at + want > bytes.size() ? "unexpected end of data"
                                                       : "invalid continuation byte";
    }
    char text[128];
    std::snprintf(text, sizeof text, "'utf-8' codec can't decode byte 0x%02x in position %zu: %s",
                  lead, at, reason);
    return text;
}

}  // namespace

OsError::OsError(int number, std::string_view path)
    : std::runtime_error("[Errno " + std::to_string(number) + "] " + std::strerror(number) +
                         (path.empty() ? std::string() : ": " + burns::repr(path))),
      number_(number) {}


std::string fs_path(std::string_view path) {
    // A name byte that is not UTF-8 reaches here as the lone surrogate U+DC80..U+DCFF the
    // interpreter decoded it to (encoded ED B2 80 .. ED B3 BF); it goes back to its byte.
    std::string bytes;
    bytes.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto b = [&](std::size_t k) { return static_cast<unsigned char>(path[k]); };
        if (b(i) == 0xED && i + 2 < path.size() && (b(i + 1) == 0xB2 || b(i + 1) == 0xB3) &&
            (b(i + 2) & 0xC0) == 0x80) {
            bytes += static_cast<char>(0x80 | ((b(i + 1) & 0x01) << 6) | (b(i + 2) & 0x3F));
            i += 2;
        } else {
            bytes += path[i];
        }
    }
    return bytes;
}

bool is_regular_file(std::string_view path) {
    struct stat st {};
    return ::stat(fs_path(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

FileText read_text(std::string_view path_view) {
    const std::string path = fs_path(path_view);
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) return {FileText::Kind::missing, "", nullptr};
        return {FileText::Kind::unreadable, OsError(errno, path_view).what(), nullptr};
    }
    if (S_ISDIR(status.st_mode)) return {FileText::Kind::unreadable, "a directory, not a file", nullptr};
    // A pipe or a device at the path would block the read or never end it.
    if (!S_ISREG(status.st_mode)) return {FileText::Kind::unreadable, "not a regular file", nullptr};
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno == ENOENT) return {FileText::Kind::missing, "", nullptr};
        return {FileText::Kind::unreadable, OsError(errno, path_view).what(), nullptr};
    }
    std::string data;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {FileText::Kind::unreadable, OsError(errno, path_view).what(), nullptr};
        }
        if (n == 0) break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    if (!utf8::is_strict(data)) {
        std::size_t at = 0;
        while (at < data.size()) {
            const auto* p = reinterpret_cast<const unsigned char*>(data.data());
            const std::size_t n =
                p[at] < 0x80 ? 1 : utf8::strict_sequence_length(p + at, p + data.size());
            if (n == 0) break;
            at += n;
        }
        return {FileText::Kind::not_utf8, decode_error_text(data, at), nullptr};
    }
    if (data.find('\r') == std::string::npos) return {FileText::Kind::text, std::move(data), nullptr};
    std::string text;
    text.reserve(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != '\r') {
            text += data[i];
        } else {
            text += '\n';
            if (i + 1 < data.size() && data[i + 1] == '\n') ++i;
        }
    }
    return {FileText::Kind::text, std::move(text), nullptr};
}

std::optional<std::string> read_text_file(std::string_view path) {
    FileText read = read_text(path);
    switch (read.kind) {
        case FileText::Kind::text:
            return std::move(read.text);
        case FileText::Kind::not_utf8:
            throw DecodeError(read.text);
        default:
            return std::nullopt;
    }
}

std::string boot_id() {
    // Read once: a process lives within one boot.
    static const std::string id = [] {
        Descriptor fd(::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) return std::string();
        char buffer[64];
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        std::string line(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
        return line;
    }();
    return id;
}

void replace_file_atomically(std::string_view path_view, std::string_view content,
                             const std::function<void()>& between_steps) {
    const std::string path = fs_path(path_view);
    const std::size_t slash = path.rfind('/');
    const std::string given_base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (given_base.empty() || given_base == "." || given_base == "..") {
        write_in_place(path, content, path_view);
        return;
    }
    // The file a link points to is replaced, not the link.
    std::string target = path;
    if (std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free); real) {
        target = real.get();
    } else if (errno == ENOENT) {
        // A new file: its directory resolved, its own name as given.
        const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        std::unique_ptr<char, decltype(&std::free)> real_dir(::realpath(dir.c_str(), nullptr), &std::free);
        if (!real_dir) throw OsError(errno, path_view);
        target = std::string(real_dir.get()) + (std::string_view(real_dir.get()) == "/" ? "" : "/") + given_base;
    } else {
        throw OsError(errno, path_view);
    }

    struct stat st {};
    std::optional<mode_t> mode;
    if (::stat(target.c_str(), &st) == 0) mode = st.st_mode;
    else if (errno != ENOENT) throw OsError(errno, path_view);
    if (mode && S_ISDIR(*mode)) {
        write_in_place(target, content, path_view);  // fails as a plain write would
        return;
    }
    if (mode && !S_ISREG(*mode)) {
        // A pipe would block the save until a reader comes, a device or a socket would take the
        // state somewhere it cannot be read back.
        throw std::runtime_error("[Errno " + std::to_string(EINVAL) + "] Not a regular file: " +
                                 burns::repr(path_view));
    }

    const std::size_t cut = target.rfind('/');
    const std::string directory = cut == 0 ? "/" : target.substr(0, cut);
    const std::string base = target.substr(cut + 1);
    remove_abandoned_temporaries(directory, base);
    if (between_steps) between_steps();  // a slow clean-up may have outlasted a stop
    const std::string temp = directory + (directory == "/" ? "" : "/") +
                             temp_names::make(base, ::getpid(), random_token());

    Descriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kCreateMode));
    if (fd.get() < 0) throw OsError(errno, path_view);
    try {
        if (mode && ::fchmod(fd.get(), *mode & 07777) != 0) throw OsError(errno, path_view);
        write_all(fd.get(), content, path_view);
        if (::fsync(fd.get()) != 0) throw OsError(errno, path_view);
        if (fd.close() != 0) throw OsError(errno, path_view);
        if (between_steps) between_steps();
        if (::rename(temp.c_str(), target.c_str()) != 0) throw OsError(errno, path_view);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
    sync_directory(directory);
}

void rename_path(std::string_view from, std::string_view to) {
    if (::rename(fs_path(from).c_str(), fs_path(to).c_str()) != 0) throw OsError(errno, from);
}

void remove_path(std::string_view path) {
    if (::unlink(fs_path(path).c_str()) != 0 && errno != ENOENT) throw OsError(errno, path);
}

}  // namespace emberscope::native
