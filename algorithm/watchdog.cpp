// Python module ovelin.algorithm.watchdog: the watchdog counter block.

#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

#include "block_slots.hpp"
#include "conventions.hpp"
#include "fast_call.hpp"
#include "instance.hpp"
#include "ovelin/watchdog.hpp"
#include "pickle.hpp"
#include "py_value.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;

namespace {

// The count lives in the core while it is an int within 64 bits; any other
// value (a larger int, or whatever the caller stored) is kept as the object
// and counted on with Python's own arithmetic.
struct WatchDogBlock {
    WatchDogBlock() = default;
    WatchDogBlock(WatchDogBlock&&) noexcept = default;

    nb::object ticks() const {
        if (ticks_object.is_valid()) return ticks_object;
        return nb::steal(PyLong_FromLongLong(core.ticks()));
    }

    void set_ticks(nb::handle value) {
        int overflow = 1;  // stays set for anything but an int
        const long long count =
            PyLong_CheckExact(value.ptr()) ? PyLong_AsLongLongAndOverflow(value.ptr(), &overflow) : 0;
        if (overflow == 0) {
            core.set_ticks(count);
            ticks_object = nb::object();
        } else {
            ticks_object = nb::borrow(value);
        }
    }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(ticks_object);
    }

    ovelin::WatchDog core;
    nb::object ticks_object;  // set while the count is not in the core
};

// The default MaxOut 0: the interpreter's shared small int.
PyObject* default_max_out() noexcept {
    static PyObject* const zero = PyLong_FromLong(0);
    return zero;
}

// n = int(MaxOut + 1) where that is computed exactly in 64 bits: an int, or
// a float whose sum truncates to a 64-bit integer. Anything else: false.
bool plain_modulus(PyObject* max_out, std::int64_t& n) noexcept {
    if (PyLong_CheckExact(max_out)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(max_out, &overflow);
        if (overflow != 0 || value == std::numeric_limits<long long>::max()) return false;
        n = value + 1;
        return true;
    }
    if (PyFloat_CheckExact(max_out)) {
        const double sum = PyFloat_AS_DOUBLE(max_out) + 1.0;
        if (!(std::fabs(sum) < 0x1p63)) return false;  // NaN, infinite or too large: Python's int() decides
        n = static_cast<std::int64_t>(sum);            // truncates toward zero
        return true;
    }
    return false;
}

// --- The count, through Python's number protocol --------------------------------

nb::object python_int(const nb::object& value, PyObject* (*convert)(PyObject*)) {
    nb::object result = nb::steal(convert(value.ptr()));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

// The core's rule on the Python objects. The new count is stored as
// computed; a count that is no integer (the caller stored a float) is refused
// only after that, as the result.
nb::object generic_tick(WatchDogBlock& block, nb::handle max_out) {
    const PyValue n(python_int((PyValue(nb::borrow(max_out)) + PyValue(1)).object(), PyNumber_Long));
    const nb::object next = ovelin::next_count(PyValue(block.ticks()), n).object();
    block.set_ticks(next);
    return python_int(next, PyNumber_Index);
}

// --- Per-sample call -----------------------------------------------------------------

constexpr Signature<Object> kCall{"__call__", arg<Object>("MaxOut", nullptr, "0")};

nb::object tick(WatchDogBlock& block, PyObject* max_out) {
    if (max_out == nullptr) max_out = default_max_out();
    std::int64_t n = 0;
    if (block.ticks_object.is_valid() || !plain_modulus(max_out, n)) return generic_tick(block, max_out);
    const std::int64_t next = ovelin::next_count(block.core.ticks(), n);  // n == 0 is refused here
    nb::object result = nb::steal(PyLong_FromLongLong(next));
    if (!result.is_valid()) throw nb::python_error();
    block.core.set_ticks(next);
    return result;
}

constexpr const char* kCallDoc = "One tick: the count advanced by one, modulo MaxOut + 1, as an int.";

// --- Pickling --------------------------------------------------------------------------

constexpr std::size_t kStateFields = 1;

nb::tuple get_state(Self<WatchDogBlock> self) {
    return pickled_state(self.py, self.block.ticks());
}

// The count takes any object, as the caller may assign any.
WatchDogBlock build_from_state(const StateReader& state) {
    WatchDogBlock block;
    block.set_ticks(state.object(0));
    return block;
}

}  // namespace

NB_MODULE(watchdog, m) {
    register_error_translation();
    m.doc() = "Watchdog counter: a sign of life that increases cyclically with the number of calls.";

    auto cls = bind_class<WatchDogBlock>(
        m, "WatchDog", nb::dynamic_attr(), BlockSlots<WatchDogBlock>().call<kCall, tick>(kCallDoc),
        "Watchdog whose output increases cyclically with the number of calls: each call with MaxOut\n"
        "returns ticks = (ticks + 1) modulo int(MaxOut + 1), so 1, 2, ..., MaxOut, 0, 1, ...");
    cls.def("__init__", [](WatchDogBlock* self) { new (self) WatchDogBlock(); }, "A watchdog at count 0.");
    def_property(
        cls, "ticks", "typing.Any", [](const WatchDogBlock& block) { return block.ticks(); },
        [](WatchDogBlock& block, nb::handle value) { block.set_ticks(value); });
    def_pickle<WatchDogBlock>(cls, "WatchDog", kStateFields, get_state, build_from_state);
}
