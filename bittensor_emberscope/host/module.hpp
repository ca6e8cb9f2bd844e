// The module's namespace as seen from inside a call, and the texts it keeps for its look-ups.
//
// Host services are looked up by their module-level names when they are used ("time", then its
// "sleep"), exactly as a Python module's code would, so a substitute installed on the module
// or on the host library is what runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "host/object.hpp"

namespace emberscope::host {

/// Makes `module` the namespace of the operations running on this thread until destroyed.
class CallScope {
public:
    explicit CallScope(RawObject* module);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    RawObject* previous_;
};

/// The value a global name has now: the module's own binding, else the builtin of that name.
/// An unknown name raises the host's NameError.
Object global(const char* name);

/// True when `module` is a module whose attribute `name` is its own function of that name, not
/// something a caller put in its place (a wrapper, a mock, a lambda): only then may the module's
/// own code stand for a call to it.
bool is_own_function(const Object& module, const char* name);

/// Texts looked up over and over (row members, module globals): made once per module, interned,
/// so that a look-up hashes nothing and compares pointers.
enum class Key : std::size_t {
    incentive_burn,       ///< "incentive_burn", a row's owner burn member
    netuid,               ///< "netuid", a row's subnet number
    owner_burn_decimals,  ///< "OWNER_BURN_DECIMALS", the module global
    zero,                 ///< "0", the owner burn text of an absent or empty value
    one,                  ///< "1.0", the owner burn text of a full burn (the real 1.0)
    count
};

/// The text of `key` ("incentive_burn", ...).
const char* key_name(Key key);

/// The host text of `key`: the module's interned one inside a call of a module that keeps them
/// (see ModuleKeys), else made now.
Object key(Key key);

/// The same as global(key_name(key)), without making the name.
Object global(Key key);

/// Texts that many results share (state keys and values, owner burn texts of reals), kept per
/// module so that a repeated text is handed out again instead of made anew. Texts are
/// immutable, so a shared one is indistinguishable from a new one of the same content; every
/// table is bounded, and made on its first use.
struct SharedTexts;

/// The decimal texts "0" .. "4095" are kept once each, in full.
inline constexpr std::size_t kSharedNumbers = 4096;
/// Other ASCII texts up to this many bytes share a two-way cache of kSharedTextSets places of
/// two (a newer text of a full place replaces the one used longest ago).
inline constexpr std::size_t kSharedTextMax = 24;
inline constexpr std::size_t kSharedTextSets = 1024;

/// The shared ASCII texts of the current module, for a call that makes many (a loaded map's):
/// the module's table is looked up once, when this is made. Use it within that call only.
class SharedAsciiTexts {
public:
    SharedAsciiTexts();
    /// A host text equal to the ASCII text `ascii`: the module's shared one for a small decimal
    /// number or a short text it holds, else a new one (kept for the next call when short).
    /// REQUIRES: every byte of `ascii` below 0x80.
    Object text(std::string_view ascii) const;

private:
    SharedTexts* shared_;
};

/// The module's text kept for the real whose bits are `bits` (borrowed), or null.
RawObject* shared_real_text(std::uint64_t bits);
/// Keeps `text` as the text of the real whose bits are `bits` (replacing the slot's older one).
void keep_real_text(std::uint64_t bits, const Object& text);

/// The state of a module whose calls use key(): its interned texts and its shared texts. A
/// module declares `sizeof(ModuleKeys)` as its state size and the three functions below in its
/// definition, and calls init_module_keys from its exec slot.
struct ModuleKeys {
    RawObject* texts[static_cast<std::size_t>(Key::count)];
    SharedTexts* shared;
};
int init_module_keys(RawObject* module);
int traverse_module_keys(RawObject* module, int (*visit)(RawObject*, void*), void* arg);
int clear_module_keys(RawObject* module);
void free_module_keys(void* module);

}  // namespace emberscope::host
