// The free-model catalogue: the module's constants and the module-level statements that bind
// the tables into the namespace, in source order.
#include "catalogue.h"
#include "function.h"
#include "kept.h"
#include "ref.h"
#include "traceback.h"

namespace fm {

Constants constants;

namespace {

const char *const kStringTexts[s_count] = {
#define FM_TEXT(id, text) text,
    FM_STRINGS(FM_TEXT)
#undef FM_TEXT
};

int prepare(PyObject **slot, PyObject *made)
{
    if (*slot) {
        Py_XDECREF(made);
        return 0;
    }
    *slot = made;
    return made ? 0 : -1;
}

int prepare_str(PyObject **slot, const char *text)
{
    return *slot ? 0 : prepare(slot, PyUnicode_InternFromString(text));
}

int prepare_int(PyObject **slot, long value)
{
    return *slot ? 0 : prepare(slot, PyLong_FromLong(value));
}

int prepare_float(PyObject **slot, double value)
{
    return *slot ? 0 : prepare(slot, PyFloat_FromDouble(value));
}

// A parameter set: "temperature", "top_p" and, when given, "max_tokens", in that order.
PyObject *make_params(PyObject *temperature, PyObject *top_p, PyObject *max_tokens)
{
    Ref d = Ref::steal(PyDict_New());
    if (!d || PyDict_SetItem(d.get(), interned(s_temperature), temperature) < 0 ||
        PyDict_SetItem(d.get(), interned(s_top_p), top_p) < 0)
        return nullptr;
    if (max_tokens && PyDict_SetItem(d.get(), interned(s_max_tokens), max_tokens) < 0)
        return nullptr;
    return d.release();
}

int bind(PyObject *g, StrId name, PyObject *value)
{
    return PyDict_SetItem(g, interned(name), value);
}

}  // namespace

// Steps that may run again after a failed import keep what an earlier attempt prepared: the
// constants are immutable and shared by every module object the process makes.
void forget_constants()
{
    constants = Constants{};
}

int prepare_constants()
{
    for (int i = 0; i < s_count; i++) {
        if (prepare_str(&constants.str[i], kStringTexts[i]) < 0)
            return -1;
    }
    if (prepare_int(&constants.int_zero, 0) < 0 ||
        prepare_int(&constants.model_base, kModelBase) < 0 ||
        prepare_float(&constants.fallback_temperature, kFallbackTemperature) < 0 ||
        prepare_float(&constants.fallback_top_p, kFallbackTopP) < 0 ||
        prepare_int(&constants.fallback_max_tokens, kFallbackMaxTokens) < 0)
        return -1;
    for (Py_ssize_t i = 0; i < kModelCount; i++) {
        const CatalogueModel &model = kModels[i];
        ModelObjects &made = constants.models[i];
        if (prepare_str(&made.name, model.name) < 0 || prepare_str(&made.id, model.id) < 0 ||
            prepare_int(&made.context_window, model.context_window) < 0 ||
            prepare_float(&made.temperature, model.temperature) < 0 ||
            prepare_float(&made.top_p, model.top_p) < 0 ||
            prepare_int(&made.max_tokens, model.max_tokens) < 0)
            return -1;
    }
    for (Py_ssize_t i = 0; i < kFamilyCount; i++) {
        const CatalogueFamily &family = kFamilies[i];
        FamilyObjects &made = constants.families[i];
        if (prepare_str(&made.prefix, family.prefix) < 0 ||
            prepare_float(&made.temperature, family.temperature) < 0 ||
            prepare_float(&made.top_p, family.top_p) < 0)
            return -1;
    }
    return 0;
}

int prepare_tuples()
{
    for (ModelObjects &made : constants.models) {
        if (!made.row &&
            prepare(&made.row, PyTuple_Pack(3, made.name, made.id, made.context_window)) < 0)
            return -1;
    }
    if (!constants.params_shape &&
        prepare(&constants.params_shape, make_params(Py_None, Py_None, Py_None)) < 0)
        return -1;
    if (!constants.system_prompt_args &&
        prepare(&constants.system_prompt_args,
                PyTuple_Pack(2, interned(s_system_prompt), interned(s_empty))) < 0)
        return -1;
    if (!constants.resolve_defaults &&
        prepare(&constants.resolve_defaults, PyTuple_Pack(1, Py_None)) < 0)
        return -1;
    return 0;
}

int run_catalogue_statements(PyObject *module, int *failed_line)
{
    PyObject *g = PyModule_GetDict(module);
    int &at = *failed_line;

    at = line::import_logging;
    {
        Ref logging = Ref::steal(PyImport_ImportModuleLevelObject(interned(s_logging), g, nullptr,
                                                                  nullptr, 0));
        if (!logging || bind(g, s_logging, logging.get()) < 0)
            return -1;
    }

    at = line::log;
    {
        Ref logging = Ref::steal(lookup_name(g, s_logging));
        if (!logging)
            return -1;
        Ref log = Ref::steal(PyObject_CallMethodOneArg(logging.get(), interned(s_getLogger),
                                                       interned(s_logger_name)));
        if (!log || bind(g, s_log, log.get()) < 0)
            return -1;
    }

    at = line::model_base;
    if (bind(g, s_FREE_MODEL_BASE, constants.model_base) < 0)
        return -1;
    at = line::provider_type;
    if (bind(g, s_FREE_PROVIDER_TYPE, interned(s_provider_type)) < 0)
        return -1;
    at = line::api_base;
    if (bind(g, s_FREE_API_BASE, interned(s_api_base_url)) < 0)
        return -1;
    at = line::keyless_placeholder;
    if (bind(g, s_FREE_KEYLESS_PLACEHOLDER, interned(s_keyless_placeholder)) < 0)
        return -1;

    {
        at = line::attribution_build;
        Ref headers = Ref::steal(PyDict_New());
        if (!headers ||
            PyDict_SetItem(headers.get(), interned(s_HTTP_Referer), interned(s_referer_url)) < 0 ||
            PyDict_SetItem(headers.get(), interned(s_X_Title), interned(s_title)) < 0)
            return -1;
        at = line::attribution_bind;
        if (bind(g, s_FREE_ATTRIBUTION_HEADERS, headers.get()) < 0)
            return -1;
    }

    {
        at = line::models;
        Ref models = Ref::steal(PyList_New(kModelCount));
        if (!models)
            return -1;
        for (Py_ssize_t i = 0; i < kModelCount; i++)
            PyList_SET_ITEM(models.get(), i, Py_NewRef(constants.models[i].row));
        if (bind(g, s_FREE_MODELS, models.get()) < 0)
            return -1;
    }

    {
        at = line::optimal_table;
        Ref table = Ref::steal(PyDict_New());
        if (!table)
            return -1;
        for (Py_ssize_t i = 0; i < kModelCount; i++) {
            const ModelObjects &made = constants.models[i];
            at = kModels[i].line;
            Ref params = Ref::steal(make_params(made.temperature, made.top_p, made.max_tokens));
            if (!params)
                return -1;
            at = line::optimal_table;
            if (PyDict_SetItem(table.get(), made.id, params.get()) < 0)
                return -1;
        }
        at = line::optimal_bind;
        if (bind(g, s_FREE_MODEL_OPTIMAL_PARAMS, table.get()) < 0)
            return -1;
    }

    {
        at = line::family_bind;
        Ref pairs = Ref::steal(PyList_New(kFamilyCount));
        if (!pairs)
            return -1;
        for (Py_ssize_t i = 0; i < kFamilyCount; i++) {
            const FamilyObjects &made = constants.families[i];
            at = kFamilies[i].line;
            Ref params = Ref::steal(make_params(made.temperature, made.top_p, nullptr));
            if (!params)
                return -1;
            PyObject *pair = PyTuple_Pack(2, made.prefix, params.get());
            if (!pair)
                return -1;
            PyList_SET_ITEM(pairs.get(), i, pair);
        }
        at = line::family_bind;
        if (bind(g, s__FREE_MODEL_FAMILY_PARAMS, pairs.get()) < 0)
            return -1;
    }

    {
        at = line::params_fallback;
        Ref fallback = Ref::steal(
            make_params(constants.fallback_temperature, constants.fallback_top_p, nullptr));
        if (!fallback || bind(g, s__FREE_PARAMS_FALLBACK, fallback.get()) < 0)
            return -1;
    }

    at = line::max_tokens_fallback;
    return bind(g, s__FREE_MAX_TOKENS_FALLBACK, constants.fallback_max_tokens);
}

}  // namespace fm
