// Python module ovelin.algorithm.delay: pure dead time of a whole number of
// samples, as a callable block (Delay) and in the pin style (Delay_Algorithm).
// Both take the signal as constant at its first value before the first sample.

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "errors.hpp"
#include "fast_call.hpp"
#include "history_array.hpp"
#include "instance.hpp"
#include "ovelin/error.hpp"
#include "ovelin/memory.hpp"
#include "ovelin/shift_register.hpp"
#include "parameters.hpp"
#include "pickle.hpp"
#include "pin_block.hpp"
#include "shared_helpers.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;

namespace {

// --- Delay -------------------------------------------------------------------

// The caller's objects, newest first, in a ring: empty until the first sample
// fills it, full ever after. No allocation per sample.
class ObjectHistory {
public:
    bool empty() const noexcept { return slots_.empty(); }
    std::size_t size() const noexcept { return slots_.size(); }

    void fill(nb::handle value, std::size_t count) {
        ovelin::require_memory(count, sizeof(nb::object), "the history of max_cache samples");
        slots_.assign(count, nb::borrow(value));
        newest_ = 0;
    }

    // Stores `value` as the newest sample and hands back the oldest, which
    // fell out; the caller releases it once the block is consistent again
    // (releasing it may run Python code). An empty history keeps nothing.
    nb::object push(nb::handle value) {
        if (slots_.empty()) return nb::borrow(value);
        newest_ = (newest_ == 0 ? slots_.size() : newest_) - 1;
        nb::object dropped = std::move(slots_[newest_]);
        slots_[newest_] = nb::borrow(value);
        return dropped;
    }

    // The sample `age` calls old (0 is the newest); age < size().
    const nb::object& at(std::size_t age) const noexcept {
        std::size_t i = newest_ + age;
        if (i >= slots_.size()) i -= slots_.size();
        return slots_[i];
    }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        for (const nb::object& held : slots_) visit(held);
    }

private:
    std::vector<nb::object> slots_;
    std::size_t newest_ = 0;
};

struct DelayBlock {
    explicit DelayBlock(std::optional<std::size_t> maxlen_) noexcept : maxlen(maxlen_) {}
    DelayBlock(DelayBlock&&) noexcept = default;

    template <class Visit>
    void visit_references(Visit&& visit) const {
        history.visit_references(visit);
    }

    std::optional<std::size_t> maxlen;  // none: unbounded, which no first sample can fill
    ObjectHistory history;
};

// max_cache: None or an integer of 0 or more, refused as a bounded queue
// refuses its length.
std::optional<std::size_t> history_length(nb::handle max_cache) {
    if (max_cache.is_none()) return std::nullopt;
    const nb::object index = nb::steal(PyNumber_Index(max_cache.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    const Py_ssize_t length = PyLong_AsSsize_t(index.ptr());
    if (length == -1 && PyErr_Occurred()) throw nb::python_error();
    if (length < 0) throw nb::value_error("maxlen must be non-negative");
    return static_cast<std::size_t>(length);
}

DelayBlock delay_init(nb::handle max_cache) {
    return DelayBlock(history_length(max_cache));
}

// The delay of one call: any integer (an object with __index__), converted
// before anything changes; the range is checked after the sample is pushed.
struct LagValue {
    PyObject* given;  // borrowed for the call; null for the default
    long long value;
    bool fits;  // within long long
};

struct Lag {
    using value_type = LagValue;
    static bool convert(PyObject* obj, LagValue& out, const char*) noexcept {
        const nb::object index = nb::steal(PyNumber_Index(obj));
        if (!index.is_valid()) return false;
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        out = LagValue{obj, value, overflow == 0};
        return true;
    }
};

[[noreturn]] void raise_lag_out_of_range(std::size_t maxlen, const LagValue& lag) {
    const nb::object shown = lag.given != nullptr ? nb::borrow(lag.given) : nb::object(nb::int_(lag.value));
    PyErr_Format(PyExc_ValueError, "nLag must be between 0 and %zd, but got %S.", static_cast<Py_ssize_t>(maxlen) - 1,
                 shown.ptr());
    throw nb::python_error();
}

constexpr Signature<Object, Lag> kDelayCall{"__call__", arg<Object>("Ut"),
                                            arg<Lag>("nLag", LagValue{nullptr, 1, true}, "1")};

nb::object delay_step(DelayBlock& block, PyObject* ut, const LagValue& lag) {
    if (block.history.empty()) {
        if (ut == Py_None) throw nb::value_error("Ut is None and cache is empty.");
        if (!block.maxlen) throw nb::type_error("can't multiply sequence by non-int of type 'NoneType'");
        block.history.fill(ut, *block.maxlen);
    }
    const nb::object dropped = block.history.push(ut);
    const std::size_t maxlen = block.maxlen.value_or(0);  // a filled history is always bounded
    if (lag.fits && lag.value >= 0 && static_cast<unsigned long long>(lag.value) < maxlen)
        return block.history.at(static_cast<std::size_t>(lag.value));
    raise_lag_out_of_range(maxlen, lag);
}

nb::object cache_snapshot(const DelayBlock& block) {
    const nb::object items = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(block.history.size())));
    if (!items.is_valid()) throw nb::python_error();
    for (std::size_t age = 0; age < block.history.size(); ++age)
        PyTuple_SET_ITEM(items.ptr(), static_cast<Py_ssize_t>(age), block.history.at(age).inc_ref().ptr());
    const nb::object maxlen = block.maxlen ? nb::object(nb::int_(*block.maxlen)) : nb::none();
    return nb::module_::import_("collections").attr("deque")(items, maxlen);
}

// Pickled as (format, maxlen or None, samples newest first, instance dict).
constexpr std::size_t kDelayFields = 2;

nb::tuple delay_get_state(Self<DelayBlock> self) {
    const DelayBlock& block = self.block;
    nb::list samples;
    for (std::size_t age = 0; age < block.history.size(); ++age) samples.append(block.history.at(age));
    const nb::object maxlen = block.maxlen ? nb::object(nb::int_(*block.maxlen)) : nb::none();
    return pickled_state(self.py, maxlen, nb::tuple(samples));
}

DelayBlock delay_build(const StateReader& state) {
    const nb::handle maxlen = state.object(0), samples = state.object(1);
    std::optional<std::size_t> length;
    if (!maxlen.is_none()) {
        if (!PyLong_CheckExact(maxlen.ptr())) state.fail(PyExc_TypeError, "field 'maxlen' must be None or an int");
        const Py_ssize_t value = PyLong_AsSsize_t(maxlen.ptr());
        if (value < 0) {
            PyErr_Clear();
            state.fail(PyExc_ValueError, "field 'maxlen' must be None or an int of 0 or more");
        }
        length = static_cast<std::size_t>(value);
    }
    if (!PyTuple_CheckExact(samples.ptr())) state.fail(PyExc_TypeError, "field 'samples' must be a tuple");
    const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(samples.ptr()));
    if (count != 0 && count != length)
        state.fail(PyExc_ValueError, "field 'samples' must be empty or hold maxlen samples");
    DelayBlock block(length);
    if (count != 0) {
        // Filled oldest first, each pushed in front of the ones before it.
        block.history.fill(PyTuple_GET_ITEM(samples.ptr(), count - 1), count);
        for (std::size_t k = count - 1; k-- > 0;) block.history.push(PyTuple_GET_ITEM(samples.ptr(), k));
    }
    return block;
}

constexpr const char* kDelayCallDoc =
    "One sample: stores Ut and returns the sample nLag calls old; before the first sample the\n"
    "signal counts as constant at its first value.";

// --- Delay_Algorithm -------------------------------------------------------------

struct PinDelay : HistoryBlock {
    using HistoryBlock::HistoryBlock;
};

enum Pin : std::size_t { Ut, nLag, Yt };
PinSet<3> pins{{"Ut", "nLag", "Yt"}};

// The nLag pin: an integer of 0 or more, refused before anything changes.
std::size_t lag_of(nb::handle pin) {
    const nb::object index = nb::steal(PyNumber_Index(pin.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long lag = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (lag == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && lag < 0)) {
        PyErr_Format(PyExc_ValueError, "nLag must be 0 or more, but got %S.", index.ptr());
        throw nb::python_error();
    }
    // A history of lag + 1 float64 samples must be addressable.
    if (overflow > 0 || static_cast<unsigned long long>(lag) >= PY_SSIZE_T_MAX / sizeof(double))
        throw ovelin::Error(ovelin::Errc::size_too_large, "the delay is too long to hold its history");
    return static_cast<std::size_t>(lag);
}

// A history too short for the delay (or still empty) is replaced by a longer
// float64 array: the old samples, then copies of the oldest, with the new
// sample pushed in front. The old array itself is left as it was.
nb::object lengthened(nb::handle history, std::size_t old_size, std::size_t lag, double sample, double& output) {
    const std::size_t size = std::max<std::size_t>({old_size, 1, lag + 1});
    ovelin::require_memory(size, sizeof(double), "the history of nLag + 1 samples");
    const nb::object grown = numpy_empty(static_cast<Py_ssize_t>(size), Element<double>::dtype);
    if (old_size > 0) {
        // NumPy's conversion of the old samples (any sequence the caller assigned).
        const nb::object old_part = nb::steal(PySlice_New(nb::int_(1).ptr(), nb::int_(old_size + 1).ptr(), nullptr));
        if (!old_part.is_valid() || PyObject_SetItem(grown.ptr(), old_part.ptr(), history.ptr()) != 0)
            throw nb::python_error();
    }
    const bool filled = with_elements<double>(grown, [&](std::span<double> held) noexcept {
        held[0] = sample;
        const double oldest = old_size > 0 ? held[old_size] : sample;
        std::fill(held.begin() + static_cast<std::ptrdiff_t>(old_size) + 1, held.end(), oldest);
        output = held[lag];
        return true;
    });
    if (!filled) throw nb::type_error("numpy.empty did not return a writable float64 array");
    return grown;
}

void delay_algorithm_call(Self<PinDelay> self) {
    const nb::object ut = pins.read(self.py, Ut);
    const std::size_t lag = lag_of(pins.read(self.py, nLag));
    const nb::object history = self.block.history;  // held: writing a pin may replace it

    std::optional<double> sample = plain_number<double>(ut.ptr());
    if (!sample && is_writable_array_of<double>(history)) sample = numpy_converted<double>(ut);
    if (sample) {
        double output = 0.0;
        const bool pushed = with_elements<double>(history, [&](std::span<double> held) noexcept {
            if (held.size() <= lag) return false;
            ovelin::push_newest(held, *sample);
            output = held[lag];
            return true;
        });
        if (pushed) {
            pins.write(self.py, Yt, nb::float_(output));
            return;
        }
    }
    const Py_ssize_t size = PyObject_Size(history.ptr());
    if (size < 0) throw nb::python_error();
    if (size == 0 || lag >= static_cast<std::size_t>(size)) {
        double output = 0.0;
        const double value = sample ? *sample : numpy_converted<double>(ut);
        self.block.history = lengthened(history, static_cast<std::size_t>(size), lag, value, output);
        pins.write(self.py, Yt, nb::float_(output));
        return;
    }
    // Another sequence long enough: pushed and read through its own operations.
    data_store(history, stored_form(history, ut));
    pins.write(self.py, Yt, element(history, static_cast<Py_ssize_t>(lag)));
}

constexpr Signature<> kCall{"call"};

constexpr const char* kCallDoc = "One sample: pushes Ut into U_array and sets Yt to the sample nLag calls old.";

nb::object new_sample_history() {
    return numpy_zeros(0, Element<double>::dtype);
}

}  // namespace

NB_MODULE(delay, m) {
    register_error_translation();
    m.doc() = "Dead time of a whole number of samples: Delay (callable) and Delay_Algorithm (pin style).";

    auto cls = bind_class<DelayBlock>(m, "Delay", nb::dynamic_attr(),
                                      BlockSlots<DelayBlock>().call<kDelayCall, delay_step>(kDelayCallDoc),
                                      "Dead time: call it with each sample Ut and the delay nLag in samples;\n"
                                      "it returns the sample of nLag calls ago, the object itself.");
    def_init(cls, &delay_init, Parameters("None", parameter("max_cache: int | None", 10000)),
             "Keeps the last max_cache samples; the first call fills the history with its sample.");
    def_property(cls, "_cache", "collections.deque", &cache_snapshot);
    def_pickle<DelayBlock>(cls, "Delay", kDelayFields, delay_get_state, delay_build);

    bind_pin_block<PinDelay>(m, "Delay_Algorithm", BlockSlots<PinDelay>().method<kCall, delay_algorithm_call>(kCallDoc),
                             "Dead time in the pin style: write Ut and nLag, call call(), read Yt.\n\n"
                             "U_array holds the input history, newest first; it grows as far as the largest nLag.",
                             "U_array", new_sample_history, pins, {nb::int_(0), nb::int_(1), nb::int_(0)});
}
