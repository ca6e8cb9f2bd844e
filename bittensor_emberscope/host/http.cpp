// HTTP exchanges through the host's urllib.
#include "host/http.hpp"

#include <Python.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "host/module.hpp"

namespace emberscope::host {
namespace {

// The opener of the module's own exchanges: `opener(follow, note)` of the package's
// _http_opener module, imported when first needed and found in sys.modules from then on.
constexpr const char* kOpenerModule = "bittensor_emberscope._http_opener";

Object opener_factory() {
    return Object::steal(PyImport_ImportModule(kOpenerModule)).attr("opener");
}

// The deadline of one exchange. A native thread waits for it and shuts the exchange's sockets
// down when it passes; it never calls into the interpreter. Sockets are held as duplicates, so
// a descriptor the exchange has closed (and the process reused) is never touched.
class Deadline {
public:
    explicit Deadline(double seconds) {
        if (!(seconds > 0)) return;
        state_ = std::make_shared<State>();
        const auto when = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(std::min(seconds, 1e9)));
        // The thread takes no signal: one it took would not interrupt the interpreter's wait for
        // the answer, and a stop would sit out the whole time-out. It inherits the mask of the
        // thread that makes it, so every signal is blocked for that moment.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            thread_ = std::thread([state = state_, when] {
                std::unique_lock lock(state->mutex);
                if (state->wake.wait_until(lock, when, [&] { return state->stopped; })) return;
                state->fired = true;
                for (int fd : state->sockets) ::shutdown(fd, SHUT_RDWR);
            });
        } catch (...) {
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            throw;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
    ~Deadline() { stop(); }

    bool armed() const { return state_ != nullptr; }

    /// Stops the clock; true when the deadline had passed. Idempotent.
    bool stop() {
        if (!state_) return false;
        {
            std::lock_guard lock(state_->mutex);
            state_->stopped = true;
        }
        state_->wake.notify_all();
        if (thread_.joinable()) thread_.join();
        std::lock_guard lock(state_->mutex);
        for (int fd : state_->sockets) ::close(fd);
        state_->sockets.clear();
        return state_->fired;
    }

    /// The callable the opener's connections report their sockets to.
    Object note() const {
        static PyMethodDef def = {"note_socket", reinterpret_cast<PyCFunction>(note_socket), METH_O,
                                  nullptr};
        if (!state_) return none();
        auto* holder = new std::shared_ptr<State>(state_);
        RawObject* capsule = PyCapsule_New(holder, "emberscope.deadline", [](RawObject* c) {
            delete static_cast<std::shared_ptr<State>*>(PyCapsule_GetPointer(c, "emberscope.deadline"));
        });
        if (capsule == nullptr) {
            delete holder;
            throw_pending();
        }
        Object self = Object::steal(capsule);
        return Object::steal(PyCFunction_New(&def, self.ptr()));
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        bool stopped = false;
        bool fired = false;
        std::vector<int> sockets;
    };

    static RawObject* note_socket(RawObject* self, RawObject* fd_object) {
        auto* state = static_cast<std::shared_ptr<State>*>(PyCapsule_GetPointer(self, "emberscope.deadline"));
        if (state == nullptr) return nullptr;
        const long fd = PyLong_AsLong(fd_object);
        if (fd == -1 && PyErr_Occurred()) return nullptr;
        State& s = **state;
        std::lock_guard lock(s.mutex);
        if (s.stopped || fd < 0) Py_RETURN_NONE;
        const int copy = ::dup(static_cast<int>(fd));
        if (copy < 0) return PyErr_SetFromErrno(PyExc_OSError);
        if (s.fired) ::shutdown(copy, SHUT_RDWR);  // a connection opened after the deadline
        s.sockets.push_back(copy);
        Py_RETURN_NONE;
    }

    std::shared_ptr<State> state_;
    std::thread thread_;
};

constexpr std::string_view kDeadlinePassed = "the exchange took longer than its deadline of ";

[[noreturn]] void raise_deadline_passed(double seconds) {
    char text[96];
    std::snprintf(text, sizeof text, "%s%g s", std::string(kDeadlinePassed).c_str(), seconds);
    PyErr_SetString(PyExc_TimeoutError, text);
    throw Error();
}

bool is_host_urlopen(const Object& urlopen) {
    RawObject* module = PyObject_GetAttrString(urlopen.ptr(), "__module__");
    RawObject* name = module == nullptr ? nullptr : PyObject_GetAttrString(urlopen.ptr(), "__qualname__");
    if (name == nullptr) PyErr_Clear();
    const bool own = module != nullptr && name != nullptr && PyUnicode_Check(module) &&
                     PyUnicode_Check(name) &&
                     PyUnicode_CompareWithASCIIString(module, "urllib.request") == 0 &&
                     PyUnicode_CompareWithASCIIString(name, "urlopen") == 0;
    Py_XDECREF(module);
    Py_XDECREF(name);
    return own;
}

struct Bounded {
    Object data;
    bool over = false;
};

// At most `limit` bytes of `stream` (all of it when negative), read piece by piece so that a
// longer body never sits in memory; the stream is closed either way.
Bounded read_bounded_then_close(const Object& stream, std::int64_t limit);

Object urllib_part(const char* submodule, const char* name) {
    return global("urllib").attr(submodule).attr(name);
}

bool is_http_error(const Error& error) { return matches(error, urllib_part("error", "HTTPError")); }

// Closing after a failure must not replace the failure that is on its way out, unless what
// the close raised is a stop (KeyboardInterrupt, SystemExit, a command's own stop): that one
// goes out instead, for a stop that is lost is never sent again.
void close_after_failure(const Object& stream) {
    try {
        stream.attr("close").call();
    } catch (const Error& e) {
        if (!is_exception_family(e)) throw;
    }
}

Bounded read_bounded_then_close(const Object& stream, std::int64_t limit) {
    Bounded out;
    try {
        // The host's responses say how long their body is (None: until the connection ends).
        // A stream without `length` is a stand-in's, whose body is in memory already.
        std::optional<std::int64_t> length;
        bool knows_length = true;
        if (RawObject* l = PyObject_GetAttrString(stream.ptr(), "length")) {
            if (PyLong_CheckExact(l)) length = Object::borrow(l).small_integer();
            Py_DECREF(l);
        } else {
            PyErr_Clear();
            knows_length = false;
        }
        if (limit < 0 || !knows_length || (length && *length <= limit)) {
            out.data = stream.attr("read").call();
            if (limit >= 0 && PyBytes_Check(out.data.ptr()) && PyBytes_GET_SIZE(out.data.ptr()) > limit) {
                out.data = Object::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(out.data.ptr()),
                                                                   static_cast<Py_ssize_t>(limit)));
                out.over = true;
            }
        } else if (length) {
            out.data = Object::steal(PyBytes_FromStringAndSize(nullptr, 0));
            out.over = true;  // announced longer than the limit: nothing of it is read
        } else {
            constexpr std::int64_t kPiece = std::int64_t{1} << 20;
            std::string data;
            const Object read = stream.attr("read");
            for (;;) {
                const std::int64_t want =
                    std::min<std::int64_t>(kPiece, limit + 1 - static_cast<std::int64_t>(data.size()));
                const Object piece = read.call({integer(want)});
                if (!PyBytes_Check(piece.ptr())) throw_result_type_error("bytes", piece);
                const Py_ssize_t n = PyBytes_GET_SIZE(piece.ptr());
                if (n == 0) break;
                data.append(PyBytes_AS_STRING(piece.ptr()), static_cast<std::size_t>(n));
                if (static_cast<std::int64_t>(data.size()) > limit) {
                    out.over = true;
                    data.resize(static_cast<std::size_t>(limit));
                    break;
                }
            }
            out.data = Object::steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
        }
    } catch (const Error&) {
        close_after_failure(stream);
        throw;
    }
    stream.attr("close").call();
    return out;
}

}  // namespace

Object http_request(std::string_view url, const Object& headers) {
    return urllib_part("request", "Request").call({text(url)}, {{"headers", headers}});
}

Object http_request(std::string_view url, const Object& body, const Object& headers,
                    std::string_view method) {
    return urllib_part("request", "Request")
        .call({text(url)}, {{"data", body}, {"headers", headers}, {"method", text(method)}});
}

HttpOutcome http_exchange(const Object& request, const ExchangeOptions& options) {
    Object urlopen = urllib_part("request", "urlopen");
    Deadline deadline(options.deadline_seconds);
    HttpOutcome outcome;
    try {
        Object response;
        try {
            if (is_host_urlopen(urlopen)) {
                const Object opener =
                    opener_factory().call({boolean(options.follow_redirects), deadline.note()});
                response = opener.attr("open").call({request}, {{"timeout", integer(options.timeout_seconds)}});
            } else {
                response = urlopen.call({request}, {{"timeout", integer(options.timeout_seconds)}});
            }
        } catch (const Error& e) {
            if (!is_http_error(e)) throw;
            outcome.http_error = exception_value(e);
        }
        if (outcome.http_error.empty()) {
            if (RawObject* status = PyObject_GetAttrString(response.ptr(), "status")) {
                if (PyLong_CheckExact(status)) outcome.status = Object::borrow(status).small_integer().value_or(0);
                Py_DECREF(status);
            } else {
                PyErr_Clear();
            }
            outcome.response = response;
            Bounded body = read_bounded_then_close(response, options.body_limit);
            outcome.body = std::move(body.data);
            outcome.over_limit = body.over;
        } else if (outcome.http_error.attr("fp").truthy()) {
            Bounded body = read_bounded_then_close(outcome.http_error, options.error_body_limit);
            outcome.error_body = std::move(body.data);
            outcome.error_over_limit = body.over;
        }
    } catch (const Error& e) {
        // Whatever the shut-down connection made the client say, the deadline is the reason.
        if (deadline.stop() && is_exception_family(e)) raise_deadline_passed(options.deadline_seconds);
        throw;
    }
    if (deadline.stop()) raise_deadline_passed(options.deadline_seconds);
    return outcome;
}

bool is_deadline_passed(const Error& error) {
    return matches(error, global("TimeoutError")) && message_of(error).starts_with(kDeadlinePassed);
}

Object decode_utf8(const Object& data) { return data.attr("decode").call({text("utf-8")}); }

}  // namespace emberscope::host
