// The Services of the command's engine: POSIX services with the interpreter's lock released.
#include "host/command_services.hpp"

#include <Python.h>

#include "host/module.hpp"

namespace emberscope::host {
namespace {

// The interpreter's lock for a scope, from a thread that may or may not hold it already.
class WithLock {
public:
    WithLock() : state_(PyGILState_Ensure()) {}
    ~WithLock() { PyGILState_Release(state_); }
    WithLock(const WithLock&) = delete;
    WithLock& operator=(const WithLock&) = delete;

private:
    PyGILState_STATE state_;
};

// True when `function` is still the host's own `time.<name>`.
bool is_own_time_function(const Object& function, const char* name) {
    RawObject* module = PyObject_GetAttrString(function.ptr(), "__module__");
    RawObject* qualname = module == nullptr ? nullptr : PyObject_GetAttrString(function.ptr(), "__qualname__");
    if (qualname == nullptr) PyErr_Clear();
    const bool own = module != nullptr && qualname != nullptr && PyUnicode_Check(module) &&
                     PyUnicode_Check(qualname) &&
                     PyUnicode_CompareWithASCIIString(module, "time") == 0 &&
                     PyUnicode_CompareWithASCIIString(qualname, name) == 0;
    Py_XDECREF(module);
    Py_XDECREF(qualname);
    return own;
}

Object substitute(const char* name) {
    Object function = global("time").attr(name);
    return is_own_time_function(function, name) ? Object() : function;
}

// `sys.stderr` when a program replaced the process's own stream with one of its own.
Object substituted_stderr() {
    Object sys = global("sys");
    Object stream = sys.attr("stderr");
    Object own = sys.attr("__stderr__");
    return stream.ptr() == own.ptr() ? Object() : stream;
}

// Runs `call` with the lock; a host exception it raises goes out as HostRaised.
template <typename F>
auto with_host(F&& call) {
    WithLock lock;
    try {
        return call();
    } catch (Error& e) {
        throw HostRaised(std::move(e));
    }
}

}  // namespace

HostRaised::HostRaised(Error&& error)
    : exc_(Py_NewRef(error.value()), [](RawObject* exc) {
          WithLock lock;
          Py_DECREF(exc);
      }) {}

void HostRaised::restore() const { PyErr_SetRaisedException(Py_NewRef(exc_.get())); }

void CommandServices::check_signals() {
    with_host([] {
        if (PyErr_CheckSignals() < 0) throw_pending();
        return 0;
    });
}

void CommandServices::console(std::string_view line) {
    if (stderr_.empty()) {
        PosixServices::console(line);
        return;
    }
    with_host([&] {
        stderr_.attr("write").call({text(line)});
        return 0;
    });
}

void CommandServices::sleep(double seconds) {
    if (sleep_.empty()) {
        PosixServices::sleep(seconds);
        return;
    }
    with_host([&] {
        sleep_.call({real(seconds)});  // its result is let go while the lock is held
        return 0;
    });
}

double CommandServices::epoch_seconds() {
    if (time_.empty()) return PosixServices::epoch_seconds();
    return with_host([&] { return time_.call().real(); });
}

double CommandServices::monotonic_seconds() {
    if (monotonic_.empty()) return PosixServices::monotonic_seconds();
    return with_host([&] { return monotonic_.call().real(); });
}

bool CommandServices::is_ordinary_error(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const HostRaised& raised) {
        WithLock lock;
        return PyErr_GivenExceptionMatches(raised.value(), PyExc_Exception) != 0;
    } catch (...) {
        return PosixServices::is_ordinary_error(error);
    }
}

std::string CommandServices::error_message(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const HostRaised& raised) {
        return with_host([&] { return Object::borrow(raised.value()).str(); });
    } catch (...) {
        return PosixServices::error_message(error);
    }
}

void CommandServices::rethrow_masked(const std::exception_ptr& error,
                                     std::span<const secrets::Secret> secrets) {
    try {
        std::rethrow_exception(error);
    } catch (const HostRaised& raised) {
        with_host([&]() -> int {
            raised.restore();
            host::rethrow_masked(Error(), secrets);
        });
    } catch (...) {
    }
    PosixServices::rethrow_masked(error, secrets);
}

void CommandServices::run_released(const std::function<void()>& work) {
    sleep_ = substitute("sleep");
    monotonic_ = substitute("monotonic");
    time_ = substitute("time");
    stderr_ = substituted_stderr();
    std::exception_ptr failure;
    without_lock([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    sleep_ = Object();
    monotonic_ = Object();
    time_ = Object();
    stderr_ = Object();
    if (!failure) return;
    try {
        std::rethrow_exception(failure);
    } catch (const HostRaised& raised) {
        raised.restore();
        throw_pending();
    }
}

void without_lock(const std::function<void()>& work) {
    std::exception_ptr failure;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (failure) std::rethrow_exception(failure);
}

void raise_transport_failure(const TransportFailure& failure) {
    const bool deadline = failure.kind == TransportFailure::Kind::deadline;
    PyErr_SetString(deadline ? PyExc_TimeoutError : PyExc_OSError, failure.message.c_str());
    throw_pending();
}

CommandServices& command_services() {
    static CommandServices* instance = new CommandServices;  // lives as long as the process
    return *instance;
}

}  // namespace emberscope::host
