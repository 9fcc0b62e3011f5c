// The free-model catalogue: the module's constants and the module-level statements that bind
// the tables into the namespace, in source order.
#include "free_models.h"

namespace fm {

Constants constants;

namespace {

const char *const kStringTexts[s_count] = {
#define FM_TEXT(id, text) text,
    FM_STRINGS(FM_TEXT)
#undef FM_TEXT
};

int prepare_int(PyObject **slot, long value)
{
    if (!*slot)
        *slot = PyLong_FromLong(value);
    return *slot ? 0 : -1;
}

int prepare_float(PyObject **slot, double value)
{
    if (!*slot)
        *slot = PyFloat_FromDouble(value);
    return *slot ? 0 : -1;
}

int prepare_tuple(PyObject **slot, Py_ssize_t n, PyObject *a, PyObject *b = nullptr,
                  PyObject *c = nullptr)
{
    if (!*slot)
        *slot = PyTuple_Pack(n, a, b, c);
    return *slot ? 0 : -1;
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
        if (!constants.str[i] && !(constants.str[i] = PyUnicode_InternFromString(kStringTexts[i])))
            return -1;
    }
    if (prepare_int(&constants.int_zero, 0) < 0 || prepare_int(&constants.int_model_base, 900000) < 0 ||
        prepare_int(&constants.int_16384, 16384) < 0 ||
        prepare_int(&constants.int_32768, 32768) < 0 || prepare_int(&constants.int_192000, 192000) < 0 ||
        prepare_int(&constants.int_256000, 256000) < 0)
        return -1;
    if (prepare_float(&constants.f02, 0.2) < 0 || prepare_float(&constants.f04, 0.4) < 0 ||
        prepare_float(&constants.f06, 0.6) < 0 || prepare_float(&constants.f07, 0.7) < 0 ||
        prepare_float(&constants.f09, 0.9) < 0 || prepare_float(&constants.f095, 0.95) < 0)
        return -1;
    return 0;
}

int prepare_tuples()
{
    if (prepare_tuple(&constants.rows[0], 3, interned(s_row0_name), interned(s_row0_id), constants.int_192000) < 0 ||
        prepare_tuple(&constants.rows[1], 3, interned(s_row1_name), interned(s_row1_id), constants.int_256000) < 0 ||
        prepare_tuple(&constants.rows[2], 3, interned(s_row2_name), interned(s_row2_id), constants.int_192000) < 0 ||
        prepare_tuple(&constants.rows[3], 3, interned(s_row3_name), interned(s_row3_id), constants.int_192000) < 0)
        return -1;
    if (prepare_tuple(&constants.system_prompt_args, 2, interned(s_system_prompt), interned(s_empty)) < 0 ||
        prepare_tuple(&constants.resolve_defaults, 1, Py_None) < 0)
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
    if (bind(g, s_FREE_MODEL_BASE, constants.int_model_base) < 0)
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
        if (!headers || PyDict_SetItem(headers.get(), interned(s_HTTP_Referer), interned(s_referer_url)) < 0 ||
            PyDict_SetItem(headers.get(), interned(s_X_Title), interned(s_title)) < 0)
            return -1;
        at = line::attribution_bind;
        if (bind(g, s_FREE_ATTRIBUTION_HEADERS, headers.get()) < 0)
            return -1;
    }

    {
        at = line::models;
        Ref models = Ref::steal(PyList_New(4));
        if (!models)
            return -1;
        for (int i = 0; i < 4; i++)
            PyList_SET_ITEM(models.get(), i, Py_NewRef(constants.rows[i]));
        if (bind(g, s_FREE_MODELS, models.get()) < 0)
            return -1;
    }

    {
        struct Entry { int line; StrId id; PyObject *t, *p, *m; };
        const Entry entries[4] = {
            {line::optimal_hy3, s_row0_id, constants.f07, constants.f095, constants.int_16384},
            {line::optimal_laguna, s_row1_id, constants.f02, constants.f09, constants.int_16384},
            {line::optimal_ultra, s_row2_id, constants.f06, constants.f095, constants.int_32768},
            {line::optimal_lightning, s_row3_id, constants.f04, constants.f095, constants.int_16384},
        };
        at = line::optimal_hy3;
        Ref table = Ref::steal(PyDict_New());
        if (!table)
            return -1;
        for (const Entry &e : entries) {
            at = e.line;
            Ref params = Ref::steal(make_params(e.t, e.p, e.m));
            if (!params)
                return -1;
            at = line::optimal_hy3;
            if (PyDict_SetItem(table.get(), interned(e.id), params.get()) < 0)
                return -1;
        }
        at = line::optimal_bind;
        if (bind(g, s_FREE_MODEL_OPTIMAL_PARAMS, table.get()) < 0)
            return -1;
    }

    {
        struct Family { int line; StrId prefix; PyObject *t, *p; };
        const Family families[3] = {
            {line::family_nemotron, s_family_nemotron, constants.f06, constants.f095},
            {line::family_laguna, s_family_laguna, constants.f02, constants.f09},
            {line::family_hy, s_family_hy, constants.f07, constants.f095},
        };
        at = line::family_bind;
        Ref pairs = Ref::steal(PyList_New(3));
        if (!pairs)
            return -1;
        for (int i = 0; i < 3; i++) {
            at = families[i].line;
            Ref params = Ref::steal(make_params(families[i].t, families[i].p, nullptr));
            if (!params)
                return -1;
            PyObject *pair = PyTuple_Pack(2, interned(families[i].prefix), params.get());
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
        Ref fallback = Ref::steal(make_params(constants.f07, constants.f095, nullptr));
        if (!fallback || bind(g, s__FREE_PARAMS_FALLBACK, fallback.get()) < 0)
            return -1;
    }

    at = line::max_tokens_fallback;
    return bind(g, s__FREE_MAX_TOKENS_FALLBACK, constants.int_16384);
}

}  // namespace fm
