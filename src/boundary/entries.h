// The vocabulary of the class and function tables. A class's Python layer reads:
//
//   constexpr std::string_view kUsParams[] = {"us"};
//   constexpr ArgumentSpec kRecordLatency{
//       .function = "record_latency_us", .class_name = "IpcStats", .parameters = kUsParams};
//   constexpr MethodEntry kMethods[] = {
//       {"record_latency_us",
//        fastcall<&Stats::record_latency_us, kRecordLatency, Borrow::shared>}};
//   const ClassDef kClass = define_class<Stats>({.name = "IpcStats", .methods = kMethods});
//
// Each entry names a body, a plain C++ function or member function; its parameters and
// result are converted by type, its error values reach Python through `to_error`, and its
// doc string is the text signature its ArgumentSpec implies. A method's row ends in the
// borrow its calls take of the instance (see Borrow); getters and reprs take the shared one.
#pragma once

#include "boundary/adaptors.h"

namespace ipc_probe::py {

// A call without arguments (METH_NOARGS): a function, or a member of the class's state
// with its borrow (`noargs<&State::f, Borrow::shared>`).
template <auto F, Borrow... Mode>
constexpr Callable noargs{.noargs = &detail::noargs_entry<F, detail::borrow_of<F, Mode...>()>,
                          .flags = METH_NOARGS,
                          .method = detail::is_method<F>};
// A call with arguments bound to an ArgumentSpec (METH_FASTCALL | METH_KEYWORDS); a
// method's row ends in its borrow, as above.
template <auto F, const ArgumentSpec& Spec, Borrow... Mode>
constexpr Callable fastcall{
    .fastcall = &detail::fastcall_entry<F, Spec, detail::borrow_of<F, Mode...>()>,
    .flags = METH_FASTCALL | METH_KEYWORDS,
    .spec = &Spec,
    .method = detail::is_method<F>};
// A read-only attribute from a member function or a data member of the state.
template <auto F>
constexpr getter getter_of = &detail::getter_entry<F>;
template <auto F>
constexpr reprfunc repr_of = &detail::repr_entry<F>;
// The class's constructor: `State::prepare` bound to an ArgumentSpec (see detail::Preparable).
template <class State, const ArgumentSpec& Spec>
constexpr Constructor construct{.construct = &detail::construct_entry<State, Spec>, .spec = &Spec};
// The module's exec slot, from `Status F(PyObject* module)`.
template <auto F>
constexpr int (*exec_slot)(PyObject*) noexcept = &detail::exec_entry<F>;

// Completes a class description with what its native state type determines.
template <class State>
constexpr ClassDef define_class(ClassDef def) {
    def.dealloc = &detail::dealloc_entry<State>;
    def.basic_size = sizeof(Instance<State>);
    if constexpr (ClassTraits<State>::weak_references) {
        def.weak_list_offset = offsetof(Instance<State>, weak_list);
    }
    def.tables = &class_tables<State>;
    return def;
}

}  // namespace ipc_probe::py
