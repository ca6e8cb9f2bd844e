// HTTP exchanges through the host's urllib, looked up at call time so a substitute is used.
//
// An exchange either yields the body of a success response or the host's HTTPError for any
// other final status; every other failure (transport, time-out, a URL the client refuses) is
// thrown unchanged. Responses are closed on every path, and closing never hides the error that
// is already on its way out.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "host/error.hpp"
#include "host/object.hpp"

namespace emberscope::host {

/// `urllib.request.Request(url, headers=headers)`: a GET without body.
Object http_request(std::string_view url, const Object& headers);

/// `urllib.request.Request(url, data=body, headers=headers, method=method)`.
Object http_request(std::string_view url, const Object& body, const Object& headers,
                    std::string_view method);

/// The outcome of one exchange: exactly one of the two handles is set.
struct HttpOutcome {
    Object body;        ///< the whole body (bytes) of a success response
    Object http_error;  ///< the host's HTTPError for any other final status, body not yet read
};

/// `urllib.request.urlopen(request, timeout=timeout_seconds)`, then the success body read
/// whole and the response closed. An HTTPError is returned; every other failure is thrown.
HttpOutcome http_exchange(const Object& request, std::int64_t timeout_seconds);

/// The body (bytes) of an HTTPError read whole, or nullopt when it carries no body stream
/// (its `fp` is empty). The error's stream is closed afterwards.
std::optional<Object> read_error_body(const Object& http_error);

/// `data.decode("utf-8")`: strict, the host's UnicodeDecodeError thrown for invalid bytes.
Object decode_utf8(const Object& data);

/// Throws `error` again with its message rewritten: when `rewrite` changes the message, an
/// exception of the same class is raised in its place, built from the rewritten arguments (or
/// from the rewritten message alone, falling back to the nearest base class that accepts it),
/// and nothing of the original is chained to it. Otherwise `error` itself is thrown.
[[noreturn]] void rethrow_rewritten(Error&& error,
                                    const std::function<std::string(const std::string&)>& rewrite);

}  // namespace emberscope::host
