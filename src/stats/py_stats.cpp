// The Python face of the channel statistics: argument specs and the class table.
#include "boundary/entries.h"
#include "ipc_probe/surface.h"
#include "stats/ipc_stats.h"

namespace ipc_probe::py {

template <>
struct ClassTraits<IpcStats> {
    static constexpr bool weak_references = true;
};

namespace {

constexpr std::string_view kConstructorParams[] = {"name", "ring_capacity"};
constexpr std::string_view kUsParams[] = {"us"};
constexpr std::string_view kDepthParams[] = {"depth"};

constexpr ArgumentSpec kIpcStatsNew{"__new__", "IpcStats", kConstructorParams, 0, 2};
constexpr ArgumentSpec kRecordLatency{"record_latency_us", "IpcStats", kUsParams, 0, 1};
constexpr ArgumentSpec kRecordDepth{"record_depth", "IpcStats", kDepthParams, 0, 1};

constexpr MethodEntry kIpcStatsMethods[] = {
    {"record_latency_us", fastcall<&IpcStats::record_latency_us, kRecordLatency>,
     "record_latency_us($self, us)\n--\n\n"},
    {"record_depth", fastcall<&IpcStats::record_depth, kRecordDepth>,
     "record_depth($self, depth)\n--\n\n"},
    {"avg_latency_us", noargs<&IpcStats::avg_latency_us>, "avg_latency_us($self)\n--\n\n"},
    {"p99_latency_us", noargs<&IpcStats::p99_latency_us>, "p99_latency_us($self)\n--\n\n"},
    {"total_messages", noargs<&IpcStats::total_messages>, "total_messages($self)\n--\n\n"},
    {"peak_depth", noargs<&IpcStats::peak_depth>, "peak_depth($self)\n--\n\n"},
    {"name", noargs<&IpcStats::name>, "name($self)\n--\n\n"},
    {"report", noargs<&IpcStats::report>, "report($self)\n--\n\n"},
};

}  // namespace

constinit const ClassDef kIpcStatsClass = define_class<IpcStats>({
    .name = "IpcStats",
    .doc = "IpcStats(name, ring_capacity)\n--\n\n",
    .construct = construct<IpcStats, kIpcStatsNew>,
    .methods = kIpcStatsMethods,
});

}  // namespace ipc_probe::py
