// The Python face of the signal pipes: register_signal_pipe and its errors.
#include "boundary/entries.h"
#include "ipc_probe/surface.h"
#include "signal_pipe/signal_pipe.h"

namespace ipc_probe {

// Here rather than in ipc_probe::py so that the boundary's result conversion finds it by
// argument-dependent lookup. OSError gets the message only, so it carries no errno.
py::Error to_error(const SignalPipeError& e) {
    PyObject* type =
        e.kind == SignalPipeError::Kind::invalid_signal ? PyExc_ValueError : PyExc_OSError;
    return py::Error::lazy(type, e.message);
}

}  // namespace ipc_probe

namespace ipc_probe::py {
namespace {

constexpr std::string_view kSignalNumParams[] = {"signal_num"};
constexpr ArgumentSpec kRegisterSignalPipe{
    .function = "register_signal_pipe", .parameters = kSignalNumParams};

}  // namespace

constinit const MethodEntry kRegisterSignalPipeFunction = {
    "register_signal_pipe", fastcall<&ipc_probe::register_signal_pipe, kRegisterSignalPipe>};

}  // namespace ipc_probe::py
