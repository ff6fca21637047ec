// The Python face of the channel statistics: parameter descriptions and the class tables.
#include "boundary/entries.h"
#include "ipc_probe/surface.h"
#include "stats/ipc_stats.h"
#include "stats/socket_stats.h"

namespace ipc_probe::py {
namespace {

#ifdef Py_GIL_DISABLED
using Sync = ThreadSafe;
#else
// Every call holds its interpreter's lock from start to end (no entry lets it go), and an
// object never leaves the interpreter that made it: that lock already lets one call in at
// a time, so the window needs no lock of its own.
using Sync = CallerSerialised;
#endif
using PyIpcStats = BasicIpcStats<Sync>;
using PySocketStats = BasicSocketStats<Sync>;

}  // namespace

// Every row of both is shared: the statistics are safe from any number of threads at once.
template <>
struct ClassTraits<PyIpcStats> {
    static constexpr bool weak_references = true;
    static constexpr bool counts_borrows = false;
};
template <>
struct ClassTraits<PySocketStats> {
    static constexpr bool weak_references = true;
    static constexpr bool counts_borrows = false;
};

namespace {

constexpr std::string_view kConstructorParams[] = {"name", "ring_capacity"};
constexpr std::string_view kUsParams[] = {"us"};
constexpr std::string_view kDepthParams[] = {"depth"};

constexpr std::string_view kSendParams[] = {"bytes", "latency_us"};
constexpr std::string_view kRecvParams[] = {"bytes", "buffer_used_pct"};

constexpr ArgumentSpec kIpcStatsNew{
    .function = "__new__", .class_name = "IpcStats", .parameters = kConstructorParams};
constexpr ArgumentSpec kRecordLatency{
    .function = "record_latency_us", .class_name = "IpcStats", .parameters = kUsParams};
constexpr ArgumentSpec kRecordDepth{
    .function = "record_depth", .class_name = "IpcStats", .parameters = kDepthParams};
constexpr ArgumentSpec kSocketStatsNew{
    .function = "__new__", .class_name = "SocketStats", .parameters = kConstructorParams};
constexpr ArgumentSpec kRecordSend{
    .function = "record_send", .class_name = "SocketStats", .parameters = kSendParams};
constexpr ArgumentSpec kRecordRecv{
    .function = "record_recv", .class_name = "SocketStats", .parameters = kRecvParams};

constexpr MethodEntry kIpcStatsMethods[] = {
    {"record_latency_us",
     fastcall<&PyIpcStats::record_latency_us, kRecordLatency, Borrow::shared>},
    {"record_depth", fastcall<&PyIpcStats::record_depth, kRecordDepth, Borrow::shared>},
    {"avg_latency_us", noargs<&PyIpcStats::avg_latency_us, Borrow::shared>},
    {"p99_latency_us", noargs<&PyIpcStats::p99_latency_us, Borrow::shared>},
    {"total_messages", noargs<&PyIpcStats::total_messages, Borrow::shared>},
    {"peak_depth", noargs<&PyIpcStats::peak_depth, Borrow::shared>},
    {"name", noargs<&PyIpcStats::name, Borrow::shared>},
    {"report", noargs<&PyIpcStats::report, Borrow::shared>},
};

constexpr MethodEntry kSocketStatsMethods[] = {
    {"record_send", fastcall<&PySocketStats::record_send, kRecordSend, Borrow::shared>},
    {"record_recv", fastcall<&PySocketStats::record_recv, kRecordRecv, Borrow::shared>},
    {"bytes_sent", noargs<&PySocketStats::bytes_sent, Borrow::shared>},
    {"bytes_recv", noargs<&PySocketStats::bytes_recv, Borrow::shared>},
    {"peak_recv_buffer_pct", noargs<&PySocketStats::peak_recv_buffer_pct, Borrow::shared>},
    {"avg_send_latency_us", noargs<&PySocketStats::avg_send_latency_us, Borrow::shared>},
    {"name", noargs<&PySocketStats::name, Borrow::shared>},
    {"report", noargs<&PySocketStats::report, Borrow::shared>},
};

}  // namespace

constinit const ClassDef kIpcStatsClass = define_class<PyIpcStats>({
    .name = "IpcStats",
    .constructor = construct<PyIpcStats, kIpcStatsNew>,
    .methods = kIpcStatsMethods,
});

constinit const ClassDef kSocketStatsClass = define_class<PySocketStats>({
    .name = "SocketStats",
    .description = "Statistics for a traced socket channel.",
    .constructor = construct<PySocketStats, kSocketStatsNew>,
    .methods = kSocketStatsMethods,
});

}  // namespace ipc_probe::py
