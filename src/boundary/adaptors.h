// The machinery behind the table vocabulary of entries.h: entry points generated from a
// body's C++ signature. Every call from the interpreter binds, borrows, converts, runs the
// body and finishes here; nobody writes one by hand.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstddef>
#include <expected>
#include <functional>
#include <new>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "boundary/binding.h"
#include "boundary/borrow.h"
#include "boundary/class_def.h"
#include "boundary/conversion.h"
#include "boundary/error.h"
#include "boundary/interpreter_objects.h"

namespace ipc_probe::py {
namespace detail {

// What a body is: a free function (module function) or a member function of a native
// state. Whether a member is const says nothing of its borrow: its row says that.
template <class F>
struct Signature;
template <class R, class... A>
struct Signature<R (*)(A...)> {
    using Result = R;
    using Params = std::tuple<std::remove_cvref_t<A>...>;
    static constexpr bool member = false;
    static constexpr bool wants_state = false;
    static constexpr bool no_throw = false;
};
// A module function that reads its module's state (null where cleared) first.
template <class R, class... A>
struct Signature<R (*)(const ModuleState*, A...)> : Signature<R (*)(A...)> {
    static constexpr bool wants_state = true;
};
template <class R, class... A>
struct Signature<R (*)(A...) noexcept> : Signature<R (*)(A...)> {
    static constexpr bool no_throw = true;
};
template <class R, class C, class... A>
struct Signature<R (C::*)(A...)> : Signature<R (*)(A...)> {
    using Class = C;
    static constexpr bool member = true;
};
template <class R, class C, class... A>
struct Signature<R (C::*)(A...) noexcept> : Signature<R (C::*)(A...)> {
    static constexpr bool no_throw = true;
};
template <class R, class C, class... A>
struct Signature<R (C::*)(A...) const> : Signature<R (C::*)(A...)> {};
template <class R, class C, class... A>
struct Signature<R (C::*)(A...) const noexcept> : Signature<R (C::*)(A...) noexcept> {};
// A data member, for getters of immutable records.
template <class T, class C>
struct Signature<T C::*> : Signature<T (C::*)() const> {};

// The one place an outcome becomes a return value or interpreter error state. A C++
// exception from a body becomes an error value here; nothing unwinds into the interpreter.
// `lookup_state` gives the call's module state, looked up on the error path only.
template <class Body, class LookupState>
PyObject* finish(Body&& body, LookupState&& lookup_state) noexcept {
    PyResult<Ref> outcome = [&]() noexcept -> PyResult<Ref> {
        try {
            return body();
        } catch (const std::bad_alloc&) {
            return std::unexpected(Error::no_memory());
        } catch (...) {
            return std::unexpected(Error::unknown_exception());
        }
    }();
    if (outcome) [[likely]] return outcome->release();
    std::move(outcome).error().raise(lookup_state());
    return nullptr;
}

// A borrow that cannot be refused: all calls on such a class are shared.
struct NoBorrow {};

template <class State, Borrow Mode>
auto take_borrow(PyObject* self) {
    Py_ssize_t& counter = instance_of<State>(self)->borrow;
    if constexpr (!ClassTraits<State>::counts_borrows) {
        return PyResult<NoBorrow>();
    } else if constexpr (Mode == Borrow::exclusive) {
        return ExclusiveBorrow::take(counter);
    } else {
        return SharedBorrow::take(counter);
    }
}

// The borrow a row asks for: a method's row names one, a module function's none (it has
// no instance to borrow). Checked where the row is written.
template <auto F, Borrow... Mode>
consteval Borrow borrow_of() {
    if constexpr (Signature<decltype(F)>::member) {
        static_assert(sizeof...(Mode) == 1,
                      "a method's row says its borrow: Borrow::shared or Borrow::exclusive");
        constexpr Borrow stated[] = {Mode..., Borrow::shared};
        constexpr Borrow mode = stated[0];
        static_assert(mode == Borrow::shared ||
                          ClassTraits<typename Signature<decltype(F)>::Class>::counts_borrows,
                      "an exclusive borrow needs the class's borrow counter");
        return mode;
    } else {
        static_assert(sizeof...(Mode) == 0, "a module function borrows no instance");
        return Borrow::shared;
    }
}

// Converts the bound arguments in parameter order and stops at the first failure, which
// carries the parameter's note.
template <class Params, class LookupState, std::size_t... I>
PyResult<Params> convert_all(const ArgumentSpec& spec, PyObject* const* bound,
                             LookupState&& lookup_state, std::index_sequence<I...>) {
    Params values;
    if constexpr (sizeof...(I) > 0) {
        std::optional<Error> failure;
        const auto convert_one = [&]<std::size_t J>(std::integral_constant<std::size_t, J>) {
            using T = std::tuple_element_t<J, Params>;
            PyResult<T> converted = FromPython<T>::convert(bound[J]);
            if (!converted) [[unlikely]] {
                failure.emplace(
                    std::move(converted).error().with_note(spec.parameters[J], lookup_state()));
                return false;
            }
            std::get<J>(values) = std::move(*converted);
            return true;
        };
        if (!(convert_one(std::integral_constant<std::size_t, I>{}) && ...)) {
            return std::unexpected(std::move(*failure));
        }
    }
    return values;
}

// Runs the body with the converted arguments and converts its result by type.
template <auto F, class... Target>
PyResult<Ref> invoke(typename Signature<decltype(F)>::Params&& params, Target&... target) {
    using Result = typename Signature<decltype(F)>::Result;
    const auto call = [&](auto&&... args) -> Result {
        return std::invoke(F, target..., std::move(args)...);
    };
    if constexpr (std::is_void_v<Result>) {
        std::apply(call, std::move(params));
        return into_python_none();
    } else {
        return into_python(std::apply(call, std::move(params)));
    }
}

// The module state of a call through `self`: a method's class's, a module function's own.
template <auto F>
const ModuleState* call_state(PyObject* self) noexcept {
    if constexpr (Signature<decltype(F)>::member) {
        return state_of_class(Py_TYPE(self));
    } else {
        return state_of_module(self);
    }
}

// The binding of anything but every argument by position, out of line: what it needs
// would take registers from the common call.
template <auto F, const ArgumentSpec* Spec>
[[gnu::noinline]] Status bind_in_full(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames, PyObject** bound) {
    return bind_vector(*Spec, args, nargs, kwnames, bound, call_state<F>(self));
}

// Body of every entry but the constructor: bind, borrow, convert, run.
template <auto F, const ArgumentSpec* Spec, Borrow Mode>
PyResult<Ref> run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = Signature<decltype(F)>;
    const auto lookup_state = [self]() noexcept { return call_state<F>(self); };
    using Params = typename Sig::Params;
    constexpr std::size_t kParams = std::tuple_size_v<Params>;
    PyObject* storage[kParams + 1];  // never empty, even for no parameters
    PyObject* const* bound = storage;
    if constexpr (Spec != nullptr) {
        static_assert(Spec->parameters.size() == kParams, "the spec must list every parameter");
        const auto given = static_cast<std::size_t>(nargs);
        if (kwnames == nullptr && given == kParams) [[likely]] {
            bound = args;  // every argument by position: the vector is the binding
        } else if (kwnames == nullptr ||
                   !bind_simple_keywords(*Spec, args, given, kwnames, storage)) {
            if (Status done = bind_in_full<F, Spec>(self, args, nargs, kwnames, storage); !done) {
                return std::unexpected(std::move(done).error());
            }
        }
    }
    const auto convert_and_call = [&](auto&... target) -> PyResult<Ref> {
        if constexpr (Spec != nullptr) {
            PyResult<Params> params =
                convert_all<Params>(*Spec, bound, lookup_state, std::make_index_sequence<kParams>{});
            if (!params) return std::unexpected(std::move(params).error());
            return invoke<F>(std::move(*params), target...);
        } else {
            return invoke<F>(Params{}, target...);
        }
    };
    if constexpr (Sig::member) {
        // One byte in the object's first cache line, which the call has just read.
        if (!instance_of<typename Sig::Class>(self)->built) [[unlikely]] {
            return std::unexpected(unbuilt_instance(self));
        }
        auto borrow = take_borrow<typename Sig::Class, Mode>(self);
        if (!borrow) return std::unexpected(std::move(borrow).error());
        return convert_and_call(state_of<typename Sig::Class>(self));
    } else if constexpr (Sig::wants_state) {
        const ModuleState* state = lookup_state();
        return convert_and_call(state);
    } else {
        return convert_and_call();
    }
}

template <auto F, Borrow Mode>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    return finish([&] { return run<F, nullptr, Mode>(self, nullptr, 0, nullptr); },
                  [self]() noexcept { return call_state<F>(self); });
}

// Whether a body takes the direct path: a method that cannot fail (noexcept, returning
// nothing), has only integer parameters, and needs no borrow counted (its class's rows are
// all shared). Such a call has nothing to report unless its arguments do not bind or
// convert.
template <class Params>
constexpr bool all_small_ints = false;
template <class... T>
constexpr bool all_small_ints<std::tuple<T...>> = sizeof...(T) > 0 && (SmallInt<T> && ...);

template <auto F>
consteval bool takes_direct_path() {
    using Sig = Signature<decltype(F)>;
    if constexpr (Sig::member) {
        return Sig::no_throw && std::is_void_v<typename Sig::Result> &&
               !ClassTraits<typename Sig::Class>::counts_borrows &&
               all_small_ints<typename Sig::Params>;
    } else {
        return false;
    }
}

// Every argument a small int: converted inline and the body called, with no result or
// error value to carry. Null where any argument is not, and the full path must take the
// call from the start; nothing has happened by then.
template <auto F, std::size_t... I>
[[gnu::always_inline]] inline PyObject* call_direct(PyObject* self, PyObject* const* args,
                                                    std::index_sequence<I...>) noexcept {
    using Sig = Signature<decltype(F)>;
    typename Sig::Params values;
    if (!(from_small_int(args[I], std::get<I>(values)) && ...)) [[unlikely]] return nullptr;
    std::invoke(F, state_of<typename Sig::Class>(self), std::get<I>(values)...);
    Py_RETURN_NONE;  // immortal: no reference to count
}

// Out of line, so that the direct path keeps its frame small and jumps here.
template <auto F, const ArgumentSpec& Spec, Borrow Mode>
[[gnu::noinline]] PyObject* fastcall_full(PyObject* self, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return finish([&] { return run<F, &Spec, Mode>(self, args, nargs, kwnames); },
                  [self]() noexcept { return call_state<F>(self); });
}

template <auto F, const ArgumentSpec& Spec, Borrow Mode>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    if constexpr (takes_direct_path<F>()) {
        // The direct path needs no stack, so the compiler would give the entry no frame
        // and a profiler unwinding by frame pointers would skip its caller: link one.
        asm("" : : "r"(__builtin_frame_address(0)));
        using Sig = Signature<decltype(F)>;
        constexpr std::size_t kArity = std::tuple_size_v<typename Sig::Params>;
        if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(kArity) &&
            instance_of<typename Sig::Class>(self)->built) [[likely]] {
            if (PyObject* none = call_direct<F>(self, args, std::make_index_sequence<kArity>{})) {
                return none;
            }
        }
        return fastcall_full<F, Spec, Mode>(self, args, nargs, kwnames);
    } else {
        return finish([&] { return run<F, &Spec, Mode>(self, args, nargs, kwnames); },
                      [self]() noexcept { return call_state<F>(self); });
    }
}

// A getter or a repr only reads: it takes the shared borrow.
template <auto F>
PyObject* getter_entry(PyObject* self, void*) noexcept {
    return finish([&] { return run<F, nullptr, Borrow::shared>(self, nullptr, 0, nullptr); },
                  [self]() noexcept { return call_state<F>(self); });
}

template <auto F>
PyObject* repr_entry(PyObject* self) noexcept {
    return finish([&] { return run<F, nullptr, Borrow::shared>(self, nullptr, 0, nullptr); },
                  [self]() noexcept { return call_state<F>(self); });
}

}  // namespace detail

// A new instance of `type` holding a State built from `args`. The state's constructor must
// not fail: everything that can fail is done before the object is allocated.
template <class State, class... Args>
PyResult<Ref> make_instance(PyTypeObject* type, Args&&... args) {
    static_assert(std::is_nothrow_constructible_v<State, Args&&...>);
    PyResult<Ref> object = allocate_instance(type);
    if (!object) return object;
    auto* instance = instance_of<State>(object->get());
    ::new (static_cast<void*>(instance->state)) State(std::forward<Args>(args)...);
    instance->borrow = 0;
    instance->built = true;
    if constexpr (ClassTraits<State>::weak_references) instance->weak_list = nullptr;
    return object;
}

namespace detail {

template <class State>
using Prepared = typename Signature<decltype(&State::prepare)>::Result;

// The construction protocol. `static std::expected<Parts, E> prepare(params...)` does all
// that can fail, before the object exists, so a failure leaves nothing to undo; the
// parameters of `prepare` are the constructor's, converted by type like any body's; and
// `State(Parts&&) noexcept` only moves the parts in once the object is allocated.
template <class State>
concept Preparable = requires {
    typename Prepared<State>::value_type;
    typename Prepared<State>::error_type;
} && std::same_as<Prepared<State>, std::expected<typename Prepared<State>::value_type,
                                                 typename Prepared<State>::error_type>> &&
    std::is_nothrow_constructible_v<State, typename Prepared<State>::value_type&&>;

// Construction: bind and convert, let the state's `prepare` do everything that can fail,
// and only then allocate the object and build the state inside it.
template <class State, const ArgumentSpec& Spec>
PyObject* construct_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static_assert(Preparable<State>,
                  "a constructible state needs static std::expected<Parts, E> prepare(...) "
                  "and a noexcept State(Parts&&)");
    static_assert(ReachesPython<typename Prepared<State>::error_type>,
                  "prepare's error type needs a to_error overload");
    // `type` is the class (it cannot be subclassed), whose module holds the state.
    const auto lookup_state = [type]() noexcept { return state_of_class(type); };
    return finish([&]() -> PyResult<Ref> {
        using Params = typename Signature<decltype(&State::prepare)>::Params;
        constexpr std::size_t kParams = std::tuple_size_v<Params>;
        static_assert(Spec.parameters.size() == kParams, "the spec must list every parameter");
        PyObject* bound[kParams + 1];
        if (Status binding = bind_tuple(Spec, args, kwargs, bound, lookup_state()); !binding) {
            return std::unexpected(std::move(binding).error());
        }
        PyResult<Params> params =
            convert_all<Params>(Spec, bound, lookup_state, std::make_index_sequence<kParams>{});
        if (!params) return std::unexpected(std::move(params).error());
        Prepared<State> prepared = std::apply(&State::prepare, std::move(*params));
        if (!prepared) return std::unexpected(to_error(std::move(prepared).error()));
        return make_instance<State>(type, std::move(*prepared));
    }, lookup_state);
}

// The module's exec slot: 0, or -1 with the exception set.
template <auto F>
int exec_entry(PyObject* module) noexcept {
    PyObject* outcome = finish([&]() -> PyResult<Ref> {
        if (Status executed = F(module); !executed) {
            return std::unexpected(std::move(executed).error());
        }
        return Ref::borrow(Py_None);
    }, [module]() noexcept { return state_of_module(module); });
    if (outcome == nullptr) return -1;
    Py_DECREF(outcome);
    return 0;
}

// Destruction never propagates a failure: it goes to the unraisable hook, and the memory
// is freed whatever happened. A state with `shutdown()` (a running thread to join) gets
// to report a failure of it before it is destroyed.
template <class State>
void dealloc_entry(PyObject* self) noexcept {
    const SavedException saved;
    if (instance_of<State>(self)->built) {
        State& state = state_of<State>(self);
        if constexpr (requires { state.shutdown(); }) {
            if (auto outcome = state.shutdown(); !outcome) {
                to_error(std::move(outcome).error()).report_unraisable(state_of_class(Py_TYPE(self)));
            }
        }
        state.~State();
    }
    if constexpr (ClassTraits<State>::weak_references) {
        if (instance_of<State>(self)->weak_list != nullptr) PyObject_ClearWeakRefs(self);
    }
    PyTypeObject* type = Py_TYPE(self);
    if (auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))) {
        free(self);
    } else {
        Error::panic("PyBaseObject_Type should have tp_free").report_unraisable(state_of_class(type));
    }
    Py_DECREF(type);  // heap types are kept alive by their instances
}

template <auto F>
constexpr bool is_method = Signature<decltype(F)>::member;

}  // namespace detail
}  // namespace ipc_probe::py
