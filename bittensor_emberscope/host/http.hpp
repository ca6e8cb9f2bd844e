// HTTP exchanges through the host's urllib, looked up at call time so a substitute is used.
//
// An exchange either yields the body of a success response or the host's HTTPError for any
// other final status; every other failure (transport, time-out, a URL the client refuses) is
// thrown unchanged. Responses are closed on every path, and closing never hides the error that
// is already on its way out.
#pragma once

#include <cstdint>
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
    Object http_error;  ///< the host's HTTPError for any other final status
    /// The success body was longer than its limit (`body` holds the part
    /// read, the connection is closed).
    bool over_limit = false;
    /// The error's body, read within the exchange (nullopt when it carries
    /// none), and whether it was longer than its limit.
    std::optional<Object> error_body;
    bool error_over_limit = false;
    /// The status of a success response (0 when it has none), and the response itself (closed;
    /// its reason and headers can still be read).
    std::int64_t status = 0;
    Object response;
};

/// How one exchange runs.
struct ExchangeOptions {
    std::int64_t timeout_seconds = 30;  ///< each blocking step (connect, each read)
    std::int64_t body_limit = -1;       ///< most bytes of a success body; negative: no limit
    std::int64_t error_body_limit = -1;  ///< most bytes of an error's body; negative: no limit
    /// False: a redirect is not followed, its 3xx answer is the HTTPError.
    bool follow_redirects = true;
    /// Longest time the whole exchange may take, bodies included; 0: none. When it passes,
    /// the connection is shut down and the exchange raises the host's TimeoutError naming it.
    double deadline_seconds = 0;
};

/// One exchange through the module's own opener: an Authorization header is never sent on to
/// another origin (scheme, host, port) than the request's own; bodies are read up to their
/// limits, the error's body too. A substituted `urllib.request.urlopen` (a stand-in) is
/// called in its place as before, with the limits applied to what it returns.
HttpOutcome http_exchange(const Object& request, const ExchangeOptions& options);

/// True for the error an exchange raises when its deadline passed.
bool is_deadline_passed(const Error& error);

/// `data.decode("utf-8")`: strict, the host's UnicodeDecodeError thrown for invalid bytes.
Object decode_utf8(const Object& data);

}  // namespace emberscope::host
