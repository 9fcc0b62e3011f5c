// get_free_model_choices(): the free models as entries for the chat page's model drop-down.
#include "choices.h"
#include "kept.h"
#include "objects.h"
#include "params.h"
#include "traceback.h"

#include <cstring>
#include <utility>

namespace fm {

const StrId kEntryKeyName[kEntryKeys] = {s_name, s_model, s_provider, s_api_type, s_api_base,
                                         s_api_key, s_enabled, s_modalities, s_max_context,
                                         s_max_tokens, s_temperature, s_top_p, s_free};

namespace {

// A copy of `prepared` with a new "modalities" list, and `system_prompt` when given.
PyObject *entry_from(PyObject *prepared, PyObject *system_prompt)
{
    Ref modalities = Ref::steal(PyList_New(1));
    if (!modalities)
        return nullptr;
    PyList_SET_ITEM(modalities.get(), 0, Py_NewRef(interned(s_text)));
    const Replacement with[2] = {
        {k_modalities, interned(s_modalities), modalities.get()},
        {kEntryKeys, interned(s_system_prompt), system_prompt},
    };
    return copy_replacing(prepared, with, system_prompt ? 2 : 1);
}

// A new choice entry with `values` and a new "modalities" list (and "system_prompt" last, when
// given); `pos` is its position in the choice list. Only memory can fail. Made from the dict
// prepared for the position when it holds these very values (kept.h); otherwise key by key, and
// then prepared for the next call.
PyObject *make_entry(Py_ssize_t pos, const EntryValues &values, PyObject *system_prompt)
{
    if (PyObject *prepared = prepared_entry(pos, values, system_prompt != nullptr))
        return entry_from(prepared, system_prompt);
    if (PyErr_Occurred())
        return nullptr;
    Ref made = Ref::steal(PyDict_New());
    if (!made)
        return nullptr;
    for (int i = 0; i < kEntryKeys; i++) {
        PyObject *value = i == k_modalities ? Py_None : values.at[i];
        if (PyDict_SetItem(made.get(), interned(kEntryKeyName[i]), value) < 0)
            return nullptr;
    }
    Ref entry = Ref::steal(entry_from(made.get(), system_prompt));
    if (!entry)
        return nullptr;
    keep_prepared_entry(pos, made.get(), values);
    return entry.release();
}

// ---------------------------------------------------------------------------------------------
// One entry's values

// `opt`, the parameter set of a row: told as its three values by the module's own lookup, or
// the object that get_optimal_params returned.
struct Opt {
    bool told;
    ParamValues values;
    Ref &params;  // the body's local: the previous row's until this row's replaces it
};

// What a row's entry reads besides the row: the fallback items and the shared values.
struct RowReads {
    FallbackItem fallbacks[2] = {};
};

// The three values an entry takes from `opt`, each with its fallback.
struct OptValue {
    int line;
    StrId key;
    EntryKey slot;
};
constexpr OptValue kOptValues[3] = {
    {line::get_free_model_choices::max_tokens, s_max_tokens, k_max_tokens},
    {line::get_free_model_choices::temperature, s_temperature, k_temperature},
    {line::get_free_model_choices::top_p, s_top_p, k_top_p},
};

// `opt.get(key, <fallback>)` for kOptValues[n], in Python's order: `opt.get` is taken, then
// the fallback is evaluated (`_FREE_MAX_TOKENS_FALLBACK`, or an item of
// `_FREE_PARAMS_FALLBACK`), then `get` is called. `told` is opt's value when opt is told.
PyObject *opt_get(Frame &f, int n, Opt &opt, Ref &told, RowReads &reads)
{
    const OptValue &value = kOptValues[n];
    f.line = value.line;
    Ref get;  // a host mapping's own `get`; a plain dict's is read directly
    if (!opt.told && !PyDict_CheckExact(opt.params.get())) {
        get = Ref::steal(PyObject_GetAttr(opt.params.get(), interned(s_get)));
        if (!get)
            return nullptr;
    }
    Ref dflt = Ref::steal(n == 0 ? lookup_global(f, s__FREE_MAX_TOKENS_FALLBACK)
                                 : params_fallback(f, value.key, reads.fallbacks[n - 1]));
    if (!dflt)
        return nullptr;
    if (opt.told)
        return told ? told.release() : dflt.release();
    if (!get)
        return call_get(opt.params.get(), interned(value.key), dflt.get());
    PyObject *args[2] = {interned(value.key), dflt.get()};
    return PyObject_Vectorcall(get.get(), args, 2, nullptr);
}

// The seven values an entry reads besides its row and its parameter set, read one by one (the
// first row of a call, and any row after host code has run): the four constants, then the
// three of `opt` with their fallbacks. Kept for the rows after it when every read stood.
[[gnu::noinline]] int read_entry_values(Frame &f, EntryValues &v, Opt &opt, RowReads &reads)
{
    struct Constant { int line; StrId name; EntryKey key; };
    static const Constant constants_read[] = {
        {line::get_free_model_choices::provider, s_FREE_PROVIDER_TYPE, k_provider},
        {line::get_free_model_choices::api_type, s_FREE_PROVIDER_TYPE, k_api_type},
        {line::get_free_model_choices::api_base, s_FREE_API_BASE, k_api_base},
        {line::get_free_model_choices::api_key, s_FREE_KEYLESS_PLACEHOLDER, k_api_key},
    };
    for (const Constant &c : constants_read) {
        f.line = c.line;
        if (!(v.at[c.key] = lookup_global(f, c.name)))
            return -1;
    }
    Ref *told[3] = {&opt.values.max_tokens, &opt.values.temperature, &opt.values.top_p};
    for (int n = 0; n < 3; n++) {
        if (!(v.at[kOptValues[n].slot] = opt_get(f, n, opt, *told[n], reads)))
            return -1;
    }
    if (opt.told)
        keep_shared_values(f, reads.fallbacks);
    return 0;
}

// The values of the choice entry for one catalogue row, into `v` (all NULL on entry; what is
// filled stays there on error, for the caller to release).
int entry_values(Frame &f, Ref row, EntryValues &v, RowReads &reads, Ref &opt_local)
{
    f.line = line::get_free_model_choices::rows;
    PyObject *fields[3];
    if (unpack(row.get(), 3, fields) < 0)
        return -1;
    row = Ref();  // unpacked: the loop holds the row no longer
    v.at[k_name] = fields[0];
    v.at[k_model] = fields[1];
    v.at[k_max_context] = fields[2];

    f.line = line::get_free_model_choices::lookup;
    Opt opt{false, {}, opt_local};
    {
        Ref lookup = Ref::steal(lookup_global(f, s_get_optimal_params));
        if (!lookup)
            return -1;
        Ref params;
        if (is_own_function(lookup.get(), f_get_optimal_params, f.globals)) {
            int told = own_optimal_params(f, v.at[k_model], params, &opt.values);
            if (told < 0)
                return -1;
            opt.told = told;
        }
        else {
            params = Ref::steal(PyObject_CallOneArg(lookup.get(), v.at[k_model]));
            if (!params)
                return -1;
        }
        opt.params = std::move(params);  // `opt = ...`: the previous row's goes now
    }
    v.at[k_enabled] = Py_NewRef(Py_True);
    v.at[k_free] = Py_NewRef(Py_True);

    // Replaces the seven reads of read_entry_values() when an earlier row's still stand and
    // nothing between them can run host code (a told parameter set is read by no host `get`).
    if (opt.told && shared_values_stand(f)) {
        using S = SharedValues;
        v.at[k_provider] = shared_value(S::provider);
        v.at[k_api_type] = shared_value(S::api_type);
        v.at[k_api_base] = shared_value(S::api_base);
        v.at[k_api_key] = shared_value(S::api_key);
        ParamValues &told = opt.values;
        v.at[k_max_tokens] =
            told.max_tokens ? told.max_tokens.release() : shared_value(S::max_tokens);
        v.at[k_temperature] =
            told.temperature ? told.temperature.release() : shared_value(S::temperature);
        v.at[k_top_p] = told.top_p ? told.top_p.release() : shared_value(S::top_p);
        return 0;
    }

    return read_entry_values(f, v, opt, reads);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The choice list

ChoiceSink::~ChoiceSink()
{
    // As the list they stand for is let go of: the last entry first, each in its key order.
    for (Py_ssize_t i = size_; values_only_ && i-- > 0;)
        rows_[i].release();
    list_ = Ref();
    for (PyObject *&local : locals_)
        Py_CLEAR(local);
    if (rows_ != inline_)
        PyMem_Free(rows_);
}

EntryValues *ChoiceSink::next()
{
    if (values_only_ && size_ == capacity_) {
        auto *grown = PyMem_New(EntryValues, 2 * capacity_);
        if (!grown) {
            PyErr_NoMemory();
            return nullptr;
        }
        memcpy(grown, rows_, sizeof *rows_ * size_);
        if (rows_ != inline_)
            PyMem_Free(rows_);
        rows_ = grown;
        capacity_ *= 2;
    }
    EntryValues *slot = values_only_ ? &rows_[size_] : &pending_;
    *slot = {};
    open_ = true;
    return slot;
}

int ChoiceSink::add_next()
{
    EntryValues &added = values_only_ ? rows_[size_] : pending_;
    if (!values_only_) {
        Ref entry = Ref::steal(make_entry(size_, pending_, nullptr));
        if (!entry)
            return -1;
        if (!list_ && !(list_ = Ref::steal(PyList_New(0))))
            return -1;
        if (PyList_Append(list_.get(), entry.get()) < 0)
            return -1;
    }
    last_fields_[0] = added.at[k_name];
    last_fields_[1] = added.at[k_model];
    last_fields_[2] = added.at[k_max_context];
    if (!values_only_)
        pending_.release();  // the entry holds them now
    open_ = false;
    size_++;
    return 0;
}

void ChoiceSink::fail(Ref last_opt)
{
    static constexpr EntryKey kFields[3] = {k_name, k_model, k_max_context};
    EntryValues *pending = open_ ? (values_only_ ? &rows_[size_] : &pending_) : nullptr;
    open_ = false;
    if (pending && pending->at[k_name]) {  // unpacked: its fields are the locals now
        for (int i = 0; i < 3; i++) {
            locals_[i] = pending->at[kFields[i]];
            pending->at[kFields[i]] = nullptr;
        }
    }
    else if (size_ > 0) {  // the last entry's fields are
        for (int i = 0; i < 3; i++)
            locals_[i] = Py_NewRef(last_fields_[i]);
    }
    locals_[3] = last_opt.release();
    for (int i = kEntryKeys; pending && i-- > 0;)  // popped off the stack, the last pushed first
        Py_CLEAR(pending->at[i]);
}

PyObject *ChoiceSink::release_list()
{
    return list_ ? list_.release() : PyList_New(0);
}

PyObject *ChoiceSink::copy_of_entry(Py_ssize_t pos, PyObject *system_prompt)
{
    // Nobody has seen the entry, so a new entry with its values is its copy.
    return make_entry(pos, rows_[pos], system_prompt);
}

int build_choices(Frame &f, ChoiceSink &out)
{
    f.line = line::get_free_model_choices::rows;
    Ref models = Ref::steal(lookup_global(f, s_FREE_MODELS));
    if (!models)
        return -1;
    RowReads reads;
    Ref opt;  // the body's local `opt`
    int rc = for_each(f, line::get_free_model_choices::rows, models.get(), [&](Ref row) {
        EntryValues *values = out.next();
        if (!values || entry_values(f, std::move(row), *values, reads, opt) < 0)
            return -1;
        f.line = line::get_free_model_choices::append;
        return out.add_next();
    });
    if (rc < 0)
        out.fail(std::move(opt));
    return rc;
}

const char doc_get_free_model_choices[] = PyDoc_STR(
"get_free_model_choices()\n"
"\n"
"Return the free models as new configuration entries for the chat page's\n"
"model drop-down. They are built afresh on every call and are never written\n"
"to disk or into the user's configuration. Each entry's temperature, top_p\n"
"and max_tokens come from the optimal-parameter tables, so a settings panel\n"
"shows the recommended values already filled in.");

PyObject *body_get_free_model_choices(Frame &f, PyObject *const *)
{
    f.line = line::get_free_model_choices::new_list;
    ChoiceSink choices(false);
    if (build_choices(f, choices) < 0)
        return nullptr;
    f.line = line::get_free_model_choices::new_list;
    return choices.release_list();
}

}  // namespace fm
