// The conversion families and result constructors.
#include "boundary/conversion.h"

#include <limits>

#include "boundary/text.h"

namespace ipc_probe::py {
namespace {

// PyLong_AsLong, then a range check that gives the module's own OverflowError.
template <class Narrow>
[[gnu::always_inline]] inline PyResult<Narrow> convert_narrow(PyObject* obj) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return std::unexpected(Error::fetch());
    if (value < static_cast<long>(std::numeric_limits<Narrow>::min()) ||
        value > static_cast<long>(std::numeric_limits<Narrow>::max())) {
        return std::unexpected(
            Error::lazy(PyExc_OverflowError, "out of range integral type conversion attempted"));
    }
    return static_cast<Narrow>(value);
}

}  // namespace

PyResult<std::string> FromPython<std::string>::convert(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return std::unexpected(wrong_type(obj, &PyUnicode_Type));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return std::unexpected(Error::fetch());
    return std::string(data, static_cast<std::size_t>(size));
}

PyResult<std::uint64_t> FromPython<std::uint64_t>::convert_index(PyObject* obj) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return std::unexpected(Error::fetch());
    return convert(index.get());
}

PyResult<std::uint32_t> FromPython<std::uint32_t>::convert(PyObject* obj) {
    return convert_narrow<std::uint32_t>(obj);
}

PyResult<std::int32_t> FromPython<std::int32_t>::convert(PyObject* obj) {
    return convert_narrow<std::int32_t>(obj);
}

PyResult<Ref> into_python(std::string_view text) {
    return steal_result(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyResult<Ref> into_python(const std::vector<std::string>& texts) {
    PyResult<Ref> list = steal_result(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyResult<Ref> item = into_python(std::string_view(texts[i]));
        if (!item) return item;
        PyList_SET_ITEM(list->get(), static_cast<Py_ssize_t>(i), item->release());
    }
    return list;
}

PyResult<Ref> into_python(std::pair<int, int> values) {
    PyResult<Ref> first = steal_result(PyLong_FromLong(values.first));
    if (!first) return first;
    PyResult<Ref> second = steal_result(PyLong_FromLong(values.second));
    if (!second) return second;
    return steal_result(PyTuple_Pack(2, first->get(), second->get()));
}

}  // namespace ipc_probe::py
