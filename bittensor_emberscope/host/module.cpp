// Call-time name look-up in the module's namespace.
#include "host/module.hpp"

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "common/words.hpp"
#include "host/error.hpp"

namespace emberscope::host {
namespace {

// Read on every look-up of a global: the initial-exec model makes it one load from the thread
// pointer instead of a call into the dynamic loader (the module is loaded once per process).
__attribute__((tls_model("initial-exec"))) thread_local RawObject* current_module = nullptr;

constexpr const char* kKeyNames[] = {"incentive_burn", "netuid", "OWNER_BURN_DECIMALS", "0", "1.0"};
static_assert(std::size(kKeyNames) == static_cast<std::size_t>(Key::count));

// Changes whenever a module's texts are made or dropped, so that no thread keeps using the
// texts of a module that is gone (a plain number: no host value outlives the interpreter).
std::uint64_t keys_generation = 1;

// The texts found for the last module this thread asked about.
struct KeysCache {
    RawObject* module;
    std::uint64_t generation;
    ModuleKeys* keys;
};
__attribute__((tls_model("initial-exec"))) thread_local KeysCache keys_cache{};

// The interned texts of the current module, or null when it keeps none.
ModuleKeys* current_keys() {
    if (current_module == nullptr) return nullptr;
    KeysCache& cache = keys_cache;
    if (cache.module == current_module && cache.generation == keys_generation) return cache.keys;
    ModuleKeys* keys = nullptr;
    PyModuleDef* def = PyModule_GetDef(current_module);
    if (def == nullptr || def->m_traverse != traverse_module_keys) {
        PyErr_Clear();
    } else {
        keys = static_cast<ModuleKeys*>(PyModule_GetState(current_module));
    }
    cache = {current_module, keys_generation, keys};
    return keys;
}

constexpr std::size_t kTextSets = kSharedTextSets;
static_assert((kTextSets & (kTextSets - 1)) == 0, "a power of two");
constexpr std::size_t kRealSlots = 512;   // a power of two
constexpr int kRealSlotBits = 9;
static_assert(std::size_t{1} << kRealSlotBits == kRealSlots);

}  // namespace

struct SharedTexts {
    RawObject* numbers[kSharedNumbers];
    // Way 0 holds the text of a place used last, way 1 the one before it.
    RawObject* texts[kTextSets][2];
    struct Real {
        std::uint64_t bits;
        RawObject* text;
    } reals[kRealSlots];
};

namespace {

// The shared texts of the current module, made on first use; null when it keeps none (or
// when there is no memory for them: every caller then makes its texts anew).
SharedTexts* shared_texts() {
    ModuleKeys* keys = current_keys();
    if (keys == nullptr) return nullptr;
    if (keys->shared == nullptr) keys->shared = static_cast<SharedTexts*>(PyMem_Calloc(1, sizeof(SharedTexts)));
    return keys->shared;
}

// The value of a decimal text in canonical form ("0", "17"; not "017", "+1") below
// kSharedNumbers.
bool small_number(std::string_view text, std::size_t& n) {
    if (text.empty() || text.size() > 4 || (text[0] == '0' && text.size() > 1)) return false;
    std::size_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    if (value >= kSharedNumbers) return false;
    n = value;
    return true;
}

// A text's place: its bytes taken eight at a time (the last eight overlapping the ones before),
// mixed by multiplication.
std::size_t text_set(std::string_view text) {
    constexpr std::uint64_t kMix = 0x9e3779b97f4a7c15u;
    std::uint64_t h = text.size();
    const std::size_t n = text.size();
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8) h = (h ^ words::at(text.data() + i)) * kMix;
        h = (h ^ words::at(text.data() + n - 8)) * kMix;
    } else {
        std::uint64_t tail = 0;
        for (std::size_t k = 0; k < n; ++k) tail |= std::uint64_t{static_cast<unsigned char>(text[k])} << (8 * k);
        h = (h ^ tail) * kMix;
    }
    return static_cast<std::size_t>(h >> 54) & (kTextSets - 1);
}

bool holds(RawObject* text, std::string_view ascii) {
    return static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)) == ascii.size() &&
           std::memcmp(PyUnicode_DATA(text), ascii.data(), ascii.size()) == 0;
}

SharedTexts::Real& real_slot(SharedTexts& shared, std::uint64_t bits) {
    return shared.reals[(bits * 0x9e3779b97f4a7c15u) >> (64 - kRealSlotBits)];
}

void clear_shared(ModuleKeys& keys) {
    SharedTexts* shared = keys.shared;
    if (shared == nullptr) return;
    keys.shared = nullptr;
    for (PyObject*& text : shared->numbers) Py_CLEAR(text);
    for (auto& set : shared->texts) {
        for (PyObject*& text : set) Py_CLEAR(text);
    }
    for (SharedTexts::Real& real : shared->reals) Py_CLEAR(real.text);
    PyMem_Free(shared);
}

Object found_or_builtin(PyObject* found, PyObject* name) {
    if (found != nullptr) return Object::steal(found);
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins != nullptr && PyDict_GetItemRef(builtins, name, &found) < 0) throw_pending();
    if (found != nullptr) return Object::steal(found);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw Error();
}

}  // namespace

CallScope::CallScope(RawObject* module) : previous_(current_module) { current_module = module; }

CallScope::~CallScope() { current_module = previous_; }

bool is_own_function(const Object& module, const char* name) {
    if (!PyModule_Check(module.ptr())) return false;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(module.ptr(), name, &found) < 0) throw_pending();
    const Object function = Object::steal(found);
    if (found == nullptr || !PyFunction_Check(found)) return false;
    // Defined in that module under that name: a substitute lives elsewhere or is no function.
    if (PyFunction_GET_GLOBALS(found) != PyModule_GetDict(module.ptr())) return false;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(found));
    return PyUnicode_CompareWithASCIIString(code->co_name, name) == 0;
}

Object global(const char* name) {
    if (current_module != nullptr) {
        PyObject* dict = PyModule_GetDict(current_module);  // borrowed
        PyObject* found = nullptr;
        if (PyDict_GetItemStringRef(dict, name, &found) < 0) throw_pending();
        if (found != nullptr) return Object::steal(found);
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* found = nullptr;
    if (builtins != nullptr && PyDict_GetItemStringRef(builtins, name, &found) < 0) throw_pending();
    if (found != nullptr) return Object::steal(found);
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw Error();
}

const char* key_name(Key key) { return kKeyNames[static_cast<std::size_t>(key)]; }

Object key(Key key) {
    if (ModuleKeys* keys = current_keys()) {
        if (PyObject* text = keys->texts[static_cast<std::size_t>(key)]) return Object::borrow(text);
    }
    return Object::steal(PyUnicode_InternFromString(key_name(key)));
}

SharedAsciiTexts::SharedAsciiTexts() : shared_(shared_texts()) {}

Object SharedAsciiTexts::text(std::string_view ascii) const {
    SharedTexts* shared = shared_;
    if (shared == nullptr) return ascii_text(ascii);
    std::size_t n = 0;
    if (small_number(ascii, n)) {
        RawObject*& slot = shared->numbers[n];
        if (slot != nullptr) return Object::borrow(slot);
        Object made = ascii_text(ascii);
        slot = Py_NewRef(made.ptr());
        return made;
    }
    if (ascii.size() > kSharedTextMax) return ascii_text(ascii);
    RawObject** set = shared->texts[text_set(ascii)];
    if (set[0] != nullptr && holds(set[0], ascii)) return Object::borrow(set[0]);
    if (set[1] != nullptr && holds(set[1], ascii)) {
        std::swap(set[0], set[1]);
        return Object::borrow(set[0]);
    }
    Object made = ascii_text(ascii);
    Py_XDECREF(set[1]);
    set[1] = set[0];
    set[0] = Py_NewRef(made.ptr());
    return made;
}

RawObject* shared_real_text(std::uint64_t bits) {
    SharedTexts* shared = shared_texts();
    if (shared == nullptr) return nullptr;
    const SharedTexts::Real& slot = real_slot(*shared, bits);
    return slot.text != nullptr && slot.bits == bits ? slot.text : nullptr;
}

void keep_real_text(std::uint64_t bits, const Object& text) {
    SharedTexts* shared = shared_texts();
    if (shared == nullptr) return;
    SharedTexts::Real& slot = real_slot(*shared, bits);
    slot.bits = bits;
    Py_XSETREF(slot.text, Py_NewRef(text.ptr()));
}

Object global(Key name) {
    const Object text = key(name);
    PyObject* found = nullptr;
    if (current_module != nullptr &&
        PyDict_GetItemRef(PyModule_GetDict(current_module), text.ptr(), &found) < 0)
        throw_pending();
    return found_or_builtin(found, text.ptr());
}

int init_module_keys(RawObject* module) {
    auto* keys = static_cast<ModuleKeys*>(PyModule_GetState(module));
    if (keys == nullptr) return -1;
    ++keys_generation;
    keys->shared = nullptr;
    for (std::size_t i = 0; i < static_cast<std::size_t>(Key::count); ++i) {
        keys->texts[i] = PyUnicode_InternFromString(kKeyNames[i]);
        if (keys->texts[i] == nullptr) return -1;
    }
    return 0;
}

int traverse_module_keys(RawObject* module, int (*visit)(RawObject*, void*), void* arg) {
    auto* keys = static_cast<ModuleKeys*>(PyModule_GetState(module));
    if (keys == nullptr) return 0;
    for (PyObject* text : keys->texts) Py_VISIT(text);
    if (const SharedTexts* shared = keys->shared) {
        for (PyObject* text : shared->numbers) Py_VISIT(text);
        for (const auto& set : shared->texts) {
            for (PyObject* text : set) Py_VISIT(text);
        }
        for (const SharedTexts::Real& real : shared->reals) Py_VISIT(real.text);
    }
    return 0;
}

int clear_module_keys(RawObject* module) {
    auto* keys = static_cast<ModuleKeys*>(PyModule_GetState(module));
    if (keys == nullptr) return 0;
    ++keys_generation;
    for (PyObject*& text : keys->texts) Py_CLEAR(text);
    clear_shared(*keys);
    return 0;
}

void free_module_keys(void* module) { clear_module_keys(static_cast<PyObject*>(module)); }

}  // namespace emberscope::host
