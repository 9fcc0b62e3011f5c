// Everything routes.free_models keeps from one call to the next, and the rule it keeps to.
//
// Host code can run at any call into the host and at any Py_DECREF (a finalizer), and may change
// or rebind anything, told or not. So whatever is kept here is exact whenever it is used:
// - a prepared entry is used only when every value the call has just read is the very object it
//   holds. It owns its values, and only values whose release runs no host code (exact str, int,
//   float, bool, None), so a new one is built whole and installed, and the old one released
//   last, with nothing able to run in between;
// - a namespace binding is what the namespace's dict watcher was told before the change that
//   made it (see below), and is the namespace's own reference, never the module's to release;
// - traceback code objects depend on nothing the host can change.
#include "free_models.h"

#include <cstring>

namespace fm {

namespace {

// ---------------------------------------------------------------------------------------------
// Prepared choice entries
//
// Copying a dict's key table is much cheaper than inserting thirteen keys, and a catalogue row
// gives the same values call after call. So each of the first positions of the choice list
// keeps a dict with the thirteen keys in order and the values its last entry had ("modalities"
// left None). An entry whose values are those very objects is a copy of it with a new
// "modalities" list; any other entry is made key by key and, when all its values are kept
// safely, prepared for the next call.

constexpr Py_ssize_t kPrepared = 8;
struct Prepared {
    PyObject *dict;                 // owned; never handed out, so never changed
    PyObject *values[kEntryKeys];   // borrowed from dict
};
Prepared prepared_entries[kPrepared];

// Values whose release runs no host code, and which nobody can change in place.
bool keepable(PyObject *v)
{
    return PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyBool_Check(v) || v == Py_None;
}

bool holds_values(const Prepared &prepared, Ref (&values)[kEntryKeys])
{
    bool same = true;  // no early exit: thirteen compares are cheaper than a branch each
    for (int i = 0; i < kEntryKeys; i++)
        same &= i == kModalitiesKey || prepared.values[i] == values[i].get();
    return same;
}

PyObject *new_modalities()
{
    PyObject *list = PyList_New(1);
    if (list)
        PyList_SET_ITEM(list, 0, Py_NewRef(interned(s_text)));
    return list;
}

// A copy of `prepared` with a new "modalities" list.
PyObject *entry_from(PyObject *prepared)
{
    Ref modalities = Ref::steal(new_modalities());
    Ref entry = Ref::steal(modalities ? PyDict_Copy(prepared) : nullptr);
    if (!entry || PyDict_SetItem(entry.get(), interned(s_modalities), modalities.get()) < 0)
        return nullptr;
    return entry.release();
}

}  // namespace

PyObject *make_choice_entry(Py_ssize_t pos, Ref (&values)[kEntryKeys])
{
    if (pos < kPrepared && prepared_entries[pos].dict && holds_values(prepared_entries[pos], values))
        return entry_from(prepared_entries[pos].dict);

    Ref made = Ref::steal(PyDict_New());
    if (!made)
        return nullptr;
    bool keep = pos < kPrepared;
    for (int i = 0; i < kEntryKeys; i++) {
        PyObject *value = i == kModalitiesKey ? Py_None : values[i].get();
        keep = keep && keepable(value);
        if (PyDict_SetItem(made.get(), interned(kEntryKey[i]), value) < 0)
            return nullptr;
    }
    Ref entry = Ref::steal(entry_from(made.get()));
    if (!entry)
        return nullptr;
    if (keep) {
        Prepared &slot = prepared_entries[pos];
        Ref old = Ref::steal(slot.dict);
        for (int i = 0; i < kEntryKeys; i++)
            slot.values[i] = i == kModalitiesKey ? Py_None : values[i].get();
        slot.dict = made.release();
    }
    return entry.release();
}

// ---------------------------------------------------------------------------------------------
// Bindings of module-level names
//
// A call of get_free_model_choices reads some forty module-level names, and a dict lookup costs
// more than most of the work it does with them. So the values of the names that the bodies read
// are kept: what the namespace held when the exec step finished, and from then on what a dict
// watcher on the namespace is told. The watcher is called before every change of the dict, with
// the key and the new value, so the kept value is never behind the dict: it is the dict's own
// reference while the dict holds it, or the setter's while the change is under way.
//
// Nothing is learnt from a lookup: a lookup may run inside another watcher's callback, before a
// change that this one has already been told of. A change under a key that is not an exact str
// (which may stand for any name, by its own __eq__) or one that replaces the dict wholesale
// turns the kept values off for good, and every read is a lookup again; so does a namespace that
// cannot be watched (every watcher slot taken). A name not bound in the namespace is looked up
// in the builtins.

namespace {

const StrId kKeptNames[] = {
    s_FREE_MODEL_BASE, s_FREE_PROVIDER_TYPE, s_FREE_API_BASE, s_FREE_KEYLESS_PLACEHOLDER,
    s_FREE_ATTRIBUTION_HEADERS, s_FREE_MODELS, s_FREE_MODEL_OPTIMAL_PARAMS,
    s__FREE_MODEL_FAMILY_PARAMS, s__FREE_PARAMS_FALLBACK, s__FREE_MAX_TOKENS_FALLBACK,
    s_get_optimal_params, s_get_free_model_choices, s_log,
};

int namespace_watcher = -1;  // the dict watcher, once one could be had

bool same_text(PyObject *a, PyObject *b)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    return n == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)n * kind) == 0;
}

// The kept name spelt by the exact str `key`, or -1.
int kept_name(PyObject *key)
{
    for (StrId id : kKeptNames) {
        if (interned(id) == key)
            return id;
    }
    if (PyUnicode_CHECK_INTERNED(key))
        return -1;  // one object per interned text, and it is none of these
    for (StrId id : kKeptNames) {
        if (same_text(interned(id), key))
            return id;
    }
    return -1;
}

int on_namespace_change(PyDict_WatchEvent event, PyObject *dict, PyObject *key,
                        PyObject *new_value)
{
    if (dict != kept_bindings.name_space)
        return 0;
    switch (event) {
    case PyDict_EVENT_ADDED:
    case PyDict_EVENT_MODIFIED:
    case PyDict_EVENT_DELETED:
        if (PyUnicode_CheckExact(key)) {
            int id = kept_name(key);
            if (id >= 0)
                kept_bindings.value[id] = event == PyDict_EVENT_DELETED ? nullptr : new_value;
            return 0;
        }
        break;
    case PyDict_EVENT_CLEARED:
        for (PyObject *&value : kept_bindings.value)
            value = nullptr;
        return 0;
    default:
        break;
    }
    kept_bindings.name_space = nullptr;  // told too little to follow the dict
    return 0;
}

}  // namespace

KeptBindings kept_bindings;

void keep_bindings(PyObject *globals)
{
    if (namespace_watcher < 0) {
        namespace_watcher = PyDict_AddWatcher(on_namespace_change);
        if (namespace_watcher < 0) {
            PyErr_Clear();  // every slot taken: each read is a lookup
            return;
        }
    }
    for (StrId id : kKeptNames) {
        kept_bindings.kept[id] = true;
        kept_bindings.value[id] = PyDict_GetItemWithError(globals, interned(id));  // str keys
        if (!kept_bindings.value[id] && PyErr_Occurred()) {
            PyErr_Clear();
            return;
        }
    }
    if (PyDict_Watch(namespace_watcher, globals) < 0) {
        PyErr_Clear();
        return;
    }
    kept_bindings.name_space = globals;
}

PyObject *lookup_name(PyObject *globals, StrId id)
{
    PyObject *value;
    int found;
    if (globals == kept_bindings.name_space && kept_bindings.kept[id]) {
        found = 0;  // known not to be bound in the namespace
    }
    else {
        found = PyDict_GetItemRef(globals, interned(id), &value);
    }
    if (found == 0)
        found = PyDict_GetItemRef(constants.builtins_dict, interned(id), &value);
    if (found == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", interned(id));
    return found > 0 ? value : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Traceback code objects
//
// An entry's name, file and line all come from its code object, and a failing path tends to
// fail again, so one code object per (site, line) is made once and kept.

namespace {

PyCodeObject *traceback_codes[site_count][line::max + 1];

const char *site_name(int site)
{
    return site == site_init ? "init routes.free_models" : kFunctions[site].qualified;
}

}  // namespace

PyCodeObject *traceback_code(int site, int lineno)
{
    bool kept = lineno >= 0 && lineno <= line::max;
    if (kept && traceback_codes[site][lineno])
        return (PyCodeObject *)Py_NewRef(traceback_codes[site][lineno]);
    PyCodeObject *code = PyCode_NewEmpty("routes/free_models", site_name(site), lineno);
    if (code && kept)
        traceback_codes[site][lineno] = (PyCodeObject *)Py_NewRef(code);
    return code;
}

void forget_kept_state()
{
    namespace_watcher = -1;
    kept_bindings = KeptBindings{};
    for (Prepared &prepared : prepared_entries)
        prepared = Prepared{};
    for (auto &codes : traceback_codes) {
        for (PyCodeObject *&code : codes)
            code = nullptr;
    }
}

}  // namespace fm
