// Texts taken from interpreter objects for use in messages.
#pragma once

#include <Python.h>

#include <string>

#include "boundary/error.h"

namespace ipc_probe::py {

// UTF-8 of a str; lone surrogates are replaced as ill-formed bytes are, never an error.
std::string utf8_lossy(PyObject* str);

// str(obj). If that fails, the failure goes to the unraisable hook and the text is
// "<unprintable T object>" (or "<unprintable object>" when not even the type's name is
// available), since the text is only ever needed for a message.
std::string text_of(PyObject* obj);

// TypeError "'T' object is not an instance of 'U'" ("'None' is not an instance of 'U'").
Error wrong_type(PyObject* obj, PyTypeObject* target);

}  // namespace ipc_probe::py
