// The pair model classes. The model objects own their discrete filter
// through a shared pointer; a simulator steps the very same filters in the
// core, so a model read from a simulator shows the live state.

#include "models.hpp"

#include <cmath>
#include <initializer_list>
#include <new>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "block_slots.hpp"
#include "conventions.hpp"
#include "fast_call.hpp"
#include "instance.hpp"
#include "pair_definitions.hpp"
#include "parameters.hpp"
#include "pickle.hpp"

namespace ovelin::binding {

namespace {

template <class M>
nb::object new_model_of(PairModel filter) {
    M block;
    block.filter = std::move(filter);
    return new_instance(std::move(block));
}

template <class M>
M constructed(const PairDefinition& definition, double ts = 1.0) {
    M block;
    block.filter = build_model(definition, ts);
    return block;
}

// --- Per-sample steps ----------------------------------------------------------

constexpr Signature<Float> kDeltaU{"deltaU_sim", arg<Float>("dU")};
constexpr Signature<Float> kNoModelDeltaU{"deltaU_sim", arg<Float>("dU", 0.0)};

double filter_step(TfzBlock& m, double du) {
    return m.filter->step(du);
}
double no_model_step(NoModelBlock&, double) {
    return 0.0;
}

constexpr const char* kDeltaUDoc = "One sample: the output deviation for the input deviation dU.";

void init_model(nb::pointer_and_handle<ModelBlock> self, nb::args, nb::kwargs) {
    // The base is abstract: only a subclass that defines deltaU_sim is a model.
    const nb::object base =
        nb::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(bound_type<ModelBlock>), "deltaU_sim"));
    const nb::object own =
        nb::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self.h.ptr())), "deltaU_sim"));
    if (!base.is_valid() || !own.is_valid()) throw nb::python_error();
    if (base.is(own)) {
        const nb::object name = nb::steal(PyType_GetName(Py_TYPE(self.h.ptr())));
        if (!name.is_valid()) throw nb::python_error();
        PyErr_Format(PyExc_TypeError,
                     "Can't instantiate abstract class %U without an implementation for abstract method 'deltaU_sim'",
                     name.ptr());
        throw nb::python_error();
    }
    new (self.p) ModelBlock();
}

// --- Pickling ------------------------------------------------------------------------

constexpr std::size_t kFilterModelFields = 3;

template <class M>
M build_filter_model(const StateReader& state) {
    const std::vector<double> b = state.numbers(0, "Gz_num"), a = state.numbers(1, "Gz_den"),
                              z = state.numbers(2, "_zi");
    M block;
    block.filter = state.validated("Gz_num, Gz_den", [&] { return std::make_shared<LinearFilter>(b, a); });
    state.validated("_zi", [&] { block.filter->set_state(z); });
    return block;
}

template <class M>
nb::tuple empty_model_state(Self<M> self) {
    return pickled_state(self.py);
}

template <class M>
M build_empty_model(const StateReader&) {
    return M{};
}

template <class M, class... Bases>
void def_filter_model_pickle(nb::class_<M, Bases...>& cls, const char* name) {
    def_pickle<M>(
        cls, name, kFilterModelFields,
        [](Self<M> self) {
            const LinearFilter& f = *self.block.filter;
            return pickled_state(self.py, to_tuple(f.b()), to_tuple(f.a()), to_tuple(f.state()));
        },
        build_filter_model<M>);
}

// The documented default lists, whole numbers as ints as they are written.
nb::list numbers(std::initializer_list<double> values) {
    nb::list list;
    for (const double v : values) {
        if (v == std::trunc(v))
            list.append(nb::int_(static_cast<long>(v)));
        else
            list.append(nb::float_(v));
    }
    return list;
}

void def_base(nb::module_& m) {
    auto model = bind_class<ModelBlock>(m, "model", nb::dynamic_attr(),
                                        "Abstract base of the process models: one deltaU_sim(dU) per sample.");
    model.def("__init__", &init_model, "For subclasses that define deltaU_sim; the base itself is abstract.");
    def_method(
        model, "deltaU_sim",
        [](ModelBlock&, nb::handle) -> double {
            PyErr_SetString(PyExc_NotImplementedError, "deltaU_sim is abstract");
            throw nb::python_error();
        },
        Parameters("float", parameter("dU: float", 0.0)),
        "One sample of the model; abstract here: a model class gives it.");
    def_pickle<ModelBlock>(model, "model", 0, empty_model_state<ModelBlock>, build_empty_model<ModelBlock>);

    auto no_model = bind_subclass<NoModelBlock, ModelBlock>(
        m, "no_model", BlockSlots<NoModelBlock>().method<kNoModelDeltaU, no_model_step>("Always 0.0."),
        "The pair without a model: always 0.0.");
    no_model.def("__init__", [](NoModelBlock* self) { new (self) NoModelBlock(); }, "The pair without a model.");
    def_pickle<NoModelBlock>(no_model, "no_model", 0, empty_model_state<NoModelBlock>, build_empty_model<NoModelBlock>);
}

void def_tfz(nb::module_& m) {
    auto tfz = bind_subclass<TfzBlock, ModelBlock>(
        m, "tfz_model", BlockSlots<TfzBlock>().method<kDeltaU, filter_step>(kDeltaUDoc),
        "Discrete transfer function B(z^-1)/A(z^-1) with a dead time in samples.");
    def_init(
        tfz,
        [](nb::handle num, nb::handle den, nb::handle delay) {
            PairDefinition definition{.kind = PairKind::discrete};
            definition.num = as_float64_vector(num);
            definition.delay_samples = delay_samples(delay);
            definition.den = as_float64_vector(den);
            return constructed<TfzBlock>(definition);
        },
        Parameters("None", parameter("num: collections.abc.Sequence[float] | numpy.ndarray", numbers({0, 1, 0.5})),
                   parameter("den: collections.abc.Sequence[float] | numpy.ndarray", numbers({1, -1.5, 0.7})),
                   parameter("delay: int", 0)),
        "Coefficients num and den in ascending powers of z^-1 and a dead time of delay samples.");
    def_method(tfz, "reset_zi", "Puts the model at rest: every state element 0.0.", [](TfzBlock& b) {
        const std::vector<double> zeros(b.filter->state_size(), 0.0);
        b.filter->set_state(zeros);
    });
    def_property(tfz, "Gz_num", "numpy.ndarray", [](const TfzBlock& b) { return to_numpy(b.filter->b()); });
    def_property(tfz, "Gz_den", "numpy.ndarray", [](const TfzBlock& b) { return to_numpy(b.filter->a()); });
    def_property(
        tfz, "_zi", "list[float]", [](const TfzBlock& b) { return float_list(b.filter->state()); },
        [](TfzBlock& b, nb::handle value) {
            const PairModel filter = b.filter;  // held: converting may run code that replaces it
            filter->set_state(as_float64_vector(value));
        });
    def_filter_model_pickle(tfz, "tfz_model");
}

void def_derived(nb::module_& m) {
    auto tfs = bind_subclass<TfsBlock, TfzBlock>(
        m, "tfs_model", "Continuous transfer function with dead time, discretised by zero-order hold.");
    def_init(
        tfs,
        [](nb::handle num, nb::handle den, nb::handle delay, nb::handle Ts) {
            PairDefinition definition{.kind = PairKind::continuous};
            definition.num = as_float64_vector(num);
            definition.den = as_float64_vector(den);
            definition.delay = as_double(delay);
            return constructed<TfsBlock>(definition, as_double(Ts));
        },
        Parameters("None", parameter("num: collections.abc.Sequence[float] | numpy.ndarray", numbers({0, 1})),
                   parameter("den: collections.abc.Sequence[float] | numpy.ndarray", numbers({5, 1})),
                   parameter("delay: float", 0), parameter("Ts: float", 1)),
        "The transfer function num(s)/den(s) with a dead time of delay seconds, discretised by zero-order hold at "
        "sample time Ts.");
    def_filter_model_pickle(tfs, "tfs_model");

    auto stp = bind_subclass<StpBlock, TfzBlock>(m, "stp_model", "Sampled step response, one value per sample.");
    def_init(
        stp,
        [](nb::handle s) {
            PairDefinition definition{.kind = PairKind::step_response};
            definition.response = as_float64_vector(s);
            return constructed<StpBlock>(definition);
        },
        Parameters("None",
                   parameter("stp: collections.abc.Sequence[float] | numpy.ndarray", numbers({0.5, 1, 2, 3, 4, 5}))),
        "The response to a unit step, one value per sample from the first sample after the step.");
    def_filter_model_pickle(stp, "stp_model");

    auto stpxy = bind_subclass<StpxyBlock, StpBlock>(
        m, "stpxy_model", "Step response given by points (sample index, value), interpolated linearly.");
    def_init(
        stpxy,
        [](nb::handle x, nb::handle y) {
            PairDefinition definition{.kind = PairKind::step_points};
            const Py_ssize_t nx = PyObject_Length(x.ptr());
            if (nx < 0) throw nb::python_error();
            const Py_ssize_t ny = PyObject_Length(y.ptr());
            if (ny < 0) throw nb::python_error();
            if (nx != ny) {
                PyErr_SetNone(PyExc_AssertionError);
                throw nb::python_error();
            }
            definition.points = as_float64_vector(x);
            definition.response = as_float64_vector(y);
            return constructed<StpxyBlock>(definition);
        },
        Parameters("None", parameter("x: collections.abc.Sequence[float] | numpy.ndarray", numbers({1, 2, 3})),
                   parameter("y: collections.abc.Sequence[float] | numpy.ndarray", numbers({10, 20, 30}))),
        "Step response points: sample indexes x and values y, interpolated linearly between them.");
    def_filter_model_pickle(stpxy, "stpxy_model");
}

}  // namespace

PyTypeObject* model_type(PairKind kind) {
    switch (kind) {
        case PairKind::none: return bound_type<NoModelBlock>;
        case PairKind::discrete: return bound_type<TfzBlock>;
        case PairKind::continuous: return bound_type<TfsBlock>;
        case PairKind::step_response: return bound_type<StpBlock>;
        case PairKind::step_points: return bound_type<StpxyBlock>;
    }
    return bound_type<NoModelBlock>;
}

nb::object new_model(PairKind kind, PairModel filter) {
    switch (kind) {
        case PairKind::none: return new_model_of<NoModelBlock>(nullptr);
        case PairKind::discrete: return new_model_of<TfzBlock>(std::move(filter));
        case PairKind::continuous: return new_model_of<TfsBlock>(std::move(filter));
        case PairKind::step_response: return new_model_of<StpBlock>(std::move(filter));
        case PairKind::step_points: return new_model_of<StpxyBlock>(std::move(filter));
    }
    return new_model_of<NoModelBlock>(nullptr);
}

bool is_native_model(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    for (PairKind kind :
         {PairKind::none, PairKind::discrete, PairKind::continuous, PairKind::step_response, PairKind::step_points})
        if (type == model_type(kind)) return true;
    return false;
}

const PairModel& filter_of(nb::handle obj) {
    return checked_self<ModelBlock>(obj, "deltaU_sim").filter;
}

void def_models(nb::module_& m) {
    def_base(m);
    def_tfz(m);
    def_derived(m);
}

}  // namespace ovelin::binding
