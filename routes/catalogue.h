// The catalogue of routes.free_models, and the constants made of it: the interned strings and the
// objects of every row, which the exec step prepares once (catalogue.cpp).
#ifndef ROUTES_CATALOGUE_H
#define ROUTES_CATALOGUE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace fm {

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

// After the interpreter that made them is finalized, the next import forgets them without
// releasing them (module.cpp).
void forget_constants();

}  // namespace fm

#endif
