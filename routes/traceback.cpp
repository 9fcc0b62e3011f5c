// Traceback entries: one per failing function (or failed import), pointing into the module's
// source layout "routes/free_models".
#include "function.h"
#include "traceback.h"

#include <frameobject.h>

#include <cstring>

namespace fm {

namespace {

// An entry's name, file and line all come from its code object, and a failing path tends to
// fail again, so one code object per (site, line) is made once and kept.
PyCodeObject *traceback_codes[site_count][line::max + 1];

const char *site_name(int site)
{
    return site == site_init ? "init routes.free_models" : kFunctions[site].qualified;
}

}  // namespace

PyCodeObject *traceback_code(int site, int lineno)
{
    bool kept = lineno >= 0 && lineno <= line::max;
    if (kept && traceback_codes[site][lineno])
        return (PyCodeObject *)Py_NewRef(traceback_codes[site][lineno]);
    PyCodeObject *code = PyCode_NewEmpty(kSourceFile, site_name(site), lineno);
    if (code && kept)
        traceback_codes[site][lineno] = (PyCodeObject *)Py_NewRef(code);
    return code;
}

void forget_traceback_codes()
{
    memset(traceback_codes, 0, sizeof traceback_codes);
}

void add_traceback(int site, int lineno, PyObject *globals)
{
    // Making the code object and the frame may fail (memory); the pending exception must reach
    // the caller unchanged either way, so it is taken out first and put back before the entry.
    PyObject *exc = PyErr_GetRaisedException();
    if (!exc)
        return;
    PyCodeObject *code = traceback_code(site, lineno);
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
