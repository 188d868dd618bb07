// Python module ovelin.algorithm.testsignal: the random-width square-wave
// test signal.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <array>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "block_slots.hpp"
#include "conventions.hpp"
#include "fast_call.hpp"
#include "instance.hpp"
#include "ovelin/test_signal.hpp"
#include "parameters.hpp"
#include "pickle.hpp"
#include "py_value.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;

namespace {

constexpr std::size_t kTableSize = 10000;

bool exact_int64(PyObject* obj, std::int64_t& value) noexcept {
    if (!PyLong_CheckExact(obj)) return false;
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    return overflow == 0;
}

// The core holds the table, and the half period while _ET is an int it can
// use. _ET and _amp stay the objects stored, as the caller may set any; the
// signal is then computed with Python's own arithmetic.
struct TestSignalBlock {
    TestSignalBlock(ovelin::TestSignal core_, nb::handle et_, nb::handle amp_) : core(std::move(core_)) {
        set_et(et_);
        amp = nb::borrow(amp_);
    }
    TestSignalBlock(TestSignalBlock&&) noexcept = default;

    void set_et(nb::handle value) {
        std::int64_t et = 0;
        et_plain = exact_int64(value.ptr(), et) && et <= ovelin::kMaxHalfPeriod && et >= -ovelin::kMaxHalfPeriod;
        if (et_plain) core.set_half_period(et);
        this->et = nb::borrow(value);
    }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(et);
        visit(amp);
    }

    ovelin::TestSignal core;  // its amplitude is not used: the output is _amp itself
    nb::object et, amp;       // the attributes _ET and _amp
    bool et_plain = false;    // _ET is an int within the core's range, mirrored in it
};

// The table of switching fractions k/100, k drawn uniformly from 10..90 by a
// generator of this object's own (numpy.random.RandomState), so that no other
// user of NumPy's process-wide generator sees its state change. For a given
// seed it draws the same integers as the process-wide generator seeded alike.
std::vector<double> drawn_table(nb::handle seed) {
    const nb::object random = nb::module_::import_("numpy.random");
    const nb::object drawn = random.attr("RandomState")(seed).attr("randint")(10, 91, kTableSize);
    nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> values;
    if (!nb::try_cast(drawn, values, true) || values.shape(0) != kTableSize)
        throw nb::type_error("numpy.random did not draw 10000 integers");
    std::vector<double> table(kTableSize);
    for (std::size_t i = 0; i < kTableSize; ++i) table[i] = static_cast<double>(values.data()[i]) / 100.0;
    return table;
}

std::int64_t wall_clock_seconds() noexcept {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();  // truncated
}

nb::object negated(const nb::object& amp) {
    if (PyFloat_CheckExact(amp.ptr())) return nb::float_(-PyFloat_AS_DOUBLE(amp.ptr()));
    return -amp;
}

nb::object as_python(std::int64_t value) {
    return nb::int_(value);
}
nb::object as_python(const PyValue& value) {
    return value.object();
}

template <class Next>
nb::object signal_tuple(nb::object level, const std::array<Next, 5>& next) {
    return nb::make_tuple(std::move(level), as_python(next[0]), as_python(next[1]), as_python(next[2]),
                          as_python(next[3]), as_python(next[4]));
}

// --- The signal, through Python's number protocol -------------------------------

// The table entry for a period index computed by Python, looked up as a NumPy
// array looks up an element (an integer index, negative from the end).
double table_entry(const TestSignalBlock& block, const nb::object& index) {
    if (!PyIndex_Check(index.ptr())) {
        throw nb::index_error(
            "only integers, slices (`:`), ellipsis (`...`), numpy.newaxis (`None`) and integer or "
            "boolean arrays are valid indices");
    }
    Py_ssize_t i = PyNumber_AsSsize_t(index.ptr(), PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) throw nb::python_error();
    // Read only now: the index's __index__ may have replaced the table.
    const std::span<const double> table = block.core.table();
    const auto size = static_cast<Py_ssize_t>(table.size());
    if (i >= size || i < -size) {
        PyErr_Format(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd", i, size);
        throw nb::python_error();
    }
    return table[static_cast<std::size_t>(i < 0 ? i + size : i)];
}

nb::object truncated(const nb::object& value) {
    nb::object result = nb::steal(PyNumber_Long(value.ptr()));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

// int(ET), refused below 1: a half period of 0 divides by zero at every
// call, and a negative one gives no meaningful signal.
nb::object whole_half_period(nb::handle et) {
    nb::object whole = truncated(nb::borrow(et));
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(whole.ptr(), &overflow);
    if (overflow < 0 || (overflow == 0 && value < 1)) {
        PyErr_Format(PyExc_ValueError, "ET must be at least 1 second, not %S", whole.ptr());
        throw nb::python_error();
    }
    return whole;
}

// For a time that is not a 64-bit int or an _ET the core cannot use: the
// core's rule on the Python objects, so that larger ints count exactly and
// other times fail as Python's arithmetic and NumPy's indexing make them fail.
nb::object generic_call(const TestSignalBlock& block, nb::handle t) {
    const PyValue size(nb::int_(block.core.table().size()));
    const auto level =
        ovelin::level_at(PyValue(nb::borrow(t)), PyValue(block.et), size, [&](const PyValue& p, const PyValue& index) {
            const PyValue fraction(nb::float_(table_entry(block, index.object())));
            return PyValue(truncated((p * fraction).object()));
        });
    return signal_tuple(level.high ? block.amp : negated(block.amp), level.next);
}

// --- Per-sample call ----------------------------------------------------------------

constexpr Signature<Object> kCall{"__call__", arg<Object>("t", nullptr, "None")};

nb::object call_step(TestSignalBlock& block, PyObject* t) {
    std::int64_t time = 0;
    if (t == nullptr || t == Py_None)
        time = wall_clock_seconds();
    else if (!exact_int64(t, time))
        return generic_call(block, t);
    if (!block.et_plain) return generic_call(block, nb::int_(time));
    const ovelin::SignalLevel level = block.core.at(time);
    return signal_tuple(level.high ? block.amp : negated(block.amp), level.next);
}

constexpr const char* kCallDoc =
    "The signal at time t in whole seconds (None: now): a tuple of the current value and the\n"
    "next five.";

// --- Pickling ------------------------------------------------------------------------

// The table travels as little-endian float64 bytes: compact, and one item.
nb::bytes table_bytes(std::span<const double> table) {
    std::vector<char> bytes(table.size() * 8);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto bits = std::bit_cast<std::uint64_t>(table[i]);
        for (std::size_t b = 0; b < 8; ++b) bytes[8 * i + b] = static_cast<char>((bits >> (8 * b)) & 0xFF);
    }
    return nb::bytes(bytes.data(), bytes.size());
}

std::vector<double> table_from_bytes(const StateReader& state, std::size_t i) {
    const nb::handle item = state.object(i);
    if (!PyBytes_CheckExact(item.ptr()))
        state.fail(PyExc_TypeError, "field '_rand_arr' must be bytes, not '%s'", Py_TYPE(item.ptr())->tp_name);
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(item.ptr()));
    if (size % 8 != 0) state.fail(PyExc_ValueError, "field '_rand_arr' must hold whole float64 values");
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(item.ptr()));
    std::vector<double> table(size / 8);
    for (std::size_t k = 0; k < table.size(); ++k) {
        std::uint64_t bits = 0;
        for (std::size_t b = 0; b < 8; ++b) bits |= std::uint64_t{data[8 * k + b]} << (8 * b);
        table[k] = std::bit_cast<double>(bits);
    }
    return table;
}

constexpr std::size_t kStateFields = 3;

nb::tuple get_state(Self<TestSignalBlock> self) {
    const TestSignalBlock& block = self.block;
    return pickled_state(self.py, table_bytes(block.core.table()), block.et, block.amp);
}

TestSignalBlock build_from_state(const StateReader& state) {
    std::vector<double> table = table_from_bytes(state, 0);
    ovelin::TestSignal core = state.validated("_rand_arr", [&] { return ovelin::TestSignal(std::move(table)); });
    // _ET and _amp take any object, as the caller may assign any.
    return TestSignalBlock(std::move(core), state.object(1), state.object(2));
}

}  // namespace

NB_MODULE(testsignal, m) {
    register_error_translation();
    m.doc() = "Random-width square-wave test signal.";

    auto cls = bind_class<TestSignalBlock>(
        m, "TestSignal", nb::dynamic_attr(), BlockSlots<TestSignalBlock>().call<kCall, call_step>(kCallDoc),
        "Two-level test signal: a square wave of period 2*ET seconds whose switching instant inside each\n"
        "period is drawn at random at construction. Calling it with the time t in whole seconds (None: the\n"
        "wall clock) returns (U, next1, ..., next5): the output +amp or -amp and the seconds until the\n"
        "next five level changes. SEED makes the drawn table repeatable.");
    def_init(
        cls,
        [](nb::handle SEED) {
            ovelin::TestSignal core(drawn_table(SEED));
            return TestSignalBlock(std::move(core), nb::int_(10), nb::float_(1.0));
        },
        Parameters("None", parameter("SEED: int | None", nb::none())),
        "A test signal whose random sequence is seeded with SEED (None: from the operating system).");

    def_method(cls, "get_ET", [](const TestSignalBlock& block) { return block.et; }, "The half period in seconds.");
    def_method(
        cls, "set_ET", [](TestSignalBlock& block, nb::handle ET) { block.set_et(whole_half_period(ET)); },
        Parameters("None", parameter("ET: float", 10)), "Sets the half period to int(ET) seconds.");
    def_method(cls, "get_amplitude", [](const TestSignalBlock& block) { return block.amp; }, "The amplitude.");
    def_method(
        cls, "set_amplitude",
        [](TestSignalBlock& block, nb::handle amp) {
            block.amp = nb::handle(amp) > nb::float_(0.0) ? nb::borrow(amp) : nb::object(nb::float_(0.0));
        },
        Parameters("None", parameter("amp: float", 1.0)),
        "Sets the amplitude; zero, negative and NaN amplitudes become 0.0.");

    def_property(
        cls, "_ET", "typing.Any", [](const TestSignalBlock& block) { return block.et; },
        [](TestSignalBlock& block, nb::handle value) { block.set_et(value); });
    def_property(
        cls, "_amp", "typing.Any", [](const TestSignalBlock& block) { return block.amp; },
        [](TestSignalBlock& block, nb::handle value) { block.amp = nb::borrow(value); });
    def_property(
        cls, "_rand_arr", "numpy.ndarray", [](const TestSignalBlock& block) { return to_numpy(block.core.table()); },
        [](TestSignalBlock& block, nb::handle value) { block.core.set_table(as_float64_vector(value)); });
    def_pickle<TestSignalBlock>(cls, "TestSignal", kStateFields, get_state, build_from_state);
}
