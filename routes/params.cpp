// Sampling parameters: get_optimal_params (three-level lookup) and apply_optimal_params.
#include "kept.h"
#include "objects.h"
#include "params.h"
#include "traceback.h"

#include <cstdint>
#include <cstring>

namespace fm {

namespace {

// ---------------------------------------------------------------------------------------------
// The model id's normal form

// Non-zero when a byte of `w` (eight ASCII characters) is a capital A-Z: adding 63 to a byte
// below 128 sets its top bit from 'A' up, adding 37 from '[' up, and neither carries over.
inline uint64_t capitals_in(uint64_t w)
{
    constexpr uint64_t ones = 0x0101010101010101u, tops = ones << 7;
    return (w + 63 * ones) & ~(w + 37 * ones) & tops;
}

// True when ASCII text has no capital and no white space at either end, so that strip() and
// lower() give it back unchanged.
bool in_normal_form(const Py_UCS1 *p, Py_ssize_t n)
{
    if (n == 0)
        return true;
    if (Py_UNICODE_ISSPACE(p[0]) || Py_UNICODE_ISSPACE(p[n - 1]))
        return false;
    uint64_t capitals = 0;
    Py_ssize_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        capitals |= capitals_in(w);
    }
    uint64_t tail = 0;  // zero bytes are no capitals
    for (int shift = 0; i < n; i++, shift += 8)
        tail |= (uint64_t)p[i] << shift;
    return !(capitals | capitals_in(tail));
}

// `text.strip().lower()` for ASCII text (an exact str), without the two method calls: for
// ASCII, str.strip removes exactly Py_UNICODE_ISSPACE characters and str.lower maps only A-Z.
PyObject *normalise_ascii(PyObject *text)
{
    if (PyObject *known = known_normal_form(text))
        return Py_NewRef(known);
    const Py_UCS1 *p = PyUnicode_1BYTE_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Ref normal;
    if (in_normal_form(p, n)) {
        normal = Ref::borrow(text);
    }
    else {
        Py_ssize_t start = 0, end = n;
        while (start < end && Py_UNICODE_ISSPACE(p[start]))
            start++;
        while (end > start && Py_UNICODE_ISSPACE(p[end - 1]))
            end--;
        normal = Ref::steal(PyUnicode_New(end - start, 127));
        if (!normal)
            return nullptr;
        Py_UCS1 *q = PyUnicode_1BYTE_DATA(normal.get());
        for (Py_ssize_t i = start; i < end; i++)
            *q++ = (Py_UCS1)Py_TOLOWER(p[i]);
    }
    keep_normal_form(text, normal.get());
    return normal.release();
}

// `str(model_id or "").strip().lower()`
PyObject *normalise(PyObject *model_id)
{
    if (model_id == Py_None)
        return Py_NewRef(interned(s_empty));  // None is false: the empty id
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

// ---------------------------------------------------------------------------------------------
// The lookup

// `mid.startswith(prefix)` as a truth value.
int starts_with(PyObject *mid, PyObject *prefix)
{
    if (PyUnicode_CheckExact(mid) && PyUnicode_CheckExact(prefix)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(prefix);
        if (n > PyUnicode_GET_LENGTH(mid))
            return 0;
        int kind = PyUnicode_KIND(prefix);
        if (kind == PyUnicode_KIND(mid)) {
            auto *a = (const char *)PyUnicode_DATA(mid), *b = (const char *)PyUnicode_DATA(prefix);
            return n == 0 || (a[0] == b[0] && memcmp(a, b, (size_t)n * kind) == 0);
        }
        return (int)PyUnicode_Tailmatch(mid, prefix, 0, PY_SSIZE_T_MAX, -1);
    }
    Ref r = Ref::steal(PyObject_CallMethodOneArg(mid, interned(s_startswith), prefix));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// The three values of the parameter set `set`, read where a copy of it would be made, when
// nothing can run in between and nothing else is in it: a plain dict of str keys holding at
// most those three. Then its copy, seen by nobody but the caller, would answer `get` with
// exactly these objects. False, and nothing read, otherwise.
bool read_values(PyObject *set, ParamValues &values)
{
    // Mostly the keys stand in the catalogue's order: then they are read off in place.
    static const StrId in_order[3] = {s_temperature, s_top_p, s_max_tokens};
    static const StrId by_name[3] = {s_max_tokens, s_temperature, s_top_p};
    PyObject *found[3];
    if (str_items_in_order(set, in_order, 3, found)) {
        values.temperature = Ref::borrow(found[0]);
        values.top_p = Ref::borrow(found[1]);
        values.max_tokens = Ref::borrow(found[2]);
        return true;
    }
    if (!PyDict_CheckExact(set) || PyDict_GET_SIZE(set) > 3 ||
        !read_str_items(set, by_name, 3, found))
        return false;
    values.max_tokens = Ref::borrow(found[0]);
    values.temperature = Ref::borrow(found[1]);
    values.top_p = Ref::borrow(found[2]);
    return true;
}

// The lookup's answer `params` (a new dict) handed out, or told as its three values when the
// caller wants them and read_values() can.
int answer_with(Ref params, ParamValues *values, Ref &out)
{
    if (values && read_values(params.get(), *values))
        return 1;
    out = std::move(params);
    return 0;
}

// One family pair: 1 and `params` set when its prefix matches, 0 when not, -1 on error.
int try_family(Frame &f, PyObject *mid, Ref pair, Ref &params)
{
    // An exact tuple whose prefix is an exact str, tested against an exact str: the test runs
    // nothing, so a pair that does not match is passed over without taking its halves.
    if (PyTuple_CheckExact(pair.get()) && PyTuple_GET_SIZE(pair.get()) == 2 &&
        PyUnicode_CheckExact(PyTuple_GET_ITEM(pair.get(), 0)) && PyUnicode_CheckExact(mid)) {
        f.line = line::get_optimal_params::prefix;
        if (!starts_with(mid, PyTuple_GET_ITEM(pair.get(), 0)))
            return 0;
        f.line = line::get_optimal_params::families;
    }
    PyObject *items[2];
    if (unpack(pair.get(), 2, items) < 0)
        return -1;
    pair = Ref();  // unpacked: the loop holds the pair no longer
    Ref halves[2] = {Ref::steal(items[0]), Ref::steal(items[1])};
    PyObject *prefix = halves[0].get(), *family_params = halves[1].get();

    f.line = line::get_optimal_params::prefix;
    int match = starts_with(mid, prefix);
    if (match <= 0)
        return match;

    f.line = line::get_optimal_params::family_base;
    Ref fallback = Ref::steal(lookup_global(f, s__FREE_PARAMS_FALLBACK));
    if (!fallback)
        return -1;
    if (same_str_keys(fallback.get(), family_params)) {
        // `dict(fallback)` updated with family_params, whose keys are the fallback's own
        params = Ref::steal(PyDict_Copy(family_params));
        return params ? 1 : -1;
    }
    params = Ref::steal(dict_of(fallback.get()));
    if (!params)
        return -1;
    f.line = line::get_optimal_params::family_update;
    return update(params.get(), family_params) < 0 ? -1 : 1;
}

// `mid in T` and then `T[mid]`, with `FREE_MODEL_OPTIMAL_PARAMS` read again, for a table
// whose lookup may run host code: the entry, or none, into `entry`; -1 on error.
[[gnu::noinline]] int entry_in_host_table(Frame &f, PyObject *table, PyObject *mid, Ref &entry)
{
    int found = contains(table, mid);
    if (found <= 0)
        return found;
    f.line = line::get_optimal_params::copy_entry;
    Ref again = Ref::steal(lookup_global(f, s_FREE_MODEL_OPTIMAL_PARAMS));
    if (!again)
        return -1;
    entry = Ref::steal(get_item(again.get(), mid));
    return entry ? 0 : -1;
}

// The lookup's levels below the table, for an id the table does not hold: the first family
// whose prefix it begins with, else the generic fallback. As lookup_optimal_params() answers.
[[gnu::noinline]] int lookup_below_table(Frame &f, PyObject *mid, Ref &params,
                                         ParamValues *values)
{
    f.line = line::get_optimal_params::families;
    Ref families = Ref::steal(lookup_global(f, s__FREE_MODEL_FAMILY_PARAMS));
    if (!families)
        return -1;
    Ref found;
    int rc = for_each(f, line::get_optimal_params::families, families.get(), [&](Ref pair) {
        return try_family(f, mid, std::move(pair), found);
    });
    if (rc)
        return rc < 0 ? -1 : answer_with(std::move(found), values, params);

    f.line = line::get_optimal_params::fallback;
    Ref fallback = Ref::steal(lookup_global(f, s__FREE_PARAMS_FALLBACK));
    if (!fallback)
        return -1;
    // `params = dict(fallback)`: for a plain dict of just "temperature" and "top_p", its two
    // values, taken now, are all the copy would hold.
    static const StrId fallback_keys[2] = {s_temperature, s_top_p};
    PyObject *taken[2];
    Ref shaped[3];
    if (str_items_in_order(fallback.get(), fallback_keys, 2, taken)) {
        shaped[0] = Ref::borrow(taken[0]);
        shaped[1] = Ref::borrow(taken[1]);
    }
    else if (!(found = Ref::steal(dict_of(fallback.get())))) {
        return -1;
    }
    f.line = line::get_optimal_params::fallback_max_tokens;
    Ref max_tokens = Ref::steal(lookup_global(f, s__FREE_MAX_TOKENS_FALLBACK));
    if (!max_tokens)
        return -1;
    if (!found) {  // `params["max_tokens"] = ...` into the copy of the two
        shaped[2] = std::move(max_tokens);
        PyObject *items[3] = {shaped[0].get(), shaped[1].get(), shaped[2].get()};
        if (!(found = Ref::steal(copy_with_values(constants.params_shape, items, 3))))
            return -1;
    }
    else if (PyDict_SetItem(found.get(), interned(s_max_tokens), max_tokens.get()) < 0) {
        return -1;
    }
    return answer_with(std::move(found), values, params);
}

// The three-level lookup: 0 with a new dict in `params`; or, when `values` is given, possibly 1
// with the answer's three values there instead (see read_values); -1 on error.
int lookup_optimal_params(Frame &f, PyObject *model_id, Ref &params, ParamValues *values)
{
    f.line = line::get_optimal_params::normalise;
    PyObject *known = known_normal_form(model_id);  // only a str of its own has one
    Ref mid = known ? Ref::borrow(known) : Ref::steal(normalise(model_id));
    if (!mid)
        return -1;

    f.line = line::get_optimal_params::in_table;
    Ref entry;
    {
        bool quiet;
        Ref table = Ref::steal(lookup_global(f, s_FREE_MODEL_OPTIMAL_PARAMS, &quiet));
        if (!table)
            return -1;
        if (quiet && PyUnicode_CheckExact(mid.get()) && quiet_lookup(table.get())) {
            // `mid in T` and then `T[mid]`, with T read again: nothing can run in between, so
            // the name still holds T and one lookup answers both; none at all when the table is
            // the one, unchanged, that the id's entry was last found in. (The id's pair is
            // looked for again: host code run since the first look may have rewritten its set.)
            Borrowed noted, told[3];
            NotedEntry as_noted = noted_entry(model_id, table.get(), noted, told);
            if (as_noted != NotedEntry::none) {
                f.line = line::get_optimal_params::copy_entry;
                if (values && as_noted == NotedEntry::values) {
                    values->max_tokens = Ref::borrow(told[0].get());
                    values->temperature = Ref::borrow(told[1].get());
                    values->top_p = Ref::borrow(told[2].get());
                    return 1;
                }
                entry = Ref::borrow(noted.get());
            }
            else {
                PyObject *found;
                if (str_lookup(table.get(), mid.get(), &found) < 0)
                    return -1;
                entry = Ref::steal(found);
                if (entry) {
                    f.line = line::get_optimal_params::copy_entry;
                    ParamValues read;
                    bool told_values = read_values(entry.get(), read);
                    note_entry(model_id, table.get(), entry.get(), told_values,
                               {read.max_tokens.get(), read.temperature.get(), read.top_p.get()});
                    if (told_values && values) {
                        *values = std::move(read);
                        return 1;
                    }
                }
            }
        }
        else if (entry_in_host_table(f, table.get(), mid.get(), entry) < 0) {
            return -1;
        }
    }
    if (entry) {
        if (values && read_values(entry.get(), *values))
            return 1;
        Ref copy = Ref::steal(dict_of(entry.get()));
        if (!copy)
            return -1;
        return answer_with(std::move(copy), values, params);
    }
    return lookup_below_table(f, mid.get(), params, values);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// get_optimal_params(model_id)

const char doc_get_optimal_params[] = PyDoc_STR(
"get_optimal_params(model_id)\n"
"\n"
"Return a new dict with the recommended sampling parameters of a model.\n"
"The id is stripped and lower-cased, then looked up exactly in\n"
"FREE_MODEL_OPTIMAL_PARAMS, then by family prefix in _FREE_MODEL_FAMILY_PARAMS\n"
"(temperature and top_p only), and otherwise answered by the generic fallback.\n"
"The tables themselves are never handed out.");

PyObject *body_get_optimal_params(Frame &f, PyObject *const *args)
{
    Ref params;
    if (lookup_optimal_params(f, args[0], params, nullptr) < 0)
        return nullptr;
    return params.release();
}

int own_optimal_params(Frame &caller, PyObject *model_id, Ref &params, ParamValues *values)
{
    Frame f{caller.globals, kFunctions[f_get_optimal_params].def_line, caller.reads};
    int rc = lookup_optimal_params(f, model_id, params, values);
    if (rc < 0)
        add_traceback(f_get_optimal_params, f.line, f.globals);
    return rc;
}

// ---------------------------------------------------------------------------------------------
// apply_optimal_params(cfg)

const char doc_apply_optimal_params[] = PyDoc_STR(
"apply_optimal_params(cfg)\n"
"\n"
"Fill a model's recommended sampling parameters into llm_config in place and\n"
"return the same object; None (and any false value) passes through untouched.\n"
"The chat send and stream handlers call it right after resolve_free_model:\n"
"    llm_config = _free_models.apply_optimal_params(llm_config)\n"
"The values then travel with llm_config into the payloads built by\n"
"_call_llm_api and _call_llm_stream_raw and into every sub-call of\n"
"run_agent_loop that inherits the configuration; _free_top_p carries top_p.");

PyObject *body_apply_optimal_params(Frame &f, PyObject *const *args)
{
    PyObject *cfg = args[0];
    f.line = line::apply_optimal_params::truth;
    int truth = PyObject_IsTrue(cfg);
    if (truth <= 0)
        return truth < 0 ? nullptr : Py_NewRef(cfg);

    f.line = line::apply_optimal_params::lookup;
    Ref lookup = Ref::steal(lookup_global(f, s_get_optimal_params));
    if (!lookup)
        return nullptr;
    Ref model = Ref::steal(call_get(cfg, interned(s_model), nullptr));
    if (!model)
        return nullptr;
    // The module's own lookup is run in place; its answer is then a new dict nobody else holds.
    Ref params;
    bool own = is_own_function(lookup.get(), f_get_optimal_params, f.globals);
    if (own ? own_optimal_params(f, model.get(), params, nullptr) < 0
            : !(params = Ref::steal(PyObject_CallOneArg(lookup.get(), model.get()))))
        return nullptr;
    // Nothing of the host's can see `params` before the log call while cfg is a plain dict of
    // str keys and the answer the module's own; and copying a set of str keys runs nothing
    // (a key of the host's is hashed by the copy). Then the log may be handed the set itself.
    bool unseen = own && quiet_lookup(cfg) && quiet_lookup(params.get());

    f.line = line::apply_optimal_params::update;
    if (update(cfg, params.get()) < 0)
        return nullptr;

    f.line = line::apply_optimal_params::free_top_p;
    Ref top_p = Ref::steal(get_item(params.get(), interned(s_top_p)));
    if (!top_p || PyObject_SetItem(cfg, interned(s__free_top_p), top_p.get()) < 0)
        return nullptr;

    f.line = line::apply_optimal_params::log;
    Method info;
    if (log_info(f, info) < 0)
        return nullptr;
    f.line = line::apply_optimal_params::log_args;
    Ref shown_model = Ref::steal(call_get(cfg, interned(s_model), nullptr));
    Ref shown_params = !shown_model ? Ref()
                       : unseen     ? Ref::borrow(params.get())  // as good as its copy
                                    : Ref::steal(copy_items(params.get()));
    if (!shown_params)
        return nullptr;
    f.line = line::apply_optimal_params::log;
    if (call_info(info, interned(s_fmt_applied), shown_model.get(), shown_params.get()) < 0)
        return nullptr;
    return Py_NewRef(cfg);
}

}  // namespace fm
