// resolve_free_model(model_index, all_config=None): a selector index into an llm_config.
#include "free_models.h"

namespace fm {

namespace {

// `cfg["system_prompt"] = cfg.get("system_prompt") or all_config.get("system_prompt", "")`
int inherit_system_prompt(PyObject *cfg, PyObject *all_config)
{
    Ref prompt = Ref::steal(call_get(cfg, S(s_system_prompt), nullptr));
    if (!prompt)
        return -1;
    int keep = PyObject_IsTrue(prompt.get());
    if (keep < 0)
        return -1;
    if (!keep && PyDict_CheckExact(all_config)) {
        prompt = Ref::steal(call_get(all_config, S(s_system_prompt), S(s_empty)));
        if (!prompt)
            return -1;
    }
    else if (!keep) {
        Ref get = Ref::steal(PyObject_GetAttr(all_config, S(s_get)));
        prompt = Ref::steal(get ? PyObject_Call(get.get(), K.system_prompt_args, nullptr)
                                : nullptr);
        if (!prompt)
            return -1;
    }
    return PyDict_SetItem(cfg, S(s_system_prompt), prompt.get());
}

// Steps of the written algorithm: the choice list is built and the entry at idx - base copied.
// NULL without an exception when the index is past the list.
PyObject *general_entry(Frame &f, PyObject *idx, PyObject *choices_fn)
{
    Ref choices = Ref::steal(PyObject_CallNoArgs(choices_fn));
    if (!choices)
        return nullptr;

    f.line = 166;
    Ref base = Ref::steal(lookup_global(f.globals, s_FREE_MODEL_BASE));
    if (!base)
        return nullptr;
    Ref offset = Ref::steal(PyNumber_Subtract(idx, base.get()));
    if (!offset)
        return nullptr;

    f.line = 167;
    Py_ssize_t count = PyObject_Size(choices.get());
    if (count < 0)
        return nullptr;
    Ref count_obj = Ref::steal(PyLong_FromSsize_t(count));
    if (!count_obj)
        return nullptr;
    int beyond = PyObject_RichCompareBool(offset.get(), count_obj.get(), Py_GE);
    if (beyond)
        return nullptr;
    // FREE_MODEL_BASE was read again after the host's code ran; a base raised meanwhile must
    // not turn the offset negative and select an entry from the end of the list.
    int negative = PyObject_RichCompareBool(offset.get(), K.int_zero, Py_LT);
    if (negative)
        return nullptr;

    f.line = 169;
    Ref entry = Ref::steal(PyObject_GetItem(choices.get(), offset.get()));
    return entry ? dict_of(entry.get()) : nullptr;
}

// True when int(o) is certain to raise TypeError or ValueError without running host code: None,
// plain containers, and ASCII text holding a character no base-10 literal can contain.
bool surely_not_an_int(PyObject *o)
{
    if (o == Py_None || PyList_CheckExact(o) || PyDict_CheckExact(o) || PyTuple_CheckExact(o))
        return true;
    if (!PyUnicode_CheckExact(o) || !PyUnicode_IS_ASCII(o))
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

}  // namespace

// Indexes that certainly designate no free model: no integer at all, or one below the base.
PyObject *quick_resolve_free_model(PyObject *globals, PyObject *const *args, int *)
{
    PyObject *index = args[0];
    if (surely_not_an_int(index))
        Py_RETURN_NONE;
    if (!PyLong_CheckExact(index))
        return nullptr;
    Ref base;
    if (peek_global(globals, s_FREE_MODEL_BASE, base) <= 0 || !PyLong_CheckExact(base.get())) {
        PyErr_Clear();  // the body looks again and reports it
        return nullptr;
    }
    int below = PyObject_RichCompareBool(index, base.get(), Py_LT);  // two ints: cannot fail
    return below > 0 ? Py_NewRef(Py_None) : nullptr;
}

PyObject *body_resolve_free_model(Frame &f, PyObject *const *args)
{
    PyObject *model_index = args[0], *all_config = args[1];

    f.line = 160;
    Ref idx = Ref::steal(PyNumber_Long(model_index));
    if (!idx) {
        // An index that is no integer designates no free model: the caller's own error path.
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return nullptr;
    }

    f.line = 163;
    Ref base = Ref::steal(lookup_global(f.globals, s_FREE_MODEL_BASE));
    if (!base)
        return nullptr;
    int below = PyObject_RichCompareBool(idx.get(), base.get(), Py_LT);
    if (below)
        return below < 0 ? nullptr : Py_NewRef(Py_None);

    f.line = 165;
    Ref choices_fn = Ref::steal(lookup_global(f.globals, s_get_free_model_choices));
    if (!choices_fn)
        return nullptr;
    Ref cfg;
    if (is_own_function(choices_fn.get(), f_get_free_model_choices, f.globals) &&
        PyLong_CheckExact(base.get())) {
        int plain = choose_plain_entry(f, idx.get(), base.get(), cfg);
        if (plain < 0)
            return nullptr;
        if (plain && !cfg)
            Py_RETURN_NONE;
    }
    if (!cfg) {
        cfg = Ref::steal(general_entry(f, idx.get(), choices_fn.get()));
        if (!cfg)
            return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    }

    f.line = 170;
    int inherit = PyObject_IsTrue(all_config);
    if (inherit < 0)
        return nullptr;
    if (inherit) {
        f.line = 171;
        if (inherit_system_prompt(cfg.get(), all_config) < 0)
            return nullptr;
    }

    f.line = 172;
    PyObject *model;
    if (PyDict_GetItemRef(cfg.get(), S(s_model), &model) < 0)
        return nullptr;
    if (!model) {
        // The KeyError comes only after `log.info` was found.
        Ref log = Ref::steal(lookup_global(f.globals, s_log));
        Ref info = Ref::steal(log ? PyObject_GetAttr(log.get(), S(s_info)) : nullptr);
        if (info)
            PyErr_SetObject(PyExc_KeyError, S(s_model));
        return nullptr;
    }
    int rc = log_info(f.globals, S(s_fmt_resolved), idx.get(), model);
    Py_DECREF(model);
    return rc < 0 ? nullptr : cfg.release();
}

}  // namespace fm
