// A strong reference released when it goes out of scope.
//
// Used for temporaries only, where several exits would otherwise each need
// their own releases. Anything kept beyond the function (ModuleState, the
// cache) is managed by hand so that its lifetime stays visible.
#pragma once

#include <Python.h>

namespace concordix {

class OwnedRef {
public:
    OwnedRef() = default;
    explicit OwnedRef(PyObject *owned) : object_(owned) {}
    OwnedRef(const OwnedRef &) = delete;
    OwnedRef &operator=(const OwnedRef &) = delete;
    ~OwnedRef() { Py_XDECREF(object_); }

    // Takes over `owned`, releasing what was held before.
    OwnedRef &operator=(PyObject *owned)
    {
        Py_XSETREF(object_, owned);
        return *this;
    }

    PyObject *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject *object_ = nullptr;
};

}  // namespace concordix
