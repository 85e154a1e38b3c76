// Error helpers: raising StateMachineError, and chaining it to the exception that caused it.
#pragma once
#include <Python.h>

#include <cstddef>

#include "compat.hpp"
#include "module.hpp"

namespace tessel {

// Raises StateMachineError(message), the class looked up in the module namespace now.
// Always returns null, for `return raise_error(...)`; a null message means its error is set already.
std::nullptr_t raise_error(const Module& m, Ref message);

// Same, raised while `caught` is handled: `caught` becomes its __context__.
std::nullptr_t raise_error_in_context(const Module& m, Ref message, PyObject* caught);

// `raise StateMachineError(message()) from caught`: the new error gets `caught` as its __cause__ and
// __context__. When building the message or the error fails, that failure is raised instead, with
// `caught` as its __context__ only. `message` is called while `caught` is handled.
template <typename Message>
std::nullptr_t raise_error_from(const Module& m, PyObject* caught, Message message);

// Turns a ValueError now in flight into StateMachineError(message(caught)), raised while it is
// handled; any other error is left in flight. Returns null.
template <typename Message>
std::nullptr_t value_error_to_machine_error(const Module& m, Message message) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
    Ref caught = fetch_exception();
    HandlingScope handling(caught.get());
    return raise_error(m, message(caught.get()));
}

// ---- implementation ------------------------------------------------------------------------

// StateMachineError(message) built but not raised; null with the error set.
Ref new_machine_error(const Module& m, PyObject* message);
// Raises `exc`, an object the module's error class returned, as `raise exc` would.
std::nullptr_t raise_object(Ref exc);

template <typename Message>
std::nullptr_t raise_error_from(const Module& m, PyObject* caught, Message message) {
    HandlingScope handling(caught);
    Ref text = message();
    if (!text) return nullptr;
    Ref exc = new_machine_error(m, text.get());
    if (!exc) return nullptr;
    if (PyExceptionInstance_Check(exc.get())) PyException_SetCause(exc.get(), Py_NewRef(caught));
    return raise_object(std::move(exc));
}

}  // namespace tessel
