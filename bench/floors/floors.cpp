// Floors for the benchmarks: the least a native call, a /proc probe, a sampling thread and
// a signal handler can cost, written plainly. Built by the benchmark itself, never shipped.
#include <Python.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// The least a keyword can cost: its name must still be checked against the parameter's.
bool keywords_match(PyObject* kwnames, Py_ssize_t nargs, const char* const* names) {
    if (!kwnames) return true;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), names[nargs + k]) != 0) {
            PyErr_SetString(PyExc_TypeError, "unexpected keyword");
            return false;
        }
    }
    return true;
}

// One unsigned 64-bit argument named "us", by position or keyword, as record_latency_us
// takes it: false, with the exception set, when the call does not bind or convert.
inline bool take_us(const char* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, unsigned long long& value) {
    static const char* const names[] = {"us"};
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    if (total != 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes one argument", function);
        return false;
    }
    if (!keywords_match(kwnames, nargs, names)) return false;
    value = PyLong_AsUnsignedLongLong(args[0]);
    return !(value == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

// A no-op method converting one unsigned 64-bit argument, given by position or keyword.
PyObject* noop1(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    unsigned long long value = 0;
    if (!take_us("noop1", args, nargs, kwnames, value)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* noop2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"bytes", "latency_us"};
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    if (total != 2) {
        PyErr_SetString(PyExc_TypeError, "noop2() takes two arguments");
        return nullptr;
    }
    if (!keywords_match(kwnames, nargs, names)) return nullptr;
    for (int i = 0; i < 2; ++i) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(args[i]);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* noop0(PyObject*, PyObject*) { Py_RETURN_NONE; }

// The least a thread-safe recording can cost: noop1's conversion, then a mutex around a
// plain ring write, a sum and a count.
struct ReferenceRing {
    std::mutex mutex;
    std::uint64_t slots[1024] = {};
    std::size_t next = 0;
    std::uint64_t count = 0;
    unsigned __int128 sum = 0;
} reference_ring;

PyObject* locked_ring1(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    unsigned long long value = 0;
    if (!take_us("locked_ring1", args, nargs, kwnames, value)) return nullptr;
    {
        std::lock_guard lock(reference_ring.mutex);
        ReferenceRing& ring = reference_ring;
        ring.sum += value;
        ring.sum -= ring.slots[ring.next];
        ring.slots[ring.next] = value;
        ring.next = (ring.next + 1) % std::size(ring.slots);
        ++ring.count;
    }
    Py_RETURN_NONE;
}

std::uint64_t kib_after(const char* text, const char* key) {
    const char* at = std::strstr(text, key);
    return at ? std::strtoull(at + std::strlen(key), nullptr, 10) : 0;
}

// Counts /proc/self/fd entry by entry, its own descriptor among them.
bool list_count(std::uint32_t& fds) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return false;
    fds = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++fds;
    }
    ::closedir(dir);
    return true;
}

// The size Linux 6.2+ gives the open fd directory: the open descriptors, this one included.
// An older kernel gives 0, and the entries are counted instead.
bool size_count(std::uint32_t& fds) {
    const int dir_fd = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return false;
    struct stat info;
    const bool sized = ::fstat(dir_fd, &info) == 0 && info.st_size > 0;
    ::close(dir_fd);
    if (!sized) return list_count(fds);
    fds = static_cast<std::uint32_t>(info.st_size);
    return true;
}

// The same probe as snapshot_resources(), as one would write it without any care for
// messages: read the status file, pick two numbers, count the descriptors (by the fd
// directory's size, or by listing it as snapshots did before), read the clock.
bool probe(std::uint64_t& rss, std::uint64_t& vms, std::uint32_t& fds, std::uint64_t& ns,
           bool (*count)(std::uint32_t&) = size_count) {
    char buffer[4096];
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t size = 0, n;
    while ((n = ::read(fd, buffer + size, sizeof buffer - 1 - size)) > 0) size += n;
    ::close(fd);
    buffer[size] = '\0';
    vms = kib_after(buffer, "VmSize:") * 1024;
    rss = kib_after(buffer, "VmRSS:") * 1024;
    if (!count(fds)) return false;
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    ns = static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
    return true;
}

PyObject* probe_result(bool (*count)(std::uint32_t&)) {
    std::uint64_t rss, vms, ns;
    std::uint32_t fds;
    if (!probe(rss, vms, fds, ns, count)) return PyErr_SetFromErrno(PyExc_OSError);
    return Py_BuildValue("(KKIK)", static_cast<unsigned long long>(rss),
                         static_cast<unsigned long long>(vms), fds, static_cast<unsigned long long>(ns));
}

PyObject* probe_loop(PyObject*, PyObject*) { return probe_result(size_count); }
PyObject* probe_listing_loop(PyObject*, PyObject*) { return probe_result(list_count); }

// The resident size as a sampler needs it: statm's second field, in pages.
bool statm_rss(std::uint64_t& rss) {
    char buffer[256];
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t size = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (size <= 0) return false;
    buffer[size] = '\0';
    const char* resident = std::strchr(buffer, ' ');
    if (!resident) return false;
    rss = std::strtoull(resident + 1, nullptr, 10) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    return true;
}

PyObject* list_loop(PyObject*, PyObject*) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return PyErr_SetFromErrno(PyExc_OSError);
    std::vector<std::string> targets;
    char target[4096];
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const ssize_t n = ::readlinkat(::dirfd(dir), entry->d_name, target, sizeof target);
        if (n >= 0) targets.emplace_back(target, static_cast<std::size_t>(n));
    }
    ::closedir(dir);
    std::sort(targets.begin(), targets.end());
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(targets.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        PyObject* item = PyUnicode_DecodeUTF8(targets[i].data(), static_cast<Py_ssize_t>(targets[i].size()), "replace");
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// A sampling thread as plainly as it can be written: read statm, keep the maximum, sleep.
std::atomic<bool> sampler_stop{false};
std::atomic<std::uint64_t> sampler_peak{0};
std::thread* sampler_thread = nullptr;

PyObject* sampler_start(PyObject*, PyObject* arg) {
    const long interval_ms = PyLong_AsLong(arg);
    if (interval_ms == -1 && PyErr_Occurred()) return nullptr;
    sampler_stop = false;
    sampler_peak = 0;
    sampler_thread = new std::thread([interval_ms] {
        while (!sampler_stop.load()) {
            std::uint64_t rss;
            if (statm_rss(rss) && rss > sampler_peak.load()) sampler_peak = rss;
            timespec pause{interval_ms / 1000, (interval_ms % 1000) * 1000000};
            while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, &pause) == EINTR) {
            }
        }
    });
    Py_RETURN_NONE;
}

PyObject* sampler_stop_join(PyObject*, PyObject*) {
    sampler_stop = true;
    if (sampler_thread) {
        sampler_thread->join();
        delete sampler_thread;
        sampler_thread = nullptr;
    }
    return PyLong_FromUnsignedLongLong(sampler_peak.load());
}

// A signal handler writing one byte to a pipe, with nothing else around it.
int handler_fd = -1;
extern "C" void plain_handler(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(handler_fd, &byte, 1);
    errno = saved;
}

PyObject* install_plain_handler(PyObject*, PyObject* arg) {
    const long signal_num = PyLong_AsLong(arg);
    if (signal_num == -1 && PyErr_Occurred()) return nullptr;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) < 0) return PyErr_SetFromErrno(PyExc_OSError);
    handler_fd = ends[1];
    struct sigaction action {};
    action.sa_handler = plain_handler;
    action.sa_flags = SA_RESTART;
    if (::sigaction(static_cast<int>(signal_num), &action, nullptr) < 0) return PyErr_SetFromErrno(PyExc_OSError);
    return PyLong_FromLong(ends[0]);
}

// The percentile floor: the same window, copied and selected (or sorted) plainly.
std::vector<std::uint64_t> window;

PyObject* window_fill(PyObject*, PyObject* arg) {
    window.clear();
    PyObject* iterator = PyObject_GetIter(arg);
    if (!iterator) return nullptr;
    while (PyObject* item = PyIter_Next(iterator)) {
        window.push_back(PyLong_AsUnsignedLongLong(item));
        Py_DECREF(item);
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* window_nth_element(PyObject*, PyObject*) {
    std::vector<std::uint64_t> copy(window);
    const std::size_t index = std::min(copy.size() * 99 / 100, copy.size() - 1);
    std::nth_element(copy.begin(), copy.begin() + static_cast<std::ptrdiff_t>(index), copy.end());
    return PyFloat_FromDouble(static_cast<double>(copy[index]));
}

PyObject* window_sort(PyObject*, PyObject*) {
    std::vector<std::uint64_t> copy(window);
    std::sort(copy.begin(), copy.end());
    return PyFloat_FromDouble(static_cast<double>(copy[std::min(copy.size() * 99 / 100, copy.size() - 1)]));
}

// One plain read of the window, which the compiler vectorises: the least any answer
// that depends on every sample can cost.
PyObject* window_read_pass(PyObject*, PyObject*) {
    std::uint64_t total = 0;
    for (std::uint64_t sample : window) total += sample;
    return PyLong_FromUnsignedLongLong(total);
}

PyObject* window_sum_mean(PyObject*, PyObject*) {
    unsigned __int128 sum = 0;
    for (std::uint64_t sample : window) sum += sample;
    return PyFloat_FromDouble(static_cast<double>(sum) / static_cast<double>(window.size()));
}

PyMethodDef methods[] = {
    {"window_fill", window_fill, METH_O, nullptr},
    {"window_nth_element", window_nth_element, METH_NOARGS, nullptr},
    {"window_sort", window_sort, METH_NOARGS, nullptr},
    {"window_sum_mean", window_sum_mean, METH_NOARGS, nullptr},
    {"window_read_pass", window_read_pass, METH_NOARGS, nullptr},
    {"noop0", noop0, METH_NOARGS, nullptr},
    {"noop1", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop1)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"noop2", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop2)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"locked_ring1", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(locked_ring1)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"probe_loop", probe_loop, METH_NOARGS, nullptr},
    {"probe_listing_loop", probe_listing_loop, METH_NOARGS, nullptr},
    {"list_loop", list_loop, METH_NOARGS, nullptr},
    {"sampler_start", sampler_start, METH_O, nullptr},
    {"sampler_stop", sampler_stop_join, METH_NOARGS, nullptr},
    {"install_plain_handler", install_plain_handler, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_quillmere_floors", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__quillmere_floors() { return PyModule_Create(&module); }
