// Python module ovelin.algorithm.leadlag: the lead-lag filter block, the
// property factory for its validated parameters, and the ideal step response.

#include <nanobind/nanobind.h>

#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "block_slots.hpp"
#include "conventions.hpp"
#include "fast_call.hpp"
#include "instance.hpp"
#include "kept_value.hpp"
#include "ovelin/lead_lag.hpp"
#include "parameters.hpp"
#include "pickle.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;

namespace {

// --- positive_parameter_property ---------------------------------------------

// "{}".format(obj)
nb::object format_text(nb::handle obj) {
    return nb::steal(PyObject_Format(obj.ptr(), nullptr));
}

// The truth of `left <op> right`, evaluated as the operator is (no identity
// shortcut: a NaN differs from itself).
bool compare(nb::handle left, nb::handle right, int op) {
    const nb::object result = nb::steal(PyObject_RichCompare(left.ptr(), right.ptr(), op));
    if (!result) throw nb::python_error();
    const int truth = PyObject_IsTrue(result.ptr());
    if (truth < 0) throw nb::python_error();
    return truth != 0;
}

// A plain Python property over the instance attribute "_" + name. The setter
// checks the type, then the sign, and stores and calls the instance's
// _modify_param() only for a value that differs from the stored one. Works on
// any class: every access goes through ordinary attribute lookup.
nb::object positive_parameter_property(nb::handle name, nb::handle expected_type) {
    const nb::object private_name = nb::steal(PyNumber_Add(nb::str("_").ptr(), name.ptr()));
    if (!private_name) throw nb::python_error();
    const nb::object shown_name = format_text(name);
    if (!shown_name) throw nb::python_error();
    const std::string function_name = nb::str(shown_name).c_str();
    const nb::object expected = nb::borrow(expected_type);

    nb::object getter = nb::cpp_function([private_name](nb::handle obj) { return nb::getattr(obj, private_name); },
                                         nb::name(function_name.c_str()), nb::arg("obj").none());

    nb::object setter = nb::cpp_function(
        [private_name, shown_name, expected](nb::handle obj, nb::handle value) {
            const int is_instance = PyObject_IsInstance(value.ptr(), expected.ptr());
            if (is_instance < 0) throw nb::python_error();
            if (!is_instance) {
                const nb::object type_text = format_text(expected);
                if (!type_text) throw nb::python_error();
                PyErr_Format(PyExc_TypeError, "%U must be a %U", shown_name.ptr(), type_text.ptr());
                throw nb::python_error();
            }
            if (compare(value, nb::int_(0), Py_LT)) throw nb::value_error("Expected a non-negative value.");
            if (compare(value, nb::getattr(obj, private_name), Py_NE)) {
                nb::setattr(obj, private_name, value);
                obj.attr("_modify_param")();
            }
        },
        nb::name(function_name.c_str()), nb::arg("obj").none(), nb::arg("value").none());

    nb::handle property_type(reinterpret_cast<PyObject*>(&PyProperty_Type));
    const nb::object doc = nb::steal(PyUnicode_FromFormat(
        "Non-negative parameter kept in _%U; setting a new value recomputes the block.", shown_name.ptr()));
    if (!doc) throw nb::python_error();
    return property_type(getter, setter, nb::none(), doc);
}

// --- LDLAG -------------------------------------------------------------------

// The binding's view of a filter: the core plus the caller's objects that the
// interface hands back unchanged. The operating point stays the caller's
// objects until the first sample replaces it with the last input and output.
struct LeadLagBlock {
    LeadLagBlock(ovelin::LeadLag core_, KeptFloat alpha_, KeptFloat tao_, KeptFloat ts_, nb::object u_given_,
                 nb::object y_given_, bool given_current_) noexcept
        : core(std::move(core_)),
          alpha(std::move(alpha_)),
          tao(std::move(tao_)),
          ts(std::move(ts_)),
          u_given(std::move(u_given_)),
          y_given(std::move(y_given_)),
          given_current(given_current_) {}
    LeadLagBlock(LeadLagBlock&&) noexcept = default;

    void forget_given_inputs() noexcept {
        if (given_current) {
            given_current = false;
            u_given.reset();
            y_given.reset();
        }
    }

    nb::object last_input() const { return last_value(u_given, core.last_input()); }
    nb::object last_output() const { return last_value(y_given, core.last_output()); }

    // The other side keeps its given object while it is current.
    void set_last_input(nb::handle value) {
        core.set_last_input(as_optional_double(value));
        keep_given(u_given, y_given, core.last_output(), value);
    }
    void set_last_output(nb::handle value) {
        core.set_last_output(as_optional_double(value));
        keep_given(y_given, u_given, core.last_input(), value);
    }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        alpha.visit_references(visit);
        tao.visit_references(visit);
        ts.visit_references(visit);
        visit(u_given);
        visit(y_given);
    }

    ovelin::LeadLag core;
    KeptFloat alpha, tao, ts;
    nb::object u_given, y_given;
    bool given_current;

private:
    nb::object last_value(const nb::object& given, std::optional<double> value) const {
        if (given_current) return given;
        return value ? nb::object(nb::float_(*value)) : nb::none();
    }

    void keep_given(nb::object& mine, nb::object& other, std::optional<double> other_value, nb::handle value) {
        if (!given_current) {
            other = other_value ? nb::object(nb::float_(*other_value)) : nb::none();
            given_current = true;
        }
        mine = nb::borrow(value);
    }
};

void init_block(LeadLagBlock* self, nb::handle alpha, nb::handle tao, nb::handle Ts, nb::handle u_ini,
                nb::handle y_ini) {
    // Every argument is checked and the coefficients are formed before
    // anything is stored.
    const double alpha_value = as_double(alpha);
    const double tao_value = as_double(tao);
    require_exact(Ts, &PyLong_Type, "Ts");
    KeptFloat ts = KeptFloat::given(Ts);
    const std::optional<double> u = as_optional_double(u_ini);
    const std::optional<double> y = as_optional_double(y_ini);
    refuse_if_initialised(self);
    new (self) LeadLagBlock(ovelin::LeadLag(alpha_value, tao_value, ts.value(), u, y), KeptFloat::computed(alpha_value),
                            KeptFloat::computed(tao_value), std::move(ts), nb::borrow(u_ini), nb::borrow(y_ini), true);

    // A subclass may extend _modify_param(); construction runs it as the last
    // step, as a Python class's own constructor would.
    const nb::object py = nb::find(self);
    if (py.is_valid() && Py_TYPE(py.ptr()) != bound_type<LeadLagBlock>) {
        // Ready while it runs (it uses the block); undone if it fails, so
        // that a failed construction leaves no usable instance.
        nb::inst_mark_ready(py);
        try {
            py.attr("_modify_param")();
        } catch (...) {
            nb::inst_destruct(py);
            throw;
        }
    }
}

// --- Per-sample call -----------------------------------------------------------

constexpr Signature<Float> kCall{"__call__", arg<Float>("u")};

double call_step(LeadLagBlock& block, double u) {
    block.forget_given_inputs();
    return block.core.step(u);
}

constexpr const char* kCallDoc =
    "One sample: the lead-lag output for input u. Without a complete operating point the first\n"
    "call puts the block at rest at u.";

nb::object multi_step(LeadLagBlock& block, nb::handle u) {
    // The messages Python gives for the missing first element of an empty list
    // or tuple; arrays get NumPy's from the core.
    if (PyList_CheckExact(u.ptr()) && PyList_GET_SIZE(u.ptr()) == 0) throw nb::index_error("list index out of range");
    if (PyTuple_CheckExact(u.ptr()) && PyTuple_GET_SIZE(u.ptr()) == 0)
        throw nb::index_error("tuple index out of range");
    const Float64View input = as_float64_array(u);
    const std::span<const double> samples(input.data(), input.shape(0));
    if (samples.empty()) block.core.run(samples, {});  // throws: nothing to start from or record
    auto [array, output] = new_numpy_array(samples.size());
    block.core.run(samples, std::span<double>(output.data(), samples.size()));
    block.forget_given_inputs();
    return array;
}

// --- Pickling ------------------------------------------------------------------

constexpr std::size_t kStateFields = 9;

nb::object optional_float(std::optional<double> value) {
    return value ? nb::object(nb::float_(*value)) : nb::none();
}

nb::tuple get_state(Self<LeadLagBlock> self) {
    const LeadLagBlock& block = self.block;
    const ovelin::LeadLag& core = block.core;
    const nb::object zi = core.has_state() ? nb::object(to_tuple(core.state())) : nb::none();
    const nb::object given =
        block.given_current ? nb::object(nb::make_tuple(block.u_given, block.y_given)) : nb::none();
    return pickled_state(self.py, block.alpha.to_state(), block.tao.to_state(), block.ts.to_state(), to_tuple(core.b()),
                         to_tuple(core.a()), zi, optional_float(core.last_input()), optional_float(core.last_output()),
                         given);
}

std::optional<double> optional_number(const StateReader& state, std::size_t i, const char* name) {
    if (state.object(i).is_none()) return std::nullopt;
    return state.number(i, name);
}

LeadLagBlock build_from_state(const StateReader& state) {
    KeptFloat alpha = state.known(0, "alpha"), tao = state.known(1, "tao"), ts = state.known(2, "Ts");
    const std::vector<double> b = state.numbers(3, "b"), a = state.numbers(4, "a");
    const auto zi = state.optional_numbers(5, "zi");
    // Coefficients and state are restored as they were, not recomputed: the
    // parameters may have been stored without a rebuild since.
    ovelin::LeadLag core;
    state.validated("alpha", [&] { core.set_alpha(alpha.value()); });
    state.validated("tao", [&] { core.set_tao(tao.value()); });
    state.validated("Ts", [&] { core.set_ts(ts.value()); });
    state.validated("b, a", [&] { core.set_coefficients(b, a); });
    if (zi) state.validated("zi", [&] { core.set_state(*zi); });
    core.set_last_input(optional_number(state, 6, "u_ini"));
    core.set_last_output(optional_number(state, 7, "y_ini"));
    const nb::handle given = state.object(8);
    if (!given.is_none() && (!PyTuple_CheckExact(given.ptr()) || PyTuple_GET_SIZE(given.ptr()) != 2))
        state.fail(PyExc_TypeError, "field 'given' must be None or a pair of objects");
    const bool current = !given.is_none();
    return LeadLagBlock(std::move(core), std::move(alpha), std::move(tao), std::move(ts),
                        current ? nb::borrow(PyTuple_GET_ITEM(given.ptr(), 0)) : nb::object(),
                        current ? nb::borrow(PyTuple_GET_ITEM(given.ptr(), 1)) : nb::object(), current);
}

// --- Attributes ------------------------------------------------------------------

// A direct write stores the value only; _modify_param() applies it. The core
// refuses a value it can never use (a NaN or infinite parameter, a sample
// time that is not finite and positive) before anything is stored.
void def_parameter_attribute(nb::class_<LeadLagBlock>& cls, const char* name, KeptFloat LeadLagBlock::*member,
                             void (ovelin::LeadLag::*set)(double)) {
    def_property(
        cls, name, "typing.Any", [member](const LeadLagBlock& block) { return (block.*member).get(); },
        [member, set](LeadLagBlock& block, nb::handle value) {
            KeptFloat kept = KeptFloat::given(value);
            if (!kept.known()) throw nb::type_error("must be real number, not NoneType");
            (block.core.*set)(kept.value());
            block.*member = std::move(kept);
        });
}

}  // namespace

NB_MODULE(leadlag, m) {
    register_error_translation();
    m.doc() = "First-order lead-lag filter with bumpless parameter changes.";

    def_function(m, "positive_parameter_property", &positive_parameter_property,
                 Parameters("property", parameter("name: str"), parameter("expected_type: type | tuple[type, ...]")),
                 "A property over the attribute '_' + name that accepts only non-negative instances of\n"
                 "expected_type and calls the instance's _modify_param() when the value changes.");

    def_function(
        m, "filter_stp",
        [](nb::handle N, nb::handle tao, nb::handle alpha, nb::handle r1, nb::handle r2) {
            require_exact(N, &PyLong_Type, "N");
            const long long n = PyLong_AsLongLong(N.ptr());
            if (n == -1 && PyErr_Occurred()) throw nb::python_error();
            const double tao_value = as_double(tao), alpha_value = as_double(alpha);
            const double r1_value = as_double(r1), r2_value = as_double(r2);
            if (n < 0) return to_numpy(ovelin::filter_step_response(n, tao_value, alpha_value, r1_value, r2_value));
            auto [array, out] = new_numpy_array(static_cast<std::size_t>(n));
            ovelin::filter_step_response(tao_value, alpha_value, r1_value, r2_value,
                                         std::span<double>(out.data(), static_cast<std::size_t>(n)));
            return array;
        },
        Parameters("numpy.ndarray", parameter("N: int"), parameter("tao: float"), parameter("alpha: float"),
                   parameter("r1: float", 0.0), parameter("r2: float", 1.0)),
        "Ideal continuous response of (alpha*tao*s + 1)/(tao*s + 1) to a step from r1 to r2,\n"
        "sampled at t = 0, 1, ..., N-1.");

    auto cls = bind_class<LeadLagBlock>(m, "LDLAG", nb::dynamic_attr(),
                                        BlockSlots<LeadLagBlock>().call<kCall, call_step>(kCallDoc),
                                        "First-order lead-lag (alpha*tao*s + 1)/(tao*s + 1) with unit gain.\n\n"
                                        "Call the object with each input sample; it returns the output.");

    def_init(cls, &init_block,
             Parameters("None", parameter("alpha: float", 0.0), parameter("tao: float", 5.0), parameter("Ts: int", 1),
                        parameter("u_ini: float | None", nb::none()), parameter("y_ini: float | None", nb::none())),
             "Lead-lag (alpha*tao*s + 1)/(tao*s + 1) at sample time Ts (an int); u_ini and y_ini are the operating "
             "point, or None to start at rest at the first input.");

    def_method(cls, "multi_step", &multi_step,
               Parameters("numpy.ndarray", parameter("u: collections.abc.Sequence[float] | numpy.ndarray")),
               "Filters a one-dimensional sequence of input samples; returns the outputs as a float64 array.");
    def_method(
        cls, "_modify_param", [](LeadLagBlock& block) { block.core.rebuild(); },
        "Recomputes the coefficients and rebuilds the state from the last input and output.");

    // Validated parameters, as a Python class would declare them.
    const nb::tuple float_or_int = nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)),
                                                  nb::handle(reinterpret_cast<PyObject*>(&PyLong_Type)));
    cls.attr("alpha") = positive_parameter_property(nb::str("alpha"), float_or_int);
    cls.attr("tao") = positive_parameter_property(nb::str("tao"), float_or_int);

    def_parameter_attribute(cls, "_alpha", &LeadLagBlock::alpha, &ovelin::LeadLag::set_alpha);
    def_parameter_attribute(cls, "_tao", &LeadLagBlock::tao, &ovelin::LeadLag::set_tao);
    def_parameter_attribute(cls, "_Ts", &LeadLagBlock::ts, &ovelin::LeadLag::set_ts);

    def_property(
        cls, "_b", "numpy.ndarray", [](const LeadLagBlock& block) { return to_numpy(block.core.b()); },
        [](LeadLagBlock& block, nb::handle value) {
            const std::vector<double> a(block.core.a().begin(), block.core.a().end());
            block.core.set_coefficients(as_float64_vector(value), a);
        });
    def_property(
        cls, "_a", "numpy.ndarray", [](const LeadLagBlock& block) { return to_numpy(block.core.a()); },
        [](LeadLagBlock& block, nb::handle value) {
            const std::vector<double> b(block.core.b().begin(), block.core.b().end());
            block.core.set_coefficients(b, as_float64_vector(value));
        });
    def_property(
        cls, "_u_ini", "typing.Any", [](const LeadLagBlock& block) { return block.last_input(); },
        [](LeadLagBlock& block, nb::handle value) { block.set_last_input(value); });
    def_property(
        cls, "_y_ini", "typing.Any", [](const LeadLagBlock& block) { return block.last_output(); },
        [](LeadLagBlock& block, nb::handle value) { block.set_last_output(value); });
    def_property(
        cls, "_zi", "numpy.ndarray | None",
        [](const LeadLagBlock& block) -> nb::object {
            if (!block.core.has_state()) return nb::none();
            return to_numpy(block.core.state());
        },
        [](LeadLagBlock& block, nb::handle value) {
            if (value.is_none())
                block.core.clear_state();
            else
                block.core.set_state(as_float64_vector(value));
        });

    def_pickle<LeadLagBlock>(cls, "LDLAG", kStateFields, get_state, build_from_state);
}
