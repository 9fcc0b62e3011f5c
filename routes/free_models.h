// Private header of routes.free_models: the owned-reference type, the module's constants, the
// function table, and the routines every source shares (name lookup, traceback entries).
#ifndef ROUTES_FREE_MODELS_H
#define ROUTES_FREE_MODELS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// CPython's internal dict header, for what the public interface does not tell or do at the cost
// the hot paths need: what a dict lookup can run (the kind of its key table), the entries of a
// table of str keys, and the method lookup of `log.info` without a bound method. They are
// 3.13's, as the module is.
#if PY_MAJOR_VERSION != 3 || PY_MINOR_VERSION != 13
#error "routes.free_models is built for CPython 3.13 and reads its internal layouts"
#endif
#define Py_BUILD_CORE 1
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <internal/pycore_dict.h>
#pragma GCC diagnostic pop
#undef Py_BUILD_CORE

#include <cstdint>
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
// The catalogue
//
// The free models, one row each, and the recommended sampling values by model family and in
// general. Everything the module builds of them (FREE_MODELS, FREE_MODEL_OPTIMAL_PARAMS,
// _FREE_MODEL_FAMILY_PARAMS, _FREE_PARAMS_FALLBACK, _FREE_MAX_TOKENS_FALLBACK and the objects
// they hold) is made from these rows. A model's `line` is the source line that building its
// FREE_MODEL_OPTIMAL_PARAMS entry reports (see `line` below), a family's that of its pair.

struct CatalogueModel {
    const char *name;      // display name in the model selector
    const char *id;        // the relay's model id: lower case, no surrounding blanks
    long context_window;   // tokens
    double temperature, top_p;
    long max_tokens;
    int line;
};
inline constexpr CatalogueModel kModels[] = {
    {"Hy3", "hy3-free", 192000, 0.7, 0.95, 16384, 69},
    {"Laguna S 2.1", "laguna-s-2.1-free", 256000, 0.2, 0.9, 16384, 71},
    {"Nemotron 3 Ultra", "nemotron-3-ultra-free", 192000, 0.6, 0.95, 32768, 74},
    {"Nemotron 3.5 Lightning", "nemotron-3.5-lightning-free", 192000, 0.4, 0.95, 16384, 76},
};

// Tested in this order; the first prefix that a model id begins with decides.
struct CatalogueFamily {
    const char *prefix;
    double temperature, top_p;
    int line;
};
inline constexpr CatalogueFamily kFamilies[] = {
    {"nemotron", 0.6, 0.95, 81},
    {"laguna", 0.2, 0.9, 82},
    {"hy", 0.7, 0.95, 83},
};

// The generic fallback, for an id that matches neither a model nor a family.
inline constexpr double kFallbackTemperature = 0.7, kFallbackTopP = 0.95;
inline constexpr long kFallbackMaxTokens = 16384;

// The selector index of the first free model (FREE_MODEL_BASE).
inline constexpr long kModelBase = 900000;

inline constexpr Py_ssize_t kModelCount = sizeof kModels / sizeof kModels[0];
inline constexpr Py_ssize_t kFamilyCount = sizeof kFamilies / sizeof kFamilies[0];

// ---------------------------------------------------------------------------------------------
// Source lines
//
// Every line of "routes/free_models" (kSourceFile, the file that traceback entries name) that a
// failing step reports: the module-level statements, then each function's definition line and
// the statements of its body. The catalogue rows above carry their own lines.

inline constexpr char kSourceFile[] = "routes/free_models";

namespace line {
// module level
constexpr int registration = 1;  // sys.modules entry, constant tuples, the final __test__
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
constexpr int optimal_table = 69;  // creating FREE_MODEL_OPTIMAL_PARAMS and inserting into it
constexpr int family_bind = 80;
constexpr int params_fallback = 87;
constexpr int max_tokens_fallback = 88;

namespace get_optimal_params {
constexpr int def = 91, normalise = 93, in_table = 94, copy_entry = 95, families = 96,
              prefix = 97, family_base = 98, family_update = 99, fallback = 101,
              fallback_max_tokens = 102;
}
namespace apply_optimal_params {
constexpr int def = 106, truth = 114, lookup = 116, update = 117, free_top_p = 120, log = 121,
              log_args = 122;
}
namespace get_free_model_choices {
constexpr int def = 126, new_list = 132, rows = 133, lookup = 134, append = 135, entry = 136,
              provider = 138, api_type = 139, api_base = 140, api_key = 141, modalities = 143,
              max_tokens = 145, temperature = 146, top_p = 147;
}
namespace resolve_free_model {
constexpr int def = 153, index = 160, lower_bound = 163, choices = 165, offset = 166,
              upper_bound = 167, copy = 169, inherit_test = 170, inherit = 171, log = 172;
}
namespace build_endpoint {
constexpr int def = 176, base = 182, versioned = 183, url_v1 = 184, url = 186, headers = 187,
              attribution = 188, authorization = 189, result = 190;
}

constexpr int max = 200;  // above every line here: the traceback code cache's size
}  // namespace line

// ---------------------------------------------------------------------------------------------
// Interned strings, prepared once by the exec step. Keys are interned so that dict inserts and
// lookups compare by pointer and never rehash; names of module attributes are interned because
// the call-time lookups in the module namespace use them on every call.

#define FM_STRINGS(X)                                                       \
    /* module-level names that the bodies read (kReadNames of them) */      \
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
    X(get_free_model_choices, "get_free_model_choices")                     \
    X(log, "log")                                                           \
    /* other module attributes */                                           \
    X(logging, "logging")                                                   \
    X(getLogger, "getLogger")                                               \
    X(apply_optimal_params, "apply_optimal_params")                         \
    X(resolve_free_model, "resolve_free_model")                             \
    X(build_endpoint, "build_endpoint")                                     \
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
    X(module_name, "routes.free_models")

enum StrId : int {
#define FM_ENUM(id, text) s_##id,
    FM_STRINGS(FM_ENUM)
#undef FM_ENUM
    s_count
};
constexpr int kReadNames = s_log + 1;

// The objects made of a catalogue row, and of a family.
struct ModelObjects {
    PyObject *name, *id, *context_window, *temperature, *top_p, *max_tokens;
    PyObject *row;  // (name, id, context_window), the very tuple FREE_MODELS holds
};
struct FamilyObjects {
    PyObject *prefix, *temperature, *top_p;
};

// The module's constants. Owned for the life of the process (never released: the module object
// itself lives until the process ends), filled by prepare_constants() and prepare_tuples().
struct Constants {
    PyObject *str[s_count];
    PyObject *int_zero;
    PyObject *model_base;
    ModelObjects models[kModelCount];
    FamilyObjects families[kFamilyCount];
    PyObject *fallback_temperature, *fallback_top_p, *fallback_max_tokens;
    PyObject *params_shape;        // {"temperature": None, "top_p": None, "max_tokens": None}
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
struct NameReads;
struct Frame {
    PyObject *globals;
    int line;
    NameReads *reads;  // the names read during the call, if it keeps them (lookup_global)
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
    bool rereads;  // reads module-level names once per catalogue row: keeps its reads
};
extern const FunctionInfo kFunctions[f_count];

// The bodies, and the docstrings of their functions.
PyObject *body_get_optimal_params(Frame &f, PyObject *const *args);
PyObject *body_apply_optimal_params(Frame &f, PyObject *const *args);
PyObject *body_get_free_model_choices(Frame &f, PyObject *const *args);
PyObject *body_resolve_free_model(Frame &f, PyObject *const *args);
PyObject *body_build_endpoint(Frame &f, PyObject *const *args);
extern const char doc_get_optimal_params[], doc_apply_optimal_params[],
    doc_get_free_model_choices[], doc_resolve_free_model[], doc_build_endpoint[];

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

// The module's own get_optimal_params(model_id), run in place for a caller that has just read
// the name and found the module's function: 0 with the answer (a new dict) in `params`, or,
// when `values` is given and the answer is a plain dict that only the caller would have seen,
// 1 with its three values there instead; -1 on error, with the traceback entry of
// get_optimal_params added.
int own_optimal_params(Frame &caller, PyObject *model_id, Ref &params, ParamValues *values);

// The values of a choice entry, by key, in the entry's key order.
enum EntryKey : int {
    k_name, k_model, k_provider, k_api_type, k_api_base, k_api_key, k_enabled, k_modalities,
    k_max_context, k_max_tokens, k_temperature, k_top_p, k_free,
    kEntryKeys
};
extern const StrId kEntryKeyName[kEntryKeys];

// One entry's values, owned (new references; the modalities slot stays NULL).
struct EntryValues {
    PyObject *at[kEntryKeys];
    void release() noexcept
    {
        for (PyObject *v : at)
            Py_XDECREF(v);
    }
};

// The catalogue's usual number of rows, with room to grow: the entries prepared across calls
// (choices.cpp), and the entry values kept without a heap allocation (ChoiceSink).
constexpr Py_ssize_t kUsualRows = 8;

// Where the body of get_free_model_choices puts each entry: into the list it returns, or, for
// resolve_free_model, which copies one entry at an offset known only once the list is complete,
// into a buffer of the entries' values, of which only the one copied is ever made into a dict.
class ChoiceSink {
public:
    explicit ChoiceSink(bool values_only) noexcept : values_only_(values_only) {}
    ChoiceSink(const ChoiceSink &) = delete;
    ChoiceSink &operator=(const ChoiceSink &) = delete;
    ~ChoiceSink();

    // The next entry's values go into *next() (cleared; NULL with MemoryError when no room can
    // be had), then add_next() takes them over, whatever it returns, or drop_next() releases them.
    EntryValues *next();
    int add_next();
    void drop_next();
    Py_ssize_t size() const noexcept { return size_; }
    PyObject *release_list();                 // the list (entries made)
    // dict(entry[pos]), a new dict (values kept); with "system_prompt" set last when given
    PyObject *copy_of_entry(Py_ssize_t pos, PyObject *system_prompt);

private:
    bool values_only_;
    Py_ssize_t size_ = 0;
    Ref list_;
    // values kept: in place for the catalogue's usual size, on the heap beyond it
    EntryValues inline_[kUsualRows];
    EntryValues *rows_ = inline_;
    Py_ssize_t capacity_ = kUsualRows;
    EntryValues pending_;  // the entry being made, when entries are made
};

// The body of get_free_model_choices: the entry of every catalogue row, in order, into `out`.
int build_choices(Frame &f, ChoiceSink &out);

// ---------------------------------------------------------------------------------------------
// Module-level names and traceback entries

// A module-level name as the namespace, then the builtins, hold it: a new reference, or NULL
// with NameError (or the lookup's own error) set.
PyObject *lookup_name(PyObject *globals, StrId name);

// What a dict was at one moment, by address and version tag. CPython 3.13 gives a dict a tag no
// other dict has had when it is made, and a new one at every change, but only where it sees the
// change: in an exact dict whose values live in its own key table. An object's attribute dict
// (vars(obj)) keeps its values in the object, and setattr changes them without a new tag. So a
// print is taken only of such a dict (of anything else it is empty and matches nothing), and a
// live object matches it only when it is such a dict with that address and that tag: then it is
// the very dict printed, unchanged since, and it still holds everything it held then.
//
// The address is kept as a number: a print is never followed, only compared with an object the
// caller holds (or has just read from a dict that matches its own print). No field of an object
// is read before its type is checked.
class Fingerprint {
public:
    Fingerprint() = default;
    static Fingerprint of(PyObject *o)
    {
        return tells_changes(o) ? Fingerprint(o, version_of(o)) : Fingerprint();
    }
    bool matches(PyObject *live) const
    {
        return (uintptr_t)live == address_ && tells_changes(live) && version_of(live) == version_;
    }
    // True when every change of `o` gives it a new version tag.
    static bool tells_changes(PyObject *o)
    {
        return PyDict_CheckExact(o) && !reinterpret_cast<PyDictObject *>(o)->ma_values;
    }

private:
    Fingerprint(PyObject *o, uint64_t version) : address_((uintptr_t)o), version_(version) {}
    static uint64_t version_of(PyObject *d)
    {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        return reinterpret_cast<PyDictObject *>(d)->ma_version_tag;
#pragma GCC diagnostic pop
    }
    uintptr_t address_ = 0;  // 0: empty
    uint64_t version_ = 0;
};

// The module-level names read during one call of a module function. A name read again is
// answered from here when the dicts it was read from cannot have changed since: they are dicts
// of str keys only (see quiet_lookup) that match their prints. A value is not owned here: it is
// looked at only while its dict, unchanged, still holds it (standing_read), so a value the host
// unbinds during the call goes as it would in plain Python.
struct NameReads {
    struct Read {
        PyObject *value;          // the dict's, while its print matches
        Fingerprint namespace_;   // of the namespace when read
        Fingerprint builtins;     // of the builtins, when the name was read there
        bool from_builtins;
    };
    uint32_t filled = 0;  // bit n: at[n] holds a read (the rest is never touched)
    Read at[kReadNames];
    static_assert(kReadNames <= 32, "one bit per name");

    NameReads() = default;
    NameReads(const NameReads &) = delete;
    NameReads &operator=(const NameReads &) = delete;
    const Read *find(StrId name) const
    {
        return filled >> name & 1 ? &at[name] : nullptr;
    }
};

// `name` as the namespace, then the builtins, hold it at this moment, as lookup_name() gives
// it. `quiet`, when given, tells whether reading it could not have run host code.
PyObject *read_global(Frame &f, StrId name, bool *quiet);
// The call's read of `name` when it still stands: a dict of str keys that has not changed since
// answers as it did (a key of another type would have changed it). NULL otherwise.
inline const NameReads::Read *standing_read(Frame &f, StrId name)
{
    const NameReads::Read *read = f.reads ? f.reads->find(name) : nullptr;
    if (read && read->namespace_.matches(f.globals) &&
        (!read->from_builtins || read->builtins.matches(constants.builtins_dict)))
        return read;
    return nullptr;
}

// A module-level name in a body: as read_global() gives it, or from the call's earlier read of
// it while that stands.
inline PyObject *lookup_global(Frame &f, StrId name, bool *quiet = nullptr)
{
    if (f.reads) {
        if (const NameReads::Read *read = standing_read(f, name)) {
            if (quiet)
                *quiet = true;
            return Py_NewRef(read->value);
        }
    }
    return read_global(f, name, quiet);
}

// Adds the traceback entry of `site` at `line` to the pending exception, which stays as it is.
void add_traceback(int site, int line, PyObject *globals);

// ---------------------------------------------------------------------------------------------
// State kept across calls
//
// Besides the constants that the exec step prepares, three things are kept from one call to
// the next, each beside the code that uses it: the normal forms of recent model ids
// (params.cpp), prepared dicts per position of the choice list (choices.cpp), and the code
// objects of traceback entries (traceback.cpp). Each owns what it holds, holds only exact str,
// int, float, bool and None and code objects (whose release runs no host code), is used only
// for the very objects it was made from (compared by address), and is replaced whole, the old
// released last. No module-level name and no host object is kept: names are read where they
// are used (lookup_global), and what one call reads lives no longer than the call (NameReads).
// A normal form also notes the parameter table and entry it was last found in, by their prints
// only (Fingerprint): the note is followed only when the table just read matches its print.
//
// After the interpreter that made them is finalized, the next import forgets them (and the
// module's other process-wide state) without releasing them: their objects died with it.
void forget_normal_forms();
void forget_prepared_entries();
void forget_traceback_codes();
void forget_constants();
void forget_functions();

// ---------------------------------------------------------------------------------------------
// Shared operations on objects

// True when looking up an exact str in `d` cannot run host code: `d` is an exact dict whose
// keys are all exact str, so keys are compared by text and never by a key's own __eq__.
bool quiet_lookup(PyObject *d);

// True when `a` and `b` are dicts of str keys (quiet_lookup) with the very same key objects in
// the same order and no deleted entries: then `dict(a)` updated with `b` is a copy of `b`.
bool same_str_keys(PyObject *a, PyObject *b);

// `d[key]` of a dict `d` and an exact str `key`, as PyDict_GetItemRef answers it.
int str_lookup(PyObject *d, PyObject *key, PyObject **value);

// For a dict of str keys (quiet_lookup) that holds its values in its own key table: the values
// under `keys` (borrowed; NULL where absent) into `values`, when it holds no other key. False,
// with nothing read, otherwise.
bool read_str_items(PyObject *d, const StrId *keys, int nkeys, PyObject **values);

// For a dict of str keys (quiet_lookup) that holds its values in its own key table and has
// exactly `keys`, in this order: its values (borrowed) into `values`. False otherwise.
bool str_items_in_order(PyObject *d, const StrId *keys, int nkeys, PyObject **values);

// A copy of `shape`, a dict of `n` str keys made by the module whose values are constants,
// with `values` in place of its values, in order.
PyObject *copy_with_values(PyObject *shape, PyObject *const *values, Py_ssize_t n);

// A copy of the plain dict `d` with `with[i].value` under `with[i].key`, for i < n: in place of
// the value of its entry number `index` (0 for the first inserted), which the key is expected to
// have; inserted otherwise.
struct Replacement {
    Py_ssize_t index;
    PyObject *key, *value;
};
PyObject *copy_replacing(PyObject *d, const Replacement *with, int n);

// Unpacks `item` into exactly n values (new references in out[0..n-1]) with the module's error
// texts; a tuple or list is unpacked by its length, any other iterable is read up to item n+1.
int unpack(PyObject *item, Py_ssize_t n, PyObject **out);

// `for item in iterable: visit(item)`, with f.line at `loop_line` whenever the loop itself reads
// (so a failing iterator reports the loop's line). An exact list is walked index by index, as its
// own iterator does, since the host may change it meanwhile. `visit` is handed the loop's
// reference to the item (a Ref), to drop as soon as the item is unpacked, as the interpreter
// does; it returns 0 to go on, or non-zero to stop the loop with that value.
template <class Visit>
int for_each(Frame &f, int loop_line, PyObject *iterable, Visit visit)
{
    f.line = loop_line;
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); i++) {
            if (int rc = visit(Ref::borrow(PyList_GET_ITEM(iterable, i))))
                return rc;
            f.line = loop_line;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it)
        return -1;
    while (PyObject *next = PyIter_Next(it.get())) {
        if (int rc = visit(Ref::steal(next)))
            return rc;
        f.line = loop_line;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The value of `o` when it is an exact int that CPython keeps in one machine word (a compact
// int): then arithmetic and comparisons need no call into the int type.
inline bool small_int(PyObject *o, Py_ssize_t *value)
{
    if (!PyLong_CheckExact(o) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(o)))
        return false;
    *value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(o));
    return true;
}

// `a < b` (op Py_LT) or `a >= b` (Py_GE) as a truth value.
inline int compare(PyObject *a, PyObject *b, int op)
{
    Py_ssize_t x, y;
    if (small_int(a, &x) && small_int(b, &y))
        return op == Py_LT ? x < y : x >= y;
    return PyObject_RichCompareBool(a, b, op);
}

// `key in container`
int contains(PyObject *container, PyObject *key);

// `container[key]`
PyObject *get_item(PyObject *container, PyObject *key);

// `obj.update(arg)`, through the object's own `update` unless it is a plain dict.
int update(PyObject *obj, PyObject *arg);

// `dict(arg)`: the dict constructor applied to one argument.
PyObject *dict_of(PyObject *arg);

// `{k: v for k, v in params.items()}`
PyObject *copy_items(PyObject *params);

// `obj.get(key, dflt)` (dflt NULL: one argument), through the object's own `get`; a plain dict
// is read directly since its `get` cannot be overridden.
PyObject *call_get(PyObject *obj, PyObject *key, PyObject *dflt);

// `log.info`, taken as the interpreter takes a method it is about to call: where `info` is a
// plain method of the logger's class, the function and the logger (no bound method is made);
// otherwise the attribute itself and no object.
struct Method {
    Ref callable, self;
};
int log_info(Frame &f, Method &info);

// `info(fmt, a, b)`, the result dropped.
int call_info(const Method &info, PyObject *fmt, PyObject *a, PyObject *b);

}  // namespace fm

#endif
