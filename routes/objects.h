// Operations on the host's objects that every body shares (objects.cpp): unpacking, the loop
// over a table, comparisons, and the dict and mapping operations, each with a shortcut for exact
// built-in types where it can be had without running host code.
#ifndef ROUTES_OBJECTS_H
#define ROUTES_OBJECTS_H

#include "function.h"
#include "ref.h"

#include <utility>

namespace fm {

// Unpacks `item` into exactly n values (new references in out[0..n-1]) with the module's error
// texts; a tuple or list is unpacked by its length, any other iterable is read up to item n+1.
int unpack(PyObject *item, Py_ssize_t n, PyObject **out);

// `for item in iterable: visit(item)`, with f.line at `loop_line` whenever the loop itself reads
// (so a failing iterator reports the loop's line). An exact list is walked index by index, as its
// own iterator does, since the host may change it meanwhile. `visit` is handed the loop's
// reference to the item (a Ref), to drop as soon as the item is unpacked, as the interpreter
// does; it returns 0 to go on, or non-zero to stop the loop with that value.
template <class Visit>
int for_each(Frame &f, int loop_line, PyObject *iterable, Visit visit)
{
    f.line = loop_line;
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); i++) {
            if (int rc = visit(Ref::borrow(PyList_GET_ITEM(iterable, i))))
                return rc;
            f.line = loop_line;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it)
        return -1;
    while (PyObject *next = PyIter_Next(it.get())) {
        if (int rc = visit(Ref::steal(next)))
            return rc;
        f.line = loop_line;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The value of `o` when it is an exact int that CPython keeps in one machine word (a compact
// int): then arithmetic and comparisons need no call into the int type.
inline bool small_int(PyObject *o, Py_ssize_t *value)
{
    if (!PyLong_CheckExact(o) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(o)))
        return false;
    *value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(o));
    return true;
}

// `a < b` (op Py_LT) or `a >= b` (Py_GE) as a truth value.
inline int compare(PyObject *a, PyObject *b, int op)
{
    Py_ssize_t x, y;
    if (small_int(a, &x) && small_int(b, &y))
        return op == Py_LT ? x < y : x >= y;
    return PyObject_RichCompareBool(a, b, op);
}

// `key in container`
int contains(PyObject *container, PyObject *key);

// `container[key]`
PyObject *get_item(PyObject *container, PyObject *key);

// `obj.update(arg)`, through the object's own `update` unless it is a plain dict.
int update(PyObject *obj, PyObject *arg);

// `dict(arg)`: the dict constructor applied to one argument.
PyObject *dict_of(PyObject *arg);

// `{k: v for k, v in params.items()}`
PyObject *copy_items(PyObject *params);

// `obj.get(key, dflt)` (dflt NULL: one argument), through the object's own `get`; a plain dict
// is read directly since its `get` cannot be overridden.
PyObject *call_get(PyObject *obj, PyObject *key, PyObject *dflt);

// `log.info`, taken as the interpreter takes a method it is about to call: where `info` is a
// plain method of the logger's class, the function and the logger (no bound method is made);
// otherwise the attribute itself and no object.
struct Method {
    Ref callable, self;
};
int log_info(Frame &f, Method &info);

// `info(fmt, a, b)`, the result dropped.
int call_info(const Method &info, PyObject *fmt, PyObject *a, PyObject *b);

}  // namespace fm

#endif
