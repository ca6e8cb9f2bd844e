// The chart child.
#include "native/chart_child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

#include "engine/json.hpp"

extern char** environ;

namespace emberscope::native {
namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (::pipe2(fd, O_CLOEXEC) != 0) fd[0] = fd[1] = -1;
    }
    ~Pipe() { close_both(); }
    void close_end(int i) {
        if (fd[i] >= 0) ::close(fd[i]);
        fd[i] = -1;
    }
    void close_both() { close_end(0), close_end(1); }
    bool ok() const { return fd[0] >= 0; }
};

void non_blocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

std::vector<char*> pointers(const std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (const std::string& t : texts) out.push_back(const_cast<char*>(t.c_str()));
    out.push_back(nullptr);
    return out;
}

std::string last_line(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r'))
        text.remove_suffix(1);
    const std::size_t newline = text.rfind('\n');
    return std::string(newline == std::string_view::npos ? text : text.substr(newline + 1));
}

}  // namespace

std::string program_dir() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return "";
    std::string path(buf, static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash == 0 ? 1 : slash);
}

std::optional<std::string> find_interpreter(std::string_view dir) {
    if (dir.empty()) return std::nullopt;
    for (const char* name : {"python3", "python"}) {
        std::string path = std::string(dir) + (dir.back() == '/' ? "" : "/") + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return std::nullopt;
}

std::string chart_document(const bot::Chart& chart) {
    engine::JsonValue doc = engine::JsonValue::make_object();
    doc.set("title", engine::JsonValue::make_text(chart.title));
    engine::JsonValue points;
    points.kind = engine::JsonValue::Kind::array;
    for (const auto& [t, v] : chart.points) {
        engine::JsonValue point;
        point.kind = engine::JsonValue::Kind::array;
        for (double x : {t, v}) {
            engine::JsonValue number;
            number.kind = engine::JsonValue::Kind::real;
            number.real = x;
            point.items.push_back(number);
        }
        points.items.push_back(std::move(point));
    }
    doc.set("points", std::move(points));
    return engine::dump_json(doc);
}

ChildRun run_child(const std::vector<std::string>& argv, const std::vector<std::string>& envp,
                   std::string_view input, double timeout, int cancel_fd, std::size_t max_output) {
    ChildRun run;
    Pipe in, out, err;
    if (!in.ok() || !out.ok() || !err.ok() || argv.empty()) {
        run.failure = std::string("cannot make its pipes: ") + std::strerror(errno);
        return run;
    }
    // Everything the child needs is made before fork: after it, only system calls.
    std::vector<char*> args = pointers(argv), env = pointers(envp);
    // A child that stops reading its input must give this thread EPIPE, not the process SIGPIPE.
    sigset_t pipe_signal, before;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        run.failure = std::string("cannot start it: ") + std::strerror(errno);
        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return run;
    }
    if (pid == 0) {
        // Killed with the thread that started it, even by SIGKILL: no child outlives the program.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::sigprocmask(SIG_SETMASK, &before, nullptr);
        ::dup2(in.fd[0], 0), ::dup2(out.fd[1], 1), ::dup2(err.fd[1], 2);
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
    in.close_end(0), out.close_end(1), err.close_end(1);
    non_blocking(in.fd[1]), non_blocking(out.fd[0]), non_blocking(err.fd[0]);

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(timeout));
    std::size_t written = 0;
    if (input.empty()) in.close_end(1);
    char buf[65536];
    while (out.fd[0] >= 0 || err.fd[0] >= 0) {
        pollfd fds[4];
        nfds_t n = 0;
        auto watch = [&](int fd, short events) { if (fd >= 0) fds[n++] = pollfd{fd, events, 0}; };
        watch(in.fd[1], POLLOUT), watch(out.fd[0], POLLIN), watch(err.fd[0], POLLIN), watch(cancel_fd, POLLIN);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            run.failure = "no picture within " + std::to_string(static_cast<long long>(timeout)) + " s";
            break;
        }
        if (::poll(fds, n, static_cast<int>(std::min<long long>(left, INT_MAX))) < 0 && errno != EINTR) {
            run.failure = std::string("cannot wait for it: ") + std::strerror(errno);
            break;
        }
        bool cancelled = false;
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == cancel_fd) {
                cancelled = true;
            } else if (fds[i].fd == in.fd[1]) {
                const ssize_t w = ::write(in.fd[1], input.data() + written, input.size() - written);
                if (w > 0) written += static_cast<std::size_t>(w);
                if (w < 0 && errno != EAGAIN && errno != EINTR) in.close_end(1);  // it stopped reading
                else if (written == input.size()) in.close_end(1);
            } else {
                const bool is_out = fds[i].fd == out.fd[0];
                const ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
                if (r > 0) {
                    std::string& to = is_out ? run.output : run.error;
                    if (is_out || to.size() < 65536) to.append(buf, static_cast<std::size_t>(r));
                } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    (is_out ? out : err).close_end(0);
                }
            }
        }
        if (cancelled) {
            run.failure = "cancelled";
            break;
        }
        if (run.output.size() > max_output) {
            run.failure = "its picture is over " + std::to_string(max_output) + " bytes";
            break;
        }
    }
    if (!run.failure.empty()) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    const timespec now{0, 0};
    while (::sigtimedwait(&pipe_signal, nullptr, &now) == SIGPIPE) {}  // the one an EPIPE left pending
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (run.failure.empty()) {
        if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
        else run.failure = "ended by signal " + std::to_string(WTERMSIG(status));
    }
    return run;
}

bot::Drawn ChartChild::draw(const bot::Chart& chart) {
    if (!interpreter_) return {bot::Drawn::Kind::unavailable, "", ""};
    std::vector<std::string> env;
    bool has_cache = false;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view e(*entry);
        if (e.starts_with("MPLBACKEND=")) continue;
        if (e.starts_with("MPLCONFIGDIR=") && e.size() > 13) has_cache = true;
        env.emplace_back(e);
    }
    env.emplace_back("MPLBACKEND=Agg");
    if (!has_cache && !cache_dir_.empty()) env.push_back("MPLCONFIGDIR=" + cache_dir_);
    const ChildRun run = run_child({*interpreter_, "-m", "bittensor_emberscope.chart", "-"}, env,
                                   chart_document(chart), timeout_, cancel_fd_, kMaxPicture);
    std::string reason = run.failure;
    if (reason.empty() && run.exit_status != 0) {
        reason = last_line(run.error);
        if (reason.empty()) reason = "exit status " + std::to_string(run.exit_status);
    }
    if (reason.empty() && run.output.empty()) reason = "no picture came";
    if (!reason.empty()) return {bot::Drawn::Kind::failed, "", "the chart could not be drawn: " + reason};
    return {bot::Drawn::Kind::drawn, run.output, ""};
}

}  // namespace emberscope::native
