// Traceback entries: one per failing function (or failed import), pointing into the module's
// source layout "routes/free_models".
#include "free_models.h"

#include <frameobject.h>

namespace fm {

namespace {

// One code object per (site, line): an entry's name, file and line all come from its code
// object, and a failing path tends to fail again, so they are made once and kept. Guarded by the
// interpreter lock like the rest of the module's process-wide state.
PyCodeObject *code_cache[site_count][line::max + 1];

const char *site_name(int site)
{
    return site == site_init ? "init routes.free_models" : kFuncs[site].qualified;
}

PyCodeObject *code_for(int site, int lineno)
{
    bool cacheable = lineno >= 0 && lineno <= line::max;
    if (cacheable && code_cache[site][lineno])
        return (PyCodeObject *)Py_NewRef(code_cache[site][lineno]);
    PyCodeObject *code = PyCode_NewEmpty("routes/free_models", site_name(site), lineno);
    if (code && cacheable)
        code_cache[site][lineno] = (PyCodeObject *)Py_NewRef(code);
    return code;
}

}  // namespace

void add_traceback(int site, int lineno, PyObject *globals)
{
    // Making the code object and the frame may fail (memory); the pending exception must reach
    // the caller unchanged either way, so it is taken out first and put back before the entry.
    PyObject *exc = PyErr_GetRaisedException();
    if (!exc)
        return;
    PyCodeObject *code = code_for(site, lineno);
    PyFrameObject *frame = nullptr;
    if (code) {
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        Py_DECREF(code);
    }
    if (!frame)
        PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace fm
