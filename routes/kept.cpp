// Kept state and the dict internals (kept.h says the rule, and what is kept where).
#include "kept.h"
#include "objects.h"

// CPython's internal dict header, for what the public interface does not tell or do at the cost
// the hot paths need: what a dict lookup can run (the kind of its key table) and the entries of
// a table of str keys. They are 3.13's, as the module is; nothing outside this file reads them.
#if PY_MAJOR_VERSION != 3 || PY_MINOR_VERSION != 13
#error "routes.free_models is built for CPython 3.13 and reads its internal layouts"
#endif
#define Py_BUILD_CORE 1
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <internal/pycore_dict.h>
#pragma GCC diagnostic pop
#undef Py_BUILD_CORE

#include <cstring>

namespace fm {

// ---------------------------------------------------------------------------------------------
// Dicts of str keys, and module-level names

bool quiet_lookup(PyObject *d)
{
    // A key table of the str kind holds exact str keys only: inserting any other key converts
    // it to the general kind for good.
    return PyDict_CheckExact(d) && DK_IS_UNICODE(reinterpret_cast<PyDictObject *>(d)->ma_keys);
}

namespace {

// The entries of a dict of str keys whose values live in its key table (a combined table, not
// the split table of an object's attributes), in insertion order; a NULL value marks an entry
// that was deleted. NULL when the dict is of another kind.
PyDictUnicodeEntry *str_entries(PyObject *d, Py_ssize_t *count)
{
    auto *mp = reinterpret_cast<PyDictObject *>(d);
    if (!quiet_lookup(d) || mp->ma_values)
        return nullptr;
    *count = mp->ma_keys->dk_nentries;
    return DK_UNICODE_ENTRIES(mp->ma_keys);
}

}  // namespace

bool same_str_keys(PyObject *a, PyObject *b)
{
    Py_ssize_t na, nb;
    PyDictUnicodeEntry *ea = str_entries(a, &na), *eb = str_entries(b, &nb);
    if (!ea || !eb || na != nb || na != PyDict_GET_SIZE(a) || nb != PyDict_GET_SIZE(b))
        return false;  // of another kind, or with deleted entries
    for (Py_ssize_t i = 0; i < na; i++) {
        if (ea[i].me_key != eb[i].me_key)
            return false;
    }
    return true;
}

namespace {

// The slot of the hash table of `keys` at `i`: an index into its entries, or DKIX_EMPTY /
// DKIX_DUMMY; the slots are as wide as the table's size needs.
inline Py_ssize_t slot_at(PyDictKeysObject *keys, size_t i)
{
    const char *slots = keys->dk_indices;
    uint8_t log2 = keys->dk_log2_size;
    if (log2 < 8)
        return reinterpret_cast<const int8_t *>(slots)[i];
    if (log2 < 16)
        return reinterpret_cast<const int16_t *>(slots)[i];
    if (log2 >= 32)
        return reinterpret_cast<const int64_t *>(slots)[i];
    return reinterpret_cast<const int32_t *>(slots)[i];
}

bool same_text(PyObject *a, PyObject *b)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    return n == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)n * kind) == 0;
}

// The key table of `d` when looking up an exact str there is a probe of the table alone: a
// dict of str keys (quiet_lookup) that holds its values in the table. NULL otherwise.
inline PyDictKeysObject *str_table(PyObject *d)
{
    auto *mp = reinterpret_cast<PyDictObject *>(d);
    return quiet_lookup(d) && !mp->ma_values ? mp->ma_keys : nullptr;
}

// The value under the exact str `key`, whose hash is known, in a str_table() (borrowed), or NULL
// where it has none. Probed as CPython probes it (the perturbed walk of dictobject.c), comparing
// by identity, then by hash and text: nothing else can answer for a str there.
inline PyObject *probe_str(PyDictKeysObject *keys, PyObject *key, Py_hash_t hash)
{
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    size_t mask = ((size_t)1 << keys->dk_log2_size) - 1;
    size_t perturb = (size_t)hash;
    size_t i = (size_t)hash & mask;
    for (;;) {
        Py_ssize_t ix = slot_at(keys, i);
        if (ix >= 0) {
            PyObject *other = entries[ix].me_key;
            if (other == key || (reinterpret_cast<PyASCIIObject *>(other)->hash == hash &&
                                 same_text(other, key)))
                return entries[ix].me_value;
        }
        else if (ix == DKIX_EMPTY) {
            return nullptr;
        }
        perturb >>= 5;  // PERTURB_SHIFT
        i = mask & (i * 5 + perturb + 1);
    }
}

inline Py_hash_t known_hash(PyObject *str)
{
    return reinterpret_cast<PyASCIIObject *>(str)->hash;
}

}  // namespace

int str_lookup(PyObject *d, PyObject *key, PyObject **value)
{
    Py_hash_t hash = known_hash(key);
    PyDictKeysObject *keys = hash == -1 ? nullptr : str_table(d);
    if (!keys)
        return PyDict_GetItemRef(d, key, value);
    PyObject *found = probe_str(keys, key, hash);
    if (!found) {
        *value = nullptr;
        return 0;
    }
    *value = Py_NewRef(found);
    return 1;
}

bool read_str_items(PyObject *d, const StrId *keys, int nkeys, PyObject **values)
{
    Py_ssize_t count;
    PyDictUnicodeEntry *entries = str_entries(d, &count);
    if (!entries)
        return false;
    for (int i = 0; i < nkeys; i++)
        values[i] = nullptr;
    for (Py_ssize_t e = 0; e < count; e++) {
        if (!entries[e].me_value)
            continue;
        PyObject *key = entries[e].me_key;
        int i = 0;
        while (i < nkeys && key != interned(keys[i]))
            i++;
        if (i == nkeys) {  // the same text in another object, or another key
            i = 0;
            while (i < nkeys && PyUnicode_Compare(key, interned(keys[i])) != 0)
                i++;
            if (i == nkeys)
                return false;
        }
        values[i] = entries[e].me_value;
    }
    return true;
}

bool str_items_in_order(PyObject *d, const StrId *keys, int nkeys, PyObject **values)
{
    Py_ssize_t count;
    PyDictUnicodeEntry *entries = str_entries(d, &count);
    if (!entries || count != nkeys || PyDict_GET_SIZE(d) != nkeys)
        return false;
    for (int i = 0; i < nkeys; i++) {
        if (entries[i].me_key != interned(keys[i]))
            return false;
        values[i] = entries[i].me_value;
    }
    return true;
}

PyObject *copy_with_values(PyObject *shape, PyObject *const *values, Py_ssize_t n)
{
    Ref copy = Ref::steal(PyDict_Copy(shape));
    if (!copy)
        return nullptr;
    Py_ssize_t count;
    PyDictUnicodeEntry *entries = str_entries(copy.get(), &count);
    if (!entries || count != n) {
        // Not the layout expected of a new copy: the values go in by the dict's own insert.
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *old;
        while (i < n && PyDict_Next(shape, &pos, &key, &old)) {
            if (PyDict_SetItem(copy.get(), key, values[i++]) < 0)
                return nullptr;
        }
        return copy.release();
    }
    // Nobody has seen the copy yet: its entries are set in place, as the dict's own insert
    // would set them over the old values (the copy is then tracked by the collector if a value
    // is). The shape's values are constants whose release runs nothing.
    bool track = false;  // a value the collector may have to follow (tracking more is harmless)
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *old = entries[i].me_value;
        entries[i].me_value = Py_NewRef(values[i]);
        track |= PyType_IS_GC(Py_TYPE(values[i]));
        Py_DECREF(old);
    }
    if (track && !PyObject_GC_IsTracked(copy.get()))
        PyObject_GC_Track(copy.get());
    return copy.release();
}

PyObject *copy_replacing(PyObject *d, const Replacement *with, int n)
{
    Ref copy = Ref::steal(PyDict_Copy(d));
    if (!copy)
        return nullptr;
    Py_ssize_t count;
    PyDictUnicodeEntry *entries = str_entries(copy.get(), &count);
    bool track = false;
    for (const Replacement *r = with; r < with + n; r++) {
        if (!entries || r->index >= count || entries[r->index].me_key != r->key) {
            if (PyDict_SetItem(copy.get(), r->key, r->value) < 0)
                return nullptr;
            entries = str_entries(copy.get(), &count);  // the insert may have moved them
            continue;
        }
        // As copy_with_values() sets each entry.
        PyObject *old = entries[r->index].me_value;
        entries[r->index].me_value = Py_NewRef(r->value);
        track |= PyObject_GC_IsTracked(r->value);
        Py_DECREF(old);
    }
    if (track && !PyObject_GC_IsTracked(copy.get()))
        PyObject_GC_Track(copy.get());
    return copy.release();
}

PyObject *lookup_name(PyObject *globals, StrId name)
{
    PyObject *key = interned(name), *value;
    int found = PyDict_GetItemRef(globals, key, &value);
    if (found == 0)
        found = PyDict_GetItemRef(constants.builtins_dict, key, &value);
    if (found == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return found > 0 ? value : nullptr;
}

namespace {

// read_global() beyond its usual case: a namespace of other keys, or a name it lacks.
[[gnu::noinline]] PyObject *read_global_in_full(Frame &f, StrId name, bool *quiet)
{
    // Told before the lookup: host code run by it could change what a dict holds.
    PyObject *globals = f.globals, *builtins = constants.builtins_dict, *key = interned(name);
    PyDictKeysObject *keys = str_table(globals);
    bool probed = keys && known_hash(key) != -1;  // by read_global(), and not there
    bool no_host_code = (quiet || f.reads) && keys;
    Fingerprint namespace_print = Fingerprint::of(globals), builtins_print;
    PyObject *value;
    int found = probed ? 0 : str_lookup(globals, key, &value);
    bool from_builtins = found == 0;
    if (from_builtins) {
        no_host_code = no_host_code && quiet_lookup(builtins);
        builtins_print = Fingerprint::of(builtins);
        found = str_lookup(builtins, key, &value);
    }
    if (quiet)
        *quiet = no_host_code;
    if (found == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    if (found <= 0)
        return nullptr;
    if (no_host_code && f.reads) {
        f.reads->store(name, {Borrowed(value), namespace_print, builtins_print, from_builtins});
    }
    return value;
}

}  // namespace

PyObject *read_global(Frame &f, StrId name, bool *quiet)
{
    // The usual case, found in a namespace of str keys: the probe alone, which runs nothing. (An
    // interned name's hash was computed when it was interned; read_global_in_full reads the
    // namespace again in full should it not have been.)
    PyObject *globals = f.globals, *key = interned(name);
    Py_hash_t hash = known_hash(key);
    PyDictKeysObject *keys = hash == -1 ? nullptr : str_table(globals);
    PyObject *value = keys ? probe_str(keys, key, hash) : nullptr;
    if (!value)
        return read_global_in_full(f, name, quiet);
    if (quiet)
        *quiet = true;
    if (NameReads *reads = f.reads)
        reads->store(name, {Borrowed(value), Fingerprint::of(globals), Fingerprint(), false});
    return Py_NewRef(value);
}

// ---------------------------------------------------------------------------------------------
// Normal forms of model ids
//
// A host asks for the same id objects again and again, as the choice list asks for the
// catalogue's. Sets of two pairs, chosen by the id's address, the newer first; each pair owns its
// two exact str (whose release runs no host code), and a set is rewritten whole before the pair
// it drops goes.
//
// A pair also notes where its normal form was last found in the parameter table: the table's and
// the entry's prints, with the entry and its values borrowed beside them. When the table just
// read matches its print, it is that table, unchanged, and still holds the entry (alive, then,
// and safe to look at); when the entry matches its print as well, it still holds those values.

namespace {

struct NormalForm {
    PyObject *text, *normal;  // owned
    Fingerprint table, entry;
    Borrowed entry_object;    // followed only while `table` matches
    bool told;                // the entry's values were read:
    Borrowed values[3];       // max_tokens, temperature, top_p; followed only while `entry`
                              // matches as well
};
constexpr int kNormalFormBits = 6;
NormalForm normal_forms[1 << kNormalFormBits][2];

NormalForm (&normal_form_set(PyObject *text))[2]
{
    uint64_t mixed = (uint64_t)(uintptr_t)text * 0x9E3779B97F4A7C15u;  // Fibonacci hashing
    return normal_forms[mixed >> (64 - kNormalFormBits)];
}

// The pair made for `id`, when there is one.
NormalForm *known_form(PyObject *id)
{
    NormalForm (&set)[2] = normal_form_set(id);
    return set[0].text == id ? &set[0] : set[1].text == id ? &set[1] : nullptr;
}

}  // namespace

PyObject *known_normal_form(PyObject *id)
{
    NormalForm *known = known_form(id);
    return known ? known->normal : nullptr;
}

void keep_normal_form(PyObject *id, PyObject *normal)
{
    NormalForm (&set)[2] = normal_form_set(id);
    NormalForm dropped = set[1];
    set[1] = set[0];
    set[0] = {Py_NewRef(id), Py_NewRef(normal), {}, {}, {}, false, {}};
    Py_XDECREF(dropped.text);
    Py_XDECREF(dropped.normal);
}

NotedEntry noted_entry(PyObject *id, PyObject *table, Borrowed &entry, Borrowed (&values)[3])
{
    NormalForm *known = known_form(id);
    if (!known || !known->table.matches(table) || !known->entry.matches(known->entry_object.get()))
        return NotedEntry::none;
    entry = known->entry_object;
    if (!known->told)
        return NotedEntry::entry;
    for (int i = 0; i < 3; i++)
        values[i] = known->values[i];
    return NotedEntry::values;
}

void note_entry(PyObject *id, PyObject *table, PyObject *entry, bool told,
                PyObject *const (&values)[3])
{
    NormalForm *known = known_form(id);
    if (!known || !Fingerprint::tells_changes(table) || !Fingerprint::tells_changes(entry))
        return;
    *known = {known->text, known->normal, Fingerprint::of(table), Fingerprint::of(entry),
              Borrowed(entry), told,
              {Borrowed(values[0]), Borrowed(values[1]), Borrowed(values[2])}};
}

void forget_normal_forms()
{
    memset(normal_forms, 0, sizeof normal_forms);
}

// ---------------------------------------------------------------------------------------------
// Items of the fallback table, and the values shared by the rows of one choice list

PyObject *read_params_fallback(Frame &f, StrId key, FallbackItem &kept)
{
    Ref table = Ref::steal(lookup_global(f, s__FREE_PARAMS_FALLBACK));
    if (!table)
        return nullptr;
    // Printed before the lookup: a key of the host's, compared by it, could change the table.
    Fingerprint print = quiet_lookup(table.get()) ? Fingerprint::of(table.get()) : Fingerprint();
    PyObject *value = get_item(table.get(), interned(key));
    if (value)
        kept = {print, Borrowed(value)};
    return value;
}

SharedValues shared_values;

namespace {

// Values whose release runs no host code, and which nobody can change in place.
bool keepable(PyObject *v)
{
    return PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyBool_Check(v) || v == Py_None;
}

}  // namespace

void keep_shared_values(Frame &f, const FallbackItem (&fallbacks)[2])
{
    const NameReads::Read *provider_read = standing_read(f, s_FREE_PROVIDER_TYPE),
                          *base_read = standing_read(f, s_FREE_API_BASE),
                          *key_read = standing_read(f, s_FREE_KEYLESS_PLACEHOLDER),
                          *max_tokens_read = standing_read(f, s__FREE_MAX_TOKENS_FALLBACK),
                          *table_read = standing_read(f, s__FREE_PARAMS_FALLBACK);
    if (!provider_read || !base_read || !key_read || !max_tokens_read || !table_read)
        return;
    PyObject *table = table_read->value.get();
    for (const FallbackItem &item : fallbacks) {
        if (!item.table.matches(table))
            return;
    }
    using S = SharedValues;
    PyObject *values[S::count] = {provider_read->value.get(), provider_read->value.get(),
                                  base_read->value.get(),     key_read->value.get(),
                                  max_tokens_read->value.get(), fallbacks[0].value.get(),
                                  fallbacks[1].value.get()};
    for (PyObject *v : values) {
        if (!keepable(v))
            return;
    }
    // Replaced whole, the old released last.
    SharedValues old = shared_values;
    for (int i = 0; i < S::count; i++)
        shared_values.at[i] = Py_NewRef(values[i]);
    shared_values.kept = true;
    shared_values.namespace_ = Fingerprint::of(f.globals);
    shared_values.builtins = Fingerprint::of(constants.builtins_dict);
    shared_values.table_print = Fingerprint::of(table);
    shared_values.table = Borrowed(table);
    for (int i = 0; old.kept && i < S::count; i++)
        Py_DECREF(old.at[i]);
}

void forget_shared_values()
{
    shared_values = {};
}

// ---------------------------------------------------------------------------------------------
// Prepared entries

namespace {

struct Prepared {
    PyObject *dict;                // owned; never handed out, so never changed
    PyObject *with_prompt;         // owned, or NULL until wanted; as `dict`
    PyObject *values[kEntryKeys];  // held by `dict`
};
Prepared prepared_entries[kUsualRows];

bool holds_values(const Prepared &prepared, const EntryValues &values)
{
    bool same = true;  // no early exit: thirteen compares are cheaper than a branch each
    for (int i = 0; i < kEntryKeys; i++)
        same &= i == k_modalities || prepared.values[i] == values.at[i];
    return same;
}

}  // namespace

PyObject *prepared_entry(Py_ssize_t pos, const EntryValues &values, bool with_prompt)
{
    Prepared *slot = pos < kUsualRows ? &prepared_entries[pos] : nullptr;
    if (!slot || !slot->dict || !holds_values(*slot, values))
        return nullptr;
    if (!with_prompt)
        return slot->dict;
    if (!slot->with_prompt) {
        const Replacement placeholder = {kEntryKeys, interned(s_system_prompt), Py_None};
        slot->with_prompt = copy_replacing(slot->dict, &placeholder, 1);
    }
    return slot->with_prompt;
}

void keep_prepared_entry(Py_ssize_t pos, PyObject *made, const EntryValues &values)
{
    if (pos >= kUsualRows)
        return;
    for (int i = 0; i < kEntryKeys; i++) {
        if (i != k_modalities && !keepable(values.at[i]))
            return;
    }
    Prepared *slot = &prepared_entries[pos];
    Ref old = Ref::steal(slot->dict), old_with_prompt = Ref::steal(slot->with_prompt);
    for (int i = 0; i < kEntryKeys; i++)
        slot->values[i] = i == k_modalities ? Py_None : values.at[i];
    slot->dict = Py_NewRef(made);
    slot->with_prompt = nullptr;
}

void forget_prepared_entries()
{
    memset(prepared_entries, 0, sizeof prepared_entries);
}

}  // namespace fm
