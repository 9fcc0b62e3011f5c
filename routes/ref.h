// The two kinds of pointer to a Python object that the module keeps: the owned reference (Ref)
// and the borrowed one (Borrowed). Every source holds objects in one or the other, or in a
// local PyObject * that lives no longer than the statement that uses it.
#ifndef ROUTES_REF_H
#define ROUTES_REF_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace fm {

// ---------------------------------------------------------------------------------------------
// Owned reference
//
// Move-only; `steal` takes over a new reference, `borrow` adds one. There is deliberately no
// conversion to PyObject*: a caller must say get() (borrowed use) or release() (hand over), so a
// stealing call never receives a pointer that is still owned here. Never placed in static
// storage: destructors of statics would run after the interpreter is gone.

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept
    {
        PyObject *old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject *o) noexcept { Ref r; r.p_ = o; return r; }
    static Ref borrow(PyObject *o) noexcept { Py_XINCREF(o); return steal(o); }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { PyObject *o = p_; p_ = nullptr; return o; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject *p_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Borrowed reference
//
// A pointer to an object that something else holds (a dict's value, an entry of a table), kept
// while that holder is known to hold it still. It owns nothing and converts to nothing: get()
// looks at it, and only Ref::borrow(b.get()) makes an owned reference of it. Where one is kept
// across host code, it stands beside the check that tells whether its holder still holds it
// (kept.h).

class Borrowed {
public:
    Borrowed() noexcept = default;
    explicit Borrowed(PyObject *o) noexcept : p_(o) {}
    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject *p_ = nullptr;
};

}  // namespace fm

#endif
