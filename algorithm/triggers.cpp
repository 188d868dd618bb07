// Python module ovelin.algorithm.triggers: a set/reset flip-flop and on- and
// off-delay timers, in the pin style. Time is counted in calls.
//
// Each call reads its pins, decides, pushes the new sample into the block's
// history and only then writes the output pins, so an input that is refused
// (one the history array cannot hold, a delay that cannot be compared) leaves
// the block as it was. The per-sample case (plain numbers in the block's own
// arrays) runs in C++ alone; anything else is evaluated on the Python objects,
// by the same rules.

#include <nanobind/nanobind.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "errors.hpp"
#include "fast_call.hpp"
#include "history_array.hpp"
#include "instance.hpp"
#include "ovelin/shift_register.hpp"
#include "ovelin/triggers.hpp"
#include "pin_block.hpp"
#include "py_value.hpp"
#include "shared_helpers.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;

namespace {

enum FlipFlopPin : std::size_t { S, R, Q, nQ };
enum TimerPin : std::size_t { Ut, DT, ET, Yt };
PinSet<4> flip_flop_pins{{"S", "R", "Q", "nQ"}};
PinSet<4> on_delay_pins{{"Ut", "DT", "ET", "Yt"}};
PinSet<4> off_delay_pins{{"Ut", "DT", "ET", "Yt"}};

struct FlipFlop : HistoryBlock {
    using HistoryBlock::HistoryBlock;
};
struct OnDelayTimer : HistoryBlock {
    using HistoryBlock::HistoryBlock;
    static constexpr bool on_delay = true;
};
struct OffDelayTimer : HistoryBlock {
    using HistoryBlock::HistoryBlock;
    static constexpr bool on_delay = false;
};

nb::object small_int(long value) {
    return nb::steal(PyLong_FromLong(value));
}

// --- RStrigger -----------------------------------------------------------------

void flip_flop_call(Self<FlipFlop> self) {
    const bool set = truth(flip_flop_pins.read(self.py, S));
    const bool reset = truth(flip_flop_pins.read(self.py, R));
    const std::optional<bool> decided = ovelin::set_reset(set, reset);
    const nb::object history = self.block.history;  // held: writing a pin may replace it

    bool q = false;
    const bool pushed = with_elements<std::uint8_t>(history, [&](std::span<std::uint8_t> held) noexcept {
        if (held.empty()) return false;
        q = decided.value_or(held[0] != 0);
        ovelin::push_newest(held, static_cast<std::uint8_t>(q));
        return true;
    });
    if (pushed) {
        flip_flop_pins.update(self.py, Q, nb::bool_(q));
        flip_flop_pins.update(self.py, nQ, nb::bool_(!q));
        return;
    }
    // Another sequence: holding keeps the element it holds, as it is.
    const nb::object state = decided ? nb::object(nb::bool_(*decided)) : element(history, 0);
    const nb::object stored = stored_form(history, state);
    const bool negated = !truth(state);
    data_store(history, stored);
    flip_flop_pins.update(self.py, Q, state);
    flip_flop_pins.update(self.py, nQ, nb::bool_(negated));
}

// --- TONtrigger, TOFFtrigger ---------------------------------------------------

// A count the C++ rules can take: an exact int whose predecessor is an int64.
std::optional<std::int64_t> plain_count(nb::handle value) {
    if (!PyLong_CheckExact(value.ptr())) return std::nullopt;
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || count == std::numeric_limits<long long>::min()) return std::nullopt;
    return count;
}

// The timer's output for what is left to count: an on-delay output comes on
// when nothing is left, an off-delay output stays on while something is.
template <bool OnDelay>
long timer_output(bool counting) {
    return OnDelay ? !counting : counting;
}

template <bool OnDelay, class V>
ovelin::Countdown<V> timer_count(const V& now, const V& before, const V& delay, V left) {
    if constexpr (OnDelay)
        return ovelin::on_delay_count(now, before, delay, std::move(left));
    else
        return ovelin::off_delay_count(now, before, delay, std::move(left));
}

template <class Block>
void timer_call(Self<Block> self) {
    constexpr bool OnDelay = Block::on_delay;
    PinSet<4>& pins = OnDelay ? on_delay_pins : off_delay_pins;
    const nb::object ut = pins.read(self.py, Ut);
    const nb::object delay = pins.read(self.py, DT);
    const nb::object left = pins.read(self.py, ET);
    const nb::object history = self.block.history;  // held: writing a pin may replace it

    std::optional<std::int64_t> now = plain_number<std::int64_t>(ut.ptr());
    if (!now && is_writable_array_of<std::int64_t>(history)) now = numpy_converted<std::int64_t>(ut);
    const std::optional<std::int64_t> dt = plain_count(delay), et = plain_count(left);
    if (now && dt && et) {
        ovelin::Countdown<std::int64_t> step{};
        const bool pushed = with_elements<std::int64_t>(history, [&](std::span<std::int64_t> held) noexcept {
            if (held.size() < 2) return false;
            step = timer_count<OnDelay>(*now, held[0], *dt, *et);
            ovelin::push_newest(held, *now);
            return true;
        });
        if (pushed) {
            if (step.assigned) pins.update(self.py, ET, nb::int_(step.left));
            pins.update(self.py, Yt, small_int(timer_output<OnDelay>(step.left > 0)));
            return;
        }
    }
    // The same rules on the Python objects: the input as the history will hold
    // it, and the one before it, which a history shorter than two lacks.
    const nb::object stored = stored_form(history, ut);
    element(history, 1);
    const PyValue before(element(history, 0));
    const auto step = timer_count<OnDelay>(PyValue(stored), before, PyValue(delay), PyValue(left));
    const long output = timer_output<OnDelay>(step.left > 0);
    data_store(history, stored);
    if (step.assigned) pins.update(self.py, ET, step.left.object());
    pins.update(self.py, Yt, small_int(output));
}

// --- Classes ---------------------------------------------------------------------

constexpr Signature<> kCall{"call"};
constexpr const char* kCallDoc = "One sample: reads the input pins and writes the output pins.";

nb::object new_input_history() {
    return numpy_zeros(2, Element<std::int64_t>::dtype);
}
nb::object new_state_history() {
    return numpy_zeros(1, Element<std::uint8_t>::dtype);
}

template <class Block>
void bind_timer(nb::module_& m, const char* name, PinSet<4>& pins, const char* doc) {
    auto slots = BlockSlots<Block>().template method<kCall, timer_call<Block>>(kCallDoc);
    bind_pin_block<Block>(m, name, std::move(slots), doc, "Ut_array", new_input_history, pins,
                          {small_int(0), small_int(3), small_int(0), small_int(0)});
}

}  // namespace

NB_MODULE(triggers, m) {
    register_error_translation();
    m.doc() = "Set/reset flip-flop and on- and off-delay timers, counted in calls.";

    bind_pin_block<FlipFlop>(m, "RStrigger", BlockSlots<FlipFlop>().method<kCall, flip_flop_call>(kCallDoc),
                             "Set/reset flip-flop in which reset wins.\n\n"
                             "Write the pins S and R, call call(), read Q and nQ. Q_array holds the previous Q.",
                             "Q_array", new_state_history, flip_flop_pins,
                             {small_int(0), small_int(0), nb::bool_(false), nb::bool_(true)});
    bind_timer<OnDelayTimer>(m, "TONtrigger", on_delay_pins,
                             "On-delay timer: Yt follows the input's switching on after DT calls, its switching "
                             "off at once.\n\n"
                             "Write Ut (and DT), call call(), read Yt. ET counts down the calls still to wait; "
                             "Ut_array holds [current, previous] input.");
    bind_timer<OffDelayTimer>(m, "TOFFtrigger", off_delay_pins,
                              "Off-delay timer: Yt follows the input's switching on at once, its switching off "
                              "after DT calls.\n\n"
                              "Write Ut (and DT), call call(), read Yt. ET counts down the calls still to wait; "
                              "Ut_array holds [current, previous] input.");
}
