// Error values, PanicException, and the only code that touches the error indicator.
#include "boundary/error.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>

#include "boundary/interpreter_objects.h"
#include "boundary/text.h"

namespace ipc_probe::py {
namespace {

constexpr const char* kPanicDoc =
    "\nThe exception raised when native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

// Standard error gets one line per internal failure: which thread, where, and what.
void write_panic_diagnostic(const std::string& message, const std::source_location& where) {
    char thread_name[16] = "?";
    ::pthread_getname_np(::pthread_self(), thread_name, sizeof thread_name);
    std::fprintf(stderr, "_quillmere_core: internal failure on thread %d '%s' at %s:%u:%u: %s\n",
                 static_cast<int>(::gettid()), thread_name, where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 message.c_str());
}

// A PanicException that travelled through Python code (a callback raised it) is not an
// ordinary error: show where it went, then carry on as a new panic with its message.
Error resume_panic(Ref exception) {
    std::string message = text_or_placeholder(exception.get());
    std::fputs("_quillmere_core: a native panic came back through Python code and is resumed; "
               "its Python traceback follows\n",
               stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    return Error::panic(std::move(message));
}

PyObject* new_str(const std::string& text) noexcept {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace

PyResult<Ref> make_panic_type() {
    // The qualified name is fixed by the interface: callers match on it.
    PyObject* type = PyErr_NewExceptionWithDoc("tessel_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
    if (type) return Ref::steal(type);
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    std::string message = "Failed to initialize new exception type. The interpreter reported: " +
                          (cause ? text_or_placeholder(cause.get()) : std::string("no exception"));
    // An internal failure, but with no PanicException to raise it as: the exec routine
    // raises it as the interpreter's own type for internal errors, after the diagnostic
    // every internal failure writes.
    write_panic_diagnostic(message, std::source_location::current());
    return std::unexpected(Error::lazy(PyExc_SystemError, std::move(message)));
}

Error Error::unknown_exception() noexcept {
    try {
        return panic("panic from native code");
    } catch (...) {
        fatal_at_boundary();
    }
}

Error Error::fetch() {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) {
        return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return Error(Object{std::move(exception)});
}

Error Error::resolved(const ModuleState* state) && {
    const Object* held = std::get_if<Object>(&state_);
    if (held != nullptr && state != nullptr &&
        reinterpret_cast<PyObject*>(Py_TYPE(held->exception.get())) == state->panic_type) {
        return resume_panic(std::move(std::get<Object>(state_).exception));
    }
    return std::move(*this);
}

void Error::raise(const ModuleState* state) && noexcept {
    try {
        if (std::holds_alternative<Object>(state_)) *this = std::move(*this).resolved(state);
        std::visit(
            Overloaded{
                [](Lazy& lazy) {
                    if (!PyExceptionClass_Check(lazy.type)) {
                        PyErr_SetString(PyExc_TypeError,
                                        "exceptions must derive from BaseException");
                        return;
                    }
                    // If the message cannot be made, the interpreter's error stands instead.
                    if (Ref message = Ref::steal(new_str(lazy.message))) {
                        PyErr_SetObject(lazy.type, message.get());
                    }
                },
                [](Object& held) { PyErr_SetRaisedException(held.exception.release()); },
                [](NoMemory&) { PyErr_NoMemory(); },
                [&](Panic& panic) {
                    write_panic_diagnostic(panic.message, panic.where);
                    if (state == nullptr) {
                        std::move(state_cleared()).raise(nullptr);
                    } else if (Ref message = Ref::steal(new_str(panic.message))) {
                        PyErr_SetObject(state->panic_type, message.get());
                    }
                },
            },
            state_);
    } catch (...) {
        fatal_at_boundary();
    }
}

void Error::report_unraisable(const ModuleState* state) && noexcept {
    std::move(*this).raise(state);
    PyErr_WriteUnraisable(nullptr);
}

bool Error::matches(PyObject* type) const noexcept {
    return std::visit(
        Overloaded{
            [&](const Lazy& lazy) {
                return PyExceptionClass_Check(lazy.type) &&
                       PyErr_GivenExceptionMatches(lazy.type, type) != 0;
            },
            [&](const Object& held) {
                return PyErr_GivenExceptionMatches(held.exception.get(), type) != 0;
            },
            [&](const NoMemory&) { return PyErr_GivenExceptionMatches(PyExc_MemoryError, type) != 0; },
            [](const Panic&) { return false; },
        },
        state_);
}

Ref Error::into_exception() && {
    if (Object* held = std::get_if<Object>(&state_)) return std::move(held->exception);
    if (is_panic()) return {};
    std::move(*this).raise(nullptr);
    return Ref::steal(PyErr_GetRaisedException());
}

Error Error::with_note(std::string_view parameter, const ModuleState* state) && {
    Error error = std::move(*this).resolved(state);
    if (error.is_panic()) return error;
    Ref exception = std::move(error).into_exception();
    if (!exception) return fetch();
    std::string text = "while processing '";
    text += parameter;
    text += "'";
    // Where the state is cleared, a name made for this note alone.
    Ref add_note = state != nullptr ? Ref::borrow(state->add_note)
                                    : Ref::steal(PyUnicode_FromString("add_note"));
    Ref note = Ref::steal(new_str(text));
    bool noted = false;
    if (add_note && note) {
        // One spare entry in front, so the callee may use it (PY_VECTORCALL_ARGUMENTS_OFFSET).
        PyObject* args[] = {nullptr, exception.get(), note.get()};
        noted = Ref::steal(PyObject_VectorcallMethod(
            add_note.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr))
            .get() != nullptr;
    }
    if (!noted && PyErr_Occurred()) PyErr_Clear();  // the note is lost, the error is not
    return Error(Object{std::move(exception)});
}

PyResult<Ref> null_result() {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    return std::unexpected(Error::panic("PyObject pointer is null"));
}

void fatal_at_boundary() noexcept { Py_FatalError("uncaught panic at ffi boundary"); }

}  // namespace ipc_probe::py
