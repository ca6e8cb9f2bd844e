// libcurl, loaded on first use.
#include "native/curl_library.hpp"

#include <dlfcn.h>

#include <mutex>
#include <stdexcept>
#include <string>

namespace emberscope::native {
namespace {

template <typename F>
void bind(void* library, F& slot, const char* name) {
    void* symbol = ::dlsym(library, name);
    if (symbol == nullptr) throw std::runtime_error(std::string("libcurl has no ") + name);
    slot = reinterpret_cast<F>(symbol);
}

CurlLibrary load() {
    void* library = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = ::dlerror();
        throw std::runtime_error(std::string("libcurl cannot be loaded (install libcurl4): ") +
                                 (why ? why : "unknown reason"));
    }
    CurlLibrary c{};
    bind(library, c.global_init, "curl_global_init");
    bind(library, c.easy_init, "curl_easy_init");
    bind(library, c.easy_cleanup, "curl_easy_cleanup");
    bind(library, c.easy_reset, "curl_easy_reset");
    bind(library, c.easy_setopt, "curl_easy_setopt");
    bind(library, c.easy_perform, "curl_easy_perform");
    bind(library, c.easy_getinfo, "curl_easy_getinfo");
    bind(library, c.easy_strerror, "curl_easy_strerror");
    bind(library, c.slist_append, "curl_slist_append");
    bind(library, c.slist_free_all, "curl_slist_free_all");
    bind(library, c.multi_init, "curl_multi_init");
    bind(library, c.multi_cleanup, "curl_multi_cleanup");
    bind(library, c.multi_add_handle, "curl_multi_add_handle");
    bind(library, c.multi_remove_handle, "curl_multi_remove_handle");
    bind(library, c.multi_perform, "curl_multi_perform");
    bind(library, c.multi_poll, "curl_multi_poll");
    bind(library, c.multi_info_read, "curl_multi_info_read");
    if (c.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw std::runtime_error("libcurl cannot start");
    return c;  // the library stays loaded for the life of the process
}

}  // namespace

const CurlLibrary& curl_library() {
    static std::mutex mutex;
    static CurlLibrary loaded{};
    static bool ready = false;
    std::lock_guard lock(mutex);
    if (!ready) {
        loaded = load();  // a failure is tried again at the next call
        ready = true;
    }
    return loaded;
}

}  // namespace emberscope::native
