// Sampling parameters: get_optimal_params (three-level lookup) and apply_optimal_params.
#include "free_models.h"

#include <cstring>

namespace fm {

// Plain ASCII without surrounding white space or capitals: the form every catalogue id and most
// callers' ids already have.
bool already_normal(PyObject *s)
{
    if (!PyUnicode_IS_ASCII(s))
        return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const Py_UCS1 *p = PyUnicode_1BYTE_DATA(s);
    if (n && (Py_UNICODE_ISSPACE(p[0]) || Py_UNICODE_ISSPACE(p[n - 1])))
        return false;
    unsigned capitals = 0;  // no early exit: the loop vectorises
    for (Py_ssize_t i = 0; i < n; i++)
        capitals |= (unsigned)(p[i] - 'A') < 26u;
    return !capitals;
}

namespace {

// `text.strip().lower()` for ASCII text (an exact str), without the two method calls: for
// ASCII, str.strip removes exactly Py_UNICODE_ISSPACE characters and str.lower maps only A-Z.
PyObject *normalise_ascii(PyObject *text)
{
    const Py_UCS1 *p = PyUnicode_1BYTE_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
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
    PyObject *value = truth ? model_id : S(s_empty);
    Ref text = PyUnicode_CheckExact(value) ? Ref::borrow(value) : Ref::steal(PyObject_Str(value));
    if (!text)
        return nullptr;
    if (PyUnicode_CheckExact(text.get()) && PyUnicode_IS_ASCII(text.get()))
        return normalise_ascii(text.get());
    Ref stripped = Ref::steal(PyObject_CallMethodNoArgs(text.get(), S(s_strip)));
    if (!stripped)
        return nullptr;
    return PyObject_CallMethodNoArgs(stripped.get(), S(s_lower));
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
    Ref r = Ref::steal(PyObject_CallMethodOneArg(mid, S(s_startswith), prefix));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// The exact-match level: 1 and *out set when `mid` is a key of FREE_MODEL_OPTIMAL_PARAMS.
int exact_match(Frame &f, PyObject *mid, PyObject **out)
{
    Ref table = Ref::steal(lookup_global(f.globals, s_FREE_MODEL_OPTIMAL_PARAMS));
    if (!table)
        return -1;
    if (PyDict_CheckExact(table.get()) && PyUnicode_CheckExact(mid) &&
        only_str_keys(table.get())) {
        // A plain dict of str keys and a str id: the membership test and the second read of
        // the table run no host code, so one lookup answers both.
        PyObject *entry;
        int found = PyDict_GetItemRef(table.get(), mid, &entry);
        if (found <= 0)
            return found;
        f.line = 95;
        Ref held = Ref::steal(entry);
        *out = dict_of(entry);
        return *out ? 1 : -1;
    }
    int found = PySequence_Contains(table.get(), mid);
    if (found <= 0)
        return found;
    f.line = 95;
    table = Ref::steal(lookup_global(f.globals, s_FREE_MODEL_OPTIMAL_PARAMS));
    if (!table)
        return -1;
    Ref entry = Ref::steal(PyObject_GetItem(table.get(), mid));
    *out = entry ? dict_of(entry.get()) : nullptr;
    return *out ? 1 : -1;
}

// One family pair: 1 and *out set when its prefix matches, 0 when not, -1 on error.
int try_family(Frame &f, PyObject *mid, PyObject *pair, PyObject **out)
{
    f.line = 96;
    Ref prefix, family_params;
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
        // A pair as the catalogue has it is read directly.
        prefix = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        family_params = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
    }
    else {
        PyObject *halves[2];
        if (unpack(pair, 2, halves) < 0)
            return -1;
        prefix = Ref::steal(halves[0]);
        family_params = Ref::steal(halves[1]);
    }

    f.line = 97;
    int match = starts_with(mid, prefix.get());
    if (match <= 0)
        return match;

    f.line = 98;
    Ref fallback = Ref::steal(lookup_global(f.globals, s__FREE_PARAMS_FALLBACK));
    if (!fallback)
        return -1;
    Ref params = Ref::steal(dict_of(fallback.get()));
    if (!params)
        return -1;
    f.line = 99;
    if (dict_update(params.get(), family_params.get()) < 0)
        return -1;
    *out = params.release();
    return 1;
}

// A copy of `params` when it is a plain dict with str keys, where the comprehension below runs
// no host code and gives the same dict; NULL (no error) otherwise.
PyObject *plain_copy(PyObject *params)
{
    if (!PyDict_CheckExact(params) || !str_keys_now(params))
        return nullptr;
    return PyDict_Copy(params);
}

// `{k: v for k, v in params.items()}`
PyObject *copy_items(PyObject *params)
{
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(params, S(s_items)));
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
    Ref r = Ref::steal(PyObject_CallMethodOneArg(obj, S(s_update), arg));
    return r ? 0 : -1;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// get_optimal_params(model_id)

PyObject *body_get_optimal_params(Frame &f, PyObject *const *args)
{
    f.line = 93;
    Ref mid = Ref::steal(normalise(args[0]));
    if (!mid)
        return nullptr;

    f.line = 94;
    PyObject *found = nullptr;
    int rc = exact_match(f, mid.get(), &found);
    if (rc)
        return rc < 0 ? nullptr : found;

    f.line = 96;
    {
        Ref families = Ref::steal(lookup_global(f.globals, s__FREE_MODEL_FAMILY_PARAMS));
        if (!families)
            return nullptr;
        if (PyList_CheckExact(families.get())) {
            // Index by index, as the list iterator does: the host may change the list meanwhile.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(families.get()); i++) {
                Ref pair = Ref::borrow(PyList_GET_ITEM(families.get(), i));
                rc = try_family(f, mid.get(), pair.get(), &found);
                if (rc)
                    return rc < 0 ? nullptr : found;
            }
        }
        else {
            Ref it = Ref::steal(PyObject_GetIter(families.get()));
            if (!it)
                return nullptr;
            while (PyObject *item = PyIter_Next(it.get())) {
                Ref pair = Ref::steal(item);
                rc = try_family(f, mid.get(), pair.get(), &found);
                if (rc)
                    return rc < 0 ? nullptr : found;
                f.line = 96;
            }
            if (PyErr_Occurred())
                return nullptr;
        }
    }

    f.line = 101;
    Ref fallback = Ref::steal(lookup_global(f.globals, s__FREE_PARAMS_FALLBACK));
    if (!fallback)
        return nullptr;
    Ref params = Ref::steal(dict_of(fallback.get()));
    if (!params)
        return nullptr;
    f.line = 102;
    Ref max_tokens = Ref::steal(lookup_global(f.globals, s__FREE_MAX_TOKENS_FALLBACK));
    if (!max_tokens || PyDict_SetItem(params.get(), S(s_max_tokens), max_tokens.get()) < 0)
        return nullptr;
    return params.release();
}

namespace {

// Answers remembered by the id object the caller passed (None and False too): hosts pass the same
// string objects again and again (the catalogue's own, or their configuration's). An answer holds
// while the table is the same watched, unchanged dict and, for a family or the fallback, the
// family list still holds the same pairs up to the answer (tuples: their prefixes cannot
// change). The parameter sets are copied anew on every call, so changes inside them show.
constexpr Py_ssize_t kPairs = 8;
struct Answer {
    PyObject *id;             // owned
    PyObject *table;          // owned
    PyObject *entry;          // owned: the exact match, or NULL
    PyObject *families;       // owned: the family list walked, for the other answers
    PyObject *pairs[kPairs];  // owned: its pairs as they were, up to the answer
    Py_ssize_t walked;        // pairs tested; the last one matched when `family`
    bool family;
    unsigned long epoch;
};
constexpr int kAnswers = 4;
Answer answers[kAnswers];
int next_answer;

// The answer remembered for `model_id` over `table`, if any; answers other than an exact match
// still need still_holds() with the family list.
const Answer *remembered(PyObject *model_id, PyObject *table)
{
    for (const Answer &a : answers) {
        if (a.id == model_id && a.table == table && a.epoch == watch_epoch)
            return &a;
    }
    return nullptr;
}

bool still_holds(const Answer &a, PyObject *families)
{
    Py_ssize_t size = PyList_GET_SIZE(families);
    if (a.families != families || size < a.walked || (!a.family && size != a.walked))
        return false;
    for (Py_ssize_t i = 0; i < a.walked; i++) {
        if (PyList_GET_ITEM(families, i) != a.pairs[i])
            return false;
    }
    return true;
}

void remember(PyObject *model_id, PyObject *table, PyObject *entry, PyObject *families,
              Py_ssize_t walked, bool family)
{
    if (walked > kPairs || !watch_dict(table))
        return;
    Answer &a = answers[next_answer];
    next_answer = (next_answer + 1) % kAnswers;
    Py_XSETREF(a.id, Py_NewRef(model_id));
    Py_XSETREF(a.table, Py_NewRef(table));
    Py_XSETREF(a.entry, Py_XNewRef(entry));
    Py_XSETREF(a.families, Py_XNewRef(families));
    for (Py_ssize_t i = 0; i < kPairs; i++)
        Py_XSETREF(a.pairs[i], i < walked ? Py_NewRef(PyList_GET_ITEM(families, i)) : nullptr);
    a.walked = walked;
    a.family = family;
    a.epoch = watch_epoch;
}

// The family level: a copy of the fallback updated with the family's set.
PyObject *family_answer(PyObject *fallback, PyObject *family, int *line)
{
    Ref params = Ref::steal(PyDict_Copy(fallback));
    if (!params || PyDict_Merge(params.get(), family, 1) < 0) {
        *line = params ? 99 : 98;
        return nullptr;
    }
    return params.release();
}

// The generic fallback: a copy of the fallback with "max_tokens".
PyObject *fallback_answer(PyObject *fallback, PyObject *max_tokens, int *line)
{
    Ref params = Ref::steal(PyDict_Copy(fallback));
    if (!params || PyDict_SetItem(params.get(), S(s_max_tokens), max_tokens) < 0) {
        *line = params ? 102 : 101;
        return nullptr;
    }
    return params.release();
}

}  // namespace

// The whole lookup when the id is text (or None/False) and every table has the catalogue's own
// plain types: then no host code can run, and the body's recursion guard is not needed. Anything
// else, including a missing name, is left to the body, which starts over.
PyObject *quick_get_optimal_params(PyObject *globals, PyObject *const *args, int *line)
{
    PyObject *model_id = args[0];
    bool text = PyUnicode_CheckExact(model_id) && PyUnicode_IS_ASCII(model_id);
    if (!text && model_id != Py_None && model_id != Py_False)
        return nullptr;

    Ref table, families, fallback, max_tokens;
    if (peek_global(globals, s_FREE_MODEL_OPTIMAL_PARAMS, table) <= 0 ||
        !PyDict_CheckExact(table.get()) || !only_str_keys(table.get()))
        goto general;
    {
        const Answer *a = remembered(model_id, table.get());
        if (a && a->entry) {
            PyObject *copy = PyDict_Copy(a->entry);
            *line = copy ? 0 : 95;
            return copy;
        }
        if (peek_global(globals, s__FREE_MODEL_FAMILY_PARAMS, families) <= 0 ||
            !PyList_CheckExact(families.get()) ||
            peek_global(globals, s__FREE_PARAMS_FALLBACK, fallback) <= 0 ||
            !PyDict_CheckExact(fallback.get()) || !only_str_keys(fallback.get()) ||
            peek_global(globals, s__FREE_MAX_TOKENS_FALLBACK, max_tokens) < 0)
            goto general;
        if (a && still_holds(*a, families.get())) {
            if (a->family) {
                PyObject *family = PyTuple_GET_ITEM(a->pairs[a->walked - 1], 1);
                if (PyDict_CheckExact(family) && only_str_keys(family))
                    return family_answer(fallback.get(), family, line);
            }
            else if (max_tokens) {
                return fallback_answer(fallback.get(), max_tokens.get(), line);
            }
        }
    }

    {
        Ref mid = text ? Ref::steal(normalise_ascii(model_id)) : Ref::borrow(S(s_empty));
        if (!mid) {
            *line = 93;
            return nullptr;
        }
        if (PyObject *entry = PyDict_GetItemWithError(table.get(), mid.get())) {
            if (!PyDict_CheckExact(entry))
                return nullptr;
            remember(model_id, table.get(), entry, nullptr, 0, false);
            PyObject *copy = PyDict_Copy(entry);
            *line = copy ? 0 : 95;
            return copy;
        }
        Py_ssize_t count = PyList_GET_SIZE(families.get());
        for (Py_ssize_t i = 0; i < count; i++) {
            PyObject *pair = PyList_GET_ITEM(families.get(), i);
            if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2 ||
                !PyUnicode_CheckExact(PyTuple_GET_ITEM(pair, 0)))
                return nullptr;
            if (!starts_with(mid.get(), PyTuple_GET_ITEM(pair, 0)))
                continue;
            PyObject *family = PyTuple_GET_ITEM(pair, 1);
            if (!PyDict_CheckExact(family) || !only_str_keys(family))
                return nullptr;
            remember(model_id, table.get(), nullptr, families.get(), i + 1, true);
            return family_answer(fallback.get(), family, line);
        }
        if (!max_tokens)
            return nullptr;  // the body raises the NameError
        remember(model_id, table.get(), nullptr, families.get(), count, false);
        return fallback_answer(fallback.get(), max_tokens.get(), line);
    }

general:
    PyErr_Clear();  // a failed lookup is the body's to report
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// apply_optimal_params(cfg)

// None and False, the false values a host passes, come back at once.
PyObject *quick_apply_optimal_params(PyObject *, PyObject *const *args, int *)
{
    return args[0] == Py_None || args[0] == Py_False ? Py_NewRef(args[0]) : nullptr;
}

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
    Ref model = Ref::steal(call_get(cfg, S(s_model), nullptr));
    if (!model)
        return nullptr;
    Ref params = Ref::steal(PyObject_CallOneArg(lookup.get(), model.get()));
    if (!params)
        return nullptr;

    f.line = 117;
    if (call_update(cfg, params.get()) < 0)
        return nullptr;

    f.line = 120;
    Ref top_p = Ref::steal(PyObject_GetItem(params.get(), S(s_top_p)));
    if (!top_p || PyObject_SetItem(cfg, S(s__free_top_p), top_p.get()) < 0)
        return nullptr;

    f.line = 121;
    Ref log = Ref::steal(lookup_global(f.globals, s_log));
    Ref info = Ref::steal(log ? PyObject_GetAttr(log.get(), S(s_info)) : nullptr);
    if (!info)
        return nullptr;
    f.line = 122;
    Ref shown_model = Ref::steal(call_get(cfg, S(s_model), nullptr));
    Ref shown_params;
    if (shown_model) {
        shown_params = Ref::steal(plain_copy(params.get()));
        if (!shown_params && !PyErr_Occurred())
            shown_params = Ref::steal(copy_items(params.get()));
    }
    if (!shown_params)
        return nullptr;
    f.line = 121;
    PyObject *log_args[3] = {S(s_fmt_applied), shown_model.get(), shown_params.get()};
    Ref logged = Ref::steal(PyObject_Vectorcall(info.get(), log_args, 3, nullptr));
    if (!logged)
        return nullptr;
    return Py_NewRef(cfg);
}

}  // namespace fm
