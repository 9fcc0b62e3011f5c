// The function objects of routes.free_models: the call frame a body runs in, the table of the
// five functions, and their binding into the module (function.cpp).
#ifndef ROUTES_FUNCTION_H
#define ROUTES_FUNCTION_H

#include "catalogue.h"

namespace fm {

// ---------------------------------------------------------------------------------------------
// Functions

// The state a body shares with the function object that runs it: the module namespace and the
// line of the statement being run, which becomes the traceback entry's line when the body fails.
struct NameReads;
struct Frame {
    PyObject *globals;
    int line;
    NameReads *reads;  // the names read during the call, if it keeps them (lookup_global)
};

using Body = PyObject *(*)(Frame &f, PyObject *const *args);

enum FuncId : int {
    f_get_optimal_params,
    f_apply_optimal_params,
    f_get_free_model_choices,
    f_resolve_free_model,
    f_build_endpoint,
    f_count,
    site_init = f_count,  // traceback site of the exec step
    site_count
};

struct FunctionInfo {
    StrId name;
    const char *plain;        // the name in argument errors
    const char *qualified;    // traceback entry name
    const char *doc;
    int def_line;
    int nparams;
    int nrequired;
    StrId params[2];
    int nlocals;
    StrId locals[6];
    Body body;
    bool rereads;  // reads module-level names once per catalogue row: keeps its reads
};
extern const FunctionInfo kFunctions[f_count];

// The bodies, and the docstrings of their functions.
PyObject *body_get_optimal_params(Frame &f, PyObject *const *args);
PyObject *body_apply_optimal_params(Frame &f, PyObject *const *args);
PyObject *body_get_free_model_choices(Frame &f, PyObject *const *args);
PyObject *body_resolve_free_model(Frame &f, PyObject *const *args);
PyObject *body_build_endpoint(Frame &f, PyObject *const *args);
extern const char doc_get_optimal_params[], doc_apply_optimal_params[],
    doc_get_free_model_choices[], doc_resolve_free_model[], doc_build_endpoint[];

// Makes the five introspection records (`__code__`) once.
int prepare_code_records();

// Creates the function type (once) and binds the five functions into the module namespace.
// On failure *failed_line is the definition line of the function that could not be bound.
int bind_functions(PyObject *module, int *failed_line);

// True when `o` is this module's own function `id` bound to `globals` (not a host replacement).
bool is_own_function(PyObject *o, FuncId id, PyObject *globals);

// After the interpreter that made them is finalized, the next import forgets the function type
// and the introspection records without releasing them (module.cpp).
void forget_functions();

}  // namespace fm

#endif
