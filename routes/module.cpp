// The module frame of routes.free_models: the definition handed to the import system, and its
// create and exec steps.
//
// All state is process-wide (the catalogue's constants, the function type, traceback cache), so
// the process holds at most one module object and the module loads into one interpreter only.
#include "catalogue.h"
#include "function.h"
#include "kept.h"
#include "traceback.h"

#include <cstdint>

namespace fm {

namespace {

int64_t main_interpreter_id = -1;  // the interpreter that first created the module; never reset
PyObject *module_object;           // the process's module: set while executing and once ready

PyDoc_STRVAR(module_doc,
"\n"
"free_models -- Tarnwick free model module [FREE MODELS]\n"
"=======================================================\n"
"\n"
"Gives the chat page zero-configuration free models through the keyless free\n"
"tier of the OpenCode Zen relay.\n"
"\n"
"- Endpoint: the relay's OpenAI-compatible chat-completions URL under the\n"
"  path /zen/v1.\n"
"- No API key: the relay accepts anonymous requests but answers 401 to a\n"
"  bearer token it does not know, so requests carry no Authorization header\n"
"  at all; api_key holds only a placeholder that never leaves the process.\n"
"- Models checked anonymously, one by one, on 2026-08-27 (including a probe\n"
"  of the tools parameter): hy3-free, laguna-s-2.1-free, nemotron-3-ultra-free\n"
"  and nemotron-3.5-lightning-free work. x-preview-f-free has become paid (401),\n"
"  muse-spark-1.2-contributor-free is region-restricted (403), and\n"
"  mimo-v2.5-free and big-pickle are gated by user agent (only the relay's own\n"
"  command-line client gets through).\n"
"- Every model registers vendor-recommended or measured sampling parameters\n"
"  (temperature, top_p, max_tokens) in FREE_MODEL_OPTIMAL_PARAMS. Selecting a\n"
"  model fills them in automatically by a three-level resolution: exact match,\n"
"  then family prefix, then generic fallback. Adding a model takes one row.\n"
"\n"
"+---------------------------------------------------------------------------+\n"
"| Removing the feature: every affected place is marked [FREE MODELS].       |\n"
"| 1. Delete routes/free_models.                                             |\n"
"| 2. In routes/chat delete the import line at the top and every line that   |\n"
"|    carries the marker: the branch in _get_llm_endpoint, the resolve and   |\n"
"|    optimal-parameter lines of the send and stream handlers, the two lines |\n"
"|    that pass top_p into the request payload, and the injection line of    |\n"
"|    the GET /api/llm/config handler.                                       |\n"
"| 3. In static/js/chat delete the marked function block and its one call   |\n"
"|    in the model selector's refresh function.                              |\n"
"+---------------------------------------------------------------------------+\n");

// `spec.<attr>` as `__<key>__`; a missing attribute is skipped, None kept unless skip_none.
int copy_spec_attr(PyObject *spec, const char *attr, PyObject *dict, const char *key,
                   bool skip_none)
{
    PyObject *value;
    int found = PyObject_GetOptionalAttrString(spec, attr, &value);
    if (found <= 0)
        return found;
    int rc = 0;
    if (!(skip_none && value == Py_None))
        rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc;
}

// An application that embeds the interpreter may finalize it and start a new one in the same
// process. Everything process-wide then belongs to the dead interpreter (its objects are freed
// or abandoned), so the next import forgets it, never releasing it, and starts from nothing.
// (Forgetting it at finalization already would make whatever was still allocated look lost.)
//
// The interpreter that made it carries a mark in its own state dict, which dies with it, so an
// interpreter without the mark is a new one: a second interpreter while the first still runs,
// or the first one's successor.
const char kMadeHere[] = "routes.free_models: process-wide state";

// 1 when `interp` carries the mark, 0 when not, -1 with an error set. The key is a str of the
// call's own, not an interned one: the interpreter's dict releases it when it goes.
int made_here(PyInterpreterState *interp, bool set_mark)
{
    PyObject *state = PyInterpreterState_GetDict(interp);
    if (!state) {
        PyErr_NoMemory();
        return -1;
    }
    Ref key = Ref::steal(PyUnicode_FromString(kMadeHere));
    if (!key)
        return -1;
    if (set_mark)
        return PyDict_SetItem(state, key.get(), Py_True) < 0 ? -1 : 1;
    return PyDict_Contains(state, key.get());
}

bool interpreter_running(int64_t id)
{
    for (PyInterpreterState *i = PyInterpreterState_Head(); i; i = PyInterpreterState_Next(i)) {
        if (PyInterpreterState_GetID(i) == id)
            return true;
    }
    return false;
}

void forget_process_state()
{
    main_interpreter_id = -1;
    module_object = nullptr;
    forget_constants();
    forget_functions();
    forget_normal_forms();
    forget_shared_values();
    forget_prepared_entries();
    forget_traceback_codes();
}

PyObject *module_create(PyObject *spec, PyModuleDef *)
{
    PyInterpreterState *interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1)
        return nullptr;
    if (main_interpreter_id != -1) {
        int marked = made_here(interp, false);
        if (marked < 0)
            return nullptr;
        if (!marked && (id == main_interpreter_id || !interpreter_running(main_interpreter_id)))
            forget_process_state();  // the interpreter that made it is gone
    }
    if (main_interpreter_id == -1) {
        if (made_here(interp, true) < 0)
            return nullptr;
        main_interpreter_id = id;
    }
    else if (id != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_object)
        return Py_NewRef(module_object);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, "loader", dict, "__loader__", false) < 0 ||
        copy_spec_attr(spec, "origin", dict, "__file__", false) < 0 ||
        copy_spec_attr(spec, "parent", dict, "__package__", false) < 0 ||
        copy_spec_attr(spec, "submodule_search_locations", dict, "__path__", true) < 0)
        return nullptr;
    return module.release();
}

int set_builtins(PyObject *dict)
{
    if (!constants.builtins) {
        constants.builtins = PyImport_ImportModule("builtins");
        if (!constants.builtins)
            return -1;
        constants.builtins_dict = Py_NewRef(PyModule_GetDict(constants.builtins));
    }
    return PyDict_SetItemString(dict, "__builtins__", constants.builtins);
}

// Built for PY_MAJOR_VERSION.PY_MINOR_VERSION; the running version is read from
// sys.version_info, where the interpreter publishes it. A reference is held throughout: reading
// its items may run host code that rebinds the attribute.
int check_version()
{
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    if (!sys)
        return -1;
    Ref info;
    {
        PyObject *value;
        int found = PyObject_GetOptionalAttrString(sys.get(), "version_info", &value);
        if (found < 0)
            return -1;
        if (found == 0) {
            PyErr_SetString(PyExc_RuntimeError, "lost sys.version_info");
            return -1;
        }
        info = Ref::steal(value);
    }
    Ref major = Ref::steal(PySequence_GetItem(info.get(), 0));
    Ref minor = Ref::steal(major ? PySequence_GetItem(info.get(), 1) : nullptr);
    if (!minor)
        return -1;
    long maj = PyLong_AsLong(major.get());
    long min = PyLong_AsLong(minor.get());
    if ((maj == -1 || min == -1) && PyErr_Occurred())
        return -1;
    if (maj == PY_MAJOR_VERSION && min == PY_MINOR_VERSION)
        return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "routes.free_models",
                            "does not match", (int)maj, (int)min);
}

// sys.modules["routes.free_models"], unless some module is already entered under that name.
// Sets *added when the entry is ours.
int register_module(PyObject *module, bool *added)
{
    PyObject *modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, interned(s_module_name));
    if (present != 0)
        return present < 0 ? -1 : 0;
    if (PyDict_SetItem(modules, interned(s_module_name), module) < 0)
        return -1;
    *added = true;
    return 0;
}

// After a failure: a half-built module must not stay reachable under the name we entered.
void unregister_module(PyObject *module)
{
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *entry = nullptr;
    if (PyDict_GetItemRef(modules, interned(s_module_name), &entry) > 0 && entry == module)
        (void)PyDict_DelItem(modules, interned(s_module_name));
    Py_XDECREF(entry);
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

int module_exec(PyObject *module)
{
    if (module_object) {
        if (module_object == module)
            return 0;  // a repeated import or a reload: nothing runs again
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'free_models' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    module_object = Py_NewRef(module);
    PyObject *dict = PyModule_GetDict(module);
    int lineno = 0;  // line of the traceback entry; 0 while failures add none
    bool registered = false;

    if (set_builtins(dict) < 0 || check_version() < 0 || prepare_constants() < 0)
        goto error;

    lineno = line::registration;
    if (register_module(module, &registered) < 0)
        goto error;
    if (prepare_tuples() < 0 || prepare_code_records() < 0)
        goto error;
    if (run_catalogue_statements(module, &lineno) < 0 || bind_functions(module, &lineno) < 0)
        goto error;
    lineno = line::registration;
    {
        PyObject *test = PyDict_New();
        int rc = test ? PyDict_SetItem(dict, interned(s___test__), test) : -1;
        Py_XDECREF(test);
        if (rc < 0)
            goto error;
    }
    return 0;

error:
    if (lineno)
        add_traceback(site_init, lineno, dict);
    if (registered)
        unregister_module(module);
    Py_CLEAR(module_object);
    return -1;
}

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, (void *)module_create},
    {Py_mod_exec, (void *)module_exec},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "free_models",
    .m_doc = module_doc,
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace fm

PyMODINIT_FUNC PyInit_free_models(void)
{
    return PyModuleDef_Init(&fm::module_def);
}
