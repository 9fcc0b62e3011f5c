// Operations on the host's objects that every body shares: module-level name lookup, unpacking,
// and the dict operations, each with a shortcut for exact built-in types where it can be had
// without running host code.
#include "free_models.h"

#include <cstring>

namespace fm {

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
        NameReads &reads = *f.reads;
        reads.at[name] = {value, namespace_print, builtins_print, from_builtins};
        reads.filled |= 1u << name;
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
    if (NameReads *reads = f.reads) {
        reads->at[name] = {value, Fingerprint::of(globals), Fingerprint(), false};
        reads->filled |= 1u << name;
    }
    return Py_NewRef(value);
}

int unpack(PyObject *item, Py_ssize_t n, PyObject **out)
{
    Py_ssize_t got = 0;     // items found (for the error text)
    Py_ssize_t filled = 0;  // references stored in out
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        got = Py_SIZE(item);
        if (got == n) {
            PyObject **items = PyTuple_CheckExact(item) ? &PyTuple_GET_ITEM(item, 0)
                                                        : &PyList_GET_ITEM(item, 0);
            for (Py_ssize_t i = 0; i < n; i++)
                out[i] = Py_NewRef(items[i]);
            return 0;
        }
        if (got > n)
            goto too_many;
        goto too_few;
    }
    {
        Ref it = Ref::steal(PyObject_GetIter(item));
        if (!it) {
            // The interpreter's own wording for `a, b = 5`.
            if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item)->tp_iter &&
                !PySequence_Check(item))
                PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                             Py_TYPE(item)->tp_name);
            return -1;
        }
        for (; got < n; got++) {
            out[got] = PyIter_Next(it.get());
            if (!out[got]) {
                if (PyErr_Occurred())
                    goto error;
                goto too_few;
            }
            filled++;
        }
        Ref extra = Ref::steal(PyIter_Next(it.get()));
        if (extra)
            goto too_many;
        if (PyErr_Occurred())
            goto error;
        return 0;
    }
too_many:
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    goto error;
too_few:
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                 got == 1 ? "" : "s");
error:
    for (Py_ssize_t i = 0; i < filled; i++)
        Py_CLEAR(out[i]);
    return -1;
}

int contains(PyObject *container, PyObject *key)
{
    if (PyDict_CheckExact(container))
        return PyDict_Contains(container, key);
    return PySequence_Contains(container, key);
}

PyObject *get_item(PyObject *container, PyObject *key)
{
    if (!PyDict_CheckExact(container) || !PyUnicode_CheckExact(key))
        return PyObject_GetItem(container, key);
    PyObject *value;
    if (str_lookup(container, key, &value) == 0)
        PyErr_SetObject(PyExc_KeyError, key);  // a str key is its own argument
    return value;
}

int update(PyObject *obj, PyObject *arg)
{
    // dict.update of a plain dict is a merge; nothing else may be assumed of a host's update.
    if (PyDict_CheckExact(obj) && PyDict_CheckExact(arg))
        return PyDict_Merge(obj, arg, 1);
    Ref r = Ref::steal(PyObject_CallMethodOneArg(obj, interned(s_update), arg));
    return r ? 0 : -1;
}

PyObject *dict_of(PyObject *arg)
{
    if (!PyDict_CheckExact(arg))
        return PyObject_CallOneArg((PyObject *)&PyDict_Type, arg);
    // Copying a key table of str keys compares nothing. Any other plain dict goes as the
    // constructor takes it, key by key: PyDict_Copy would copy some tables whole where the
    // constructor compares keys of equal hash (host code, for a key of the host's class).
    if (quiet_lookup(arg))
        return PyDict_Copy(arg);
    Ref copy = Ref::steal(PyDict_New());
    if (!copy || PyDict_Merge(copy.get(), arg, 1) < 0)
        return nullptr;
    return copy.release();
}

PyObject *copy_items(PyObject *params)
{
    if (quiet_lookup(params))
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

PyObject *call_get(PyObject *obj, PyObject *key, PyObject *dflt)
{
    if (PyDict_CheckExact(obj)) {
        PyObject *value;
        int found = PyUnicode_CheckExact(key) ? str_lookup(obj, key, &value)
                                              : PyDict_GetItemRef(obj, key, &value);
        if (found < 0)
            return nullptr;
        return found ? value : Py_NewRef(dflt ? dflt : Py_None);
    }
    PyObject *args[3] = {obj, key, dflt};
    return PyObject_VectorcallMethod(interned(s_get), args, dflt ? 3 : 2, nullptr);
}

int log_info(Frame &f, Method &info)
{
    Ref log = Ref::steal(lookup_global(f, s_log));
    if (!log)
        return -1;
    PyObject *callable = nullptr;
    int unbound = _PyObject_GetMethod(log.get(), interned(s_info), &callable);
    if (!callable)
        return -1;
    info.callable = Ref::steal(callable);
    if (unbound)
        info.self = std::move(log);
    return 0;
}

int call_info(const Method &info, PyObject *fmt, PyObject *a, PyObject *b)
{
    // args[0] is the logger's slot: taken by `self` for an unbound method, else left free
    PyObject *args[4] = {info.self.get(), fmt, a, b};
    Ref r = info.self ? Ref::steal(PyObject_Vectorcall(info.callable.get(), args, 4, nullptr))
                      : Ref::steal(PyObject_Vectorcall(info.callable.get(), args + 1,
                                                       3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                       nullptr));
    return r ? 0 : -1;
}

}  // namespace fm
