// get_free_model_choices(): the free models as entries for the chat page's model drop-down.
#include "free_models.h"

#include <cstring>
#include <utility>

namespace fm {

const StrId kEntryKeyName[kEntryKeys] = {s_name, s_model, s_provider, s_api_type, s_api_base,
                                         s_api_key, s_enabled, s_modalities, s_max_context,
                                         s_max_tokens, s_temperature, s_top_p, s_free};

namespace {

// ---------------------------------------------------------------------------------------------
// Prepared entries
//
// Copying a dict's key table is much cheaper than inserting thirteen keys, and a catalogue row
// gives the same values call after call. So each of the first positions of the choice list
// keeps a dict with the thirteen keys in order and the values its last entry had ("modalities"
// left None). An entry whose values are those very objects is a copy of it with a new
// "modalities" list; any other entry is made key by key and, when all its values are kept
// safely, prepared for the next call.

struct Prepared {
    PyObject *dict;                // owned; never handed out, so never changed
    PyObject *values[kEntryKeys];  // borrowed from dict
};
Prepared prepared_entries[kUsualRows];

// Values whose release runs no host code, and which nobody can change in place.
bool keepable(PyObject *v)
{
    return PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyBool_Check(v) || v == Py_None;
}

bool holds_values(const Prepared &prepared, const EntryValues &values)
{
    bool same = true;  // no early exit: thirteen compares are cheaper than a branch each
    for (int i = 0; i < kEntryKeys; i++)
        same &= i == k_modalities || prepared.values[i] == values.at[i];
    return same;
}

// A copy of `prepared` with a new "modalities" list.
PyObject *entry_from(PyObject *prepared)
{
    Ref modalities = Ref::steal(PyList_New(1));
    if (!modalities)
        return nullptr;
    PyList_SET_ITEM(modalities.get(), 0, Py_NewRef(interned(s_text)));
    return copy_replacing(prepared, k_modalities, interned(s_modalities), modalities.get());
}

// A new choice entry with `values` and a new "modalities" list; `pos` is its position in the
// choice list. Only memory can fail.
PyObject *make_entry(Py_ssize_t pos, const EntryValues &values)
{
    Prepared *slot = pos < kUsualRows ? &prepared_entries[pos] : nullptr;
    if (slot && slot->dict && holds_values(*slot, values))
        return entry_from(slot->dict);

    Ref made = Ref::steal(PyDict_New());
    if (!made)
        return nullptr;
    bool keep = slot != nullptr;
    for (int i = 0; i < kEntryKeys; i++) {
        PyObject *value = i == k_modalities ? Py_None : values.at[i];
        keep = keep && keepable(value);
        if (PyDict_SetItem(made.get(), interned(kEntryKeyName[i]), value) < 0)
            return nullptr;
    }
    Ref entry = Ref::steal(entry_from(made.get()));
    if (!entry)
        return nullptr;
    if (keep) {
        Ref old = Ref::steal(slot->dict);
        for (int i = 0; i < kEntryKeys; i++)
            slot->values[i] = i == k_modalities ? Py_None : values.at[i];
        slot->dict = made.release();
    }
    return entry.release();
}

// ---------------------------------------------------------------------------------------------
// One entry's values

// `opt`, the parameter set of a row: told as its three values by the module's own lookup, or
// the object that get_optimal_params returned.
struct Opt {
    bool told;
    ParamValues values;
    Ref params;
};

// `opt.get(key, <fallback>)` at `line`, in Python's order: `opt.get` is taken, then the
// fallback is evaluated, then `get` is called. `told` is opt's value when opt is told.
template <class Fallback>
PyObject *opt_get(Frame &f, int line, Opt &opt, StrId key, Ref &told, Fallback fallback)
{
    f.line = line;
    Ref get;  // a host mapping's own `get`; a plain dict's is read directly
    if (!opt.told && !PyDict_CheckExact(opt.params.get())) {
        get = Ref::steal(PyObject_GetAttr(opt.params.get(), interned(s_get)));
        if (!get)
            return nullptr;
    }
    Ref dflt = Ref::steal(fallback());
    if (!dflt)
        return nullptr;
    if (opt.told)
        return told ? told.release() : dflt.release();
    if (!get)
        return call_get(opt.params.get(), interned(key), dflt.get());
    PyObject *args[2] = {interned(key), dflt.get()};
    return PyObject_Vectorcall(get.get(), args, 2, nullptr);
}

// `_FREE_PARAMS_FALLBACK[key]`, read for every row: the value read for an earlier row of the
// same call stands while the name's read stands (NameReads) and the table, a dict of str keys,
// is unchanged since (its version tag). Like the name's read, it owns nothing: the table and
// the value are looked at only while the table, unchanged, holds the value.
struct FallbackItem {
    PyObject *table;
    uint64_t version;
    PyObject *value;
};

PyObject *read_params_fallback(Frame &f, StrId key, FallbackItem &kept)
{
    Ref table = Ref::steal(lookup_global(f, s__FREE_PARAMS_FALLBACK));
    if (!table)
        return nullptr;
    bool quiet = quiet_lookup(table.get());
    uint64_t version = version_of(table.get());
    PyObject *value = get_item(table.get(), interned(key));
    if (value && quiet)
        kept = {table.get(), version, value};
    return value;
}

inline PyObject *params_fallback(Frame &f, StrId key, FallbackItem &kept)
{
    const NameReads::Read *read = standing_read(f, s__FREE_PARAMS_FALLBACK);
    if (read && read->value == kept.table && version_of(read->value) == kept.version)
        return Py_NewRef(kept.value);
    return read_params_fallback(f, key, kept);
}

// The values of the choice entry for one catalogue row, into `v` (all NULL on entry; what is
// filled stays there on error, for the caller to release).
int entry_values(Frame &f, Ref row, EntryValues &v, FallbackItem (&fallbacks)[2])
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
    Opt opt{};
    {
        Ref lookup = Ref::steal(lookup_global(f, s_get_optimal_params));
        if (!lookup)
            return -1;
        if (is_own_function(lookup.get(), f_get_optimal_params, f.globals)) {
            int told = own_optimal_params(f, v.at[k_model], opt.params, &opt.values);
            if (told < 0)
                return -1;
            opt.told = told;
        }
        else {
            opt.params = Ref::steal(PyObject_CallOneArg(lookup.get(), v.at[k_model]));
            if (!opt.params)
                return -1;
        }
    }

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
    v.at[k_enabled] = Py_NewRef(Py_True);

    namespace at = line::get_free_model_choices;
    v.at[k_max_tokens] = opt_get(f, at::max_tokens, opt, s_max_tokens, opt.values.max_tokens,
                                 [&] { return lookup_global(f, s__FREE_MAX_TOKENS_FALLBACK); });
    if (!v.at[k_max_tokens])
        return -1;
    v.at[k_temperature] = opt_get(f, at::temperature, opt, s_temperature, opt.values.temperature,
                                  [&] { return params_fallback(f, s_temperature, fallbacks[0]); });
    if (!v.at[k_temperature])
        return -1;
    v.at[k_top_p] = opt_get(f, at::top_p, opt, s_top_p, opt.values.top_p,
                            [&] { return params_fallback(f, s_top_p, fallbacks[1]); });
    if (!v.at[k_top_p])
        return -1;
    v.at[k_free] = Py_NewRef(Py_True);
    return 0;
}

}  // namespace

void forget_prepared_entries()
{
    memset(prepared_entries, 0, sizeof prepared_entries);
}

// ---------------------------------------------------------------------------------------------
// The choice list

ChoiceSink::~ChoiceSink()
{
    for (Py_ssize_t i = 0; values_only_ && i < size_; i++)
        rows_[i].release();
    if (rows_ != inline_)
        PyMem_Free(rows_);
}

int ChoiceSink::append(EntryValues &values)
{
    if (!values_only_) {
        Ref entry = Ref::steal(make_entry(size_, values));
        values.release();
        if (!entry)
            return -1;
        if (!list_ && !(list_ = Ref::steal(PyList_New(0))))
            return -1;
        if (PyList_Append(list_.get(), entry.get()) < 0)
            return -1;
        size_++;
        return 0;
    }
    if (size_ == capacity_) {
        auto *grown = PyMem_New(EntryValues, 2 * capacity_);
        if (!grown) {
            values.release();
            PyErr_NoMemory();
            return -1;
        }
        memcpy(grown, rows_, sizeof *rows_ * size_);
        if (rows_ != inline_)
            PyMem_Free(rows_);
        rows_ = grown;
        capacity_ *= 2;
    }
    rows_[size_++] = values;  // the references move over
    return 0;
}

PyObject *ChoiceSink::release_list()
{
    return list_ ? list_.release() : PyList_New(0);
}

PyObject *ChoiceSink::copy_of_entry(Py_ssize_t pos)
{
    // Nobody has seen the entry, so a new entry with its values is its copy.
    return make_entry(pos, rows_[pos]);
}

int build_choices(Frame &f, ChoiceSink &out)
{
    f.line = line::get_free_model_choices::rows;
    Ref models = Ref::steal(lookup_global(f, s_FREE_MODELS));
    if (!models)
        return -1;
    FallbackItem fallbacks[2] = {};
    return for_each(f, line::get_free_model_choices::rows, models.get(), [&](Ref row) {
        EntryValues values{};
        if (entry_values(f, std::move(row), values, fallbacks) < 0) {
            values.release();
            return -1;
        }
        f.line = line::get_free_model_choices::append;
        return out.append(values);
    });
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
