// The Services of the running module over the interpreter's services.
#include "host/host_services.hpp"

#include <Python.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "common/text.hpp"
#include "common/utf8.hpp"

#include "host/error.hpp"
#include "host/files.hpp"
#include "host/http.hpp"
#include "host/module.hpp"
#include "host/object.hpp"
#include "host/services.hpp"

namespace emberscope::host {
namespace {

std::string bytes_value(const Object& data) {
    char* buffer = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &size) < 0) throw_pending();
    return std::string(buffer, static_cast<std::size_t>(size));
}

std::string text_form(const Object& value) {
    return value.kind() == Kind::text ? value.text() : value.str();
}

// A failed read's file closed; a stop the close raised goes out in place of the failure.
void close_quietly(const Object& file) {
    try {
        file.attr("close").call();
    } catch (const Error& e) {
        if (!is_exception_family(e)) throw;
    } catch (...) {
    }
}

// The body the host's urlencode makes of `form` (then encoded as UTF-8), made here when
// urlencode is the host's own and every field is one it encodes plainly: no repeated names (a
// map keeps the last), no lone surrogates (its strict UTF-8 encoding refuses them). nullopt
// otherwise.
std::optional<std::string> own_form_body(const std::vector<std::pair<std::string, std::string>>& form) {
    for (std::size_t i = 0; i < form.size(); ++i) {
        // Texts reach here as UTF-8 with lone surrogates kept: strict UTF-8 is one without them.
        if (!utf8::is_strict(form[i].first) || !utf8::is_strict(form[i].second)) return std::nullopt;
        for (std::size_t j = 0; j < i; ++j)
            if (form[j].first == form[i].first) return std::nullopt;
    }
    if (!is_own_function(global("urllib").attr("parse"), "urlencode")) return std::nullopt;
    return text::form_encoded(form);
}

Object request_of(const HttpRequest& request) {
    Object headers = new_map();
    for (const auto& [name, value] : request.headers) headers.set(name, text(value));
    if (request.method == "GET" && request.form.empty() && request.body.empty())
        return http_request(request.url, headers);
    Object body;
    if (!request.form.empty()) {
        if (std::optional<std::string> own = own_form_body(request.form))
            return http_request(request.url, bytes(*own), headers, request.method);
        Object fields = new_map();
        for (const auto& [name, value] : request.form) fields.set(name, text(value));
        const Object form = global("urllib").attr("parse").attr("urlencode").call({fields});
        body = form.attr("encode").call({text("utf-8")});
    } else {
        body = bytes(request.body);
    }
    return http_request(request.url, body, headers, request.method);
}

// The headers of a response or an HTTPError, as far as they can be listed; none otherwise.
std::vector<Header> headers_of(const Object& message) {
    std::vector<Header> out;
    try {
        const Object items = message.attr("headers").attr("items").call();
        for (std::size_t i = 0, n = items.size(); i < n; ++i) {
            const Object item = items.at(i);
            out.emplace_back(text_form(item.at(0)), text_form(item.at(1)));
        }
    } catch (const Error& e) {
        if (!is_exception_family(e)) throw;  // a stop is never absorbed
        out.clear();
    }
    return out;
}

// The reason phrase of a response; "OK" for a stand-in's response that carries none.
std::string reason_of(const Object& response) {
    try {
        return text_form(response.attr("reason"));
    } catch (const Error& e) {
        if (!matches(e, global("AttributeError"))) throw;
        return "OK";
    }
}

}  // namespace

std::optional<std::string> HostServices::environment(std::string_view name) {
    return host::environment(name);
}

std::string HostServices::utc_now(std::string_view pattern) { return host::utc_now(pattern); }

double HostServices::epoch_seconds() { return global("time").attr("time").call().real(); }

double HostServices::monotonic_seconds() {
    return global("time").attr("monotonic").call().real();
}

std::string HostServices::boot_id() {
    // Read once: a process lives within one boot.
    static const std::string id = [] {
        std::ifstream file("/proc/sys/kernel/random/boot_id");
        std::string line;
        if (!file || !std::getline(file, line)) return std::string();
        while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
        return line;
    }();
    return id;
}

void HostServices::sleep(double seconds) { host::sleep(seconds); }

void HostServices::console(std::string_view line) { write_stderr(line); }

bool HostServices::is_file(std::string_view path) { return host::is_file(path); }

void HostServices::check_signals() {
    if (PyErr_CheckSignals() < 0) throw_pending();
}

std::optional<std::string> HostServices::read_file(std::string_view path) {
    // Opened as text, as the state file has always been read: invalid UTF-8 raises the
    // host's UnicodeDecodeError, which is not an OSError and so is not absorbed.
    Object file;
    try {
        file = global("open").call({text(path), text("r")}, {{"encoding", text("utf-8")}});
    } catch (const Error& e) {
        if (is_os_error(e)) return std::nullopt;
        throw;
    }
    Object content;
    try {
        content = file.attr("read").call();
    } catch (const Error& e) {
        close_quietly(file);
        if (is_os_error(e)) return std::nullopt;
        throw;
    } catch (...) {
        close_quietly(file);
        throw;
    }
    file.attr("close").call();
    if (content.kind() != Kind::text) throw_result_type_error("str", content);
    return content.text();
}

FileText HostServices::read_text_file(std::string_view path) {
    // An OSError becomes `unreadable` (`missing` for a file not found), a decoding refusal
    // `not_utf8`; anything else goes on its way.
    auto failed = [&](const Error& e) -> FileText {
        if (matches(e, global("FileNotFoundError"))) return {FileText::Kind::missing, "", nullptr};
        if (is_os_error(e))
            return {FileText::Kind::unreadable, message_of(e), std::current_exception()};
        if (matches(e, global("UnicodeDecodeError")))
            return {FileText::Kind::not_utf8, message_of(e), std::current_exception()};
        throw;
    };
    try {
        const Object status = global("os").attr("stat").call({text(path)});
        const std::int64_t mode = status.attr("st_mode").small_integer().value_or(0);
        if (S_ISDIR(mode)) return {FileText::Kind::unreadable, "a directory, not a file", nullptr};
        if (!S_ISREG(mode)) return {FileText::Kind::unreadable, "not a regular file", nullptr};
    } catch (const Error& e) {
        return failed(e);
    }
    Object file;
    try {
        file = global("open").call({text(path), text("r")}, {{"encoding", text("utf-8")}});
    } catch (const Error& e) {
        return failed(e);
    }
    Object content;
    try {
        content = file.attr("read").call();
    } catch (const Error& e) {
        close_quietly(file);
        return failed(e);
    } catch (...) {
        close_quietly(file);
        throw;
    }
    try {
        file.attr("close").call();
    } catch (const Error& e) {
        return failed(e);
    }
    if (content.kind() != Kind::text) throw_result_type_error("str", content);
    return {FileText::Kind::text, content.text(), nullptr};
}

void HostServices::replace_file(std::string_view path, std::string_view content) {
    host::replace_file(path, content);
}

void HostServices::rename_file(std::string_view from, std::string_view to) {
    global("os").attr("replace").call({text(from), text(to)});
}

void HostServices::remove_file(std::string_view path) {
    try {
        global("os").attr("unlink").call({text(path)});
    } catch (const Error& e) {
        if (!matches(e, global("FileNotFoundError"))) throw;
    }
}

namespace {

// A limit of the services (no limit: the largest size) as the exchange takes it (negative: none).
std::int64_t exchange_limit(std::size_t bytes) {
    return bytes >= static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max())
               ? -1
               : static_cast<std::int64_t>(bytes);
}

// http.client's errors about the answer itself: cut off after its headers (IncompleteRead, a
// broken chunk too), a status line or header that is not HTTP. Reset and closed connections are
// OSErrors already; its other errors (a URL it refuses, a connection misused) are not the
// server's doing and stay errors.
bool is_protocol_error(const Error& error) {
    const Object client = Object::steal(PyImport_ImportModule("http.client"));
    for (const char* name : {"IncompleteRead", "BadStatusLine", "LineTooLong", "UnknownProtocol",
                             "UnknownTransferEncoding"})
        if (matches(error, client.attr(name))) return true;
    return false;
}

}  // namespace

HttpAnswer HostServices::http(const HttpRequest& request) {
    const Object host_request = request_of(request);
    ExchangeOptions options;
    options.timeout_seconds = static_cast<std::int64_t>(request.timeout_seconds);
    options.body_limit = exchange_limit(request.max_body_bytes);
    options.error_body_limit = exchange_limit(request.max_error_body_bytes);
    options.follow_redirects = request.redirects != Redirects::none;
    options.deadline_seconds = request.deadline_seconds;
    HttpAnswer answer;
    HttpOutcome outcome;
    try {
        outcome = http_exchange(host_request, options);
    } catch (const Error& e) {
        const bool deadline = is_deadline_passed(e);
        const bool cut_off = !deadline && !is_os_error(e) && request.protocol_errors_fail &&
                             is_protocol_error(e);
        if (!deadline && !cut_off && !is_os_error(e)) throw;
        TransportFailure failure;
        failure.kind = deadline  ? TransportFailure::Kind::deadline
                       : cut_off ? TransportFailure::Kind::cut_off
                                 : TransportFailure::Kind::os_error;
        failure.message = message_of(e);
        failure.original = std::current_exception();
        answer.failure = std::move(failure);
        return answer;
    }
    if (outcome.http_error.empty()) {
        // A stand-in's response may carry no status: it is a success all the same.
        answer.status = outcome.status > 0 ? static_cast<int>(outcome.status) : 200;
        answer.reason = reason_of(outcome.response);
        answer.headers = headers_of(outcome.response);
        answer.body = bytes_value(outcome.body);
        answer.body_over_limit = outcome.over_limit;
        return answer;
    }
    const Object& error = outcome.http_error;
    const std::optional<std::int64_t> code = error.attr("code").small_integer();
    answer.status = code ? static_cast<int>(*code) : 0;
    answer.reason = text_form(error.attr("reason"));
    answer.headers = headers_of(error);
    if (outcome.error_body) answer.body = bytes_value(*outcome.error_body);
    answer.body_over_limit = outcome.error_over_limit;
    return answer;
}

bool HostServices::is_ordinary_error(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return is_exception_family(e);
    } catch (...) {
        return true;
    }
}

std::string HostServices::error_message(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return message_of(e);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

void HostServices::rethrow_masked(const std::exception_ptr& error,
                                  std::span<const secrets::Secret> secrets) {
    try {
        std::rethrow_exception(error);
    } catch (Error& e) {
        host::rethrow_masked(std::move(e), secrets);
    }
}

Object bytes(std::string_view data) {
    return Object::steal(
        PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

Services& services() {
    static HostServices instance;
    return instance;
}

}  // namespace emberscope::host
