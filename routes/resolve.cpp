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
    if (!keep) {
        Ref get = Ref::steal(PyObject_GetAttr(all_config, S(s_get)));
        prompt = Ref::steal(get ? PyObject_Call(get.get(), K.system_prompt_args, nullptr)
                                : nullptr);
        if (!prompt)
            return -1;
    }
    return PyDict_SetItem(cfg, S(s_system_prompt), prompt.get());
}

}  // namespace

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
    Ref choices = Ref::steal(PyObject_CallNoArgs(choices_fn.get()));
    if (!choices)
        return nullptr;

    f.line = 166;
    base = Ref::steal(lookup_global(f.globals, s_FREE_MODEL_BASE));
    if (!base)
        return nullptr;
    Ref offset = Ref::steal(PyNumber_Subtract(idx.get(), base.get()));
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
        return beyond < 0 ? nullptr : Py_NewRef(Py_None);

    f.line = 169;
    Ref entry = Ref::steal(PyObject_GetItem(choices.get(), offset.get()));
    Ref cfg = Ref::steal(entry ? dict_of(entry.get()) : nullptr);
    if (!cfg)
        return nullptr;

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
    Ref log = Ref::steal(lookup_global(f.globals, s_log));
    Ref info = Ref::steal(log ? PyObject_GetAttr(log.get(), S(s_info)) : nullptr);
    if (!info)
        return nullptr;
    Ref model = Ref::steal(PyObject_GetItem(cfg.get(), S(s_model)));
    if (!model)
        return nullptr;
    PyObject *log_args[3] = {S(s_fmt_resolved), idx.get(), model.get()};
    Ref logged = Ref::steal(PyObject_Vectorcall(info.get(), log_args, 3, nullptr));
    if (!logged)
        return nullptr;
    return cfg.release();
}

}  // namespace fm
