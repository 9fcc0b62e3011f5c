// The function objects of routes.free_models: their type, introspection records and argument
// binding.
#include "function.h"
#include "kept.h"
#include "traceback.h"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

// The wheel's manylinux tag promises glibc 2.17: these two are bound to the versions every glibc
// since then has (2.34 took them over from libpthread into libc under new versions, and keeps
// the old ones).
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");

namespace fm {

// ---------------------------------------------------------------------------------------------
// The five functions (their bodies and docstrings are in params.cpp, choices.cpp, resolve.cpp
// and endpoint.cpp)

const FunctionInfo kFunctions[f_count] = {
    {
        .name = s_get_optimal_params,
        .plain = "get_optimal_params",
        .qualified = "routes.free_models.get_optimal_params",
        .doc = doc_get_optimal_params,
        .def_line = line::get_optimal_params::def,
        .nparams = 1,
        .nrequired = 1,
        .params = {s_model_id},
        .nlocals = 5,
        .locals = {s_model_id, s_mid, s_prefix, s_family_params, s_params},
        .body = body_get_optimal_params,
        .rereads = false,
    },
    {
        .name = s_apply_optimal_params,
        .plain = "apply_optimal_params",
        .qualified = "routes.free_models.apply_optimal_params",
        .doc = doc_apply_optimal_params,
        .def_line = line::apply_optimal_params::def,
        .nparams = 1,
        .nrequired = 1,
        .params = {s_cfg},
        .nlocals = 4,
        .locals = {s_cfg, s_params, s_k, s_v},
        .body = body_apply_optimal_params,
        .rereads = false,
    },
    {
        .name = s_get_free_model_choices,
        .plain = "get_free_model_choices",
        .qualified = "routes.free_models.get_free_model_choices",
        .doc = doc_get_free_model_choices,
        .def_line = line::get_free_model_choices::def,
        .nparams = 0,
        .nrequired = 0,
        .params = {},
        .nlocals = 5,
        .locals = {s_choices, s_display, s_model_id, s_max_ctx, s_opt},
        .body = body_get_free_model_choices,
        .rereads = true,
    },
    {
        .name = s_resolve_free_model,
        .plain = "resolve_free_model",
        .qualified = "routes.free_models.resolve_free_model",
        .doc = doc_resolve_free_model,
        .def_line = line::resolve_free_model::def,
        .nparams = 2,
        .nrequired = 1,
        .params = {s_model_index, s_all_config},
        .nlocals = 6,
        .locals = {s_model_index, s_all_config, s_idx, s_choices, s_offset, s_cfg},
        .body = body_resolve_free_model,
        .rereads = true,
    },
    {
        .name = s_build_endpoint,
        .plain = "build_endpoint",
        .qualified = "routes.free_models.build_endpoint",
        .doc = doc_build_endpoint,
        .def_line = line::build_endpoint::def,
        .nparams = 2,
        .nrequired = 2,
        .params = {s_api_base, s_headers},
        .nlocals = 4,
        .locals = {s_api_base, s_headers, s_base, s_url},
        .body = body_build_endpoint,
        .rereads = false,
    },
};

namespace {

// Introspection records, one per function, made by the exec step; process-wide.
PyObject *code_records[f_count];

PyObject *make_code_record(const FunctionInfo &info)
{
    // A real code object, so that inspect and debuggers treat the function like a Python one:
    // an empty body carrying the file, name, definition line, argument count and local names.
    Ref empty = Ref::steal((PyObject *)PyCode_NewEmpty(kSourceFile, info.plain,
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

// Calls of the module's functions under way, on all threads (the interpreter lock orders
// them): the first few nested ones need no C stack guard of their own.
int calls_under_way;
constexpr int kUnguardedCalls = 8;

// Below this much C stack left, a nested call raises RecursionError rather than go deeper: room
// for the interpreter to make the exception and for every call on the way up to add its
// traceback entry.
constexpr uintptr_t kStackReserve = 256 * 1024;

// The lowest address on the calling thread's stack at which a guarded call may start: its
// stack's low end plus kStackReserve. Found once per thread; 0 until then, 1 when the thread's
// stack cannot be told (then only the interpreter's own count of C calls applies).
thread_local uintptr_t stack_floor;

[[gnu::cold, gnu::noinline]] uintptr_t find_stack_floor()
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return 1;
    void *low = nullptr;
    size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || size <= kStackReserve)
        return 1;
    return (uintptr_t)low + kStackReserve;
}

// True when the C stack has room for one more nested call.
bool stack_has_room()
{
    if (!stack_floor)
        stack_floor = find_stack_floor();
    return (uintptr_t)__builtin_frame_address(0) >= stack_floor;
}

// The C stack guard of a call into Python (Py_EnterRecursiveCall, and Py_LeaveRecursiveCall
// however the body ends) for every call of a module function nested more than kUnguardedCalls
// deep. Fewer use less C stack than the interpreter keeps in reserve below its own limit.
//
// The interpreter's count of C calls assumes a few hundred bytes of stack per call, and a call
// of the module's takes more (its body's frames, and the host's call machinery in between). So
// a recursion through the module alone (a host that binds a C callable of the module's own
// functions in its namespace: a partial of one, or another of the five under a name the bodies
// call) would overflow the stack before the count ran out: a guarded call also measures the
// stack it has left. Either limit raises RecursionError, and the count is left as it was found.
struct RecursionGuard {
    bool guarded = ++calls_under_way > kUnguardedCalls;
    bool entered = !guarded || enter();
    ~RecursionGuard()
    {
        if (guarded && entered)
            Py_LeaveRecursiveCall();
        calls_under_way--;
    }

private:
    static bool enter()
    {
        if (!stack_has_room()) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while "
                                                  "calling a routes.free_models function");
            return false;
        }
        return Py_EnterRecursiveCall(" while calling a routes.free_models function") == 0;
    }
};

// The call proper: argument binding and the body. On failure f.line is the traceback entry's line.
[[gnu::always_inline]] inline PyObject *run(const FunctionInfo &info, Frame &f,
                                            PyObject *const *args, Py_ssize_t nargs,
                                            PyObject *kwnames)
{
    // Bodies call back into host code (a rebound table or function may call us again), so the
    // C stack is guarded as for any call into Python.
    RecursionGuard guard;
    if (!guard.entered)
        return nullptr;
    // Positional values alone, as many as the parameters: the caller's vector is the binding
    // (bind_arguments' first case without the copy); fewer, down to the required ones, are
    // followed by None.
    if (!kwnames && nargs == info.nparams)
        return info.body(f, args);
    PyObject *bound[2] = {nullptr, nullptr};
    if (!kwnames && nargs >= info.nrequired && nargs < info.nparams) {
        static_assert(sizeof bound / sizeof bound[0] == 2, "at most two parameters");
        bound[0] = nargs > 0 ? args[0] : Py_None;
        bound[1] = nargs > 1 ? args[1] : Py_None;
        return info.body(f, bound);
    }
    if (bind_arguments(info, args, nargs, kwnames, bound) < 0)
        return nullptr;
    return info.body(f, bound);
}

// The call of a module function. A body that reads module-level names once per catalogue row
// (FunctionInfo::rereads) keeps the call's reads, on its own entry point's frame, so that the
// other bodies' frames stay small and pay nothing for them.
template <bool Rereads>
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

    Frame f{fn->globals, info.def_line, nullptr};
    PyObject *result;
    if constexpr (Rereads) {
        NameReads reads;
        f.reads = &reads;
        result = run(info, f, args, nargs, kwnames);
        f.reads = nullptr;
    }
    else {
        result = run(info, f, args, nargs, kwnames);
    }
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
    fn->vectorcall = info.rereads ? function_vectorcall<true> : function_vectorcall<false>;
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

}  // namespace fm
