// Texts taken from interpreter objects for use in messages.
#pragma once

#include <Python.h>

#include <string>

#include "boundary/error.h"

namespace ipc_probe::py {

// UTF-8 of a str; lone surrogates are replaced as ill-formed bytes are, never an error.
std::string utf8_lossy(PyObject* str);

// str(obj), for a message. If that fails, the failure goes to the unraisable hook and the
// text is "<unprintable T object>" (or "<unprintable object>" when not even the type's name
// is available), since only a message depends on it. A PanicException raised by __str__ (of
// the call's `state`) is the exception: it is resumed like one from any other call.
PyResult<std::string> text_of(PyObject* obj, const ModuleState* state);

// The same for texts that are themselves part of reporting a failure (the message of a
// panic being resumed): every failure there ends in the placeholder.
std::string text_or_placeholder(PyObject* obj);

// TypeError "'T' object is not an instance of 'U'" ("'None' is not an instance of 'U'").
Error wrong_type(PyObject* obj, PyTypeObject* target);

}  // namespace ipc_probe::py
