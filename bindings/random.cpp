// utility.random: seeding the process-wide random engine.
#include "bindings/module.hpp"
#include "bindings/classes.hpp"
#include "core/random.hpp"

namespace nubiro::py {
namespace {

// The two's-complement bit pattern of the signed argument is the engine's 32-bit seed.
PyObject* seed(Args& a) {
    const std::int32_t value = a.get<std::int32_t>(0);
    random::seed(static_cast<std::uint32_t>(value));
    return none();
}

}  // namespace

void add_random(PyObject* random) { add_functions(random, {function<"seed(seed)", seed>()}); }

}  // namespace nubiro::py

namespace nubiro::py {
namespace {

// Test hooks: raw words, one range draw, and a failure while the engine lock is held.
PyObject* random_words(Args& a) {
    const std::int64_t n = a.get<std::int64_t>(0);
    Ref out = check(PyList_New(0));
    for (std::int64_t i = 0; i < n; ++i) check(PyList_Append(out.get(), check(PyLong_FromUnsignedLong(random::next_word())).get()));
    return out.release();
}

PyObject* random_uniform(Args& a) {
    const std::int64_t low = a.get<std::int32_t>(0), high = a.get<std::int32_t>(1);
    return PyLong_FromLongLong(random::uniform_int(random::int_range(low, high)));
}

PyObject* random_fault(Args&) {
    random::detail::with_engine_locked([](random::Mt19937&) { throw std::runtime_error("fault while drawing"); });
    return none();
}

}  // namespace

void add_random_hooks(PyObject* internal) {
    add_functions(internal, {function<"random_words(n)", random_words>(),
                             function<"random_uniform(low, high)", random_uniform>(),
                             function<"random_fault()", random_fault>()});
}

}  // namespace nubiro::py
