// The Python face of resource probing: ResourceSnapshot, snapshot_resources, list_open_fds.
#include "boundary/entries.h"
#include "ipc_probe/surface.h"
#include "probe/proc_self.h"

namespace ipc_probe {

// Found by argument-dependent lookup from the boundary's result conversion.
py::Error to_error(const ProbeError& error) {
    return py::Error::lazy(PyExc_RuntimeError, error.message());
}
py::Error to_error(const SnapshotError& error) {
    return std::visit([](const auto& alternative) { return to_error(alternative); }, error);
}

namespace py {

// An immutable record: every row is shared.
template <>
struct ClassTraits<ResourceSnapshot> {
    static constexpr bool weak_references = false;
    static constexpr bool counts_borrows = false;
};

namespace {

constexpr MethodEntry kSnapshotMethods[] = {
    {"rss_mb", noargs<&ResourceSnapshot::rss_mb, Borrow::shared>},
    {"vms_mb", noargs<&ResourceSnapshot::vms_mb, Borrow::shared>},
};

constexpr GetterEntry kSnapshotGetters[] = {
    {"rss_bytes", getter_of<&ResourceSnapshot::rss_bytes>},
    {"vms_bytes", getter_of<&ResourceSnapshot::vms_bytes>},
    {"open_fds", getter_of<&ResourceSnapshot::open_fds>},
    {"timestamp_ns", getter_of<&ResourceSnapshot::timestamp_ns>},
};

// The probe first: a failed probe creates no object.
PyResult<Ref> snapshot_resources(const ModuleState* state) {
    auto snapshot = take_snapshot();
    if (!snapshot) return std::unexpected(to_error(snapshot.error()));
    PyResult<PyTypeObject*> type = class_in(state, kResourceSnapshotClass);
    if (!type) return std::unexpected(std::move(type).error());
    return make_instance<ResourceSnapshot>(*type, *snapshot);
}

auto list_open_fds() { return list_fd_targets(); }

}  // namespace

constinit const ClassDef kResourceSnapshotClass = define_class<ResourceSnapshot>({
    .name = "ResourceSnapshot",
    .description = "Byte-level resource usage of this process at a single instant.\n"
           "Timestamps are Unix nanoseconds so callers can compute deltas.",
    .methods = kSnapshotMethods,
    .getters = kSnapshotGetters,
    .repr = repr_of<&ResourceSnapshot::repr>,
});

constinit const MethodEntry kSnapshotResourcesFunction = {
    "snapshot_resources", noargs<&snapshot_resources>};
constinit const MethodEntry kListOpenFdsFunction = {"list_open_fds", noargs<&list_open_fds>};

}  // namespace py
}  // namespace ipc_probe
