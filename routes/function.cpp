// The function objects of routes.free_models: their type, argument binding, and the small
// operations that every body shares (module-level name lookup, unpacking, dict helpers).
#include "free_models.h"

#include <cstddef>

namespace fm {

// ---------------------------------------------------------------------------------------------
// The five functions

PyDoc_STRVAR(get_optimal_params_doc,
"get_optimal_params(model_id)\n"
"\n"
"Return a new dict with the recommended sampling parameters of a model.\n"
"The id is stripped and lower-cased, then looked up exactly in\n"
"FREE_MODEL_OPTIMAL_PARAMS, then by family prefix in _FREE_MODEL_FAMILY_PARAMS\n"
"(temperature and top_p only), and otherwise answered by the generic fallback.\n"
"The tables themselves are never handed out.");

PyDoc_STRVAR(apply_optimal_params_doc,
"apply_optimal_params(cfg)\n"
"\n"
"Fill a model's recommended sampling parameters into llm_config in place and\n"
"return the same object; None (and any false value) passes through untouched.\n"
"The chat send and stream handlers call it right after resolve_free_model:\n"
"    llm_config = _free_models.apply_optimal_params(llm_config)\n"
"The values then travel with llm_config into the payloads built by\n"
"_call_llm_api and _call_llm_stream_raw and into every sub-call of\n"
"run_agent_loop that inherits the configuration; _free_top_p carries top_p.");

PyDoc_STRVAR(get_free_model_choices_doc,
"get_free_model_choices()\n"
"\n"
"Return the free models as new configuration entries for the chat page's\n"
"model drop-down. They are built afresh on every call and are never written\n"
"to disk or into the user's configuration. Each entry's temperature, top_p\n"
"and max_tokens come from the optimal-parameter tables, so a settings panel\n"
"shows the recommended values already filled in.");

PyDoc_STRVAR(resolve_free_model_doc,
"resolve_free_model(model_index, all_config=None)\n"
"\n"
"Turn a selector index at or above FREE_MODEL_BASE into a ready-to-use\n"
"llm_config (a new dict). An index that designates no free model gives None,\n"
"and the caller falls back to its existing error path. When all_config is\n"
"given, its global system_prompt is inherited as for ordinary models.");

PyDoc_STRVAR(build_endpoint_doc,
"build_endpoint(api_base, headers)\n"
"\n"
"Return (url, headers) of a chat-completions request to the free tier, for\n"
"the host's _get_llm_endpoint. The attribution headers are added and no\n"
"Authorization header is sent, in any letter case: the free tier accepts\n"
"anonymous requests and answers 401 to a bearer token it does not know.");

const FunctionInfo kFunctions[f_count] = {
    {
        .name = s_get_optimal_params,
        .plain = "get_optimal_params",
        .qualified = "routes.free_models.get_optimal_params",
        .doc = get_optimal_params_doc,
        .def_line = line::def_get_optimal_params,
        .nparams = 1,
        .nrequired = 1,
        .params = {s_model_id},
        .nlocals = 5,
        .locals = {s_model_id, s_mid, s_prefix, s_family_params, s_params},
        .body = body_get_optimal_params,
    },
    {
        .name = s_apply_optimal_params,
        .plain = "apply_optimal_params",
        .qualified = "routes.free_models.apply_optimal_params",
        .doc = apply_optimal_params_doc,
        .def_line = line::def_apply_optimal_params,
        .nparams = 1,
        .nrequired = 1,
        .params = {s_cfg},
        .nlocals = 4,
        .locals = {s_cfg, s_params, s_k, s_v},
        .body = body_apply_optimal_params,
    },
    {
        .name = s_get_free_model_choices,
        .plain = "get_free_model_choices",
        .qualified = "routes.free_models.get_free_model_choices",
        .doc = get_free_model_choices_doc,
        .def_line = line::def_get_free_model_choices,
        .nparams = 0,
        .nrequired = 0,
        .params = {},
        .nlocals = 5,
        .locals = {s_choices, s_display, s_model_id, s_max_ctx, s_opt},
        .body = body_get_free_model_choices,
    },
    {
        .name = s_resolve_free_model,
        .plain = "resolve_free_model",
        .qualified = "routes.free_models.resolve_free_model",
        .doc = resolve_free_model_doc,
        .def_line = line::def_resolve_free_model,
        .nparams = 2,
        .nrequired = 1,
        .params = {s_model_index, s_all_config},
        .nlocals = 6,
        .locals = {s_model_index, s_all_config, s_idx, s_choices, s_offset, s_cfg},
        .body = body_resolve_free_model,
    },
    {
        .name = s_build_endpoint,
        .plain = "build_endpoint",
        .qualified = "routes.free_models.build_endpoint",
        .doc = build_endpoint_doc,
        .def_line = line::def_build_endpoint,
        .nparams = 2,
        .nrequired = 2,
        .params = {s_api_base, s_headers},
        .nlocals = 4,
        .locals = {s_api_base, s_headers, s_base, s_url},
        .body = body_build_endpoint,
    },
};

namespace {

// Introspection records, one per function, made by the exec step; process-wide.
PyObject *code_records[f_count];

PyObject *make_code_record(const FunctionInfo &info)
{
    // A real code object, so that inspect and debuggers treat the function like a Python one:
    // an empty body carrying the file, name, definition line, argument count and local names.
    Ref empty = Ref::steal((PyObject *)PyCode_NewEmpty("routes/free_models", info.plain,
                                                       info.def_line));
    if (!empty)
        return nullptr;
    Ref varnames = Ref::steal(PyTuple_New(info.nlocals));
    if (!varnames)
        return nullptr;
    for (int i = 0; i < info.nlocals; i++)
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(interned(info.locals[i])));
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace)
        return nullptr;
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:O}", "co_argcount", info.nparams,
                                          "co_nlocals", info.nlocals,
                                          "co_varnames", varnames.get()));
    if (!kwargs)
        return nullptr;
    Ref noargs = Ref::steal(PyTuple_New(0));
    if (!noargs)
        return nullptr;
    return PyObject_Call(replace.get(), noargs.get(), kwargs.get());
}

}  // namespace

int prepare_code_records()
{
    for (int i = 0; i < f_count; i++) {
        if (code_records[i])
            continue;
        code_records[i] = make_code_record(kFunctions[i]);
        if (!code_records[i])
            return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Argument binding

namespace {

int count_error(const FunctionInfo &info, Py_ssize_t given)
{
    const char *quantifier;
    if (info.nrequired == info.nparams)
        quantifier = "exactly";
    else
        quantifier = given < info.nrequired ? "at least" : "at most";
    Py_ssize_t expected = given < info.nrequired ? info.nrequired : info.nparams;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 info.plain, quantifier, expected, expected == 1 ? "" : "s", given);
    return -1;
}

// Index of the parameter called `key`, or -1. Keyword names from a call site are normally the
// very interned objects used here, so pointers are compared first and text only after.
int find_param(const FunctionInfo &info, PyObject *key)
{
    for (int i = 0; i < info.nparams; i++) {
        if (interned(info.params[i]) == key)
            return i;
    }
    for (int i = 0; i < info.nparams; i++) {
        if (PyUnicode_Compare(interned(info.params[i]), key) == 0)
            return i;
    }
    return -1;
}

// Binds the call's arguments to out[0..nparams-1] (borrowed; the caller's vector outlives the
// call). An omitted optional parameter is bound to None.
int bind_arguments(const FunctionInfo &info, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames, PyObject **out)
{
    const int n = info.nparams, r = info.nrequired;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < r || nargs > n)
            return count_error(info, nargs);
        for (int i = 0; i < n; i++)
            out[i] = i < nargs ? args[i] : Py_None;
        return 0;
    }
    if (nargs > n)
        return count_error(info, nargs);
    for (int i = 0; i < n; i++)
        out[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t j = 0; j < nkw; j++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", info.plain);
            return -1;
        }
        int i = find_param(info, key);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         info.plain, key);
            return -1;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         info.plain, key);
            return -1;
        }
        out[i] = args[nargs + j];
    }
    for (int i = r; i < n; i++) {
        if (!out[i])
            out[i] = Py_None;
    }
    for (int i = (int)nargs; i < r; i++) {
        if (!out[i])
            return count_error(info, i);
    }
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// function type

namespace {

PyTypeObject *function_type;  // created once per process by bind_functions()

struct FreeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionInfo *info;
    PyObject *globals;   // the module namespace
    PyObject *name;      // __name__ and __qualname__
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;
    PyObject *code;
    PyObject *annotations;  // an empty dict of its own, as a function without annotations has
    PyObject *weakreflist;  // weak references to the function (signal receivers, caches)
};

inline FreeFunction *as_function(PyObject *op) { return reinterpret_cast<FreeFunction *>(op); }

int function_clear(PyObject *op)
{
    FreeFunction *fn = as_function(op);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->annotations);
    return 0;
}

int function_traverse(PyObject *op, visitproc visit, void *arg)
{
    FreeFunction *fn = as_function(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(fn->globals);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->code);
    Py_VISIT(fn->annotations);
    return 0;
}

void function_dealloc(PyObject *op)
{
    PyTypeObject *tp = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (as_function(op)->weakreflist)
        PyObject_ClearWeakRefs(op);
    (void)function_clear(op);
    tp->tp_free(op);
    Py_DECREF(tp);
}

// Leaves the recursion guard however the body ends.
struct RecursionGuard {
    bool entered = Py_EnterRecursiveCall(" while calling a routes.free_models function") == 0;
    ~RecursionGuard()
    {
        if (entered)
            Py_LeaveRecursiveCall();
    }
};

// The call proper: argument binding and the body. On failure f.line is the traceback entry's line.
PyObject *run(const FunctionInfo &info, Frame &f, PyObject *const *args, Py_ssize_t nargs,
              PyObject *kwnames)
{
    // Bodies call back into host code (a rebound table or function may call us again), so the
    // C stack is guarded as for any call into Python.
    RecursionGuard guard;
    if (!guard.entered)
        return nullptr;
    PyObject *bound[2] = {nullptr, nullptr};
    if (info.nparams && bind_arguments(info, args, nargs, kwnames, bound) < 0)
        return nullptr;
    return info.body(f, bound);
}

PyObject *function_vectorcall(PyObject *op, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames)
{
    FreeFunction *fn = as_function(op);
    const FunctionInfo &info = *fn->info;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);

    if (info.nparams == 0) {
        // These two errors belong to the call, not to the body: no traceback entry.
        if (kwnames && PyTuple_GET_SIZE(kwnames)) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", info.plain,
                         "takes no keyword arguments");
            return nullptr;
        }
        if (nargs) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", info.plain,
                         "takes no arguments", nargs);
            return nullptr;
        }
    }

    Frame f{fn->globals, info.def_line};
    PyObject *result = run(info, f, args, nargs, kwnames);
    if (!result)
        add_traceback((int)(&info - kFunctions), f.line, f.globals);
    return result;
}

PyObject *function_repr(PyObject *op)
{
    return PyUnicode_FromFormat("<function routes.free_models.%U at %p>", as_function(op)->name,
                                op);
}

// Read as a class attribute, the function stays itself (no bound method), as a built-in
// function does; having __get__ makes tools that sort callables (inspect, stub checkers) count
// it among functions.
PyObject *function_descr_get(PyObject *self, PyObject *, PyObject *)
{
    return Py_NewRef(self);
}

PyObject *function_get_kwdefaults(PyObject *, void *)
{
    Py_RETURN_NONE;
}

PyDoc_STRVAR(function_reduce_doc,
"__reduce__()\n"
"\n"
"The function's name in its module: pickle stores the function by reference\n"
"and loads it back as the object that routes.free_models holds under that\n"
"name, as it does a Python function, and copy and deepcopy return the\n"
"function itself.");

PyObject *function_reduce(PyObject *op, PyObject *)
{
    return Py_NewRef(as_function(op)->name);
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FreeFunction, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FreeFunction, name), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FreeFunction, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FreeFunction, doc), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(FreeFunction, defaults), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(FreeFunction, code), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FreeFunction, globals), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FreeFunction, annotations), Py_READONLY,
     nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FreeFunction, vectorcall), Py_READONLY,
     nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FreeFunction, weakreflist), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, function_reduce_doc},
    {nullptr, nullptr, 0, nullptr},
};

// inspect.signature() treats an object as function-like only when __kwdefaults__ exists too.
PyGetSetDef function_getset[] = {
    {"__kwdefaults__", function_get_kwdefaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, (void *)function_dealloc},
    {Py_tp_traverse, (void *)function_traverse},
    {Py_tp_clear, (void *)function_clear},
    {Py_tp_call, (void *)PyVectorcall_Call},
    {Py_tp_repr, (void *)function_repr},
    {Py_tp_descr_get, (void *)function_descr_get},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    .name = "routes.free_models.function",
    .basicsize = sizeof(FreeFunction),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

PyObject *new_function(FuncId id, PyObject *globals)
{
    const FunctionInfo &info = kFunctions[id];
    FreeFunction *fn = PyObject_GC_New(FreeFunction, function_type);
    if (!fn)
        return nullptr;
    fn->vectorcall = function_vectorcall;
    fn->info = &info;
    fn->globals = Py_NewRef(globals);
    fn->name = Py_NewRef(interned(info.name));
    fn->module = Py_NewRef(interned(s_module_name));
    fn->doc = PyUnicode_FromString(info.doc);
    fn->defaults = Py_NewRef(id == f_resolve_free_model ? constants.resolve_defaults : Py_None);
    fn->code = Py_NewRef(code_records[id]);
    fn->annotations = fn->doc ? PyDict_New() : nullptr;
    fn->weakreflist = nullptr;
    PyObject_GC_Track(fn);
    if (!fn->doc || !fn->annotations) {
        Py_DECREF(fn);
        return nullptr;
    }
    return (PyObject *)fn;
}

}  // namespace

bool is_own_function(PyObject *o, FuncId id, PyObject *globals)
{
    return Py_IS_TYPE(o, function_type) && as_function(o)->info == &kFunctions[id] &&
           as_function(o)->globals == globals;
}

void forget_functions()
{
    function_type = nullptr;
    for (PyObject *&record : code_records)
        record = nullptr;
}

int bind_functions(PyObject *module, int *failed_line)
{
    if (!function_type) {
        function_type = (PyTypeObject *)PyType_FromSpec(&function_spec);
        if (!function_type) {
            *failed_line = kFunctions[0].def_line;
            return -1;
        }
    }
    PyObject *globals = PyModule_GetDict(module);
    for (int id = 0; id < f_count; id++) {
        *failed_line = kFunctions[id].def_line;
        Ref fn = Ref::steal(new_function((FuncId)id, globals));
        if (!fn || PyDict_SetItem(globals, interned(kFunctions[id].name), fn.get()) < 0)
            return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Operations shared by the bodies

bool str_keys_only(PyObject *d)
{
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key))
            return false;
    }
    return true;
}

int unpack(PyObject *item, Py_ssize_t n, PyObject **out)
{
    Py_ssize_t got = 0;  // items found (for the error text)
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

int dict_update(PyObject *d, PyObject *arg)
{
    if (PyDict_CheckExact(arg))
        return PyDict_Merge(d, arg, 1);
    Ref r = Ref::steal(PyObject_CallMethodOneArg(d, interned(s_update), arg));
    return r ? 0 : -1;
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
    if (PyDict_GetItemRef(container, key, &value) == 0)
        PyErr_SetObject(PyExc_KeyError, key);  // a str key is its own argument
    return value;
}

PyObject *dict_of(PyObject *arg)
{
    if (!PyDict_CheckExact(arg))
        return PyObject_CallOneArg((PyObject *)&PyDict_Type, arg);
    // What the constructor does with a plain dict. Not PyDict_Copy: that copies the key table
    // of more dicts whole, where the constructor inserts key by key, comparing keys of equal
    // hash (host code, for a key of the host's class).
    Ref copy = Ref::steal(PyDict_New());
    if (!copy || PyDict_Merge(copy.get(), arg, 1) < 0)
        return nullptr;
    return copy.release();
}

PyObject *call_get(PyObject *obj, PyObject *key, PyObject *dflt)
{
    if (PyDict_CheckExact(obj)) {
        PyObject *value;
        int found = PyDict_GetItemRef(obj, key, &value);
        if (found < 0)
            return nullptr;
        return found ? value : Py_NewRef(dflt ? dflt : Py_None);
    }
    PyObject *args[3] = {obj, key, dflt};
    return PyObject_VectorcallMethod(interned(s_get), args, dflt ? 3 : 2, nullptr);
}

int call_info(PyObject *info, PyObject *fmt, PyObject *a, PyObject *b)
{
    PyObject *args[3] = {fmt, a, b};
    Ref r = Ref::steal(PyObject_Vectorcall(info, args, 3, nullptr));
    return r ? 0 : -1;
}

}  // namespace fm
