// Python module ovelin.algorithm.ratelimit: the rate limiter block.

#include <nanobind/nanobind.h>

#include "block_slots.hpp"
#include "conventions.hpp"
#include "fast_call.hpp"
#include "held_number.hpp"
#include "instance.hpp"
#include "ovelin/rate_limit.hpp"
#include "parameters.hpp"
#include "pickle.hpp"
#include "py_value.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;

namespace {

// The target and the rates are used as given, so the output follows Python's
// arithmetic for whatever numbers the caller passes; the previous output is
// kept as computed (the target object itself when it was reached).
struct RateLimitBlock {
    RateLimitBlock(HeldNumber u_last_, HeldNumber ts_) noexcept : u_last(std::move(u_last_)), ts(std::move(ts_)) {}
    RateLimitBlock(RateLimitBlock&&) noexcept = default;

    template <class Visit>
    void visit_references(Visit&& visit) const {
        u_last.visit_references(visit);
        ts.visit_references(visit);
    }

    HeldNumber u_last;
    HeldNumber ts;  // the attribute Ts, as the caller gave it
};

// The default rate, 60 per minute: the interpreter's shared small int.
PyObject* default_rate() noexcept {
    static PyObject* const sixty = PyLong_FromLong(60);
    return sixty;
}

// --- The sample, through Python's number protocol ------------------------------

nb::object as_float(const nb::object& value) {
    nb::object result = nb::steal(PyNumber_Float(value.ptr()));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

// The core's rule on the Python objects. Everything is computed before anything
// is stored: a refused input (a rate of None, a target that is no number)
// leaves the block as it was.
[[gnu::noinline]] nb::object generic_step(RateLimitBlock& block, nb::handle u_end, nb::handle rise_rate,
                                          nb::handle fall_rate) {
    const PyValue last{block.u_last.get()}, ts{block.ts.get()}, target{nb::borrow(u_end)};
    const PyValue rise = ovelin::change_per_sample(PyValue(nb::borrow(rise_rate)), ts);
    const PyValue fall = fall_rate.is_none() ? -rise : -ovelin::change_per_sample(PyValue(nb::borrow(fall_rate)), ts);
    const nb::object output = ovelin::rate_step(last, target, rise, fall).output.object();
    nb::object result = as_float(output);
    block.u_last.hold(output);
    return result;
}

// --- Per-sample call -------------------------------------------------------------

constexpr Signature<Object, Object, Object> kCall{"__call__", arg<Object>("u_end"),
                                                  arg<Object>("PRLimPerMin", nullptr, "60"),
                                                  arg<Object>("NRLimPerMin", nullptr, "None")};

// Flattened: the modules are built for size, but this is the per-sample path.
[[gnu::flatten]] nb::object call_step(RateLimitBlock& block, PyObject* u_end, PyObject* rise_rate,
                                      PyObject* fall_rate) {
    if (rise_rate == nullptr) rise_rate = default_rate();
    if (fall_rate == nullptr) fall_rate = Py_None;
    double target = 0.0, rise_per_minute = 0.0, fall_per_minute = 0.0;
    const bool plain = block.u_last.plain() && block.ts.plain() && plain_number(u_end, target) &&
                       plain_number(rise_rate, rise_per_minute) &&
                       (fall_rate == Py_None || plain_number(fall_rate, fall_per_minute));
    if (!plain) return generic_step(block, u_end, rise_rate, fall_rate);

    const double ts = block.ts.value();
    const double rise = ovelin::change_per_sample(rise_per_minute, ts);
    const double fall = -(fall_rate == Py_None ? rise : ovelin::change_per_sample(fall_per_minute, ts));
    const ovelin::RateStep step = ovelin::rate_step(block.u_last.value(), target, rise, fall);
    nb::object result = nb::float_(step.output);
    if (step.limited)
        block.u_last.compute(step.output);
    else
        block.u_last.hold_plain(u_end, target);
    return result;
}

constexpr const char* kCallDoc =
    "One sample: the output moved from the previous one toward u_end by at most PRLimPerMin per\n"
    "minute upward and the magnitude of NRLimPerMin downward (None: the same as PRLimPerMin).";

// --- Pickling --------------------------------------------------------------------

constexpr std::size_t kStateFields = 2;

nb::tuple get_state(Self<RateLimitBlock> self) {
    return pickled_state(self.py, self.block.u_last.get(), self.block.ts.get());
}

// Both attributes take any object, as the caller may assign any.
RateLimitBlock build_from_state(const StateReader& state) {
    return RateLimitBlock(HeldNumber::given(state.object(0)), HeldNumber::given(state.object(1)));
}

}  // namespace

NB_MODULE(ratelimit, m) {
    register_error_translation();
    m.doc() = "Rate limiter: the output follows a target no faster than a rise and a fall limit per minute.";

    auto cls = bind_class<RateLimitBlock>(
        m, "RateLimit", nb::dynamic_attr(), BlockSlots<RateLimitBlock>().call<kCall, call_step>(kCallDoc),
        "Rate limiter. Call it once per sample: RateLimit(u_ini, Ts)(u_end, PRLimPerMin=60, NRLimPerMin=None)\n"
        "returns the output, which moves toward u_end by at most |PRLimPerMin|/60*Ts per sample when\n"
        "rising and |NRLimPerMin|/60*Ts when falling (NRLimPerMin None: the same as PRLimPerMin).");
    def_init(
        cls,
        [](nb::handle u_ini, nb::handle Ts) {
            return RateLimitBlock(HeldNumber::computed(as_double(u_ini)), HeldNumber::given(Ts));
        },
        Parameters("None", parameter("u_ini: float"), parameter("Ts: float", 1)),
        "A rate limiter whose output starts at u_ini, called every Ts seconds.");

    def_method(
        cls, "reset", [](RateLimitBlock& block, nb::handle u_ini) { block.u_last.compute(as_double(u_ini)); },
        Parameters("None", parameter("u_ini: float")), "Restarts the output from u_ini.");
    def_value_member(cls, "u_last", "typing.Any", &RateLimitBlock::u_last);
    def_value_member(cls, "Ts", "typing.Any", &RateLimitBlock::ts);
    def_pickle<RateLimitBlock>(cls, "RateLimit", kStateFields, get_state, build_from_state);
}
