// SoftSensorBiasUpdate: the bias of a soft sensor against delayed laboratory
// results, the laboratory value minus the prediction that was valid at the
// laboratory sample time, filtered by an owned sFilter.

#include <nanobind/nanobind.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <utility>
#include <vector>

#include "block_slots.hpp"
#include "block_support.hpp"
#include "conventions.hpp"
#include "fast_call.hpp"
#include "instance.hpp"
#include "ovelin/soft_sensor.hpp"
#include "parameters.hpp"
#include "pickle.hpp"

namespace ovelin::binding::soft_sensor {

namespace {

constexpr const char* kBias = "Bias Update";

// Argument kind: exactly a float, or None.
struct ExactFloatOrNone {
    using value_type = std::optional<double>;
    static bool convert(PyObject* obj, std::optional<double>& out, const char* name) noexcept {
        if (obj == Py_None) {
            out.reset();
            return true;
        }
        if (!PyFloat_CheckExact(obj)) {
            set_incorrect_type(name, &PyFloat_Type, obj);
            return false;
        }
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
};

struct BiasBlock {
    BiasBlock(ovelin::BiasUpdate core_, nb::object name_, nb::object filter_) noexcept
        : core(std::move(core_)), name(std::move(name_)), filter(std::move(filter_)) {}
    BiasBlock(BiasBlock&&) noexcept = default;

    // The filter is an sFilter by construction, but the collector may have
    // cleared it while breaking a cycle.
    void require_filter_ready() const {
        if (filter.is_valid() && !nb::inst_ready(filter))
            throw nb::type_error("the bias filter of this SoftSensorBiasUpdate is not initialized");
    }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(name);
        visit(filter);
    }

    ovelin::BiasUpdate core;
    nb::object name;    // as assigned: messages and get_name() check that it is a str
    nb::object filter;  // the owned sFilter, or none (not valid)
};

// An update attempt with its message; the history is empty only when called
// directly before the first run.
void update_bias(BiasBlock& block, double lab_data, double lab_time) {
    const nb::object name = checked_name(block.name);
    ovelin::BiasAttempt attempt;
    try {
        attempt = block.core.update_bias(lab_data, lab_time);
    } catch (const ovelin::Error& e) {
        if (e.code() == ovelin::Errc::no_first_sample) throw nb::index_error("deque index out of range");
        throw;
    }
    if (attempt == ovelin::BiasAttempt::unchanged)
        print_line(name, ": Bias Update is not triggered, lab_data or lab_time is unchanged.");
}

// Seconds since the epoch, as the interpreter's time.time() gives them.
double wall_clock_seconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t ns = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    return static_cast<double>(ns) / 1e9;
}

nb::object output(const BiasBlock& block) {
    block.require_filter_ready();
    const double bias = block.core.bias();
    if (!block.filter.is_valid()) return nb::steal(PyFloat_FromDouble(bias));
    const nb::object filter = block.filter;
    double filtered;  // the filter called with the bias (its y_ini is set: the 0.0 given is not used)
    if (imported.filters->sfilter_step(filter.ptr(), bias, 0.0, &filtered) != 0) throw nb::python_error();
    return nb::steal(PyFloat_FromDouble(filtered));
}

constexpr Signature<Float, Float, Float, ExactFloatOrNone, ExactFloatOrNone> kBiasRun{
    "run",
    arg<Float>("prd_data"),
    arg<Float>("lab_data"),
    arg<Float>("lab_time"),
    arg<ExactFloatOrNone>("prd_time", std::nullopt),
    arg<ExactFloatOrNone>("update_trigger", std::nullopt)};

// The update attempt goes through the method, which a subclass or the caller
// may replace: it can run any Python code, so the block's name and filter are
// read again after it.
nb::object bias_run(Self<BiasBlock> self, double prd_data, double lab_data, double lab_time,
                    std::optional<double> prd_time, std::optional<double> trigger) {
    BiasBlock& block = self.block;
    {
        const nb::object name = checked_name(block.name);
        require_finite(name, prd_data, " Bias Update: prd_data is not finite!");
        require_finite(name, lab_data, " Bias Update: lab_data is not finite!");
        require_finite(name, lab_time, " Bias Update: lab_time is not finite!");
        if (prd_time) require_finite(name, *prd_time, " Bias Update: prd_time is not finite!");
        if (trigger) require_finite(name, *trigger, " Bias Update: update_trigger is not finite!");
        block.require_filter_ready();
    }
    const ovelin::BiasDecision decision =
        block.core.record(prd_data, lab_data, prd_time ? *prd_time : wall_clock_seconds(), trigger);
    if (decision.attempt) call_method(self.py, "_update_bias", lab_data, lab_time);
    if (decision.initial) print_line(checked_name(block.name), ": Bias Update is triggered by the first data.");
    return output(block);
}

constexpr const char* kBiasRunDoc =
    "One control cycle: records the prediction (at prd_time, else now) and the laboratory\n"
    "value, updates the bias on the first call, on a trigger > 0.5 or, without a trigger,\n"
    "once a new laboratory value has settled. Returns the filtered bias.";

// A first-order lag 1/(tao*s + 1) at rest at 0.0.
nb::object bias_filter(double tao) {
    nb::list num, den;
    num.append(1);
    den.append(tao);
    den.append(1);
    nb::object filter = imported.sfilter(num, den, nb::arg("u_ini") = 0.0, nb::arg("y_ini") = 0.0);
    if (Py_TYPE(filter.ptr()) != reinterpret_cast<PyTypeObject*>(imported.sfilter.ptr()))
        throw nb::type_error("sFilter() did not return an sFilter");
    return filter;
}

BiasBlock bias_init(nb::handle name, nb::handle filter_tao, nb::handle abs_threshold, nb::handle prd_len,
                    nb::handle const_len) {
    require_exact(name, &PyUnicode_Type, "name");
    const double tao = as_double(filter_tao);
    const double threshold = as_double(abs_threshold);
    const std::size_t prd = history_length(prd_len, "prd_len", ovelin::max_prd_len(), name, kBias);
    const std::size_t window = history_length(const_len, "const_len", ovelin::max_const_len(), name, kBias);
    ovelin::BiasUpdate core(prd, window, threshold);
    nb::object filter = tao > 0 ? bias_filter(tao) : nb::object();
    return BiasBlock(std::move(core), nb::borrow(name), std::move(filter));
}

constexpr std::size_t kBiasStateFields = 13;

nb::tuple bias_get_state(Self<BiasBlock> self) {
    self.block.require_filter_ready();
    // The filter travels as its state, so that every copy owns its own. Its
    // methods are taken from the type (the instance may hold other
    // attributes); they may run Python code, so the block is read after.
    nb::object filter_state = nb::none();
    if (self.block.filter.is_valid()) {
        const nb::object filter = self.block.filter;
        filter_state =
            checked_result(imported.sfilter.attr("__getstate__")(filter), &PyTuple_Type, "sFilter.__getstate__");
    }
    const BiasBlock& block = self.block;
    const ovelin::BiasUpdate& core = block.core;
    return pickled_state(self.py, block.name, core.prd_data_history().capacity() - 1,
                         core.lab_window().values().capacity() - 2, to_tuple(core.prd_data_history()),
                         to_tuple(core.prd_time_history()), to_tuple(core.lab_window().values()), core.bias(),
                         core.abs_threshold(), core.update_flag(), core.lab_data(), core.lab_time(),
                         core.prd_data_at_labtime(), filter_state);
}

nb::object restored_filter(const StateReader& state, std::size_t i) {
    const nb::handle filter_state = state.object(i);
    if (filter_state.is_none()) return {};
    const nb::object filter = imported.sfilter.attr("__new__")(imported.sfilter);
    imported.sfilter.attr("__setstate__")(filter, filter_state);
    if (Py_TYPE(filter.ptr()) != reinterpret_cast<PyTypeObject*>(imported.sfilter.ptr()) || !nb::inst_ready(filter))
        state.fail(PyExc_TypeError, "field 'filter' did not restore an sFilter");
    return filter;
}

BiasBlock bias_build(const StateReader& state) {
    nb::object name = nb::borrow(state.object(0));  // any object: the name is assignable
    const std::size_t prd_len = length_field(state, 1, "prd_len", ovelin::max_prd_len());
    const std::size_t const_len = length_field(state, 2, "const_len", ovelin::max_const_len());
    const std::vector<double> prd_data = state.numbers(3, "prd_data_list");
    const std::vector<double> prd_time = state.numbers(4, "prd_time_list");
    const std::vector<double> lab = state.numbers(5, "lab_data_list");
    const double bias = state.number(6, "bias");
    const double threshold = state.number(7, "abs_threshold");
    const bool flag = state.flag(8, "update_flag");
    const double lab_data = state.number(9, "current_lab_data");
    const double lab_time = state.number(10, "current_lab_time");
    const double prd_at_lab_time = state.number(11, "prd_data_at_labtime");
    ovelin::BiasUpdate core =
        state.validated("prd_len, const_len", [&] { return ovelin::BiasUpdate(prd_len, const_len, threshold); });
    state.validated("histories", [&] { core.restore_histories(prd_data, prd_time, lab); });
    core.set_bias(bias);
    core.restore_result(flag, lab_data, lab_time, prd_at_lab_time);
    return BiasBlock(std::move(core), std::move(name), restored_filter(state, 12));
}

void def_getters(nb::class_<BiasBlock>& cls) {
    def_method(cls, "get_name", "The sensor's name (TypeError if it has been set to another type than str).",
               [](const BiasBlock& b) { return checked_name(b.name); });
    def_method(cls, "get_lab_data", "The laboratory value of the latest bias update.",
               [](const BiasBlock& b) { return b.core.lab_data(); });
    def_method(cls, "get_lab_time", "The sample time of the latest bias update's laboratory value.",
               [](const BiasBlock& b) { return b.core.lab_time(); });
    def_method(cls, "get_prd_data_at_labtime", "The prediction recorded nearest the latest laboratory sample time.",
               [](const BiasBlock& b) { return b.core.prd_data_at_labtime(); });
    def_method(cls, "get_update_flag", "Whether the latest call updated the bias.",
               [](const BiasBlock& b) { return b.core.update_flag(); });
    def_method(cls, "get_bias", [](const BiasBlock& b) { return b.core.bias(); }, "The unfiltered bias.");
}

void def_state_properties(nb::class_<BiasBlock>& cls) {
    def_object_member(cls, "_name", "str", &BiasBlock::name);
    def_property(cls, "_prd_data_list", "collections.deque",
                 [](const BiasBlock& b) { return deque_of(b.core.prd_data_history()); });
    def_property(cls, "_prd_time_list", "collections.deque",
                 [](const BiasBlock& b) { return deque_of(b.core.prd_time_history()); });
    def_property(cls, "_lab_data_list", "collections.deque",
                 [](const BiasBlock& b) { return deque_of(b.core.lab_window().values()); });
    def_property(
        cls, "_bias", [](const BiasBlock& b) { return b.core.bias(); },
        [](BiasBlock& b, nb::handle value) { b.core.set_bias(as_double(value)); });
    def_property(cls, "_fil", "ovelin.algorithm.filters.sFilter | None",
                 [](const BiasBlock& b) { return b.filter.is_valid() ? b.filter : nb::none(); });
    def_property(
        cls, "_abs_threshold", [](const BiasBlock& b) { return b.core.abs_threshold(); },
        [](BiasBlock& b, nb::handle value) { b.core.set_abs_threshold(as_double(value)); });
    def_property(cls, "_update_flag", [](const BiasBlock& b) { return b.core.update_flag(); });
    def_property(cls, "_current_lab_data", [](const BiasBlock& b) { return b.core.lab_data(); });
    def_property(cls, "_current_lab_time", [](const BiasBlock& b) { return b.core.lab_time(); });
    def_property(cls, "_prd_data_at_labtime", [](const BiasBlock& b) { return b.core.prd_data_at_labtime(); });
}

}  // namespace

void bind_bias_update(nb::module_& m) {
    auto cls = bind_class<BiasBlock>(
        m, "SoftSensorBiasUpdate", nb::dynamic_attr(), BlockSlots<BiasBlock>().method<kBiasRun, bias_run>(kBiasRunDoc),
        "Bias of a soft sensor against delayed laboratory results: the laboratory value minus the\n"
        "prediction that was valid at the laboratory sample time, smoothed by a first-order filter.\n\n"
        "Call run() once per control cycle.");
    def_init(
        cls, &bias_init,
        Parameters("None", parameter("name: str", "softSensor"), parameter("filter_tao: float", 5.0),
                   parameter("abs_threshold: float", 1e-6), parameter("prd_len: int", 28800),
                   parameter("const_len: int", 60)),
        "A bias corrector: predictions kept for prd_len samples, laboratory values for const_len samples, the "
        "bias filtered with time constant filter_tao (0: unfiltered), updates smaller than abs_threshold ignored.");
    def_getters(cls);
    def_method(
        cls, "_update_bias",
        [](BiasBlock& b, nb::handle lab_data, nb::handle lab_time) {
            const double data = as_double(lab_data), time = as_double(lab_time);
            update_bias(b, data, time);
        },
        Parameters("None", parameter("lab_data: float"), parameter("lab_time: float")),
        "One bias update attempt with this laboratory value and sample time.");
    def_state_properties(cls);
    def_pickle<BiasBlock>(cls, "SoftSensorBiasUpdate", kBiasStateFields, bias_get_state, bias_build);
}

}  // namespace ovelin::binding::soft_sensor
