// Traceback entries: one per failing function (or failed import), pointing into the module's
// source layout "routes/free_models".
#include "free_models.h"

#include <frameobject.h>

namespace fm {

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
