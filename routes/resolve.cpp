// resolve_free_model(model_index, all_config=None): a selector index into an llm_config.
#include "choices.h"
#include "kept.h"
#include "objects.h"
#include "traceback.h"

namespace fm {

namespace {

// `current or all_config.get("system_prompt", "")`: the system prompt a configuration inherits,
// `current` being its own (None when it has none).
PyObject *inherited_prompt(PyObject *current, PyObject *all_config)
{
    int keep = current == Py_None ? 0 : PyObject_IsTrue(current);
    if (keep)
        return keep < 0 ? nullptr : Py_NewRef(current);
    if (PyDict_CheckExact(all_config))
        return call_get(all_config, interned(s_system_prompt), interned(s_empty));
    Ref get = Ref::steal(PyObject_GetAttr(all_config, interned(s_get)));
    return get ? PyObject_Call(get.get(), constants.system_prompt_args, nullptr) : nullptr;
}

// The position that `choices[offset]` reads in a list of `count` entries, with the list's own
// errors; offset is known to lie in 0..count-1 when it is an int.
[[gnu::cold]] int list_position(PyObject *offset, Py_ssize_t count, Py_ssize_t *pos)
{
    if (!PyIndex_Check(offset)) {
        PyErr_Format(PyExc_TypeError, "list indices must be integers or slices, not %.200s",
                     Py_TYPE(offset)->tp_name);
        return -1;
    }
    Py_ssize_t i = PyNumber_AsSsize_t(offset, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred())
        return -1;
    if (i < 0)
        i += count;
    if (i < 0 || i >= count) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return -1;
    }
    *pos = i;
    return 0;
}

// True when int(o) is certain to raise TypeError or ValueError without running host code: None,
// plain containers, and ASCII text holding a character no base-10 literal can contain.
bool surely_not_an_int(PyObject *o)
{
    if (!PyUnicode_CheckExact(o))
        return o == Py_None || PyList_CheckExact(o) || PyDict_CheckExact(o) ||
               PyTuple_CheckExact(o);
    if (!PyUnicode_IS_ASCII(o))
        return false;
    const Py_UCS1 *p = PyUnicode_1BYTE_DATA(o);
    Py_ssize_t n = PyUnicode_GET_LENGTH(o);
    if (n == 0)
        return true;
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_UCS1 c = p[i];
        bool possible = (c >= '0' && c <= '9') || c == '_' || c == '+' || c == '-' ||
                        Py_UNICODE_ISSPACE(c);
        if (!possible)
            return true;
    }
    return false;
}

// `idx = int(model_index)`: 1 with `idx` set; 0 where the conversion raises TypeError or
// ValueError, which resolve_free_model absorbs; -1 on any other error.
int index_value(PyObject *model_index, Ref &idx)
{
    if (PyLong_CheckExact(model_index)) {
        idx = Ref::borrow(model_index);  // int() of an int is itself
        return 1;
    }
    // Values that int() refuses for certain, answered without making the exception it would
    // raise and discard.
    if (surely_not_an_int(model_index))
        return 0;
    idx = Ref::steal(PyNumber_Long(model_index));
    if (idx)
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError))
        return -1;
    PyErr_Clear();
    return 0;
}

// The rare cases of resolve_index(), out of its way: an offset that is no compact int (a base
// or an index of the host's), and a choice list of the host's.

// `offset >= count` (op Py_GE) or `offset < 0` (Py_LT) as a truth value.
[[gnu::cold]] int compare_offset(PyObject *offset, Py_ssize_t bound, int op)
{
    Ref bound_obj = Ref::steal(PyLong_FromSsize_t(bound));
    return bound_obj ? PyObject_RichCompareBool(offset, bound_obj.get(), op) : -1;
}

// `dict(choices[offset])`
[[gnu::cold]] PyObject *copy_of_host_entry(PyObject *choices, PyObject *offset)
{
    Ref entry = Ref::steal(PyObject_GetItem(choices, offset));
    return entry ? dict_of(entry.get()) : nullptr;
}

// `cfg.get("system_prompt")` of a copy of a host's entry
[[gnu::cold]] PyObject *prompt_of_host_copy(PyObject *cfg)
{
    return call_get(cfg, interned(s_system_prompt), nullptr);
}

// From the choice list on, for an index at or above FREE_MODEL_BASE (apart, so that the
// indices refused before it pay for nothing of it).
[[gnu::noinline]] PyObject *resolve_index(Frame &f, PyObject *idx_object, PyObject *all_config)
{
    Ref idx = Ref::borrow(idx_object);
    Ref base;
    f.line = line::resolve_free_model::choices;
    Ref choices_fn = Ref::steal(lookup_global(f, s_get_free_model_choices));
    if (!choices_fn)
        return nullptr;
    // The module's own choice list is built here as its entries' values: only the entry at
    // the offset is ever seen, as its copy, so only that one is made.
    bool own = is_own_function(choices_fn.get(), f_get_free_model_choices, f.globals);
    ChoiceSink own_choices(true);
    Ref choices;
    if (own) {
        Frame inner{f.globals, kFunctions[f_get_free_model_choices].def_line, f.reads};
        if (build_choices(inner, own_choices) < 0) {
            add_traceback(f_get_free_model_choices, inner.line, f.globals);
            return nullptr;
        }
    }
    else {
        choices = Ref::steal(PyObject_CallNoArgs(choices_fn.get()));
        if (!choices)
            return nullptr;
    }

    f.line = line::resolve_free_model::offset;
    base = Ref::steal(lookup_global(f, s_FREE_MODEL_BASE));
    if (!base)
        return nullptr;
    Py_ssize_t i, b;
    Ref offset = Ref::steal(small_int(idx.get(), &i) && small_int(base.get(), &b)
                                ? PyLong_FromSsize_t(i - b)  // compact: cannot overflow
                                : PyNumber_Subtract(idx.get(), base.get()));
    if (!offset)
        return nullptr;

    f.line = line::resolve_free_model::upper_bound;
    Py_ssize_t count = own ? own_choices.size() : PyObject_Size(choices.get());
    if (count < 0)
        return nullptr;
    Py_ssize_t at = 0;
    bool small = small_int(offset.get(), &at);
    int beyond = small ? at >= count : compare_offset(offset.get(), count, Py_GE);
    if (beyond)
        return beyond < 0 ? nullptr : Py_NewRef(Py_None);
    // FREE_MODEL_BASE was read again after the host's code ran; a base raised meanwhile must
    // not turn the offset negative and select an entry from the end of the list.
    int negative = small ? at < 0 : compare_offset(offset.get(), 0, Py_LT);
    if (negative)
        return negative < 0 ? nullptr : Py_NewRef(Py_None);

    // `cfg = dict(choices[offset])`, then, when all_config is true, `cfg["system_prompt"] =
    // cfg.get("system_prompt") or all_config.get("system_prompt", "")`. An entry of the module's
    // own has no system prompt: the one it inherits is found first and goes into the copy as it
    // is made. Nobody sees the copy before it is returned, so only a failing allocation could
    // tell the difference.
    f.line = line::resolve_free_model::copy;
    Ref cfg;
    Py_ssize_t pos = at;  // 0 <= at < count, as checked
    if (!own) {
        if (!(cfg = Ref::steal(copy_of_host_entry(choices.get(), offset.get()))))
            return nullptr;
    }
    else if (!small && list_position(offset.get(), count, &pos) < 0) {
        return nullptr;
    }

    f.line = line::resolve_free_model::inherit_test;
    int inherit = PyObject_IsTrue(all_config);
    if (inherit < 0)
        return nullptr;
    Ref prompt;
    if (inherit) {
        f.line = line::resolve_free_model::inherit;
        Ref current = own ? Ref::borrow(Py_None) : Ref::steal(prompt_of_host_copy(cfg.get()));
        if (!current || !(prompt = Ref::steal(inherited_prompt(current.get(), all_config))))
            return nullptr;
        if (!own && PyDict_SetItem(cfg.get(), interned(s_system_prompt), prompt.get()) < 0)
            return nullptr;
    }
    if (own) {
        f.line = line::resolve_free_model::copy;
        if (!(cfg = Ref::steal(own_choices.copy_of_entry(pos, prompt.get()))))
            return nullptr;
    }

    f.line = line::resolve_free_model::log;
    Method info;
    if (log_info(f, info) < 0)
        return nullptr;
    Ref model = Ref::steal(get_item(cfg.get(), interned(s_model)));
    if (!model || call_info(info, interned(s_fmt_resolved), idx.get(), model.get()) < 0)
        return nullptr;
    return cfg.release();
}

}  // namespace

const char doc_resolve_free_model[] = PyDoc_STR(
"resolve_free_model(model_index, all_config=None)\n"
"\n"
"Turn a selector index at or above FREE_MODEL_BASE into a ready-to-use\n"
"llm_config (a new dict). An index that designates no free model gives None,\n"
"and the caller falls back to its existing error path. When all_config is\n"
"given, its global system_prompt is inherited as for ordinary models.");

PyObject *body_resolve_free_model(Frame &f, PyObject *const *args)
{
    PyObject *model_index = args[0], *all_config = args[1];

    f.line = line::resolve_free_model::index;
    Ref idx;
    int converted = index_value(model_index, idx);
    if (converted <= 0)
        return converted < 0 ? nullptr : Py_NewRef(Py_None);

    f.line = line::resolve_free_model::lower_bound;
    Ref base = Ref::steal(lookup_global(f, s_FREE_MODEL_BASE));
    if (!base)
        return nullptr;
    int below = compare(idx.get(), base.get(), Py_LT);
    if (below)
        return below < 0 ? nullptr : Py_NewRef(Py_None);
    return resolve_index(f, idx.get(), all_config);
}

}  // namespace fm
