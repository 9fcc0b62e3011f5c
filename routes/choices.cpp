// get_free_model_choices(): the free models as entries for the chat page's model drop-down.
#include "free_models.h"

namespace fm {

namespace {

// One choice entry for a catalogue row, its thirteen keys in the drop-down's order.
PyObject *make_choice(Frame &f, PyObject *row)
{
    f.line = 133;
    PyObject *fields[3];
    if (unpack(row, 3, fields) < 0)
        return nullptr;
    Ref display = Ref::steal(fields[0]);
    Ref model_id = Ref::steal(fields[1]);
    Ref max_ctx = Ref::steal(fields[2]);

    f.line = 134;
    Ref lookup = Ref::steal(lookup_global(f.globals, s_get_optimal_params));
    if (!lookup)
        return nullptr;
    Ref opt = Ref::steal(PyObject_CallOneArg(lookup.get(), model_id.get()));
    if (!opt)
        return nullptr;

    f.line = 136;
    Ref entry = Ref::steal(PyDict_New());
    if (!entry)
        return nullptr;
    // Each value is produced at its own line; inserting it is line 136.
    auto put = [&](StrId key, Ref value) {
        if (!value)
            return -1;
        f.line = 136;
        return PyDict_SetItem(entry.get(), S(key), value.get());
    };
    auto global_at = [&](int at, StrId name) {
        f.line = at;
        return Ref::steal(lookup_global(f.globals, name));
    };
    // `opt.get(key, fallback)`; the fallback is always computed first, whether used or not.
    auto param_at = [&](int at, StrId key, Ref fallback) {
        f.line = at;
        return Ref::steal(fallback ? call_get(opt.get(), S(key), fallback.get()) : nullptr);
    };
    auto fallback_at = [&](int at, StrId key) {
        Ref table = global_at(at, s__FREE_PARAMS_FALLBACK);
        return Ref::steal(table ? PyObject_GetItem(table.get(), S(key)) : nullptr);
    };

    if (put(s_name, std::move(display)) < 0 || put(s_model, std::move(model_id)) < 0 ||
        put(s_provider, global_at(138, s_FREE_PROVIDER_TYPE)) < 0 ||
        put(s_api_type, global_at(139, s_FREE_PROVIDER_TYPE)) < 0 ||
        put(s_api_base, global_at(140, s_FREE_API_BASE)) < 0 ||
        put(s_api_key, global_at(141, s_FREE_KEYLESS_PLACEHOLDER)) < 0 ||
        put(s_enabled, Ref::borrow(Py_True)) < 0)
        return nullptr;

    f.line = 143;
    Ref modalities = Ref::steal(PyList_New(1));
    if (!modalities)
        return nullptr;
    PyList_SET_ITEM(modalities.get(), 0, Py_NewRef(S(s_text)));

    if (put(s_modalities, std::move(modalities)) < 0 ||
        put(s_max_context, std::move(max_ctx)) < 0 ||
        put(s_max_tokens,
            param_at(145, s_max_tokens, global_at(145, s__FREE_MAX_TOKENS_FALLBACK))) < 0 ||
        put(s_temperature,
            param_at(146, s_temperature, fallback_at(146, s_temperature))) < 0 ||
        put(s_top_p, param_at(147, s_top_p, fallback_at(147, s_top_p))) < 0 ||
        put(s_free, Ref::borrow(Py_True)) < 0)
        return nullptr;
    return entry.release();
}

}  // namespace

PyObject *body_get_free_model_choices(Frame &f, PyObject *const *)
{
    f.line = 132;
    Ref choices = Ref::steal(PyList_New(0));
    if (!choices)
        return nullptr;

    f.line = 133;
    Ref models = Ref::steal(lookup_global(f.globals, s_FREE_MODELS));
    if (!models)
        return nullptr;
    auto add = [&](PyObject *row) {
        Ref entry = Ref::steal(make_choice(f, row));
        if (!entry)
            return -1;
        f.line = 135;
        return PyList_Append(choices.get(), entry.get());
    };
    if (PyList_CheckExact(models.get())) {
        // Index by index, as the list iterator does: the host may change the list meanwhile.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(models.get()); i++) {
            Ref row = Ref::borrow(PyList_GET_ITEM(models.get(), i));
            if (add(row.get()) < 0)
                return nullptr;
        }
    }
    else {
        Ref it = Ref::steal(PyObject_GetIter(models.get()));
        if (!it)
            return nullptr;
        while (PyObject *item = PyIter_Next(it.get())) {
            Ref row = Ref::steal(item);
            if (add(row.get()) < 0)
                return nullptr;
            f.line = 133;
        }
        if (PyErr_Occurred())
            return nullptr;
    }
    return choices.release();
}

}  // namespace fm
