// Shims over interpreter versions for the exception in flight and the exception being handled.
#pragma once
#include <Python.h>
#include "ref.hpp"

namespace tessel {

// Takes the exception being raised (normalised, traceback attached); null when none is set.
inline Ref fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return Ref();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

// Raises `exc` again as the exception in flight.
inline void restore_exception(Ref exc) noexcept {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Makes `exc` the exception being handled for the scope's life, as an except or finally block
// does, so that errors raised meanwhile take it as their __context__.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exc) noexcept : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    ~HandlingScope() { PyErr_SetHandledException(previous_.get()); }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    Ref previous_;
};

}  // namespace tessel
