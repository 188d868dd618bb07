// Python module ovelin.algorithm.processsim: single-pair process models, the
// MISO and MIMO simulators driven by tag dictionaries, and step responses.
//
// The model objects own their discrete filter through a shared pointer; a
// simulator steps the very same filters in the core, so a model read from a
// simulator shows the live state, and pickling (or deep-copying) a simulator
// carries each model once, keeping the simulator and its model objects
// together in the copy.

#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "conventions.hpp"
#include "fast_call.hpp"
#include "gc.hpp"
#include "instance.hpp"
#include "ovelin/c2d.hpp"
#include "ovelin/linear_filter.hpp"
#include "ovelin/mimo_sim.hpp"
#include "pickle.hpp"
#include "tag_index.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;
using ovelin::LinearFilter;
using ovelin::PairModel;

namespace {

// --- Small helpers --------------------------------------------------------------

[[noreturn]] void raise_no_attribute(nb::handle obj, const char* attribute) {
    PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%s'", Py_TYPE(obj.ptr())->tp_name, attribute);
    throw nb::python_error();
}

[[noreturn]] void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
}

void require_dict(nb::handle obj, const char* name) {
    if (!PyDict_Check(obj.ptr())) raise_incorrect_type(name, &PyDict_Type, obj);
}

// d[key] on a dict, borrowed; nullptr when missing (no error set).
PyObject* dict_lookup(nb::handle d, const char* key) {
    const nb::object name = nb::steal(PyUnicode_FromString(key));
    if (!name.is_valid()) throw nb::python_error();
    PyObject* value = PyDict_GetItemWithError(d.ptr(), name.ptr());
    if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
    return value;
}

// d.get(key, fallback) on a dict, as a strong reference.
nb::object dict_get(nb::handle d, const char* key, nb::handle fallback) {
    PyObject* value = dict_lookup(d, key);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(fallback);
    }
    return nb::borrow(value);
}

// d[key] on a dict: KeyError naming the key when it is missing.
nb::object dict_required(nb::handle d, const char* key) {
    PyObject* value = dict_lookup(d, key);
    if (value == nullptr) {
        const nb::object name = nb::steal(PyUnicode_FromString(key));
        if (name.is_valid()) PyErr_SetObject(PyExc_KeyError, name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(value);
}

bool equals(nb::handle a, const char* text) {
    const nb::object other = nb::steal(PyUnicode_FromString(text));
    if (!other.is_valid()) throw nb::python_error();
    const int same = PyObject_RichCompareBool(a.ptr(), other.ptr(), Py_EQ);
    if (same < 0) throw nb::python_error();
    return same == 1;
}

nb::list float_list(std::span<const double> values) {
    nb::list list = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* value = PyFloat_FromDouble(values[i]);
        if (value == nullptr) throw nb::python_error();
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), value);
    }
    return list;
}

nb::object deep_copy(nb::handle obj) {
    return nb::module_::import_("copy").attr("deepcopy")(obj);
}

// --- Models -----------------------------------------------------------------------

// All model kinds share one layout: the discrete filter, or none.
struct ModelBlock {
    PairModel filter;
};
struct NoModelBlock : ModelBlock {};
struct TfzBlock : ModelBlock {};
struct TfsBlock : TfzBlock {};
struct StpBlock : TfzBlock {};
struct StpxyBlock : StpBlock {};

enum class Kind { none, tfz, tfs, stp, stpxy };

// The model of one pair before it becomes a Python object.
struct BuiltModel {
    Kind kind;
    PairModel filter;
};

PairModel make_filter(std::span<const double> b, std::span<const double> a) {
    return std::make_shared<LinearFilter>(b, a);
}

// A dead time in samples, refused as the array padding refuses it.
std::size_t delay_samples(nb::handle delay) {
    if (PyFloat_Check(delay.ptr()) || !PyIndex_Check(delay.ptr())) {
        PyErr_SetString(PyExc_TypeError, "`pad_width` must be of integral type.");
        throw nb::python_error();
    }
    const Py_ssize_t d = PyNumber_AsSsize_t(delay.ptr(), PyExc_OverflowError);
    if (d == -1 && PyErr_Occurred()) throw nb::python_error();
    if (d < 0) throw nb::value_error("index can't contain negative values");
    return static_cast<std::size_t>(d);
}

PairModel tfz_filter(nb::handle num, nb::handle den, nb::handle delay) {
    const std::vector<double> b = as_float64_vector(num);
    const std::size_t d = delay_samples(delay);
    std::vector<double> delayed(d, 0.0);
    delayed.insert(delayed.end(), b.begin(), b.end());
    return make_filter(delayed, as_float64_vector(den));
}

PairModel tfs_filter(nb::handle num, nb::handle den, nb::handle delay, nb::handle ts) {
    const std::vector<double> n = as_float64_vector(num), d = as_float64_vector(den);
    const double delay_s = as_double(delay), ts_s = as_double(ts);
    const ovelin::TransferFunction tf = ovelin::c2d_zoh(n, d, delay_s, ts_s);
    return make_filter(tf.num, tf.den);
}

// A step response as a finite impulse response.
PairModel stp_filter(std::span<const double> stp) {
    std::vector<double> impulse(stp.size());
    for (std::size_t k = 0; k < stp.size(); ++k) impulse[k] = stp[k] - (k == 0 ? 0.0 : stp[k - 1]);
    const double one = 1.0;
    return make_filter(impulse, std::span<const double>(&one, 1));
}

// Points (sample index, value) interpolated onto the samples 0 .. x[last].
PairModel stpxy_filter(nb::handle x, nb::handle y) {
    const Py_ssize_t nx = PyObject_Length(x.ptr());
    if (nx < 0) throw nb::python_error();
    const Py_ssize_t ny = PyObject_Length(y.ptr());
    if (ny < 0) throw nb::python_error();
    if (nx != ny) raise_assertion();
    const nb::module_ numpy = nb::module_::import_("numpy");
    const nb::object last = x[nb::int_(-1)];
    const nb::object grid = numpy.attr("arange")(last + nb::int_(1));
    return stp_filter(as_float64_vector(numpy.attr("interp")(grid, x, y)));
}

std::vector<double> running_sum(std::vector<double> values) {
    for (std::size_t k = 1; k < values.size(); ++k) values[k] = values[k - 1] + values[k];
    return values;
}

// The denominator times (1 - c z^-1) or times s: the coefficients convolved
// with [1, -c].
std::vector<double> times_root(const std::vector<double>& den, double c) {
    std::vector<double> out(den.size() + 1, 0.0);
    for (std::size_t k = 0; k < out.size(); ++k) {
        const double here = k < den.size() ? den[k] : 0.0;
        out[k] = k == 0 ? here : here + den[k - 1] * -c;
    }
    return out;
}

// The model of one pair from its model entry; `ts` is the simulator's
// sample time, converted only where a continuous model needs it.
BuiltModel build_pair_model(nb::handle entry, nb::handle ts) {
    if (!PyDict_Check(entry.ptr())) raise_no_attribute(entry, "get");
    const nb::object zero = nb::int_(0);
    const bool integrating = truth(dict_get(entry, "IntegralMark", zero));
    if (PyDict_GET_SIZE(entry.ptr()) == 0) return {Kind::none, nullptr};
    const nb::object none_text = nb::str("None");
    const nb::object mode = dict_get(entry, "mode", none_text);
    if (equals(mode, "None")) return {Kind::none, nullptr};
    if (equals(mode, "tf_s")) {
        std::vector<double> den = as_float64_vector(dict_required(entry, "den_s"));
        if (integrating) den = times_root(den, 0.0);
        const nb::object num = dict_required(entry, "num_s");
        return {Kind::tfs, tfs_filter(num, to_numpy(den), dict_get(entry, "iodelay_s", zero), ts)};
    }
    if (equals(mode, "tf_z")) {
        std::vector<double> den = as_float64_vector(dict_required(entry, "den_z"));
        if (integrating) den = times_root(den, 1.0);
        const nb::object num = dict_required(entry, "num_z");
        return {Kind::tfz, tfz_filter(num, to_numpy(den), dict_get(entry, "iodelay_z", zero))};
    }
    if (equals(mode, "stp")) {
        std::vector<double> stp = as_float64_vector(dict_required(entry, "stp"));
        if (integrating) stp = running_sum(std::move(stp));
        return {Kind::stp, stp_filter(stp)};
    }
    if (equals(mode, "stpxy")) {
        nb::object y = dict_required(entry, "y");
        if (integrating) y = to_numpy(running_sum(as_float64_vector(y)));
        return {Kind::stpxy, stpxy_filter(dict_required(entry, "x"), y)};
    }
    raise_assertion();
}

PyTypeObject* model_type(Kind kind) {
    switch (kind) {
        case Kind::none: return bound_type<NoModelBlock>;
        case Kind::tfz: return bound_type<TfzBlock>;
        case Kind::tfs: return bound_type<TfsBlock>;
        case Kind::stp: return bound_type<StpBlock>;
        case Kind::stpxy: return bound_type<StpxyBlock>;
    }
    return bound_type<NoModelBlock>;
}

template <class M>
nb::object new_model_of(PairModel filter) {
    M block;
    block.filter = std::move(filter);
    return new_instance(std::move(block));
}

nb::object new_model(BuiltModel built) {
    switch (built.kind) {
        case Kind::none: return new_model_of<NoModelBlock>(nullptr);
        case Kind::tfz: return new_model_of<TfzBlock>(std::move(built.filter));
        case Kind::tfs: return new_model_of<TfsBlock>(std::move(built.filter));
        case Kind::stp: return new_model_of<StpBlock>(std::move(built.filter));
        case Kind::stpxy: return new_model_of<StpxyBlock>(std::move(built.filter));
    }
    return new_model_of<NoModelBlock>(nullptr);
}

// True for the models whose step is the native one (not a Python override).
bool is_native_model(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    for (Kind kind : {Kind::none, Kind::tfz, Kind::tfs, Kind::stp, Kind::stpxy})
        if (type == model_type(kind)) return true;
    return false;
}

// The filter behind a native model object; TypeError for an uninitialised one.
const PairModel& filter_of(nb::handle obj) {
    return checked_self<ModelBlock>(obj, "deltaU_sim").filter;
}

// Per-sample model steps.
constexpr Signature<Float> kDeltaU{"deltaU_sim", arg<Float>("dU")};
constexpr Signature<Float> kNoModelDeltaU{"deltaU_sim", arg<Float>("dU", 0.0)};

double filter_step(TfzBlock& m, double du) {
    return m.filter->step(du);
}
double no_model_step(NoModelBlock&, double) {
    return 0.0;
}

PyMethodDef kTfzMethods[] = {
    fast_method<TfzBlock, kDeltaU, filter_step>("deltaU_sim",
                                                "One sample: the output deviation for the input deviation dU."),
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef kNoModelMethods[] = {
    fast_method<NoModelBlock, kNoModelDeltaU, no_model_step>("deltaU_sim", "Always 0.0."),
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot kTfzSlots[] = {{Py_tp_methods, kTfzMethods}, {0, nullptr}};
PyType_Slot kNoModelSlots[] = {{Py_tp_methods, kNoModelMethods}, {0, nullptr}};

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

// --- Model pickling ----------------------------------------------------------------

constexpr std::size_t kFilterModelFields = 3;

nb::tuple filter_model_state(Self<TfzBlock> self) {
    const LinearFilter& f = *self.block.filter;
    return pickled_state(self.py, to_tuple(f.b()), to_tuple(f.a()), to_tuple(f.state()));
}

template <class M>
M build_filter_model(const StateReader& state) {
    const std::vector<double> b = state.numbers(0, "Gz_num"), a = state.numbers(1, "Gz_den"),
                              z = state.numbers(2, "_zi");
    M block;
    block.filter = state.validated("Gz_num, Gz_den", [&] { return make_filter(b, a); });
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
        [](Self<M> self) { return filter_model_state(Self<TfzBlock>{self.py, self.block}); }, build_filter_model<M>);
}

// --- MISO simulator --------------------------------------------------------------

// The models and initial values as given; stepping converts every value
// first, so a refused value changes no model.
struct MisoBlock {
    nb::object models, u_ini;

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(models);
        visit(u_ini);
    }
};

nb::object snapshot_list(nb::handle sequence) {
    nb::object list = nb::steal(PySequence_List(sequence.ptr()));
    if (!list.is_valid()) throw nb::python_error();
    return list;
}

double one_step_sim(MisoBlock& miso, nb::handle u_list) {
    // Snapshots: a model written in Python may change the caller's lists.
    const nb::object models = snapshot_list(miso.models), u = snapshot_list(u_list), u0 = snapshot_list(miso.u_ini);
    const Py_ssize_t n = std::min({PyList_GET_SIZE(models.ptr()), PyList_GET_SIZE(u.ptr()), PyList_GET_SIZE(u0.ptr())});
    std::vector<double> du(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        du[k] = as_double(PyList_GET_ITEM(u.ptr(), k)) - as_double(PyList_GET_ITEM(u0.ptr(), k));
        PyObject* model = PyList_GET_ITEM(models.ptr(), k);
        if (is_native_model(model)) filter_of(model);  // refuses an uninitialised model up front
    }
    double y = 0.0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        const nb::handle model = PyList_GET_ITEM(models.ptr(), k);
        if (is_native_model(model.ptr())) {
            const PairModel& filter = filter_of(model);
            y = y + (filter ? filter->step(du[k]) : 0.0);
        } else {
            y = y + as_double(model.attr("deltaU_sim")(du[k]));
        }
    }
    return y;
}

nb::object new_miso(nb::handle models, nb::handle u_ini) {
    return nb::handle(reinterpret_cast<PyObject*>(bound_type<MisoBlock>))(models, u_ini);
}

PyType_Slot kMisoSlots[] = {traverse_slot<MisoBlock>(), clear_slot<MisoBlock>(), {0, nullptr}};

// --- Model tags ----------------------------------------------------------------

nb::object dict_items(nb::handle d) {
    nb::object items = nb::steal(PyDict_Items(d.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    return items;
}

std::pair<nb::list, nb::list> get_model_tags(nb::handle yu_model) {
    if (!PyDict_Check(yu_model.ptr())) raise_no_attribute(yu_model, "keys");
    const nb::object items = dict_items(yu_model);
    nb::list cvs, mvs;
    nb::dict seen;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.ptr(), i);
        cvs.append(nb::handle(PyTuple_GET_ITEM(item, 0)));
        const nb::handle inner = PyTuple_GET_ITEM(item, 1);
        if (!PyDict_Check(inner.ptr())) raise_no_attribute(inner, "keys");
        const nb::object keys = nb::steal(PyDict_Keys(inner.ptr()));
        if (!keys.is_valid()) throw nb::python_error();
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.ptr()); ++k) {
            const nb::handle key = PyList_GET_ITEM(keys.ptr(), k);
            const int known = PyDict_Contains(seen.ptr(), key.ptr());
            if (known < 0) throw nb::python_error();
            if (known) continue;
            if (PyDict_SetItem(seen.ptr(), key.ptr(), Py_None) != 0) throw nb::python_error();
            mvs.append(key);
        }
    }
    return {cvs, mvs};
}

// The model entry of pair (cv, mv): yu_model[cv].get(mv, {}).
nb::object pair_entry(nb::handle yu_model, nb::handle cv, nb::handle mv) {
    PyObject* inner = PyDict_GetItemWithError(yu_model.ptr(), cv.ptr());
    if (inner == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, cv.ptr());
        throw nb::python_error();
    }
    const nb::object held = nb::borrow(inner);
    if (!PyDict_Check(inner)) raise_no_attribute(held, "get");
    PyObject* entry = PyDict_GetItemWithError(inner, mv.ptr());
    if (entry == nullptr) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::dict();
    }
    return nb::borrow(entry);
}

// --- MIMO simulator --------------------------------------------------------------

struct MimoBlock {
    MimoBlock(nb::object ts_, nb::object model_dict_, nb::list cv_list_, nb::list mv_list_, nb::object ini_dict_,
              std::vector<nb::object> model_objects_, ovelin::MimoSimulator core_)
        : ts(std::move(ts_)),
          model_dict(std::move(model_dict_)),
          cv_list(std::move(cv_list_)),
          mv_list(std::move(mv_list_)),
          ini_dict(std::move(ini_dict_)),
          model_objects(std::move(model_objects_)),
          cvs(TagIndex::of_items(cv_list)),
          mvs(TagIndex::of_items(mv_list)),
          core(std::move(core_)) {
        if (cvs.size() != core.cv_count() || mvs.size() != core.mv_count())
            throw ovelin::Error(ovelin::Errc::size_mismatch, "repeated tags");
        rebuild_views();
    }
    MimoBlock(MimoBlock&&) noexcept = default;

    nb::handle model(std::size_t c, std::size_t m) const { return model_objects[c * core.mv_count() + m]; }

    // yu_model_obj and cv_simulators over the model objects the core steps.
    void rebuild_views() {
        nb::dict models;
        for (std::size_t c = 0; c < core.cv_count(); ++c) {
            nb::dict row;
            for (std::size_t m = 0; m < core.mv_count(); ++m) row[mvs.key(m)] = model(c, m);
            models[cvs.key(c)] = row;
        }
        yu_model_obj = models;
        rebuild_miso();
    }

    // The summing simulators hold the models and initial values the core
    // uses, so that stepping them by hand moves the same state.
    void rebuild_miso() {
        nb::dict simulators;
        for (std::size_t c = 0; c < core.cv_count(); ++c) {
            nb::list models;
            for (std::size_t m = 0; m < core.mv_count(); ++m) models.append(model(c, m));
            simulators[cvs.key(c)] = new_miso(models, float_list(core.initial_inputs()));
        }
        cv_simulators = simulators;
    }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(ts);
        visit(model_dict);
        visit(cv_list);
        visit(mv_list);
        visit(ini_dict);
        visit(yu_model_obj);
        visit(cv_simulators);
        for (const nb::object& m : model_objects) visit(m);
        cvs.visit_references(visit);
        mvs.visit_references(visit);
    }

    nb::object ts, model_dict;
    nb::list cv_list, mv_list;
    nb::object ini_dict, yu_model_obj, cv_simulators;
    std::vector<nb::object> model_objects;  // row by row; the core steps their filters
    TagIndex cvs, mvs;
    ovelin::MimoSimulator core;
};

struct SisoBlock : MimoBlock {
    using MimoBlock::MimoBlock;
    SisoBlock(MimoBlock&& block) noexcept : MimoBlock(std::move(block)) {}
};

std::vector<double> initial_values(nb::handle ini_dict, const nb::list& tags) {
    std::vector<double> values;
    for (nb::handle tag : tags) {
        PyObject* value = PyDict_GetItemWithError(ini_dict.ptr(), tag.ptr());
        if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
        values.push_back(value == nullptr ? 0.0 : as_double(nb::borrow(value)));
    }
    return values;
}

MimoBlock build_mimo(nb::handle process_model_dict, nb::handle ini_value_dict, nb::handle Ts) {
    require_exact(process_model_dict, &PyDict_Type, "process_model_dict");
    require_dict(ini_value_dict, "ini_value_dict");
    nb::object model_dict = deep_copy(process_model_dict);
    auto [cv_list, mv_list] = get_model_tags(process_model_dict);
    nb::object ini_dict = deep_copy(ini_value_dict);
    std::vector<nb::object> objects;
    std::vector<PairModel> filters;
    for (nb::handle cv : cv_list) {
        for (nb::handle mv : mv_list) {
            BuiltModel built = build_pair_model(pair_entry(process_model_dict, cv, mv), Ts);
            filters.push_back(built.filter);
            objects.push_back(new_model(std::move(built)));
        }
    }
    ovelin::MimoSimulator core(std::move(filters), initial_values(ini_dict, mv_list),
                               initial_values(ini_dict, cv_list));
    return MimoBlock(nb::borrow(Ts), std::move(model_dict), std::move(cv_list), std::move(mv_list), std::move(ini_dict),
                     std::move(objects), std::move(core));
}

// Small simulators convert into the stack; a fault in conversion leaves the
// simulator untouched, and a re-entrant call cannot disturb these buffers.
template <std::size_t N>
struct Scratch {
    explicit Scratch(std::size_t size) : size_(size) {
        if (size > N) heap_.resize(size);
    }
    std::span<double> span() { return size_ > N ? std::span<double>(heap_) : std::span<double>(stack_.data(), size_); }

private:
    std::size_t size_;
    std::array<double, N> stack_;
    std::vector<double> heap_;
};

nb::object mimo_call(MimoBlock& sim, PyObject* u_dict, PyObject* v_dict) {
    if (u_dict != nullptr) require_dict(u_dict, "u_Value_Dict");
    if (v_dict != nullptr) require_dict(v_dict, "v_Value_Dict");
    Scratch<64> u(sim.core.mv_count()), v(sim.core.cv_count());
    const std::span<double> inputs = u.span(), disturbances = v.span();
    std::copy(sim.core.inputs().begin(), sim.core.inputs().end(), inputs.begin());
    std::fill(disturbances.begin(), disturbances.end(), 0.0);
    if (u_dict != nullptr) sim.mvs.read(u_dict, inputs);
    if (v_dict != nullptr) sim.cvs.read(v_dict, disturbances);
    std::copy(inputs.begin(), inputs.end(), sim.core.inputs().begin());
    sim.core.step(disturbances);
    return sim.cvs.make_dict(sim.core.outputs());
}

constexpr Signature<Object, Object> kMimoCall{"__call__", arg<Object>("u_Value_Dict", nullptr, "{}"),
                                              arg<Object>("v_Value_Dict", nullptr, "{}")};

PyMethodDef kMimoCallMethods[] = {
    call_method<MimoBlock, kMimoCall, mimo_call>(
        "One sample: takes the MV values found in u_Value_Dict, steps every pair model once and\n"
        "returns {CV tag: value}, each CV the sum of its pairs plus its disturbance from\n"
        "v_Value_Dict and its initial value. Other tags are ignored."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kMimoSlots[] = {
    call_slot_entry<MimoBlock, kMimoCall, mimo_call>(),
    {Py_tp_methods, kMimoCallMethods},
    traverse_slot<MimoBlock>(),
    clear_slot<MimoBlock>(),
    {0, nullptr},
};
PyType_Slot kSisoSlots[] = {
    call_slot_entry<MimoBlock, kMimoCall, mimo_call>(),
    {Py_tp_methods, kMimoCallMethods},
    traverse_slot<SisoBlock>(),
    clear_slot<SisoBlock>(),
    {0, nullptr},
};

// --- MIMO pickling ------------------------------------------------------------------

constexpr std::size_t kMimoFields = 9;

nb::tuple mimo_state(Self<MimoBlock> self) {
    const MimoBlock& sim = self.block;
    nb::tuple models = nb::steal<nb::tuple>(PyTuple_New(static_cast<Py_ssize_t>(sim.model_objects.size())));
    if (!models.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < sim.model_objects.size(); ++i)
        PyTuple_SET_ITEM(models.ptr(), static_cast<Py_ssize_t>(i), sim.model_objects[i].inc_ref().ptr());
    return pickled_state(self.py, sim.ts, sim.model_dict, sim.cv_list, sim.mv_list, sim.ini_dict, models,
                         to_tuple(sim.core.initial_inputs()), to_tuple(sim.core.initial_outputs()),
                         nb::make_tuple(to_tuple(sim.core.inputs()), to_tuple(sim.core.outputs())));
}

MimoBlock build_mimo_from_state(const StateReader& state) {
    const nb::handle cv_list = state.object(2), mv_list = state.object(3), ini = state.object(4),
                     models = state.object(5), values = state.object(8);
    if (!PyDict_CheckExact(state.object(1).ptr()))
        state.fail(PyExc_TypeError, "field 'process_model_dict' must be a dict");
    if (!PyList_CheckExact(cv_list.ptr())) state.fail(PyExc_TypeError, "field 'cv_list' must be a list");
    if (!PyList_CheckExact(mv_list.ptr())) state.fail(PyExc_TypeError, "field 'mv_list' must be a list");
    if (!PyDict_CheckExact(ini.ptr())) state.fail(PyExc_TypeError, "field 'ini_value_dict' must be a dict");
    if (!PyTuple_CheckExact(models.ptr())) state.fail(PyExc_TypeError, "field 'models' must be a tuple of models");
    if (!PyTuple_CheckExact(values.ptr()) || PyTuple_GET_SIZE(values.ptr()) != 2)
        state.fail(PyExc_TypeError, "field 'values' must be a pair of tuples");
    std::vector<nb::object> objects;
    std::vector<PairModel> filters;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(models.ptr()); ++i) {
        const nb::handle model = PyTuple_GET_ITEM(models.ptr(), i);
        if (!is_native_model(model.ptr()) || !nb::inst_ready(model))
            state.fail(PyExc_TypeError, "field 'models' must hold initialised models, not '%s'",
                       Py_TYPE(model.ptr())->tp_name);
        objects.push_back(nb::borrow(model));
        filters.push_back(held_block<ModelBlock>(model, "a model of the state").filter);
    }
    const std::vector<double> u_ini = state.numbers(6, "u_ini"), y_ini = state.numbers(7, "y_ini");
    const auto numbers_of = [&](Py_ssize_t k, const char* name) {
        const nb::handle item = PyTuple_GET_ITEM(values.ptr(), k);
        if (!PyTuple_CheckExact(item.ptr())) state.fail(PyExc_TypeError, "field '%s' must be a tuple of floats", name);
        std::vector<double> out;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(item.ptr()); ++j) {
            PyObject* v = PyTuple_GET_ITEM(item.ptr(), j);
            if (!PyFloat_CheckExact(v)) state.fail(PyExc_TypeError, "field '%s' must be a tuple of floats", name);
            out.push_back(PyFloat_AS_DOUBLE(v));
        }
        return out;
    };
    const std::vector<double> u = numbers_of(0, "u"), y = numbers_of(1, "y");
    return state.validated("models", [&] {
        ovelin::MimoSimulator core(std::move(filters), u_ini, y_ini);
        core.set_values(u, y);
        return MimoBlock(nb::borrow(state.object(0)), nb::borrow(state.object(1)), nb::borrow<nb::list>(cv_list),
                         nb::borrow<nb::list>(mv_list), nb::borrow(ini), std::move(objects), std::move(core));
    });
}

// --- Step responses -------------------------------------------------------------

void require_int(nb::handle obj, const char* name) {
    require_exact(obj, &PyLong_Type, name);
}

nb::dict get_model_stp(nb::handle yu_model, nb::handle Ts, nb::handle length) {
    require_exact(yu_model, &PyDict_Type, "yu_model");
    require_int(Ts, "Ts");
    require_int(length, "length");
    const Py_ssize_t n = PyLong_AsSsize_t(length.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    auto [cvs, mvs] = get_model_tags(yu_model);
    std::vector<PairModel> models;
    for (nb::handle cv : cvs) {
        for (nb::handle mv : mvs) {
            models.push_back(build_pair_model(pair_entry(yu_model, cv, mv), Ts).filter);
            if (n < 1) throw nb::value_error("max() arg is an empty sequence");
        }
    }
    std::vector<std::vector<double>> responses(models.size());
    {
        nb::gil_scoped_release released;
        for (std::size_t i = 0; i < models.size(); ++i) {
            responses[i] = ovelin::pair_step_response(models[i].get(), static_cast<std::size_t>(n));
            if (ovelin::is_flat(responses[i], 1e-6)) responses[i].clear();
        }
    }
    nb::dict result;
    std::size_t i = 0;
    for (nb::handle cv : cvs) {
        nb::dict row;
        for (nb::handle mv : mvs) row[mv] = float_list(responses[i++]);
        result[cv] = row;
    }
    return result;
}

void plot_model_stp(nb::handle yu_model, nb::handle Ts, nb::handle plotLen) {
    require_exact(yu_model, &PyDict_Type, "yu_model");
    require_int(Ts, "Ts");
    require_int(plotLen, "plotLen");
    if (nb::module_::import_("importlib.util").attr("find_spec")("matplotlib").is_none()) return;
    const nb::dict responses = get_model_stp(yu_model, Ts, plotLen);
    const nb::module_ plt = nb::module_::import_("matplotlib.pyplot");
    const nb::module_ gridspec = nb::module_::import_("matplotlib.gridspec");
    nb::list fonts;
    fonts.append("SimHei");
    plt.attr("rcParams")["font.sans-serif"] = fonts;
    plt.attr("rcParams")["axes.unicode_minus"] = false;
    auto [cvs, mvs] = get_model_tags(yu_model);
    const std::size_t cv_num = nb::len(cvs), mv_num = nb::len(mvs);
    const nb::object figure = plt.attr("figure")(nb::arg("figsize") = nb::make_tuple(5 * mv_num, 5 * cv_num),
                                                 nb::arg("facecolor") = "w", nb::arg("tight_layout") = true);
    const nb::object grid = gridspec.attr("GridSpec")(cv_num, mv_num);
    std::size_t counter = 0;
    for (nb::handle cv : cvs) {
        for (nb::handle mv : mvs) {
            const nb::object response = responses[cv][mv];
            const nb::object axes = figure.attr("add_subplot")(grid[nb::int_(counter)]);
            axes.attr("plot")(nb::module_::import_("builtins").attr("range")(nb::len(response)), response);
            axes.attr("set_title")(nb::str("{}-{}").format(cv, mv), nb::arg("fontsize") = 11);
            axes.attr("grid")(true);
            const bool empty = nb::len(response) == 0;
            axes.attr("tick_params")(nb::arg("axis") = "both", nb::arg("labelsize") = empty ? 0 : 15);
            if (empty) axes.attr("tick_params")(nb::arg("labelbottom") = false, nb::arg("labelleft") = false);
            ++counter;
        }
    }
    plt.attr("show")();
}

}  // namespace

NB_MODULE(processsim, m) {
    register_error_translation();
    m.doc() = "Process models, the MIMO simulator over a process model dictionary, and step responses.";

    // Models.
    auto model = bind_class<ModelBlock>(m, "model", nb::dynamic_attr(),
                                        "Abstract base of the process models: one deltaU_sim(dU) per sample.");
    model.def("__init__", &init_model, "For subclasses that define deltaU_sim; the base itself is abstract.");
    def_method(
        model, "deltaU_sim", "One sample of the model; abstract here: a model class gives it.",
        [](ModelBlock&, nb::handle) -> double {
            PyErr_SetString(PyExc_NotImplementedError, "deltaU_sim is abstract");
            throw nb::python_error();
        },
        nb::sig("def deltaU_sim(self, dU: float = 0.0) -> float"), nb::arg("dU").none() = 0.0);
    def_pickle<ModelBlock>(model, "model", 0, empty_model_state<ModelBlock>, build_empty_model<ModelBlock>);

    auto no_model = bind_subclass<NoModelBlock, ModelBlock>(m, "no_model", nb::type_slots(kNoModelSlots),
                                                            "The pair without a model: always 0.0.");
    no_model.def("__init__", [](NoModelBlock* self) { new (self) NoModelBlock(); }, "The pair without a model.");
    def_pickle<NoModelBlock>(no_model, "no_model", 0, empty_model_state<NoModelBlock>, build_empty_model<NoModelBlock>);

    // The documented default lists, whole numbers as ints as they are written.
    const auto numbers = [](std::initializer_list<double> values) {
        nb::list list;
        for (const double v : values) {
            if (v == std::trunc(v))
                list.append(nb::int_(static_cast<long>(v)));
            else
                list.append(nb::float_(v));
        }
        return list;
    };

    auto tfz =
        bind_subclass<TfzBlock, ModelBlock>(m, "tfz_model", nb::type_slots(kTfzSlots),
                                            "Discrete transfer function B(z^-1)/A(z^-1) with a dead time in samples.");
    tfz.def(
        "__init__",
        [](TfzBlock* self, nb::handle num, nb::handle den, nb::handle delay) {
            TfzBlock block;
            block.filter = tfz_filter(num, den, delay);
            new (self) TfzBlock(std::move(block));
        },
        nb::sig("def __init__(self, num: collections.abc.Sequence[float] | numpy.ndarray = [0, 1, 0.5], den: "
                "collections.abc.Sequence[float] | numpy.ndarray = [1, -1.5, 0.7], delay: int = 0) -> None"),
        "Coefficients num and den in ascending powers of z^-1 and a dead time of delay samples.",
        nb::arg("num").none() = numbers({0, 1, 0.5}), nb::arg("den").none() = numbers({1, -1.5, 0.7}),
        nb::arg("delay").none() = 0);
    def_method(tfz, "reset_zi", "Puts the model at rest: every state element 0.0.", [](TfzBlock& b) {
        const std::vector<double> zeros(b.filter->state_size(), 0.0);
        b.filter->set_state(zeros);
    });
    def_property(tfz, "Gz_num", "numpy.ndarray", [](const TfzBlock& b) { return to_numpy(b.filter->b()); });
    def_property(tfz, "Gz_den", "numpy.ndarray", [](const TfzBlock& b) { return to_numpy(b.filter->a()); });
    def_property(
        tfz, "_zi", "list[float]", [](const TfzBlock& b) { return float_list(b.filter->state()); },
        [](TfzBlock& b, nb::handle value) { b.filter->set_state(as_float64_vector(value)); });
    def_filter_model_pickle(tfz, "tfz_model");

    auto tfs = bind_subclass<TfsBlock, TfzBlock>(
        m, "tfs_model", "Continuous transfer function with dead time, discretised by zero-order hold.");
    tfs.def(
        "__init__",
        [](TfsBlock* self, nb::handle num, nb::handle den, nb::handle delay, nb::handle Ts) {
            TfsBlock block;
            block.filter = tfs_filter(num, den, delay, Ts);
            new (self) TfsBlock(std::move(block));
        },
        nb::sig("def __init__(self, num: collections.abc.Sequence[float] | numpy.ndarray = [0, 1], den: "
                "collections.abc.Sequence[float] | numpy.ndarray = [5, 1], delay: float = 0, Ts: float = 1) -> None"),
        "The transfer function num(s)/den(s) with a dead time of delay seconds, discretised by zero-order hold at "
        "sample time Ts.",
        nb::arg("num").none() = numbers({0, 1}), nb::arg("den").none() = numbers({5, 1}), nb::arg("delay").none() = 0,
        nb::arg("Ts").none() = 1);
    def_filter_model_pickle(tfs, "tfs_model");

    auto stp = bind_subclass<StpBlock, TfzBlock>(m, "stp_model", "Sampled step response, one value per sample.");
    stp.def(
        "__init__",
        [](StpBlock* self, nb::handle s) {
            StpBlock block;
            block.filter = stp_filter(as_float64_vector(s));
            new (self) StpBlock(std::move(block));
        },
        nb::sig(
            "def __init__(self, stp: collections.abc.Sequence[float] | numpy.ndarray = [0.5, 1, 2, 3, 4, 5]) -> None"),
        "The response to a unit step, one value per sample from the first sample after the step.",
        nb::arg("stp").none() = numbers({0.5, 1, 2, 3, 4, 5}));
    def_filter_model_pickle(stp, "stp_model");

    auto stpxy = bind_subclass<StpxyBlock, StpBlock>(
        m, "stpxy_model", "Step response given by points (sample index, value), interpolated linearly.");
    stpxy.def(
        "__init__",
        [](StpxyBlock* self, nb::handle x, nb::handle y) {
            StpxyBlock block;
            block.filter = stpxy_filter(x, y);
            new (self) StpxyBlock(std::move(block));
        },
        nb::sig("def __init__(self, x: collections.abc.Sequence[float] | numpy.ndarray = [1, 2, 3], y: "
                "collections.abc.Sequence[float] | numpy.ndarray = [10, 20, 30]) -> None"),
        "Step response points: sample indexes x and values y, interpolated linearly between them.",
        nb::arg("x").none() = numbers({1, 2, 3}), nb::arg("y").none() = numbers({10, 20, 30}));
    def_filter_model_pickle(stpxy, "stpxy_model");

    // Tags and simulators.
    m.def("get_model_tags", &get_model_tags, nb::sig("def get_model_tags(yu_model: dict) -> tuple[list, list]"),
          nb::arg("yu_model").none(), "(CV tags, MV tags) of a process model dictionary.");

    auto miso = bind_class<MisoBlock>(m, "MISOSimulator", nb::dynamic_attr(), nb::type_slots(kMisoSlots),
                                      "Sums the outputs of the models of one CV.");
    miso.def(
        "__init__",
        [](MisoBlock* self, nb::handle model_list, nb::handle u_ini_list) {
            new (self) MisoBlock{nb::borrow(model_list), nb::borrow(u_ini_list)};
        },
        nb::sig("def __init__(self, model_list: list, u_ini_list: list) -> None"),
        "The models of one CV and the initial value of each model's MV.", nb::arg("model_list").none(),
        nb::arg("u_ini_list").none());
    def_method(miso, "one_step_sim", &one_step_sim,
               nb::sig("def one_step_sim(self, u_list: collections.abc.Sequence[float] | numpy.ndarray) -> float"),
               nb::arg("u_list").none(), "One sample: the sum of the model outputs for the MV values u_list.");
    def_object_member(miso, "model_list", "list", &MisoBlock::models);
    def_object_member(miso, "u_ini_list", "list", &MisoBlock::u_ini);
    def_pickle<MisoBlock>(
        miso, "MISOSimulator", 2, [](Self<MisoBlock> s) { return pickled_state(s.py, s.block.models, s.block.u_ini); },
        [](const StateReader& state) { return MisoBlock{nb::borrow(state.object(0)), nb::borrow(state.object(1))}; });

    auto mimo = bind_class<MimoBlock>(m, "MIMOSim", nb::dynamic_attr(), nb::type_slots(kMimoSlots),
                                      "Multi-input multi-output process simulator over a process model dictionary.");
    mimo.def(
        "__init__",
        [](MimoBlock* self, nb::handle process_model_dict, nb::handle ini_value_dict, nb::handle Ts) {
            new (self) MimoBlock(build_mimo(process_model_dict, ini_value_dict, Ts));
        },
        nb::sig("def __init__(self, process_model_dict: dict, ini_value_dict: dict[str, float] = {}, Ts: float = 1) -> "
                "None"),
        "A simulator of the process model dictionary {CV: {MV: pair model}}, sample time Ts, starting at the values of "
        "ini_value_dict (0.0 where missing).",
        nb::arg("process_model_dict").none(), nb::arg("ini_value_dict").none() = nb::dict(), nb::arg("Ts").none() = 1);
    def_method(mimo, "reset", "Puts the MV and CV values back at their initial values; the models keep their state.",
               [](MimoBlock& sim) {
                   sim.core.reset();
                   sim.rebuild_miso();
               });
    def_method(mimo, "get_input_data_dict", "The current MV values, {MV tag: value}, in a new dictionary.",
               [](const MimoBlock& sim) { return sim.mvs.make_dict(sim.core.inputs()); });
    def_method(mimo, "get_output_data_dict", "The current CV values, {CV tag: value}, in a new dictionary.",
               [](const MimoBlock& sim) { return sim.cvs.make_dict(sim.core.outputs()); });
    def_method(mimo, "get_all_data_dict", "The current MV and CV values in one new dictionary.",
               [](const MimoBlock& sim) {
                   nb::dict all = sim.mvs.make_dict(sim.core.inputs());
                   if (PyDict_Update(all.ptr(), sim.cvs.make_dict(sim.core.outputs()).ptr()) != 0)
                       throw nb::python_error();
                   return all;
               });
    def_method(mimo, "get_cv_list", "A copy of the CV tags, in order.",
               [](const MimoBlock& sim) { return deep_copy(sim.cv_list); });
    def_method(mimo, "get_mv_list", "A copy of the MV tags, in order.",
               [](const MimoBlock& sim) { return deep_copy(sim.mv_list); });
    def_method(mimo, "get_model_dict", "A deep copy of the process model dictionary.",
               [](const MimoBlock& sim) { return deep_copy(sim.model_dict); });
    def_method(mimo, "get_process_tags", "The CV tags followed by the MV tags, in a new list.",
               [](const MimoBlock& sim) {
                   nb::list tags;
                   for (nb::handle t : sim.cv_list) tags.append(t);
                   for (nb::handle t : sim.mv_list) tags.append(t);
                   return tags;
               });
    def_method(
        mimo, "plot_model_stp",
        [](const MimoBlock& sim, nb::handle plotLen) { plot_model_stp(sim.model_dict, sim.ts, plotLen); },
        nb::sig("def plot_model_stp(self, plotLen: int = 300) -> None"), nb::arg("plotLen").none() = 300,
        "Plots the step responses of this simulator's model dictionary.");
    def_property(mimo, "Ts", "typing.Any", [](const MimoBlock& sim) { return sim.ts; });
    def_property(mimo, "process_model_dict", "dict", [](const MimoBlock& sim) { return sim.model_dict; });
    def_property(mimo, "cv_list", "list", [](const MimoBlock& sim) { return sim.cv_list; });
    def_property(mimo, "mv_list", "list", [](const MimoBlock& sim) { return sim.mv_list; });
    def_property(mimo, "ini_value_dict", "dict", [](const MimoBlock& sim) { return sim.ini_dict; });
    def_property(mimo, "yu_model_obj", "dict[str, dict[str, model]]",
                 [](const MimoBlock& sim) { return sim.yu_model_obj; });
    def_property(mimo, "cv_simulators", "dict[str, MISOSimulator]",
                 [](const MimoBlock& sim) { return sim.cv_simulators; });
    def_property(mimo, "_u_dict", [](const MimoBlock& sim) { return sim.mvs.make_dict(sim.core.inputs()); });
    def_property(mimo, "_y_dict", [](const MimoBlock& sim) { return sim.cvs.make_dict(sim.core.outputs()); });
    def_pickle<MimoBlock>(mimo, "MIMOSim", kMimoFields, mimo_state, build_mimo_from_state);
    // A copy is a separate simulator: it owns its models (a shallow copy
    // would step the same models from two simulators).
    def_method(mimo, "__copy__", "A separate simulator that owns copies of the models.",
               [](Self<MimoBlock> self) { return deep_copy(self.py); });

    auto siso = bind_subclass<SisoBlock, MimoBlock>(m, "SISOSim", nb::type_slots(kSisoSlots),
                                                    "MIMOSim of the single pair gain e^(-delay s) / (tao s + 1).");
    siso.def(
        "__init__",
        [](SisoBlock* self, nb::handle gain, nb::handle tao, nb::handle delay, nb::handle Ts, nb::handle integral) {
            nb::dict entry, row, models, ini;
            entry["mode"] = "tf_s";
            nb::list num, den;
            num.append(0);
            num.append(gain);
            den.append(tao);
            den.append(1);
            entry["num_s"] = num;
            entry["den_s"] = den;
            entry["iodelay_s"] = delay;
            entry["IntegralMark"] = integral;
            row["MV"] = entry;
            models["CV"] = row;
            ini["CV"] = 0.0;
            ini["MV"] = 0.0;
            new (self) SisoBlock(build_mimo(models, ini, Ts));
        },
        nb::sig("def __init__(self, gain: float, tao: float, delay: float = 0, Ts: float = 1, integralMark: int = 0) "
                "-> None"),
        "The single pair gain e^(-delay s) / (tao s + 1), integrating when integralMark is 1, sampled every Ts.",
        nb::arg("gain").none(), nb::arg("tao").none(), nb::arg("delay").none() = 0, nb::arg("Ts").none() = 1,
        nb::arg("integralMark").none() = 0);
    def_pickle<SisoBlock>(
        siso, "SISOSim", kMimoFields, [](Self<SisoBlock> s) { return mimo_state(Self<MimoBlock>{s.py, s.block}); },
        [](const StateReader& state) { return SisoBlock(build_mimo_from_state(state)); });

    // Step responses.
    m.def(
        "get_model_stp", &get_model_stp,
        nb::sig(
            "def get_model_stp(yu_model: dict, Ts: float = 1, length: int = 300) -> dict[str, dict[str, list[float]]]"),
        nb::arg("yu_model").none(), nb::arg("Ts").none() = 1, nb::arg("length").none() = 300,
        "Unit-step response of every CV/MV pair, by simulation.");
    m.def("plot_model_stp", &plot_model_stp,
          nb::sig("def plot_model_stp(yu_model: dict, Ts: float = 1, plotLen: int = 300) -> None"),
          nb::arg("yu_model").none(), nb::arg("Ts").none() = 1, nb::arg("plotLen").none() = 300,
          "Plots the step responses of every CV/MV pair as a matrix of axes.");
}
