// Python module ovelin.algorithm.antiwindup: the anti-windup limiter block.

#include <nanobind/nanobind.h>

#include <optional>

#include "block_slots.hpp"
#include "conventions.hpp"
#include "fast_call.hpp"
#include "held_number.hpp"
#include "instance.hpp"
#include "ovelin/anti_windup.hpp"
#include "pickle.hpp"
#include "py_value.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;

namespace {

// The previous input and output, None until the first sample. The output is
// kept as computed: a limit object itself when a limit applied.
struct AntiWindupBlock {
    AntiWindupBlock(HeldNumber u0_, HeldNumber y0_) noexcept : u0(std::move(u0_)), y0(std::move(y0_)) {}
    AntiWindupBlock(AntiWindupBlock&&) noexcept = default;

    template <class Visit>
    void visit_references(Visit&& visit) const {
        u0.visit_references(visit);
        y0.visit_references(visit);
    }

    HeldNumber u0, y0;
};

// The default limits 100 and 0: the interpreter's shared small ints.
PyObject* default_high() noexcept {
    static PyObject* const hundred = PyLong_FromLong(100);
    return hundred;
}
PyObject* default_low() noexcept {
    static PyObject* const zero = PyLong_FromLong(0);
    return zero;
}

// A history value the double path can use: None, or a plain number.
bool usable(const HeldNumber& value) noexcept {
    return value.plain() || value.is_none();
}

std::optional<double> history(const HeldNumber& value) noexcept {
    if (value.is_none()) return std::nullopt;
    return value.value();
}

// --- The sample, through Python's number protocol ------------------------------

// The core's rule on the Python objects. Everything is computed before anything
// is stored, so limits that cannot be compared leave the history as it was.
[[gnu::noinline]] nb::object generic_step(AntiWindupBlock& block, double u, nb::handle hi, nb::handle lo) {
    const PyValue input{nb::float_(u)}, high{nb::borrow(hi)}, low{nb::borrow(lo)};
    const PyValue u0 = block.u0.is_none() ? input : PyValue(block.u0.get());
    const PyValue y0 = block.y0.is_none() ? ovelin::limit_reporting(input, low, high).value : PyValue(block.y0.get());
    nb::object y = ovelin::anti_windup_step(input, u0, y0, high, low).value.object();
    block.u0.compute(u);
    block.y0.hold(y);
    return y;
}

// --- Per-sample calls --------------------------------------------------------------

constexpr Signature<Float, Object, Object> kCall{"__call__", arg<Float>("u"), arg<Object>("HI", nullptr, "100"),
                                                 arg<Object>("LO", nullptr, "0")};
constexpr Signature<Float, Object, Object> kRun{"run", arg<Float>("u"), arg<Object>("HI", nullptr, "100"),
                                                arg<Object>("LO", nullptr, "0")};

// Flattened: the modules are built for size, but this is the per-sample path.
[[gnu::flatten]] nb::object step(AntiWindupBlock& block, double u, PyObject* hi, PyObject* lo) {
    if (hi == nullptr) hi = default_high();
    if (lo == nullptr) lo = default_low();
    // A NaN sample is skipped: not compared with the limits, not kept.
    if (u != u) return nb::float_(u);
    double high = 0.0, low = 0.0;
    if (!(plain_number(hi, high) && plain_number(lo, low) && usable(block.u0) && usable(block.y0)))
        return generic_step(block, u, hi, lo);

    ovelin::AntiWindupLimiter core(history(block.u0), history(block.y0));
    const ovelin::Limited y = core.step(u, high, low);
    if (y.bound == ovelin::Bound::none) {
        nb::object result = nb::float_(y.value);
        block.u0.compute(u);
        block.y0.compute(y.value);
        return result;
    }
    // A limit that applies is returned as the caller's object.
    const nb::handle limit = y.bound == ovelin::Bound::high ? hi : lo;
    block.u0.compute(u);
    block.y0.hold_plain(limit, y.value);
    return nb::borrow(limit);
}

constexpr const char* kCallDoc =
    "One sample: the previous output moved by the input's change since the previous call, limited to\n"
    "[LO, HI]. The limits are used as given, and a limit that applies is returned as it is.";
constexpr const char* kRunDoc =
    "One sample, the same as calling the limiter: the previous output moved by the input's change,\n"
    "limited to [LO, HI]. A limit that applies is returned as given.";

// --- Pickling ----------------------------------------------------------------------

constexpr std::size_t kStateFields = 2;

nb::tuple get_state(Self<AntiWindupBlock> self) {
    return pickled_state(self.py, self.block.u0.get(), self.block.y0.get());
}

// Both attributes take any object, as the caller may assign any.
AntiWindupBlock build_from_state(const StateReader& state) {
    return AntiWindupBlock(HeldNumber::given(state.object(0)), HeldNumber::given(state.object(1)));
}

}  // namespace

NB_MODULE(antiwindup, m) {
    register_error_translation();
    m.doc() = "Anti-windup limiter: applies the input's changes to the output and keeps it within limits.";

    auto cls = bind_class<AntiWindupBlock>(
        m, "AntiWindupLimter", nb::dynamic_attr(),
        BlockSlots<AntiWindupBlock>().call<kCall, step>(kCallDoc).method<kRun, step>(kRunDoc),
        "Anti-windup output limiter. Call it (or run) once per sample with u, HI=100, LO=0: the output\n"
        "moves by the input's change since the previous sample and stays within [LO, HI], so it leaves a\n"
        "limit as soon as the input turns back.");
    cls.def(
        "__init__",
        [](AntiWindupBlock* self) {
            new (self) AntiWindupBlock(HeldNumber::given(nb::none()), HeldNumber::given(nb::none()));
        },
        "A limiter without history: the first call starts it at its input.");
    def_value_member(cls, "_u0", "typing.Any", &AntiWindupBlock::u0);
    def_value_member(cls, "_y0", "typing.Any", &AntiWindupBlock::y0);
    def_pickle<AntiWindupBlock>(cls, "AntiWindupLimter", kStateFields, get_state, build_from_state);
}
