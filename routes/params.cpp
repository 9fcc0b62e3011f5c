// Sampling parameters: get_optimal_params (three-level lookup) and apply_optimal_params.
#include "free_models.h"

#include <cstring>

namespace fm {

namespace {

// `text.strip().lower()` for ASCII text (an exact str), without the two method calls: for
// ASCII, str.strip removes exactly Py_UNICODE_ISSPACE characters and str.lower maps only A-Z.
PyObject *normalise_ascii(PyObject *text)
{
    const Py_UCS1 *p = PyUnicode_1BYTE_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    // Most ids are already in normal form, as every catalogue id is.
    unsigned capitals = 0;  // no early exit: the loop vectorises
    for (Py_ssize_t i = 0; i < n; i++)
        capitals |= (unsigned)(p[i] - 'A') < 26u;
    if (!capitals && (n == 0 || (!Py_UNICODE_ISSPACE(p[0]) && !Py_UNICODE_ISSPACE(p[n - 1]))))
        return Py_NewRef(text);
    Py_ssize_t start = 0, end = n;
    while (start < end && Py_UNICODE_ISSPACE(p[start]))
        start++;
    while (end > start && Py_UNICODE_ISSPACE(p[end - 1]))
        end--;
    Py_ssize_t i = start;
    while (i < end && (unsigned)(p[i] - 'A') >= 26u)
        i++;
    if (i == end && start == 0 && end == n)
        return Py_NewRef(text);
    PyObject *out = PyUnicode_New(end - start, 127);
    if (!out)
        return nullptr;
    Py_UCS1 *q = PyUnicode_1BYTE_DATA(out);
    for (i = start; i < end; i++)
        *q++ = (Py_UCS1)Py_TOLOWER(p[i]);
    return out;
}

// `str(model_id or "").strip().lower()`
PyObject *normalise(PyObject *model_id)
{
    if (PyUnicode_CheckExact(model_id) && PyUnicode_IS_ASCII(model_id))
        return normalise_ascii(model_id);  // an empty one is its own normal form
    int truth = PyObject_IsTrue(model_id);
    if (truth < 0)
        return nullptr;
    PyObject *value = truth ? model_id : interned(s_empty);
    Ref text = PyUnicode_CheckExact(value) ? Ref::borrow(value) : Ref::steal(PyObject_Str(value));
    if (!text)
        return nullptr;
    if (PyUnicode_CheckExact(text.get()) && PyUnicode_IS_ASCII(text.get()))
        return normalise_ascii(text.get());
    Ref stripped = Ref::steal(PyObject_CallMethodNoArgs(text.get(), interned(s_strip)));
    if (!stripped)
        return nullptr;
    return PyObject_CallMethodNoArgs(stripped.get(), interned(s_lower));
}

// `mid.startswith(prefix)` as a truth value.
int starts_with(PyObject *mid, PyObject *prefix)
{
    if (PyUnicode_CheckExact(mid) && PyUnicode_CheckExact(prefix)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(prefix);
        if (n > PyUnicode_GET_LENGTH(mid))
            return 0;
        int kind = PyUnicode_KIND(prefix);
        if (kind == PyUnicode_KIND(mid))
            return memcmp(PyUnicode_DATA(mid), PyUnicode_DATA(prefix), (size_t)n * kind) == 0;
        return (int)PyUnicode_Tailmatch(mid, prefix, 0, PY_SSIZE_T_MAX, -1);
    }
    Ref r = Ref::steal(PyObject_CallMethodOneArg(mid, interned(s_startswith), prefix));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// The values of the exact dict `set` under "max_tokens", "temperature" and "top_p" (borrowed,
// NULL where missing), when every key of it is an exact str: then `get` would run no host code
// and a key of the same text is the key. False, and nothing read, otherwise.
bool read_values(PyObject *set, PyObject *(&found)[3])
{
    const StrId wanted[3] = {s_max_tokens, s_temperature, s_top_p};
    found[0] = found[1] = found[2] = nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(set, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key))
            return false;
        int i = 0;
        while (i < 3 && key != interned(wanted[i]))
            i++;
        if (i == 3) {  // the same text in another object
            i = 0;
            while (i < 3 && PyUnicode_Compare(key, interned(wanted[i])) != 0)
                i++;
        }
        if (i < 3)
            found[i] = value;
    }
    return true;
}

// Tells the values read_values() found; 1, as the lookup answers then.
int tell(ParamValues &values, PyObject *const (&found)[3])
{
    values.max_tokens = Ref::borrow(found[0]);
    values.temperature = Ref::borrow(found[1]);
    values.top_p = Ref::borrow(found[2]);
    return 1;
}

// The lookup's answer `params`, a new dict, handed out as it is, or told as its three values
// when the caller wants them and `get` on it would run no host code: it is the caller's own,
// so its values cannot change before the caller reads them.
int answer_with(Ref params, ParamValues *values, Ref &out)
{
    PyObject *found[3];
    if (values && read_values(params.get(), found))
        return tell(*values, found);
    out = std::move(params);
    return 0;
}

// One family pair: 1 and `params` set when its prefix matches, 0 when not, -1 on error.
int try_family(Frame &f, PyObject *mid, PyObject *pair, Ref &params)
{
    f.line = 96;
    PyObject *halves[2];
    if (unpack(pair, 2, halves) < 0)
        return -1;
    Ref prefix = Ref::steal(halves[0]);
    Ref family_params = Ref::steal(halves[1]);

    f.line = 97;
    int match = starts_with(mid, prefix.get());
    if (match <= 0)
        return match;

    f.line = 98;
    Ref fallback = Ref::steal(lookup_global(f.globals, s__FREE_PARAMS_FALLBACK));
    if (!fallback)
        return -1;
    params = Ref::steal(dict_of(fallback.get()));
    if (!params)
        return -1;
    f.line = 99;
    return dict_update(params.get(), family_params.get()) < 0 ? -1 : 1;
}

// The three-level lookup. Answers 0 with a new dict in `params`, or, when `values` is given and
// the answer would be a plain dict of str keys, 1 with its three values in `values` instead.
int lookup_optimal_params(Frame &f, PyObject *model_id, Ref &params, ParamValues *values)
{
    f.line = 93;
    Ref mid = Ref::steal(normalise(model_id));
    if (!mid)
        return -1;

    f.line = 94;
    {
        Ref table = Ref::steal(lookup_global(f.globals, s_FREE_MODEL_OPTIMAL_PARAMS));
        if (!table)
            return -1;
        int found = contains(table.get(), mid.get());
        if (found < 0)
            return -1;
        if (found) {
            f.line = 95;
            Ref again = Ref::steal(lookup_global(f.globals, s_FREE_MODEL_OPTIMAL_PARAMS));
            if (!again)
                return -1;
            Ref entry = Ref::steal(get_item(again.get(), mid.get()));
            if (!entry)
                return -1;
            // The values its copy would have, read here: the copy would be the caller's alone.
            PyObject *found[3];
            if (values && PyDict_CheckExact(entry.get()) && read_values(entry.get(), found))
                return tell(*values, found);
            Ref copy = Ref::steal(dict_of(entry.get()));
            if (!copy)
                return -1;
            return answer_with(std::move(copy), values, params);
        }
    }

    f.line = 96;
    Ref families = Ref::steal(lookup_global(f.globals, s__FREE_MODEL_FAMILY_PARAMS));
    if (!families)
        return -1;
    Ref found;
    if (PyList_CheckExact(families.get())) {
        // Index by index, as the list iterator does: the host may change the list meanwhile.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(families.get()); i++) {
            Ref pair = Ref::borrow(PyList_GET_ITEM(families.get(), i));
            int rc = try_family(f, mid.get(), pair.get(), found);
            if (rc)
                return rc < 0 ? -1 : answer_with(std::move(found), values, params);
        }
    }
    else {
        Ref it = Ref::steal(PyObject_GetIter(families.get()));
        if (!it)
            return -1;
        while (PyObject *item = PyIter_Next(it.get())) {
            Ref pair = Ref::steal(item);
            int rc = try_family(f, mid.get(), pair.get(), found);
            if (rc)
                return rc < 0 ? -1 : answer_with(std::move(found), values, params);
            f.line = 96;
        }
        if (PyErr_Occurred())
            return -1;
    }

    f.line = 101;
    Ref fallback = Ref::steal(lookup_global(f.globals, s__FREE_PARAMS_FALLBACK));
    if (!fallback)
        return -1;
    found = Ref::steal(dict_of(fallback.get()));
    if (!found)
        return -1;
    f.line = 102;
    Ref max_tokens = Ref::steal(lookup_global(f.globals, s__FREE_MAX_TOKENS_FALLBACK));
    if (!max_tokens || PyDict_SetItem(found.get(), interned(s_max_tokens), max_tokens.get()) < 0)
        return -1;
    return answer_with(std::move(found), values, params);
}

// `{k: v for k, v in params.items()}`
PyObject *copy_items(PyObject *params)
{
    if (PyDict_CheckExact(params) && str_keys_only(params))
        return PyDict_Copy(params);  // the same dict, made without running host code
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(params, interned(s_items)));
    if (!items)
        return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    Ref copy = Ref::steal(it ? PyDict_New() : nullptr);
    if (!copy)
        return nullptr;
    while (PyObject *item = PyIter_Next(it.get())) {
        PyObject *kv[2];
        int rc = unpack(item, 2, kv);
        Py_DECREF(item);
        if (rc < 0)
            return nullptr;
        rc = PyDict_SetItem(copy.get(), kv[0], kv[1]);
        Py_DECREF(kv[0]);
        Py_DECREF(kv[1]);
        if (rc < 0)
            return nullptr;
    }
    return PyErr_Occurred() ? nullptr : copy.release();
}

// `obj.update(arg)`, through the object's own `update` unless it is a plain dict.
int call_update(PyObject *obj, PyObject *arg)
{
    if (PyDict_CheckExact(obj))
        return dict_update(obj, arg);
    Ref r = Ref::steal(PyObject_CallMethodOneArg(obj, interned(s_update), arg));
    return r ? 0 : -1;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// get_optimal_params(model_id)

PyObject *body_get_optimal_params(Frame &f, PyObject *const *args)
{
    Ref params;
    if (lookup_optimal_params(f, args[0], params, nullptr) < 0)
        return nullptr;
    return params.release();
}

int optimal_param_values(PyObject *globals, PyObject *model_id, ParamValues &values,
                         Ref &params)
{
    Frame f{globals, kFunctions[f_get_optimal_params].def_line};
    int rc = lookup_optimal_params(f, model_id, params, &values);
    if (rc < 0)
        add_traceback(f_get_optimal_params, f.line, globals);
    return rc;
}

// ---------------------------------------------------------------------------------------------
// apply_optimal_params(cfg)

PyObject *body_apply_optimal_params(Frame &f, PyObject *const *args)
{
    PyObject *cfg = args[0];
    f.line = 114;
    int truth = PyObject_IsTrue(cfg);
    if (truth <= 0)
        return truth < 0 ? nullptr : Py_NewRef(cfg);

    f.line = 116;
    Ref lookup = Ref::steal(lookup_global(f.globals, s_get_optimal_params));
    if (!lookup)
        return nullptr;
    Ref model = Ref::steal(call_get(cfg, interned(s_model), nullptr));
    if (!model)
        return nullptr;
    Ref params = Ref::steal(PyObject_CallOneArg(lookup.get(), model.get()));
    if (!params)
        return nullptr;

    f.line = 117;
    if (call_update(cfg, params.get()) < 0)
        return nullptr;

    f.line = 120;
    Ref top_p = Ref::steal(get_item(params.get(), interned(s_top_p)));
    if (!top_p || PyObject_SetItem(cfg, interned(s__free_top_p), top_p.get()) < 0)
        return nullptr;

    f.line = 121;
    Ref log = Ref::steal(lookup_global(f.globals, s_log));
    Ref info = Ref::steal(log ? PyObject_GetAttr(log.get(), interned(s_info)) : nullptr);
    if (!info)
        return nullptr;
    f.line = 122;
    Ref shown_model = Ref::steal(call_get(cfg, interned(s_model), nullptr));
    Ref shown_params = Ref::steal(shown_model ? copy_items(params.get()) : nullptr);
    if (!shown_params)
        return nullptr;
    f.line = 121;
    if (call_info(info.get(), interned(s_fmt_applied), shown_model.get(), shown_params.get()) < 0)
        return nullptr;
    return Py_NewRef(cfg);
}

}  // namespace fm
