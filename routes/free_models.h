// Private header of routes.free_models: the owned-reference type, the module's constants, the
// function table, and the routines every source shares (name lookup, traceback entries).
#ifndef ROUTES_FREE_MODELS_H
#define ROUTES_FREE_MODELS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace fm {

// ---------------------------------------------------------------------------------------------
// Owned reference
//
// Move-only; `steal` takes over a new reference, `borrow` adds one. There is deliberately no
// conversion to PyObject*: a caller must say get() (borrowed use) or release() (hand over), so a
// stealing call never receives a pointer that is still owned here. Never placed in static
// storage: destructors of statics would run after the interpreter is gone.

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept
    {
        PyObject *old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject *o) noexcept { Ref r; r.p_ = o; return r; }
    static Ref borrow(PyObject *o) noexcept { Py_XINCREF(o); return steal(o); }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { PyObject *o = p_; p_ = nullptr; return o; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject *p_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Source lines reported by traceback entries

namespace line {
// module level
constexpr int registration = 1;   // sys.modules entry, constant tuples, the final __test__
constexpr int import_logging = 29;
constexpr int log = 31;
constexpr int model_base = 36;
constexpr int provider_type = 39;
constexpr int api_base = 41;
constexpr int keyless_placeholder = 45;
constexpr int attribution_bind = 48;
constexpr int attribution_build = 49;
constexpr int models = 55;
constexpr int optimal_bind = 67;
constexpr int optimal_hy3 = 69;       // also creating the table and inserting into it
constexpr int optimal_laguna = 71;
constexpr int optimal_ultra = 74;
constexpr int optimal_lightning = 76;
constexpr int family_bind = 80;
constexpr int family_nemotron = 81;
constexpr int family_laguna = 82;
constexpr int family_hy = 83;
constexpr int params_fallback = 87;
constexpr int max_tokens_fallback = 88;
// definitions
constexpr int def_get_optimal_params = 91;
constexpr int def_apply_optimal_params = 106;
constexpr int def_get_free_model_choices = 126;
constexpr int def_resolve_free_model = 153;
constexpr int def_build_endpoint = 176;
constexpr int max = 200;
}  // namespace line

// ---------------------------------------------------------------------------------------------
// Interned strings, prepared once by the exec step. Keys are interned so that dict inserts and
// lookups compare by pointer and never rehash; names of module attributes are interned because
// the call-time lookups in the module namespace use them on every call.

#define FM_STRINGS(X)                                                       \
    /* module attributes */                                                 \
    X(logging, "logging")                                                   \
    X(getLogger, "getLogger")                                               \
    X(log, "log")                                                           \
    X(FREE_MODEL_BASE, "FREE_MODEL_BASE")                                   \
    X(FREE_PROVIDER_TYPE, "FREE_PROVIDER_TYPE")                             \
    X(FREE_API_BASE, "FREE_API_BASE")                                       \
    X(FREE_KEYLESS_PLACEHOLDER, "FREE_KEYLESS_PLACEHOLDER")                 \
    X(FREE_ATTRIBUTION_HEADERS, "FREE_ATTRIBUTION_HEADERS")                 \
    X(FREE_MODELS, "FREE_MODELS")                                           \
    X(FREE_MODEL_OPTIMAL_PARAMS, "FREE_MODEL_OPTIMAL_PARAMS")               \
    X(_FREE_MODEL_FAMILY_PARAMS, "_FREE_MODEL_FAMILY_PARAMS")               \
    X(_FREE_PARAMS_FALLBACK, "_FREE_PARAMS_FALLBACK")                       \
    X(_FREE_MAX_TOKENS_FALLBACK, "_FREE_MAX_TOKENS_FALLBACK")               \
    X(get_optimal_params, "get_optimal_params")                             \
    X(apply_optimal_params, "apply_optimal_params")                         \
    X(get_free_model_choices, "get_free_model_choices")                     \
    X(resolve_free_model, "resolve_free_model")                             \
    X(build_endpoint, "build_endpoint")                                     \
    X(__builtins__, "__builtins__")                                         \
    X(__test__, "__test__")                                                 \
    /* parameter and local names */                                         \
    X(model_id, "model_id")                                                 \
    X(mid, "mid")                                                           \
    X(prefix, "prefix")                                                     \
    X(family_params, "family_params")                                       \
    X(params, "params")                                                     \
    X(cfg, "cfg")                                                           \
    X(k, "k")                                                               \
    X(v, "v")                                                               \
    X(choices, "choices")                                                   \
    X(display, "display")                                                   \
    X(max_ctx, "max_ctx")                                                   \
    X(opt, "opt")                                                           \
    X(model_index, "model_index")                                           \
    X(all_config, "all_config")                                             \
    X(idx, "idx")                                                           \
    X(offset, "offset")                                                     \
    X(headers, "headers")                                                   \
    X(base, "base")                                                         \
    X(url, "url")                                                           \
    /* configuration keys */                                                \
    X(name, "name")                                                         \
    X(model, "model")                                                       \
    X(provider, "provider")                                                 \
    X(api_type, "api_type")                                                 \
    X(api_base, "api_base")                                                 \
    X(api_key, "api_key")                                                   \
    X(enabled, "enabled")                                                   \
    X(modalities, "modalities")                                             \
    X(max_context, "max_context")                                           \
    X(max_tokens, "max_tokens")                                             \
    X(temperature, "temperature")                                           \
    X(top_p, "top_p")                                                       \
    X(free, "free")                                                         \
    X(_free_top_p, "_free_top_p")                                           \
    X(system_prompt, "system_prompt")                                       \
    X(text, "text")                                                         \
    X(Authorization, "Authorization")                                       \
    X(HTTP_Referer, "HTTP-Referer")                                         \
    X(X_Title, "X-Title")                                                   \
    /* methods called by name */                                            \
    X(strip, "strip")                                                       \
    X(lower, "lower")                                                       \
    X(startswith, "startswith")                                             \
    X(get, "get")                                                           \
    X(update, "update")                                                     \
    X(items, "items")                                                       \
    X(info, "info")                                                         \
    X(rstrip, "rstrip")                                                     \
    X(endswith, "endswith")                                                 \
    /* values */                                                            \
    X(empty, "")                                                            \
    X(slash, "/")                                                           \
    X(v1, "/v1")                                                            \
    X(chat_completions, "/chat/completions")                                \
    X(v1_chat_completions, "/v1/chat/completions")                          \
    X(logger_name, "tarnwick.free_models")                                  \
    X(provider_type, "opencode-free")                                       \
    X(api_base_url, "https://opencode.ai/zen/v1")                           \
    X(keyless_placeholder, "free-keyless-public-relay")                     \
    X(referer_url, "https://tarnwick.app")                                  \
    X(title, "Tarnwick")                                                    \
    X(fmt_applied, "[FREE MODELS] auto-filled optimal params for %s: %s")   \
    X(fmt_resolved, "[FREE MODELS] resolved index %s -> %s")                \
    X(filename, "routes/free_models")                                       \
    X(module_name, "routes.free_models")                                    \
    X(row0_name, "Hy3")                                                     \
    X(row0_id, "hy3-free")                                                  \
    X(row1_name, "Laguna S 2.1")                                            \
    X(row1_id, "laguna-s-2.1-free")                                         \
    X(row2_name, "Nemotron 3 Ultra")                                        \
    X(row2_id, "nemotron-3-ultra-free")                                     \
    X(row3_name, "Nemotron 3.5 Lightning")                                  \
    X(row3_id, "nemotron-3.5-lightning-free")                               \
    X(family_nemotron, "nemotron")                                          \
    X(family_laguna, "laguna")                                              \
    X(family_hy, "hy")

enum StrId : int {
#define FM_ENUM(id, text) s_##id,
    FM_STRINGS(FM_ENUM)
#undef FM_ENUM
    s_count
};

// The module's constants. Owned for the life of the process (never released: the module object
// itself lives until the process ends), filled by prepare_constants() and prepare_tuples().
struct Constants {
    PyObject *str[s_count];
    PyObject *int_zero;
    PyObject *int_model_base;      // 900000
    PyObject *int_16384;
    PyObject *int_32768;
    PyObject *int_192000;
    PyObject *int_256000;
    PyObject *f02, *f04, *f06, *f07, *f09, *f095;
    PyObject *rows[4];             // the catalogue rows, shared with FREE_MODELS
    PyObject *system_prompt_args;  // ("system_prompt", "")
    PyObject *resolve_defaults;    // (None,)
    PyObject *builtins;            // the builtins module
    PyObject *builtins_dict;       // its namespace, the fallback of every name lookup
};
extern Constants constants;

inline PyObject *interned(StrId id) { return constants.str[id]; }

int prepare_constants();
int prepare_tuples();  // the introspection records are made with the functions
// The module-level statements of the catalogue, in source order; on failure *failed_line is the
// line of the statement that failed.
int run_catalogue_statements(PyObject *module, int *failed_line);

// ---------------------------------------------------------------------------------------------
// Functions

// The state a body shares with the function object that runs it: the module namespace and the
// line of the statement being run, which becomes the traceback entry's line when the body fails.
struct Frame {
    PyObject *globals;
    int line;
};

using Body = PyObject *(*)(Frame &f, PyObject *const *args);

enum FuncId : int {
    f_get_optimal_params,
    f_apply_optimal_params,
    f_get_free_model_choices,
    f_resolve_free_model,
    f_build_endpoint,
    f_count,
    site_init = f_count,  // traceback site of the exec step
    site_count
};

struct FunctionInfo {
    StrId name;
    const char *plain;        // the name in argument errors
    const char *qualified;    // traceback entry name
    const char *doc;
    int def_line;
    int nparams;
    int nrequired;
    StrId params[2];
    int nlocals;
    StrId locals[6];
    Body body;
};
extern const FunctionInfo kFunctions[f_count];

PyObject *body_get_optimal_params(Frame &f, PyObject *const *args);
PyObject *body_apply_optimal_params(Frame &f, PyObject *const *args);
PyObject *body_get_free_model_choices(Frame &f, PyObject *const *args);
PyObject *body_resolve_free_model(Frame &f, PyObject *const *args);
PyObject *body_build_endpoint(Frame &f, PyObject *const *args);

// Makes the five introspection records (`__code__`) once.
int prepare_code_records();

// Creates the function type (once) and binds the five functions into the module namespace.
// On failure *failed_line is the definition line of the function that could not be bound.
int bind_functions(PyObject *module, int *failed_line);

// True when `o` is this module's own function `id` bound to `globals` (not a host replacement).
bool is_own_function(PyObject *o, FuncId id, PyObject *globals);

// ---------------------------------------------------------------------------------------------
// Parameter sets and choice entries shared between bodies

// The three values of a parameter set that a choice entry reads with `get`: a new reference
// each, or NULL where the set lacks the key.
struct ParamValues {
    Ref max_tokens, temperature, top_p;
};

// get_optimal_params(model_id) for get_free_model_choices: the parameter set's three values, read
// where the set is made, when it is a plain dict of str keys (then nobody but the caller ever
// sees the set, and its values cannot change before they are read). 1 with `values` set; 0 with
// `params` set to the parameter set itself otherwise; -1 on error, with the traceback entry of
// get_optimal_params added.
int optimal_param_values(PyObject *globals, PyObject *model_id, ParamValues &values,
                         Ref &params);

// The thirteen keys of a choice entry, in order.
constexpr int kEntryKeys = 13;
constexpr int kModalitiesKey = 7;
extern const StrId kEntryKey[kEntryKeys];

// The choice list, built by get_free_model_choices' body for either caller: the function itself,
// which gets every entry, or resolve_free_model, which copies one entry at an offset that is
// known only once the list is complete. For the latter the first entries stay unmade values in
// `unmade` (on the caller's stack): nobody sees the list, and making an entry runs no host code.
struct UnmadeEntries {
    static constexpr Py_ssize_t kCount = 8;
    Ref values[kCount][kEntryKeys];
};

class ChoiceList {
public:
    explicit ChoiceList(UnmadeEntries *unmade) noexcept : unmade_(unmade) {}
    ChoiceList(const ChoiceList &) = delete;
    ChoiceList &operator=(const ChoiceList &) = delete;

    // Takes the values of the entry at the end (new references; the modalities slot empty).
    int append(Ref (&values)[kEntryKeys]);
    Py_ssize_t size() const noexcept { return size_; }
    PyObject *release_list();                 // the list, when nothing is kept
    PyObject *copy_of_entry(Py_ssize_t pos);  // dict(list[pos]), a new dict

private:
    UnmadeEntries *unmade_;
    Py_ssize_t size_ = 0;
    Ref list_;  // the entries made: all of them, or those past the kept ones
};

// The body of get_free_model_choices: the entry of every catalogue row, in order, into `out`.
int build_choices(Frame &f, ChoiceList &out);

// ---------------------------------------------------------------------------------------------
// State kept across calls (state.cpp)

// A new choice entry with `values` (the modalities slot ignored) and a new "modalities" list.
// `pos` is the entry's position in the choice list. Only memory can fail.
PyObject *make_choice_entry(Py_ssize_t pos, Ref (&values)[kEntryKeys]);

// The code object of a traceback entry of `site` (a function, or the exec step) at `line`.
PyCodeObject *traceback_code(int site, int line);

// Module-level name at call time: the module namespace, then the builtins. Returns a new
// reference, or NULL with NameError (or the lookup's own error) set. The kept bindings answer
// most reads (see state.cpp); lookup_name() does the rest.
struct KeptBindings {
    PyObject *name_space;            // the namespace they belong to, or NULL: none kept
    bool kept[s_count];
    PyObject *value[s_count];        // NULL: not bound in the namespace
};
extern KeptBindings kept_bindings;
PyObject *lookup_name(PyObject *globals, StrId name);

inline PyObject *lookup_global(PyObject *globals, StrId name)
{
    if (globals == kept_bindings.name_space && kept_bindings.value[name])
        return Py_NewRef(kept_bindings.value[name]);
    return lookup_name(globals, name);
}

// Keeps the bindings of the names the bodies read in `globals`, the ready module's namespace.
void keep_bindings(PyObject *globals);

// Drops what was kept, without releasing it: at the first import after the interpreter that
// made it was finalized.
void forget_kept_state();

// ---------------------------------------------------------------------------------------------
// Shared operations

// Unpacks `item` into exactly n values (new references in out[0..n-1]) with the module's error
// texts; a tuple or list is unpacked by its length, any other iterable is read up to item n+1.
int unpack(PyObject *item, Py_ssize_t n, PyObject **out);

// True when every key of the exact dict `d` is an exact str: looking up a str key or copying
// the dict then runs no host code.
bool str_keys_only(PyObject *d);

// `key in container`
int contains(PyObject *container, PyObject *key);

// `container[key]`
PyObject *get_item(PyObject *container, PyObject *key);

// `d.update(arg)` for an exact dict d, as dict.update itself behaves.
int dict_update(PyObject *d, PyObject *arg);

// `dict(arg)`: the dict constructor applied to one argument.
PyObject *dict_of(PyObject *arg);

// `obj.get(key, dflt)` (dflt NULL: one argument), through the object's own `get`; a plain dict
// is read directly since its `get` cannot be overridden.
PyObject *call_get(PyObject *obj, PyObject *key, PyObject *dflt);

// `log.info(fmt, a, b)`, with `info` taken before a and b were evaluated by the caller.
int call_info(PyObject *info, PyObject *fmt, PyObject *a, PyObject *b);

// Adds the traceback entry of `site` at `line` to the pending exception, which stays as it is.
void add_traceback(int site, int line, PyObject *globals);

// Forget the process-wide state of their sources, likewise.
void forget_constants();
void forget_functions();

}  // namespace fm

#endif
