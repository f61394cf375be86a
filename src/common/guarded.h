// A core whose calls may run with the interpreter lock released: Guarded is
// what Lifecycle<T> holds as T::Core for such a type (T::create adopts the
// core's record, T::destroy drops it). Every call on it takes a Hold, which
// lets one call at a time at the record; a call may then release the
// interpreter lock for its work. What a Hold counts is touched only under
// the interpreter lock, and the record goes with the last Hold: destroy()
// while another thread's call runs leaves the freeing to that call.
//
// A Hold must never be taken by code that runs while the same thread holds
// one (the lock is not recursive): a call converts its arguments, which may
// run Python code, before it takes its Hold, and under the Hold it creates
// no object the garbage collector tracks and drops no reference that could
// be the last. Its errors too wait until it is let go (Hold::fail): raising
// one creates the exception object, whose allocation may run a collection,
// and so a finalizer that calls the same object and would wait for ever.
#pragma once

#include <pthread.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

#include "common/python.h"

namespace qv {

// Counts the children made by fork() that this process is or descends from.
// A lock that a thread of the parent held at the fork stays held in the
// child, where that thread does not exist: a Guarded renews its lock when it
// finds the count changed.
inline uint64_t forks = 0;

inline uint64_t fork_generation() {
    static const bool counted = pthread_atfork(nullptr, nullptr, [] { ++forks; }) == 0;
    (void)counted;
    return forks;
}

// Runs f() with the interpreter lock released when `release` is true.
template <class F>
void maybe_without_interpreter_lock(bool release, F &&f) {
    if (!release) return f();
    Py_BEGIN_ALLOW_THREADS
    f();
    Py_END_ALLOW_THREADS
}

template <class C, void (*Destroy)(C *)>
class Guarded {
public:
    // The holder of a new record; null (the record freed) without memory, or
    // for a null record.
    static Guarded *adopt(C *core) {
        if (!core) return nullptr;
        auto *g = new (std::nothrow) Guarded(core);
        if (!g) Destroy(core);
        return g;
    }

    // Lifecycle's destroy; accepts null.
    static void drop(Guarded *g) {
        if (!g) return;
        g->dropped_ = true;
        if (g->users_ == 0) g->free();
    }

    // One call's hold on the record, taken under the interpreter lock. While
    // another call holds the record it waits, with the interpreter lock
    // released. A null holder (Lifecycle::live failed) holds nothing.
    class Hold {
    public:
        explicit Hold(Guarded *g) : g_(g) {
            if (!g_) return;
            g_->renew_after_fork();
            ++g_->users_;
            if (g_->lock_.try_lock()) return;
            Py_BEGIN_ALLOW_THREADS
            g_->lock_.lock();
            Py_END_ALLOW_THREADS
        }
        ~Hold() {
            if (g_) {
                g_->lock_.unlock();
                if (--g_->users_ == 0 && g_->dropped_) g_->free();
            }
            if (error_) PyErr_SetString(error_, message_);
        }
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;

        // The record, or null with the error to come: RuntimeError("destroyed")
        // when it was dropped while this hold waited (a null holder's error
        // is set already).
        C *core() {
            if (!g_) return nullptr;
            if (g_->dropped_) return fail(PyExc_RuntimeError, "destroyed");
            return g_->core_;
        }

        // The error this call ends with, raised once the hold is let go
        // (printf's format); null, to return.
        [[gnu::format(printf, 3, 4)]] std::nullptr_t fail(PyObject *type, const char *format, ...) {
            va_list args;
            va_start(args, format);
            PyOS_vsnprintf(message_, sizeof message_, format, args);
            va_end(args);
            error_ = type;
            return nullptr;
        }

    private:
        Guarded *g_;
        PyObject *error_ = nullptr;  // a borrowed exception type
        char message_[256];
    };

private:
    explicit Guarded(C *core) : core_(core), generation_(fork_generation()) {}

    void free() {
        Destroy(core_);
        delete this;
    }

    // In a child of fork(), the parent's calls are gone, whatever they held.
    void renew_after_fork() {
        const uint64_t now = fork_generation();
        if (generation_ == now) return;
        new (&lock_) std::mutex;
        users_ = 0;
        generation_ = now;
    }

    C *core_;
    std::mutex lock_;
    unsigned users_ = 0;    // Holds that hold or wait for lock_
    bool dropped_ = false;  // destroyed: the last Hold frees the record
    uint64_t generation_;
};

}  // namespace qv
