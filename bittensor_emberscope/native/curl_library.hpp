// libcurl, loaded when the first exchange needs it rather than with the module: loading it and
// the libraries it needs (TLS, HTTP/2, IDN, ...) costs about as much as the interpreter's own
// start, which `emberscope status` and `history` never need to pay.
#pragma once

#include <curl/curl.h>

namespace emberscope::native {

/// The functions of libcurl the exchanges use.
struct CurlLibrary {
    CURLcode (*global_init)(long flags);
    CURL* (*easy_init)();
    void (*easy_cleanup)(CURL* handle);
    void (*easy_reset)(CURL* handle);
    CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
    CURLcode (*easy_perform)(CURL* handle);
    CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...);
    const char* (*easy_strerror)(CURLcode code);
    curl_slist* (*slist_append)(curl_slist* list, const char* line);
    void (*slist_free_all)(curl_slist* list);
    // The multi interface: a transfer that also waits on a descriptor of the caller's.
    CURLM* (*multi_init)();
    CURLMcode (*multi_cleanup)(CURLM* multi);
    CURLMcode (*multi_add_handle)(CURLM* multi, CURL* handle);
    CURLMcode (*multi_remove_handle)(CURLM* multi, CURL* handle);
    CURLMcode (*multi_perform)(CURLM* multi, int* running);
    CURLMcode (*multi_poll)(CURLM* multi, curl_waitfd extra[], unsigned extra_count, int timeout_ms,
                            int* ready);
    CURLMsg* (*multi_info_read)(CURLM* multi, int* left);
};

/// libcurl (libcurl.so.4), loaded and initialised on the first call and kept for the life of
/// the process; throws std::runtime_error saying why when it cannot be loaded.
const CurlLibrary& curl_library();

}  // namespace emberscope::native
