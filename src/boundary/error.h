// Error values: how a failure travels from a body to the one place that raises it.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstddef>
#include <expected>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "boundary/ref.h"
#include "common/internal_error.h"

namespace ipc_probe::py {

struct ModuleState;

class Error {
public:
    // A built-in exception type and its message; nothing is created until it is raised.
    static Error lazy(PyObject* type, std::string message) {
        return Error(Lazy{type, std::move(message)});
    }
    // MemoryError as the interpreter raises it, for std::bad_alloc in native code.
    static Error no_memory() noexcept { return Error(NoMemory{}); }
    // An internal failure: becomes PanicException at the boundary.
    static Error panic(std::string message,
                       std::source_location where = std::source_location::current()) {
        return Error(Panic{std::move(message), where});
    }
    // An exception object this module made itself; fetch() makes the same from Python's.
    static Error from_exception(Ref exception) noexcept {
        return Error(Object{std::move(exception)});
    }
    // For a C++ exception other than std::bad_alloc escaping a body.
    static Error unknown_exception() noexcept;
    // Takes the exception that a failing interpreter call left set.
    static Error fetch();
    // A PanicException that came back through Python code (the state's own) is resumed as
    // a panic, never treated as ordinary. Wherever a fetched error's kind matters, this
    // comes first, with the state of the call: only the state knows the type.
    Error resolved(const ModuleState* state) &&;

    // The only ways an Error reaches the interpreter's error state, the panic type taken
    // from `state` (PythonFinalizationError where it is cleared). Raising can itself fail
    // only inside the interpreter, which ends the process (see fatal_at_boundary).
    void raise(const ModuleState* state) && noexcept;
    // For deallocators: raise, then hand the exception to the unraisable hook.
    void report_unraisable(const ModuleState* state) && noexcept;

    bool is_panic() const noexcept { return std::holds_alternative<Panic>(state_); }
    // Whether this is an exception of `type` (or a subclass).
    bool matches(PyObject* type) const noexcept;

    // The exception as an object, for notes and causes. Panics have no object form.
    Ref into_exception() &&;
    // Adds the conversion note "while processing '<parameter>'". A panic passes unchanged;
    // a failure while adding the note is discarded and the exception goes on without it.
    Error with_note(std::string_view parameter, const ModuleState* state) &&;

private:
    struct Lazy {
        PyObject* type;
        std::string message;
    };
    // An exception that exists as an object: made here, or fetched.
    struct Object {
        Ref exception;
    };
    struct Panic {
        std::string message;
        std::source_location where;
    };
    struct NoMemory {};

    template <class State>
    explicit Error(State state) : state_(std::move(state)) {}

    std::variant<Lazy, Object, Panic, NoMemory> state_;
};

template <class T>
using PyResult = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline Error to_error(Error error) noexcept { return error; }
inline Error to_error(const InternalError& error) { return Error::panic(error.message, error.where); }

// How a body's error type E reaches Python: through one `Error to_error(const E&)`. The
// adaptors call it unqualified from templates, so only two places count: this header (for
// the boundary's own types) and E's own namespace, where argument-dependent lookup finds
// it wherever it is declared. An overload anywhere else is silently no candidate (or
// loses to a conversion to another error type); the adaptors assert this concept so that
// such a mistake stops the build with this explanation instead.
template <class E>
concept ReachesPython = requires(E&& error) {
    { to_error(std::forward<E>(error)) } -> std::same_as<Error>;
};

// The failure of steal_result, kept out of line.
PyResult<Ref> null_result();

// Checks the result of an interpreter call that creates a result object: null is an
// internal failure, reported as "PyObject pointer is null".
inline PyResult<Ref> steal_result(PyObject* created) {
    if (created) [[likely]] return Ref::steal(created);
    return null_result();
}

// A new exception type for internal failures, for the exec routine to keep. Where the
// interpreter cannot make it, a SystemError that says so: there is no type to panic with.
PyResult<Ref> make_panic_type();

// Keeps a pending exception aside while a deallocator runs, and puts it back after.
class SavedException {
public:
    SavedException() noexcept : exception_(PyErr_GetRaisedException()) {}
    SavedException(const SavedException&) = delete;
    SavedException& operator=(const SavedException&) = delete;
    ~SavedException() { PyErr_SetRaisedException(exception_); }

private:
    PyObject* exception_;
};

// Ends the process: an internal failure escaped the boundary itself.
[[noreturn]] void fatal_at_boundary() noexcept;

}  // namespace ipc_probe::py
