// get_free_model_choices(): the free models as entries for the chat page's model drop-down.
#include "free_models.h"

#include <utility>

namespace fm {

const StrId kEntryKey[kEntryKeys] = {s_name, s_model, s_provider, s_api_type, s_api_base,
                                     s_api_key, s_enabled, s_modalities, s_max_context,
                                     s_max_tokens, s_temperature, s_top_p, s_free};

namespace {

// The values of the choice entry for one catalogue row, in key order, each produced at its own
// line; the modalities list is made with the entry.
int entry_values(Frame &f, PyObject *row, Ref (&values)[kEntryKeys])
{
    f.line = 133;
    PyObject *fields[3];
    if (unpack(row, 3, fields) < 0)
        return -1;
    values[0] = Ref::steal(fields[0]);
    values[1] = Ref::steal(fields[1]);
    values[8] = Ref::steal(fields[2]);

    f.line = 134;
    Ref lookup = Ref::steal(lookup_global(f.globals, s_get_optimal_params));
    if (!lookup)
        return -1;
    // `opt`: the module's own lookup tells a plain answer as its three values (`known`).
    ParamValues known;
    Ref opt;
    int told = 0;
    if (is_own_function(lookup.get(), f_get_optimal_params, f.globals)) {
        told = optimal_param_values(f.globals, values[1].get(), known, opt);
        if (told < 0)
            return -1;
    }
    else {
        opt = Ref::steal(PyObject_CallOneArg(lookup.get(), values[1].get()));
        if (!opt)
            return -1;
    }

    auto global_at = [&](int at, StrId name, Ref &slot) {
        f.line = at;
        slot = Ref::steal(lookup_global(f.globals, name));
        return slot ? 0 : -1;
    };
    if (global_at(138, s_FREE_PROVIDER_TYPE, values[2]) < 0 ||
        global_at(139, s_FREE_PROVIDER_TYPE, values[3]) < 0 ||
        global_at(140, s_FREE_API_BASE, values[4]) < 0 ||
        global_at(141, s_FREE_KEYLESS_PLACEHOLDER, values[5]) < 0)
        return -1;
    values[6] = Ref::borrow(Py_True);
    values[12] = Ref::borrow(Py_True);

    // `opt.get(key, fallback)`; the fallback is always computed first, whether used or not.
    auto param_at = [&](int at, StrId key, Ref fallback, Ref &told_value, Ref &slot) {
        if (!fallback)
            return -1;
        f.line = at;
        if (told)
            slot = told_value ? std::move(told_value) : std::move(fallback);
        else
            slot = Ref::steal(call_get(opt.get(), interned(key), fallback.get()));
        return slot ? 0 : -1;
    };
    // `_FREE_PARAMS_FALLBACK[key]`
    auto fallback_at = [&](int at, StrId key) {
        Ref table;
        if (global_at(at, s__FREE_PARAMS_FALLBACK, table) < 0)
            return Ref();
        return Ref::steal(get_item(table.get(), interned(key)));
    };
    Ref max_tokens_fallback;
    (void)global_at(145, s__FREE_MAX_TOKENS_FALLBACK, max_tokens_fallback);
    if (param_at(145, s_max_tokens, std::move(max_tokens_fallback), known.max_tokens,
                 values[9]) < 0 ||
        param_at(146, s_temperature, fallback_at(146, s_temperature), known.temperature,
                 values[10]) < 0 ||
        param_at(147, s_top_p, fallback_at(147, s_top_p), known.top_p, values[11]) < 0)
        return -1;
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The choice list

int ChoiceList::append(Ref (&values)[kEntryKeys])
{
    if (unmade_ && size_ < UnmadeEntries::kCount) {
        for (int i = 0; i < kEntryKeys; i++)
            unmade_->values[size_][i] = std::move(values[i]);
        size_++;
        return 0;
    }
    Ref entry = Ref::steal(make_choice_entry(size_, values));
    if (!entry)
        return -1;
    if (!list_ && !(list_ = Ref::steal(PyList_New(0))))
        return -1;
    if (PyList_Append(list_.get(), entry.get()) < 0)
        return -1;
    size_++;
    return 0;
}

PyObject *ChoiceList::release_list()
{
    return list_ ? list_.release() : PyList_New(0);
}

PyObject *ChoiceList::copy_of_entry(Py_ssize_t pos)
{
    if (unmade_ && pos < UnmadeEntries::kCount)
        return make_choice_entry(pos, unmade_->values[pos]);  // its copy: nobody saw the entry
    Py_ssize_t at = unmade_ ? pos - UnmadeEntries::kCount : pos;
    return PyDict_Copy(PyList_GET_ITEM(list_.get(), at));
}

int build_choices(Frame &f, ChoiceList &out)
{
    f.line = 133;
    Ref models = Ref::steal(lookup_global(f.globals, s_FREE_MODELS));
    if (!models)
        return -1;
    auto add = [&](PyObject *row) {
        Ref values[kEntryKeys];
        if (entry_values(f, row, values) < 0)
            return -1;
        f.line = 135;
        return out.append(values);
    };
    if (PyList_CheckExact(models.get())) {
        // Index by index, as the list iterator does: the host may change the list meanwhile.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(models.get()); i++) {
            Ref row = Ref::borrow(PyList_GET_ITEM(models.get(), i));
            if (add(row.get()) < 0)
                return -1;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(models.get()));
    if (!it)
        return -1;
    while (PyObject *item = PyIter_Next(it.get())) {
        Ref row = Ref::steal(item);
        if (add(row.get()) < 0)
            return -1;
        f.line = 133;
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject *body_get_free_model_choices(Frame &f, PyObject *const *)
{
    f.line = 132;
    ChoiceList choices(nullptr);
    if (build_choices(f, choices) < 0)
        return nullptr;
    f.line = 132;
    return choices.release_list();
}

}  // namespace fm
