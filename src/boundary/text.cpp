// Message texts from interpreter objects, robust against objects that cannot print.
#include "boundary/text.h"

#include "common/utf8.h"

namespace ipc_probe::py {
namespace {

std::string qualified_name(PyTypeObject* type) {
    Ref name = Ref::steal(PyType_GetQualName(type));
    if (!name) {
        PyErr_Clear();  // only a placeholder is needed for the message
        return "<failed to extract type name>";
    }
    return utf8_lossy(name.get());
}

std::string unprintable(PyObject* obj) {
    if (Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)))) {
        return "<unprintable " + utf8_lossy(name.get()) + " object>";
    }
    PyErr_Clear();
    return "<unprintable object>";
}

}  // namespace

std::string utf8_lossy(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(data, size);
    PyErr_Clear();  // lone surrogates: encode them anyway, then repair the bytes
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    return repair_utf8({PyBytes_AS_STRING(bytes.get()),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))});
}

PyResult<std::string> text_of(PyObject* obj, const ModuleState* state) {
    if (Ref text = Ref::steal(PyObject_Str(obj))) return utf8_lossy(text.get());
    Error failure = Error::fetch().resolved(state);
    if (failure.is_panic()) return std::unexpected(std::move(failure));
    std::move(failure).raise(state);
    PyErr_WriteUnraisable(obj);
    return unprintable(obj);
}

std::string text_or_placeholder(PyObject* obj) {
    if (Ref text = Ref::steal(PyObject_Str(obj))) return utf8_lossy(text.get());
    PyErr_WriteUnraisable(obj);
    return unprintable(obj);
}

Error wrong_type(PyObject* obj, PyTypeObject* target) {
    std::string message = obj == Py_None ? std::string("'None'")
                                         : "'" + qualified_name(Py_TYPE(obj)) + "' object";
    message += " is not an instance of '";
    message += qualified_name(target);
    message += "'";
    return Error::lazy(PyExc_TypeError, std::move(message));
}

}  // namespace ipc_probe::py
