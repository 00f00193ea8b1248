// The one place where native work meets Ctrl-C and progress: long calls run on a runner thread
// while the interpreter's thread waits in short slices, so signals are handled promptly and the
// work is stopped through its parallel::Operation.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "bindings/classes.hpp"
#include "bindings/module.hpp"

namespace nubiro::py {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSlice = std::chrono::milliseconds(50);
// The progress hook hears of an operation only once it has run this long (1 s unless the hook
// was set with another delay).
constexpr auto kQuietStart = std::chrono::seconds(1);

// One piece of work handed to a runner; lives on the waiting thread's stack.
struct Task {
    Task(void (*call)(void*), void* context) : call(call), context(context) {}

    void (*call)(void*);
    void* context;
    parallel::Operation op;
    std::exception_ptr error;
    std::mutex mutex;
    std::condition_variable finished_cv;
    bool finished = false;

    void run() noexcept {
        {
            parallel::CurrentOperation scope(&op);
            try {
                call(context);
            } catch (...) {
                error = std::current_exception();
            }
        }
        std::lock_guard lock(mutex);
        finished = true;
        finished_cv.notify_one();
    }
};

// Idle runner threads are kept for the next call, so a short call costs a hand-over, not a
// thread start. There are as many runners as calls ever ran at the same time.
class Runner {
public:
    static void start(Task& task) {
        Runner* r = take_idle();
        if (!r) {
            r = new Runner;  // lives until the process ends, like the worker pool
            std::thread([r] { r->loop(); }).detach();
        }
        std::lock_guard lock(r->mutex_);
        r->task_ = &task;
        r->wake_.notify_one();
    }

private:
    void loop() {
        for (;;) {
            Task* task;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return task_ != nullptr; });
                task = std::exchange(task_, nullptr);
            }
            task->run();  // after this the task may be gone
            std::lock_guard lock(idle_mutex());
            idle().push_back(this);
        }
    }

    static Runner* take_idle() {
        std::lock_guard lock(idle_mutex());
        if (idle().empty()) return nullptr;
        Runner* r = idle().back();
        idle().pop_back();
        return r;
    }

    // The idle list, made afresh in a child process after fork(): the runners it named are
    // threads of the parent and do not exist there.
    struct Idle {
        std::mutex mutex;
        std::vector<Runner*> runners;
    };
    static Idle*& idle_state() {
        static Idle* state = [] {
            ::pthread_atfork(nullptr, nullptr, [] { idle_state() = new Idle; });
            return new Idle;
        }();
        return state;
    }
    static std::mutex& idle_mutex() { return idle_state()->mutex; }
    static std::vector<Runner*>& idle() { return idle_state()->runners; }

    std::mutex mutex_;
    std::condition_variable wake_;
    Task* task_ = nullptr;
};

PyObject* progress_hook = nullptr;  // a callable or nullptr; guarded by the interpreter lock
Clock::duration quiet_start = kQuietStart;

// progress_hook(stage, done, total, score, seconds, finished); false when it raised.
bool call_progress_hook(const parallel::Operation& op, Clock::time_point started, bool finished) {
    const parallel::Operation::Progress p = op.progress();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    Ref hook = Ref::borrow(progress_hook);  // the hook may replace itself
    Ref score = p.score == p.score ? Ref(PyFloat_FromDouble(p.score)) : Ref::borrow(Py_None);
    if (!score) return false;
    Ref result(PyObject_CallFunction(hook.get(), "sKKOdO", p.stage ? p.stage : "", static_cast<unsigned long long>(p.done),
                                     static_cast<unsigned long long>(p.total), score.get(), seconds,
                                     finished ? Py_True : Py_False));
    return static_cast<bool>(result);
}

}  // namespace

void run_released(void (*call)(void*), void* context) {
    Task task(call, context);
    const Clock::time_point started = Clock::now();
    bool hook_heard = false;
    bool python_error = false;
    PyThreadState* state = PyEval_SaveThread();
    Runner::start(task);
    for (;;) {
        {
            std::unique_lock lock(task.mutex);
            if (task.finished_cv.wait_for(lock, kSlice, [&] { return task.finished; })) break;
        }
        PyEval_RestoreThread(state);
        bool ok = PyErr_CheckSignals() == 0;
        if (ok && progress_hook && Clock::now() - started >= quiet_start) {
            ok = call_progress_hook(task.op, started, false);
            hook_heard = true;
        }
        state = PyEval_SaveThread();
        if (!ok) {
            python_error = true;
            task.op.cancel();
            std::unique_lock lock(task.mutex);
            task.finished_cv.wait(lock, [&] { return task.finished; });
            break;
        }
    }
    PyEval_RestoreThread(state);
    if (python_error) throw ErrorAlreadySet{};
    if (hook_heard && !task.error && !call_progress_hook(task.op, started, true)) throw ErrorAlreadySet{};
    if (task.error) std::rethrow_exception(task.error);
}

namespace {

PyObject* set_progress_hook(Args& a) {
    PyObject* hook = a.raw(0);
    const double after = a.get<double>(1, 1.0);
    if (hook != Py_None && !PyCallable_Check(hook)) raise(PyExc_TypeError, "the progress hook must be callable or None");
    if (!(after >= 0 && after <= 3600)) raise(PyExc_ValueError, "after must lie in [0, 3600] seconds");
    Py_XDECREF(progress_hook);
    progress_hook = hook == Py_None ? nullptr : Py_NewRef(hook);
    quiet_start = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(after));
    return none();
}

PyObject* cancel_running(Args&) {
    parallel::request_cancel();
    return none();
}

// Busy work of `seconds` in pool loops with no output, for tests of interruption.
PyObject* spin(Args& a) {
    const double seconds = a.get<double>(0);
    released([&] {
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < until) parallel::parallel_for(std::size_t{1} << 12, [](std::size_t) {
            volatile double x = 1.0;
            for (int k = 0; k < 200; ++k) x = x * 1.0000001;
        });
    });
    return none();
}

}  // namespace

void add_native_operations(PyObject* native) {
    add_functions(native, {
        function<"set_progress_hook(hook, after=1.0)", set_progress_hook>(),
        function<"cancel_running()", cancel_running>(),
        function<"spin(seconds)", spin>(),
    });
}

}  // namespace nubiro::py
