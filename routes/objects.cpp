// Operations on the host's objects that every body shares (objects.h).
#include "kept.h"
#include "objects.h"

#include <cstring>

// The interpreter's own way of taking a method it is about to call (an unbound function and its
// object, where it can), as its method calls do: exported by 3.13, but declared only in its
// internal headers.
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject *obj, PyObject *name, PyObject **method);

namespace fm {

int unpack(PyObject *item, Py_ssize_t n, PyObject **out)
{
    Py_ssize_t got = 0;     // items found (for the error text)
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
    if (str_lookup(container, key, &value) == 0)
        PyErr_SetObject(PyExc_KeyError, key);  // a str key is its own argument
    return value;
}

namespace {

// The host's side of the operations below, out of their common path: a method of the host's
// object, called by name.
[[gnu::cold, gnu::noinline]] int update_by_method(PyObject *obj, PyObject *arg)
{
    Ref r = Ref::steal(PyObject_CallMethodOneArg(obj, interned(s_update), arg));
    return r ? 0 : -1;
}

[[gnu::cold, gnu::noinline]] PyObject *get_by_method(PyObject *obj, PyObject *key,
                                                     PyObject *dflt)
{
    PyObject *args[3] = {obj, key, dflt};
    return PyObject_VectorcallMethod(interned(s_get), args, dflt ? 3 : 2, nullptr);
}

// `{k: v for k, v in params.items()}` of a mapping of the host's.
[[gnu::cold, gnu::noinline]] PyObject *copy_items_by_method(PyObject *params)
{
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(params, interned(s_items)));
    if (!items)
        return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    Ref copy = Ref::steal(it ? PyDict_New() : nullptr);
    if (!copy)
        return nullptr;
    while (PyObject *item = PyIter_Next(it.get())) {
        PyObject *kv[2];
        int rc = unpack(item, 2, kv);
        Py_DECREF(item);
        if (rc < 0)
            return nullptr;
        rc = PyDict_SetItem(copy.get(), kv[0], kv[1]);
        Py_DECREF(kv[0]);
        Py_DECREF(kv[1]);
        if (rc < 0)
            return nullptr;
    }
    return PyErr_Occurred() ? nullptr : copy.release();
}

}  // namespace

int update(PyObject *obj, PyObject *arg)
{
    // dict.update of a plain dict is a merge; nothing else may be assumed of a host's update.
    if (PyDict_CheckExact(obj) && PyDict_CheckExact(arg))
        return PyDict_Merge(obj, arg, 1);
    return update_by_method(obj, arg);
}

PyObject *dict_of(PyObject *arg)
{
    if (!PyDict_CheckExact(arg))
        return PyObject_CallOneArg((PyObject *)&PyDict_Type, arg);
    // Copying a key table of str keys compares nothing. Any other plain dict goes as the
    // constructor takes it, key by key: PyDict_Copy would copy some tables whole where the
    // constructor compares keys of equal hash (host code, for a key of the host's class).
    if (quiet_lookup(arg))
        return PyDict_Copy(arg);
    Ref copy = Ref::steal(PyDict_New());
    if (!copy || PyDict_Merge(copy.get(), arg, 1) < 0)
        return nullptr;
    return copy.release();
}

PyObject *copy_items(PyObject *params)
{
    if (quiet_lookup(params))
        return PyDict_Copy(params);  // the same dict, made without running host code
    return copy_items_by_method(params);
}

PyObject *call_get(PyObject *obj, PyObject *key, PyObject *dflt)
{
    if (PyDict_CheckExact(obj)) {
        PyObject *value;
        int found = PyUnicode_CheckExact(key) ? str_lookup(obj, key, &value)
                                              : PyDict_GetItemRef(obj, key, &value);
        if (found < 0)
            return nullptr;
        return found ? value : Py_NewRef(dflt ? dflt : Py_None);
    }
    return get_by_method(obj, key, dflt);
}

int log_info(Frame &f, Method &info)
{
    Ref log = Ref::steal(lookup_global(f, s_log));
    if (!log)
        return -1;
    PyObject *callable = nullptr;
    int unbound = _PyObject_GetMethod(log.get(), interned(s_info), &callable);
    if (!callable)
        return -1;
    info.callable = Ref::steal(callable);
    if (unbound)
        info.self = std::move(log);
    return 0;
}

int call_info(const Method &info, PyObject *fmt, PyObject *a, PyObject *b)
{
    // args[0] is the logger's slot: taken by `self` for an unbound method, else left free
    PyObject *args[4] = {info.self.get(), fmt, a, b};
    Ref r = info.self ? Ref::steal(PyObject_Vectorcall(info.callable.get(), args, 4, nullptr))
                      : Ref::steal(PyObject_Vectorcall(info.callable.get(), args + 1,
                                                       3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                       nullptr));
    return r ? 0 : -1;
}

}  // namespace fm
