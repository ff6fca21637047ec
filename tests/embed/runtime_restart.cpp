// Two runtimes in one process, as an application that embeds CPython may run them, with
// the first runtime's module object kept past its Py_Finalize. In each runtime a finalizer
// calls the module once its interpreter has torn its modules down, and prints whose class
// the snapshot it got belongs to. Run by tests/python/test_embedding.py:
//   runtime_restart main|isolated [exit-functions-taken]
#include <Python.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace {

// Each runtime tags its class with its number; the finalizer runs when the interpreter
// drops its fork hooks, after it has torn its modules down (so everything is bound now).
constexpr std::string_view kScript = R"(
import os, _quillmere_core as q
q.ResourceSnapshot.runtime = RUNTIME
class Late:
    def __call__(self):
        pass
    def __del__(self, snap=q.snapshot_resources, cls=q.ResourceSnapshot, write=os.write,
                type=type, getattr=getattr, runtime=RUNTIME):
        made = type(snap())
        tag = getattr(made, "runtime", None)
        write(1, f"runtime {runtime}: class of runtime {tag}, the module's own: {made is cls}\n".encode())
os.register_at_fork(before=Late())
)";

void nothing() {}

bool run_script(int runtime) {
    std::string script(kScript);
    for (std::size_t at = script.find("RUNTIME"); at != std::string::npos; at = script.find("RUNTIME")) {
        script.replace(at, 7, std::to_string(runtime));
    }
    return PyRun_SimpleString(script.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool isolated = argc > 1 && std::string_view(argv[1]) == "isolated";
    const bool exit_functions_taken = argc > 2 && std::string_view(argv[2]) == "exit-functions-taken";
    for (int runtime = 1; runtime <= 2; ++runtime) {
        Py_Initialize();
        // As other libraries of a large application may: Py_AtExit has room for 32.
        while (exit_functions_taken && Py_AtExit(&nothing) == 0) {
        }
        PyThreadState* main_thread = PyThreadState_Get();
        PyThreadState* sub = nullptr;
        if (isolated) {
            const PyInterpreterConfig config = {.use_main_obmalloc = 0,
                                                .allow_fork = 0,
                                                .allow_exec = 0,
                                                .allow_threads = 1,
                                                .allow_daemon_threads = 0,
                                                .check_multi_interp_extensions = 1,
                                                .gil = PyInterpreterConfig_OWN_GIL};
            if (PyStatus status = Py_NewInterpreterFromConfig(&sub, &config); PyStatus_Exception(status)) {
                Py_ExitStatusException(status);
            }
        }
        // Never released: the first runtime's module object outlives it.
        if (runtime == 1 && PyImport_ImportModule("_quillmere_core") == nullptr) {
            PyErr_Print();
            return 1;
        }
        if (!run_script(runtime)) return 1;
        if (isolated) {
            Py_EndInterpreter(sub);
            PyThreadState_Swap(main_thread);
        }
        if (Py_FinalizeEx() < 0) return 1;
    }
    return 0;
}
