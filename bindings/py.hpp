// The few CPython idioms every binding file uses: owned references, raising, the one error
// mapping from C++ to Python, and the per-object access discipline.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/parallel.hpp"
#include "core/result.hpp"

namespace nubiro::py {

// Thrown after a Python exception has been set; the error mapping returns NULL for it.
struct ErrorAlreadySet {};

// Owned reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorAlreadySet{};
}
[[noreturn]] inline void raise_current() { throw ErrorAlreadySet{}; }

// Checks a new reference returned by the C API.
inline Ref check(PyObject* owned) {
    if (!owned) throw ErrorAlreadySet{};
    return Ref(owned);
}
inline void check(int status) {
    if (status < 0) throw ErrorAlreadySet{};
}

// Raises a core error value as the exception its kind maps to.
[[noreturn]] inline void raise(const Error& e) {
    raise(e.kind == ErrorKind::Value ? PyExc_ValueError : PyExc_RuntimeError, e.message);
}
template <class T>
T unwrap(Result<T>&& r) {
    if (!r) raise(r.error());
    return std::move(r.value());
}

std::string type_name(PyObject* o);  // the value's type __name__
std::string str(PyObject* o);         // str(o), never throws

// "'{type}' object cannot be converted to '{target}'"
[[noreturn]] void raise_cannot_convert(PyObject* value, std::string_view target);

PyObject* panic_exception();  // the process-wide PanicException class
void set_panic_exception(PyObject* cls);

// Runs a binding body under the one error mapping: ErrorAlreadySet -> NULL (error already
// set), any other C++ exception -> PanicException, so no fault ever ends the process.
template <class R, class F>
R guarded(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (const ErrorAlreadySet&) {
    } catch (const parallel::Cancelled&) {
        // Stopped by the cancellation hook (a signal sets its own exception before this).
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::exception& e) {
        PyErr_SetString(panic_exception(), e.what());
    } catch (...) {
        PyErr_SetString(panic_exception(), "unknown internal fault");
    }
    return failure;
}

// ---- access discipline ----------------------------------------------------------------
// Any number of readers or one writer; refusals are immediate, never waits.
class BorrowFlag {
public:
    bool try_read() {
        int s = state_.load(std::memory_order_relaxed);
        while (s >= 0)
            if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire)) return true;
        return false;
    }
    void end_read() { state_.fetch_sub(1, std::memory_order_release); }
    bool try_write() {
        int expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
    }
    void end_write() { state_.store(0, std::memory_order_release); }
    bool writing() const { return state_.load(std::memory_order_acquire) < 0; }

private:
    std::atomic<int> state_{0};
};

// Every object of ours starts with this header; `value` follows it (see Object<T>).
struct Header {
    PyObject ob_base;
    BorrowFlag flag;
};

template <class T>
struct Object {
    Header head;
    T value;
};

// The Python object an instance of ours is.
template <class T>
PyObject* object_of(Object<T>* o) {
    return &o->head.ob_base;
}

inline BorrowFlag& flag_of(PyObject* o) { return reinterpret_cast<Header*>(o)->flag; }

// Read (shared) or write (exclusive) access to one object for a scope; refused at once with
// the documented RuntimeError when another holder conflicts.
template <bool Write>
class Access {
public:
    Access() = default;
    explicit Access(PyObject* o) {
        if (!o) return;
        if (Write ? !flag_of(o).try_write() : !flag_of(o).try_read())
            raise(PyExc_RuntimeError, Write ? "Already borrowed" : "Already mutably borrowed");
        o_ = o;
    }
    // Access when it can be had at once; none otherwise (no error set).
    static std::optional<Access> attempt(PyObject* o) {
        if (Write ? !flag_of(o).try_write() : !flag_of(o).try_read()) return std::nullopt;
        Access a;
        a.o_ = o;
        return a;
    }
    Access(Access&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
    Access& operator=(Access&& other) noexcept {
        std::swap(o_, other.o_);
        return *this;
    }
    ~Access() {
        if (!o_) return;
        if constexpr (Write)
            flag_of(o_).end_write();
        else
            flag_of(o_).end_read();
    }

private:
    PyObject* o_ = nullptr;
};
using ReadAccess = Access<false>;
using WriteAccess = Access<true>;

// Read access for a short body that holds the interpreter lock while it reads the object and
// runs no Python code before it is done reading (making the result object afterwards is fine).
// Every access is taken under the lock, so no writer can begin during the read, and it is enough
// that none holds the object now. Refuses exactly as ReadAccess does, without the two atomic
// read-modify-writes of taking and returning a count, which are most of a quick query's cost.
class LockedRead {
public:
    explicit LockedRead(PyObject* o) {
        if (flag_of(o).writing()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    }
};

// Runs `work` as one cancellable operation with the interpreter lock released and returns its
// result. The work runs on a runner thread while the calling thread waits, taking the lock back
// every ~50 ms to run pending signal handlers (Ctrl-C) and the progress hook; if either raises,
// the operation is cancelled, its result dropped and that exception propagates. Work must not
// touch Python objects and must leave its inputs unchanged when it ends with Cancelled.
void run_released(void (*call)(void*), void* context);

template <class F>
auto released(F&& work) {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
        run_released([](void* c) { (*static_cast<std::remove_reference_t<F>*>(c))(); }, std::addressof(work));
    } else {
        std::optional<R> out;
        auto store = [&] { out.emplace(work()); };
        run_released([](void* c) { (*static_cast<decltype(store)*>(c))(); }, &store);
        return std::move(*out);
    }
}

// Releases the interpreter lock for a scope (short waits only: it cannot be interrupted).
class ReleaseGil {
public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

inline PyObject* none() { Py_RETURN_NONE; }
inline PyObject* boolean(bool b) { return PyBool_FromLong(b); }
inline PyObject* self_ref(PyObject* self) {
    Py_INCREF(self);
    return self;
}

}  // namespace nubiro::py
