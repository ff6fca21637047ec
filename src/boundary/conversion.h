// Argument conversion by C++ parameter type, and result conversion by C++ return type.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "boundary/error.h"

namespace ipc_probe::py {

// One family per parameter type. Failures carry no note yet; the entry adds it.
template <class T>
struct FromPython;

template <>
struct FromPython<std::string> {
    static PyResult<std::string> convert(PyObject* obj);
};
template <>
struct FromPython<std::uint64_t> {
    static PyResult<std::uint64_t> convert(PyObject* obj) noexcept {
        // The int case is the hot one: straight to the conversion, no index protocol.
        if (PyLong_Check(obj)) [[likely]] {
            const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
            if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) [[unlikely]] {
                return std::unexpected(Error::fetch());
            }
            return value;
        }
        return convert_index(obj);
    }
    static PyResult<std::uint64_t> convert_index(PyObject* obj);
};
template <>
struct FromPython<std::uint32_t> {
    static PyResult<std::uint32_t> convert(PyObject* obj);
};
template <>
struct FromPython<std::int32_t> {
    static PyResult<std::int32_t> convert(PyObject* obj);
};

// The integer parameter types that a small int converts to inline.
template <class T>
concept SmallInt = std::integral<T> && !std::same_as<T, bool> && sizeof(T) <= sizeof(std::uint64_t);

// An int, or an int subclass (bool, IntEnum), of one digit whose value T holds: its value,
// exactly what the full conversion gives it, since that too reads an int subclass's value
// and never calls its __index__. False for anything else, which only the full conversion
// may refuse, with its own message.
template <SmallInt T>
[[gnu::always_inline]] inline bool from_small_int(PyObject* obj, T& out) noexcept {
    if (!PyLong_Check(obj)) return false;
    const auto* number = reinterpret_cast<const PyLongObject*>(obj);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
    if (!std::in_range<T>(value)) return false;
    out = static_cast<T>(value);
    return true;
}

// Results: None for void, then one overload per type the bodies return.
inline PyResult<Ref> into_python(double value) { return steal_result(PyFloat_FromDouble(value)); }
inline PyResult<Ref> into_python(std::uint64_t value) {
    return steal_result(PyLong_FromUnsignedLongLong(value));
}
inline PyResult<Ref> into_python(std::uint32_t value) {
    return steal_result(PyLong_FromLong(static_cast<long>(value)));
}
PyResult<Ref> into_python(std::string_view text);
PyResult<Ref> into_python(const std::vector<std::string>& texts);
PyResult<Ref> into_python(std::pair<int, int> values);
inline PyResult<Ref> into_python(Ref object) { return object; }
inline PyResult<Ref> into_python_none() noexcept { return Ref::borrow(Py_None); }

// A body's error value of any kind becomes an Error through its to_error overload.
template <class T, class E>
PyResult<Ref> into_python(std::expected<T, E>&& outcome) {
    static_assert(ReachesPython<E>, "a body's error type needs a to_error overload");
    if (!outcome) return std::unexpected(to_error(std::move(outcome).error()));
    if constexpr (std::is_void_v<T>) {
        return into_python_none();
    } else {
        return into_python(std::move(*outcome));
    }
}

}  // namespace ipc_probe::py
