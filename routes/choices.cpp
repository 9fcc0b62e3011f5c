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

// ---------------------------------------------------------------------------------------------
// The plain path
//
// With the module's own get_optimal_params, plain dicts of str keys as its exact-match table and
// fallback, and catalogue rows that are tuples of three with ids already in normal form, building
// an entry runs no host code: every parameter set is a copy of a table entry that feeds three `get` calls and is then
// dropped. Such rows read the table entry directly and the entry's names once per call. Any
// other row takes the general path, after which the names are read again, since the host's code
// may have rebound them.

struct EntryNames {
    Ref table;        // FREE_MODEL_OPTIMAL_PARAMS
    Ref provider;     // FREE_PROVIDER_TYPE
    Ref api_base;     // FREE_API_BASE
    Ref api_key;      // FREE_KEYLESS_PLACEHOLDER
    Ref max_tokens;   // _FREE_MAX_TOKENS_FALLBACK
    Ref fallback;     // _FREE_PARAMS_FALLBACK
    Ref temperature;  // _FREE_PARAMS_FALLBACK["temperature"]
    Ref top_p;        // _FREE_PARAMS_FALLBACK["top_p"]
};

// 1 when the plain path applies (every name bound, so no lookup can fail), 0 when not.
int read_entry_names(PyObject *g, EntryNames &n)
{
    Ref fn;
    int rc = peek_global(g, s_get_optimal_params, fn);
    if (rc <= 0 || !is_own_function(fn.get(), f_get_optimal_params, g))
        return rc < 0 ? -1 : 0;
    if ((rc = peek_global(g, s_FREE_MODEL_OPTIMAL_PARAMS, n.table)) <= 0)
        return rc;
    if (!PyDict_CheckExact(n.table.get()) || !only_str_keys(n.table.get()))
        return 0;
    if ((rc = peek_global(g, s_FREE_PROVIDER_TYPE, n.provider)) <= 0 ||
        (rc = peek_global(g, s_FREE_API_BASE, n.api_base)) <= 0 ||
        (rc = peek_global(g, s_FREE_KEYLESS_PLACEHOLDER, n.api_key)) <= 0 ||
        (rc = peek_global(g, s__FREE_MAX_TOKENS_FALLBACK, n.max_tokens)) <= 0 ||
        (rc = peek_global(g, s__FREE_PARAMS_FALLBACK, n.fallback)) <= 0)
        return rc;
    if (!PyDict_CheckExact(n.fallback.get()) || !only_str_keys(n.fallback.get()))
        return 0;
    PyObject *value;
    if ((rc = PyDict_GetItemRef(n.fallback.get(), S(s_temperature), &value)) <= 0)
        return rc;
    n.temperature = Ref::steal(value);
    if ((rc = PyDict_GetItemRef(n.fallback.get(), S(s_top_p), &value)) <= 0)
        return rc;
    n.top_p = Ref::steal(value);
    return 1;
}

// Plain entries are copies of a prepared dict with the thirteen keys in order: copying a dict's
// key table is much cheaper than inserting thirteen keys. One prepared dict per catalogue
// position holds that row's values; it serves while every value is the same object (the dict
// holds them, so a match by identity is exact), and is made again when the host changes the row,
// a parameter set or a constant. Only "modalities" is new in every entry.
constexpr Py_ssize_t kTemplates = 8;
const StrId kEntryKeys[13] = {s_name, s_model, s_provider, s_api_type, s_api_base, s_api_key,
                              s_enabled, s_modalities, s_max_context, s_max_tokens,
                              s_temperature, s_top_p, s_free};

// A prepared dict is also sealed to its row and table when every dict its values came from is
// watched: until the watch epoch changes (any of them, the module namespace or the builtins
// changes), the row at its position, if still the same tuple, needs no lookup at all.
struct Template {
    PyObject *dict;           // owned, process-wide
    PyObject *values[13];     // borrowed from dict
    PyObject *row;            // owned: the row it was sealed to
    PyObject *table;          // owned: FREE_MODEL_OPTIMAL_PARAMS when it was sealed
    unsigned long epoch;      // the watch epoch of the seal; 0 when not sealed
};
Template templates[kTemplates];

// The sealed prepared dict (borrowed) for the row at `pos`, or NULL.
PyObject *sealed_template(Py_ssize_t pos, PyObject *row, PyObject *table)
{
    if (pos >= kTemplates)
        return nullptr;
    const Template &t = templates[pos];
    return t.epoch == watch_epoch && t.row == row && t.table == table ? t.dict : nullptr;
}

void seal(Py_ssize_t pos, PyObject *row, PyObject *params, const EntryNames &n)
{
    Template &t = templates[pos];
    if (!watch_dict(n.table.get()) || !watch_dict(params) || !watch_dict(n.fallback.get()))
        return;
    Py_XSETREF(t.row, Py_NewRef(row));
    Py_XSETREF(t.table, Py_NewRef(n.table.get()));
    t.epoch = watch_epoch;
}

// The entry made from a prepared dict: a copy with a "modalities" list of its own.
PyObject *entry_from(PyObject *prepared)
{
    Ref modalities = Ref::steal(PyList_New(1));
    if (!modalities)
        return nullptr;
    PyList_SET_ITEM(modalities.get(), 0, Py_NewRef(S(s_text)));
    Ref entry = Ref::steal(PyDict_Copy(prepared));
    if (!entry || PyDict_SetItem(entry.get(), S(s_modalities), modalities.get()) < 0)
        return nullptr;
    return entry.release();
}

// True when the row at catalogue position `pos` is plain. *params is then its exact-match
// parameter set (borrowed from the table), or NULL when the row's sealed prepared dict makes it
// unnecessary. An id that is the one the position's prepared dict holds is known normal.
bool plain_row(Py_ssize_t pos, PyObject *row, PyObject *table, PyObject **params)
{
    *params = nullptr;
    if (sealed_template(pos, row, table))
        return true;
    if (!PyTuple_CheckExact(row) || PyTuple_GET_SIZE(row) != 3)
        return false;
    PyObject *model_id = PyTuple_GET_ITEM(row, 1);
    bool known = pos < kTemplates && templates[pos].dict && templates[pos].values[1] == model_id;
    if (!known && (!PyUnicode_CheckExact(model_id) || !already_normal(model_id)))
        return false;
    *params = PyDict_GetItemWithError(table, model_id);
    if (!*params || !PyDict_CheckExact(*params) || !only_str_keys(*params)) {
        PyErr_Clear();  // the general path looks again and reports what it finds
        return false;
    }
    return true;
}

// The prepared dict for `values` at catalogue position `pos` (a new reference), made if needed;
// past the prepared positions one of its own.
PyObject *template_for(Py_ssize_t pos, PyObject *const *values)
{
    Template *t = pos < kTemplates ? &templates[pos] : nullptr;
    if (t && t->dict) {
        bool same = true;
        for (int i = 0; i < 13; i++)
            same = same && t->values[i] == values[i];
        if (same)
            return Py_NewRef(t->dict);
    }
    PyObject *made = PyDict_New();
    if (!made)
        return nullptr;
    for (int i = 0; i < 13; i++) {
        if (PyDict_SetItem(made, S(kEntryKeys[i]), values[i]) < 0) {
            Py_DECREF(made);
            return nullptr;
        }
    }
    if (t) {
        Py_XSETREF(t->dict, Py_NewRef(made));
        for (int i = 0; i < 13; i++)
            t->values[i] = values[i];
        t->epoch = 0;
    }
    return made;
}

// The entry of a plain row at catalogue position `pos` (`params` as plain_row gave it); only
// memory can fail here.
PyObject *plain_entry(Py_ssize_t pos, PyObject *row, PyObject *params, const EntryNames &n)
{
    if (!params)
        return entry_from(templates[pos].dict);
    auto param = [&](StrId key, PyObject *fallback) {
        PyObject *value = PyDict_GetItemWithError(params, S(key));  // str key: cannot fail
        return value ? value : fallback;
    };
    PyObject *values[13] = {
        PyTuple_GET_ITEM(row, 0),
        PyTuple_GET_ITEM(row, 1),
        n.provider.get(),
        n.provider.get(),
        n.api_base.get(),
        n.api_key.get(),
        Py_True,
        Py_None,  // modalities: a list of its own in every entry
        PyTuple_GET_ITEM(row, 2),
        param(s_max_tokens, n.max_tokens.get()),
        param(s_temperature, n.temperature.get()),
        param(s_top_p, n.top_p.get()),
        Py_True,
    };
    Ref prepared = Ref::steal(template_for(pos, values));
    if (!prepared)
        return nullptr;
    if (pos < kTemplates)
        seal(pos, row, params, n);
    return entry_from(prepared.get());
}

}  // namespace

int choose_plain_entry(Frame &f, PyObject *idx, PyObject *base, Ref &entry)
{
    Ref models;
    int rc = peek_global(f.globals, s_FREE_MODELS, models);
    if (rc <= 0 || !PyList_CheckExact(models.get()))
        return rc < 0 ? -1 : 0;
    EntryNames names;
    if ((rc = read_entry_names(f.globals, names)) <= 0)
        return rc;
    Py_ssize_t count = PyList_GET_SIZE(models.get());
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *params;
        if (!plain_row(i, PyList_GET_ITEM(models.get(), i), names.table.get(), &params))
            return 0;
    }
    Ref offset = Ref::steal(PyNumber_Subtract(idx, base));
    if (!offset)
        return -1;
    Py_ssize_t pos = PyLong_AsSsize_t(offset.get());
    if (pos == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            return -1;
        PyErr_Clear();  // far past the list
        return 1;
    }
    if (pos >= count)
        return 1;
    PyObject *row = PyList_GET_ITEM(models.get(), pos);
    PyObject *params;
    plain_row(pos, row, names.table.get(), &params);
    entry = Ref::steal(plain_entry(pos, row, params, names));
    return entry ? 1 : -1;
}

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
    EntryNames names;
    int plain = read_entry_names(f.globals, names);
    if (plain < 0)
        return nullptr;
    Py_ssize_t pos = 0;
    auto add = [&](PyObject *row) {
        PyObject *params = nullptr;
        Ref entry;
        if (plain && plain_row(pos, row, names.table.get(), &params)) {
            f.line = 136;
            entry = Ref::steal(plain_entry(pos, row, params, names));
        }
        else {
            entry = Ref::steal(make_choice(f, row));
            if (entry && (plain = read_entry_names(f.globals, names)) < 0)
                return -1;
        }
        if (!entry)
            return -1;
        f.line = 135;
        pos++;
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
