// Process-wide interpreter objects that are made once and then live until the process ends.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

#include "boundary/error.h"

namespace ipc_probe::py {

// The maker runs with the interpreter lock held and may let other threads run inside
// (creating a type can run Python code). A thread that finds the object being made waits
// without the interpreter lock, so the maker can take it back and finish; the lock order
// is always "this mutex, then the interpreter lock". A failed make leaves the cell empty
// and a later request tries again.
class OnceObject {
public:
    template <class Make>
    PyResult<PyObject*> get(Make&& make) {
        if (PyObject* ready = object_.load(std::memory_order_acquire)) return ready;
        PyThreadState* saved = PyEval_SaveThread();
        std::unique_lock lock(mutex_);
        PyEval_RestoreThread(saved);
        if (PyObject* ready = object_.load(std::memory_order_acquire)) return ready;
        PyResult<Ref> made = make();
        if (!made) return std::unexpected(std::move(made).error());
        PyObject* object = made->release();  // owned by the cell from now on
        object_.store(object, std::memory_order_release);
        return object;
    }

private:
    std::mutex mutex_;
    std::atomic<PyObject*> object_{nullptr};
};

}  // namespace ipc_probe::py
