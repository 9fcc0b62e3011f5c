// Kept state: everything of routes.free_models that is kept across reads and calls, and
// everything that reads the host's dicts through the interpreter's internals (kept.cpp).
//
// THE RULE. Any release of a reference can run host code (a finalizer), and host code can change
// or rebind anything. So whatever is kept across a call that can run host code either owns what
// it holds, or holds it borrowed (Borrowed) beside the print (Fingerprint) of the dict that holds
// it, and follows it only while that dict, read afresh, matches its print. A print is taken only
// of a dict whose every change gives it a new version tag, and no field of an object is read
// before its type is checked. What is owned holds only objects whose release runs no host code
// (exact str, int, float, bool and None, code objects), unless it lives no longer than the call
// that made it; it is used only for the very objects it was made from, compared by address; it
// is replaced whole, the old released last.
//
// Process-wide, guarded by the interpreter lock; forgotten, not released, when the interpreter
// that made it is gone (module.cpp):
// - `constants` (catalogue.cpp): interned strings, the catalogue's objects, prepared shapes and
//   tuples, the builtins module and its namespace. Owned for the life of the process. The
//   builtins' namespace is read like the module's: a read of it is kept only beside its print.
// - `module_object` (module.cpp): the one module, owned; its interpreter's id beside it.
// - `function_type`, `code_records` (function.cpp): the functions' type and `__code__` records,
//   owned; a function is told the module's own by its type, its table entry and its namespace.
// - `calls_under_way` (function.cpp): a count of the module's calls in progress on all threads,
//   and `stack_floor`, per thread, the address below which a nested call does not start:
//   numbers only.
// - `traceback_codes` (traceback.cpp): the code objects of traceback entries, owned.
// - `normal_forms` (here): the normal forms of recent model ids, each pair of exact str owned,
//   with the prints of the parameter table and entry where the form was last found and, borrowed
//   beside them, that entry and its values: followed only while both match.
// - `shared_values` (here): the values a choice row reads besides its own, owned (exact str, int,
//   float, bool, None only), beside the prints of the namespace, the builtins and the fallback
//   table, which is borrowed and followed only while the namespace and builtins match.
// - `prepared_entries` (here): per position of the choice list, owned dicts of the thirteen keys
//   holding values whose release runs nothing; an entry is made from one only when the entry's
//   values are the very objects it holds.
//
// Per call, on the call's stack:
// - NameReads: each module-level name read during a call of get_free_model_choices or
//   resolve_free_model, borrowed beside the prints of the namespace (and of the builtins);
// - FallbackItem: an item of _FREE_PARAMS_FALLBACK, borrowed beside the print of the table.
#ifndef ROUTES_KEPT_H
#define ROUTES_KEPT_H

#include "catalogue.h"
#include "choices.h"
#include "function.h"
#include "ref.h"

#include <cstdint>
#include <type_traits>

namespace fm {

// ---------------------------------------------------------------------------------------------
// The check

// What a dict was at one moment, by address and version tag. CPython 3.13 gives a dict a tag no
// other dict has had when it is made, and a new one at every change, but only where it sees the
// change: in an exact dict whose values live in its own key table. An object's attribute dict
// (vars(obj)) keeps its values in the object, and setattr changes them without a new tag. So a
// print is taken only of such a dict (of anything else it is empty and matches nothing), and a
// live object matches it only when it is such a dict with that address and that tag: then it is
// the very dict printed, unchanged since, and it still holds everything it held then.
//
// The address is kept as a number: a print is never followed, only compared with an object the
// caller holds (or has just read from a dict that matches its own print). No field of an object
// is read before its type is checked.
class Fingerprint {
public:
    Fingerprint() = default;
    static Fingerprint of(PyObject *o)
    {
        return tells_changes(o) ? Fingerprint(o, version_of(o)) : Fingerprint();
    }
    bool matches(PyObject *live) const
    {
        return (uintptr_t)live == address_ && address_ && tells_changes(live) &&
               version_of(live) == version_;
    }
    // True when every change of `o` gives it a new version tag.
    static bool tells_changes(PyObject *o)
    {
        return PyDict_CheckExact(o) && !reinterpret_cast<PyDictObject *>(o)->ma_values;
    }

private:
    Fingerprint(PyObject *o, uint64_t version) : address_((uintptr_t)o), version_(version) {}
    static uint64_t version_of(PyObject *d)
    {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        return reinterpret_cast<PyDictObject *>(d)->ma_version_tag;
#pragma GCC diagnostic pop
    }
    uintptr_t address_ = 0;  // 0: empty
    uint64_t version_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Module-level names

// A module-level name as the namespace, then the builtins, hold it: a new reference, or NULL
// with NameError (or the lookup's own error) set.
PyObject *lookup_name(PyObject *globals, StrId name);

// The module-level names read during one call of a module function. A name read again is
// answered from here when the dicts it was read from cannot have changed since: they are dicts
// of str keys only (see quiet_lookup) that match their prints. A value is not owned here: it is
// looked at only while its dict, unchanged, still holds it (standing_read), so a value the host
// unbinds during the call goes as it would in plain Python.
struct NameReads {
    struct Read {
        Borrowed value;           // the dict's, while its print matches
        Fingerprint namespace_;   // of the namespace when read
        Fingerprint builtins;     // of the builtins, when the name was read there
        bool from_builtins;
    };
    uint32_t filled = 0;  // bit n: at[n] holds a read
    // Left unmade until a read is stored (a call of resolve_free_model that ends early must not
    // pay for clearing thirteen reads it never makes): only the slots that `filled` marks are
    // ever looked at.
    union {
        Read at[kReadNames];
    };
    static_assert(kReadNames <= 32, "one bit per name");
    static_assert(std::is_trivially_destructible_v<Read>, "nothing to undo in an unmade read");

    NameReads() {}
    NameReads(const NameReads &) = delete;
    NameReads &operator=(const NameReads &) = delete;
    const Read *find(StrId name) const
    {
        return filled >> name & 1 ? &at[name] : nullptr;
    }
    void store(StrId name, const Read &read)
    {
        at[name] = read;
        filled |= 1u << name;
    }
};

// `name` as the namespace, then the builtins, hold it at this moment, as lookup_name() gives
// it. `quiet`, when given, tells whether reading it could not have run host code.
PyObject *read_global(Frame &f, StrId name, bool *quiet);
// The call's read of `name` when it still stands: a dict of str keys that has not changed since
// answers as it did (a key of another type would have changed it). NULL otherwise.
inline const NameReads::Read *standing_read(Frame &f, StrId name)
{
    const NameReads::Read *read = f.reads ? f.reads->find(name) : nullptr;
    if (read && read->namespace_.matches(f.globals) &&
        (!read->from_builtins || read->builtins.matches(constants.builtins_dict)))
        return read;
    return nullptr;
}

// A module-level name in a body: as read_global() gives it, or from the call's earlier read of
// it while that stands.
inline PyObject *lookup_global(Frame &f, StrId name, bool *quiet = nullptr)
{
    if (f.reads) {
        if (const NameReads::Read *read = standing_read(f, name)) {
            if (quiet)
                *quiet = true;
            return Py_NewRef(read->value.get());
        }
    }
    return read_global(f, name, quiet);
}

// ---------------------------------------------------------------------------------------------
// Dicts of str keys, read through the interpreter's internals

// True when looking up an exact str in `d` cannot run host code: `d` is an exact dict whose
// keys are all exact str, so keys are compared by text and never by a key's own __eq__.
bool quiet_lookup(PyObject *d);

// True when `a` and `b` are dicts of str keys (quiet_lookup) with the very same key objects in
// the same order and no deleted entries: then `dict(a)` updated with `b` is a copy of `b`.
bool same_str_keys(PyObject *a, PyObject *b);

// `d[key]` of a dict `d` and an exact str `key`, as PyDict_GetItemRef answers it.
int str_lookup(PyObject *d, PyObject *key, PyObject **value);

// For a dict of str keys (quiet_lookup) that holds its values in its own key table: the values
// under `keys` (borrowed; NULL where absent) into `values`, when it holds no other key. False,
// with nothing read, otherwise.
bool read_str_items(PyObject *d, const StrId *keys, int nkeys, PyObject **values);

// For a dict of str keys (quiet_lookup) that holds its values in its own key table and has
// exactly `keys`, in this order: its values (borrowed) into `values`. False otherwise.
bool str_items_in_order(PyObject *d, const StrId *keys, int nkeys, PyObject **values);

// A copy of `shape`, a dict of `n` str keys made by the module whose values are constants,
// with `values` in place of its values, in order.
PyObject *copy_with_values(PyObject *shape, PyObject *const *values, Py_ssize_t n);

// A copy of the plain dict `d` with `with[i].value` under `with[i].key`, for i < n: in place of
// the value of its entry number `index` (0 for the first inserted), which the key is expected to
// have; inserted otherwise.
struct Replacement {
    Py_ssize_t index;
    PyObject *key, *value;
};
PyObject *copy_replacing(PyObject *d, const Replacement *with, int n);

// ---------------------------------------------------------------------------------------------
// Normal forms of model ids (get_optimal_params)

// The normal form worked out before for `id` (borrowed from the kept pair: to be used before
// anything can run host code), or NULL. Only an exact str has one: a pair is found by the very
// object it was made from.
PyObject *known_normal_form(PyObject *id);
// Keeps `normal` as the normal form of the exact str `id`.
void keep_normal_form(PyObject *id, PyObject *normal);

// Where the normal form of `id` was last found in the parameter table (note_entry): NotedEntry::
// none when `table`, just read from the namespace, is not that table unchanged; otherwise the
// entry (borrowed, to be used before anything can run host code) and, when the entry is
// unchanged too and its values could be read (read_values in params.cpp), those values
// (max_tokens, temperature, top_p, borrowed, NULL where absent).
enum class NotedEntry { none, entry, values };
NotedEntry noted_entry(PyObject *id, PyObject *table, Borrowed &entry, Borrowed (&values)[3]);
// Notes that the normal form of `id` was found in `table` as `entry`, with the entry's values
// when `told`: kept only when `id` has a kept pair and both dicts can be printed.
void note_entry(PyObject *id, PyObject *table, PyObject *entry, bool told,
                PyObject *const (&values)[3]);

// ---------------------------------------------------------------------------------------------
// Items of the fallback table, and the values shared by the rows of one choice list

// `_FREE_PARAMS_FALLBACK[key]`, read for every row: the value read for an earlier row of the
// same call stands while the name's read stands (NameReads) and the table matches its print.
// Like the name's read, it owns nothing.
struct FallbackItem {
    Fingerprint table;
    Borrowed value;  // the table's, followed only while `table` matches
};

PyObject *read_params_fallback(Frame &f, StrId key, FallbackItem &kept);

inline PyObject *params_fallback(Frame &f, StrId key, FallbackItem &kept)
{
    const NameReads::Read *read = standing_read(f, s__FREE_PARAMS_FALLBACK);
    if (read && kept.table.matches(read->value.get()))
        return Py_NewRef(kept.value.get());
    return read_params_fallback(f, key, kept);
}

// What an entry reads besides its row and its parameter set: the four module-level constants
// and the three fallbacks, as a row (of this call or an earlier one) read them all without
// running host code. A row would read the very same objects while the namespace, the builtins
// and the fallback table match their prints, so it takes them from here instead of reading
// seven times. Kept across calls, so it owns only values whose release runs no host code
// (exact str, int, float, bool, None); the table is borrowed, and followed only once the
// namespace and the builtins match (then they still hold it).
struct SharedValues {
    enum Slot { provider, api_type, api_base, api_key, max_tokens, temperature, top_p, count };
    bool kept;
    PyObject *at[count];  // owned while `kept`
    Fingerprint namespace_, builtins, table_print;
    Borrowed table;       // _FREE_PARAMS_FALLBACK
};
extern SharedValues shared_values;

inline bool shared_values_stand(Frame &f)
{
    const SharedValues &shared = shared_values;
    return shared.kept && shared.namespace_.matches(f.globals) &&
           shared.builtins.matches(constants.builtins_dict) &&
           shared.table_print.matches(shared.table.get());
}

inline PyObject *shared_value(SharedValues::Slot slot)
{
    return Py_NewRef(shared_values.at[slot]);
}

// After a row whose every read stood and whose values can all be kept: its values, for the rows
// (and the calls) after it. Replaces what was kept whole, the old released last.
void keep_shared_values(Frame &f, const FallbackItem (&fallbacks)[2]);

// ---------------------------------------------------------------------------------------------
// Prepared entries (the choice list)
//
// Copying a dict's key table is much cheaper than inserting thirteen keys, and a catalogue row
// gives the same values call after call. So each of the first positions of the choice list
// keeps a dict with the thirteen keys in order and the values its last entry had ("modalities"
// left None), and, once resolve_free_model wants it, the same with "system_prompt" (None) last.

// The dict prepared for position `pos` when it holds exactly `values` (borrowed: copied at once);
// with "system_prompt" last when `with_prompt`. NULL when there is none; NULL with MemoryError
// set when the one with "system_prompt" could not be made.
PyObject *prepared_entry(Py_ssize_t pos, const EntryValues &values, bool with_prompt);
// Keeps `made`, a new dict of the thirteen keys with `values` ("modalities" None) that nobody
// else holds, as position `pos`'s prepared entry, when all its values can be kept safely.
void keep_prepared_entry(Py_ssize_t pos, PyObject *made, const EntryValues &values);

// After the interpreter that made them is finalized, the next import forgets the normal forms,
// the shared values and the prepared entries without releasing them (module.cpp).
void forget_normal_forms();
void forget_shared_values();
void forget_prepared_entries();

}  // namespace fm

#endif
