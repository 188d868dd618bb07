// Python module ovelin.algorithm.lpvplant: a linear parameter-varying plant
// that runs one MIMOSim per local model and blends the two neighbours of the
// working value. The core steps the local simulators and blends them.

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "block_slots.hpp"
#include "conventions.hpp"
#include "errors.hpp"
#include "fast_call.hpp"
#include "instance.hpp"
#include "parameters.hpp"
#include "pickle.hpp"
#include "plant.hpp"
#include "processsim/mimo_block.hpp"
#include "sim_bindings.hpp"

namespace ovelin::binding {

namespace {

// The working points in list order; a record without one sorts last.
std::vector<double> working_points(const nb::list& records) {
    std::vector<double> points;
    for (nb::handle r : records) points.push_back(record_of(r).working_point.value_or(NAN));
    return points;
}

// Replaces the items of plant_list in place: callers may hold the list.
void set_records(LpvBlock& plant, const nb::list& records) {
    const nb::list list = plant.plant_list;
    if (PyList_SetSlice(list.ptr(), 0, PY_SSIZE_T_MAX, records.ptr()) != 0) throw nb::python_error();
}

// Ascending by working point, keeping of equal points the record nearest the front.
void sort_by_working_point(LpvBlock& plant) {
    const nb::list records = copy_of(plant.plant_list);
    const std::vector<double> points = working_points(records);
    std::vector<std::size_t> order(points.size());
    std::iota(order.begin(), order.end(), 0);
    const auto before = [&](std::size_t a, std::size_t b) {
        return points[a] < points[b] || (!std::isnan(points[a]) && std::isnan(points[b]));
    };
    std::stable_sort(order.begin(), order.end(), before);
    nb::list sorted;
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k > 0 && points[order[k]] == points[order[k - 1]]) continue;
        sorted.append(records[order[k]]);
    }
    set_records(plant, sorted);
}

bool same_id(nb::handle record, nb::handle plant_id) {
    const nb::object id = record_of(record).plant_id;  // held: comparing may run code
    const int equal = PyObject_RichCompareBool(id.ptr(), plant_id.ptr(), Py_EQ);
    if (equal < 0) throw nb::python_error();
    return equal == 1;
}

void del_plant(LpvBlock& plant, nb::handle plant_id) {
    require_exact(plant_id, &PyLong_Type, "plant_id");
    const nb::list before = copy_of(plant.plant_list);  // comparing may run code
    nb::list kept;
    for (nb::handle r : before)
        if (!same_id(r, plant_id)) kept.append(r);
    if (nb::len(kept) == nb::len(before)) return;
    set_records(plant, kept);
    sort_by_working_point(plant);
}

// The tags of the new simulator that the plant does not know yet, with their initial values.
std::vector<std::pair<nb::object, nb::object>> new_tags(const LpvBlock& plant, const TagIndex& plant_tags,
                                                        const TagIndex& tags) {
    std::vector<std::pair<nb::object, nb::object>> out;
    for (const nb::object& key : tags.snapshot())  // held: finding a key may run code
        if (!plant_tags.find(key)) out.emplace_back(key, initial_object(plant, key));
    return out;
}

// Builds the new local simulator first and changes the plant only once it
// stands, so a faulty model dictionary leaves the plant as it was.
void add_plant(LpvBlock& plant, nb::handle plant_id, nb::handle working_point, nb::handle yu_model_tf, nb::handle Ts) {
    require_exact(plant_id, &PyLong_Type, "plant_id");
    const double point = as_double(working_point);
    require_exact(yu_model_tf, &PyDict_Type, "yu_model_tf");
    require_exact(Ts, &PyLong_Type, "Ts");
    if (std::isnan(point)) throw nb::value_error("working_point must not be NaN");

    nb::object local_ini = deep_copy(plant.ini_dict);
    for (nb::handle cv : keys_of(yu_model_tf))
        if (PyDict_SetItem(local_ini.ptr(), cv.ptr(), nb::float_(0.0).ptr()) != 0) throw nb::python_error();
    const nb::object simulator = nb::handle(reinterpret_cast<PyObject*>(bound_type<MimoBlock>))(
        yu_model_tf, nb::arg("ini_value_dict") = local_ini, nb::arg("Ts") = Ts);
    const MimoBlock& sim = held_block<MimoBlock>(simulator, "the local simulator");
    const auto new_cvs = new_tags(plant, plant.cv_tags, sim.cvs), new_mvs = new_tags(plant, plant.mv_tags, sim.mvs);
    std::vector<double> cv_values, mv_values;
    for (const auto& [tag, value] : new_cvs) cv_values.push_back(initial_number(tag, value));
    for (const auto& [tag, value] : new_mvs) mv_values.push_back(initial_number(tag, value));

    nb::object record = nb::borrow(reinterpret_cast<PyObject*>(bound_type<LocalPlantBlock>))();
    LocalPlantBlock& r = record_of(record);
    r.plant_id = nb::borrow(plant_id);
    r.working_point = point;
    r.yu_model_tf = nb::borrow(yu_model_tf);
    r.ts = nb::borrow(Ts);
    r.plant = simulator;

    del_plant(plant, plant_id);
    for (std::size_t i = 0; i < new_cvs.size(); ++i) {
        const std::size_t at = plant.cv_tags.add(new_cvs[i].first);
        while (plant.core.cv_count() <= at) plant.core.add_output(cv_values[i]);
    }
    for (std::size_t i = 0; i < new_mvs.size(); ++i) {
        const std::size_t at = plant.mv_tags.add(new_mvs[i].first);
        while (plant.core.mv_count() <= at) {
            plant.core.add_input(mv_values[i]);
            plant.u_objects.push_back(new_mvs[i].second);
        }
    }
    const nb::list list = plant.plant_list;
    if (PyList_Insert(list.ptr(), 0, record.ptr()) != 0) throw nb::python_error();
    sort_by_working_point(plant);
}

// --- Saved state ---------------------------------------------------------------------

constexpr std::size_t kLpvFields = 6;

nb::list tag_list(const TagIndex& tags) {
    nb::list out;
    for (const nb::object& key : tags.snapshot()) out.append(key);
    return out;
}

nb::tuple lpv_state(Self<LpvBlock> self) {
    const LpvBlock& p = self.block;
    nb::list u;
    for (const nb::object& v : p.u_objects) u.append(v);
    return pickled_state(self.py, p.ini_dict, nb::tuple(copy_of(p.plant_list)), p.core.working_value(),
                         nb::make_tuple(tag_list(p.mv_tags), nb::tuple(u)),
                         nb::make_tuple(tag_list(p.cv_tags), to_tuple(p.core.outputs())),
                         to_tuple(p.core.output_offsets()));
}

// (tags, values) of a saved state, each tag once.
std::pair<TagIndex, nb::tuple> saved_tags(const StateReader& state, std::size_t i, const char* name) {
    const nb::handle item = state.object(i);
    if (!PyTuple_CheckExact(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2 ||
        !PyList_CheckExact(PyTuple_GET_ITEM(item.ptr(), 0)))
        state.fail(PyExc_TypeError, "field '%s' must be a (list, tuple) pair", name);
    const nb::handle values = PyTuple_GET_ITEM(item.ptr(), 1);
    TagIndex tags = TagIndex::of_items(copy_of(PyTuple_GET_ITEM(item.ptr(), 0)));
    if (!PyTuple_CheckExact(values.ptr()) || static_cast<std::size_t>(PyTuple_GET_SIZE(values.ptr())) != tags.size())
        state.fail(PyExc_ValueError, "field '%s' must have one value per tag, each tag once", name);
    return {std::move(tags), nb::borrow<nb::tuple>(values)};
}

LpvBlock build_lpv(const StateReader& state) {
    LpvBlock p;
    if (!PyDict_CheckExact(state.object(0).ptr())) state.fail(PyExc_TypeError, "field 'ini_value_dict' must be a dict");
    p.ini_dict = nb::borrow<nb::dict>(state.object(0));
    const nb::handle records = state.object(1);
    if (!PyTuple_CheckExact(records.ptr())) state.fail(PyExc_TypeError, "field 'plant_list' must be a tuple");
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(records.ptr()); ++k) {
        const nb::handle r = PyTuple_GET_ITEM(records.ptr(), k);
        if (!is_ready_instance<LocalPlantBlock>(r))
            state.fail(PyExc_TypeError, "field 'plant_list' must hold initialised LPVLocalPlant records");
        p.plant_list.append(r);
    }
    const double working_value = state.number(2, "_working_value");
    auto [mv_tags, u_values] = saved_tags(state, 3, "_u_dict");
    auto [cv_tags, y_values] = saved_tags(state, 4, "_y_dict");
    p.u_objects = saved_numbers(state, u_values, "_u_dict");
    const std::vector<double> y = saved_floats(state, y_values, "_y_dict");
    const std::vector<double> offsets = state.numbers(5, "y_offset", y.size());
    std::vector<double> u;
    for (const nb::object& v : p.u_objects) u.push_back(as_double(v));
    for (const double value : u) p.core.add_input(value);
    for (const double offset : offsets) p.core.add_output(offset);
    p.core.set_values(working_value, u, y);
    p.mv_tags = std::move(mv_tags);
    p.cv_tags = std::move(cv_tags);
    return p;
}

// --- The Python class ----------------------------------------------------------------

constexpr Signature<Float, Object, Object> kLpvCall{"__call__", arg<Float>("working_value"),
                                                    arg<Object>("u_Value_Dict", nullptr, "{}"),
                                                    arg<Object>("v_Value_Dict", nullptr, "{}")};
constexpr Signature<Float, Object, Object> kLpvRun{"run", arg<Float>("working_value"),
                                                   arg<Object>("u_Value_Dict", nullptr, "{}"),
                                                   arg<Object>("v_Value_Dict", nullptr, "{}")};

constexpr const char* kLpvCallDoc =
    "One sample at the working point working_value: the outputs of the local plants blended by\n"
    "their weights, as {CV tag: value}. u_Value_Dict sets MV values and v_Value_Dict adds\n"
    "disturbances to CVs; other tags are ignored.";

nb::dict input_values_copy(const LpvBlock& p) {
    return kept_values_copy(p.mv_tags, std::span<const nb::object>(p.u_objects));
}

template <class C>
void def_getters(C& lpv) {
    def_method(lpv, "get_input_data_dict", "The current MV values, {MV tag: value}, in a new dictionary.",
               &input_values_copy);
    def_method(lpv, "get_output_data_dict", "The current CV values, {CV tag: value}, in a new dictionary.",
               [](const LpvBlock& p) { return p.cv_tags.make_dict(p.core.outputs()); });
    def_method(lpv, "get_all_data_dict", "The current MV and CV values in one new dictionary.", [](const LpvBlock& p) {
        nb::dict all = input_values_copy(p);
        if (PyDict_Update(all.ptr(), p.cv_tags.make_dict(p.core.outputs()).ptr()) != 0) throw nb::python_error();
        return all;
    });
    def_method(lpv, "get_plant_dict", "{plant id: local plant} of the local models, in working-point order.",
               [](const LpvBlock& p) {
                   nb::dict out;
                   for (nb::handle r : copy_of(p.plant_list)) out[record_of(r).plant_id] = r;
                   return out;
               });
    def_method(lpv, "get_current_plant_weight_dict", "{plant id: weight} of the latest call's blend.",
               [](const LpvBlock& p) {
                   nb::dict out;
                   for (nb::handle r : copy_of(p.plant_list))
                       out[record_of(r).plant_id] = nb::float_(record_of(r).current_weight);
                   return out;
               });
    def_method(lpv, "get_cv_list", "A copy of the CV tags, in order.",
               [](const LpvBlock& p) { return tag_list(p.cv_tags); });
    def_method(lpv, "get_mv_list", "A copy of the MV tags, in order.",
               [](const LpvBlock& p) { return tag_list(p.mv_tags); });
}

}  // namespace

nb::object initial_object(const LpvBlock& plant, nb::handle tag) {
    const nb::dict ini = plant.ini_dict;  // held: the lookup may run code
    PyObject* value = PyDict_GetItemWithError(ini.ptr(), tag.ptr());
    if (value == nullptr) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::float_(0.0);
    }
    return nb::borrow(value);
}

double initial_value(const LpvBlock& plant, nb::handle tag) {
    return initial_number(tag, initial_object(plant, tag));
}

double initial_number(nb::handle tag, const nb::object& held) {
    double out;
    if (!to_double(held.ptr(), out)) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "initial value of %R must be a number, not '%s'", tag.ptr(),
                     Py_TYPE(held.ptr())->tp_name);
        throw nb::python_error();
    }
    return out;
}

void def_plant(nb::module_& m) {
    auto lpv = bind_class<LpvBlock>(m, "LPVPlantSim", nb::dynamic_attr(),
                                    BlockSlots<LpvBlock>()
                                        .call<kLpvCall, lpv_call>(kLpvCallDoc)
                                        .method<kLpvRun, lpv_call>("One sample: the same as calling the plant."),
                                    "Plant whose local MIMO simulators are blended by working point.");
    def_init(
        lpv,
        [](nb::handle ini_value_dict) {
            require_dict(ini_value_dict, "ini_value_dict");
            LpvBlock p;
            if (PyDict_Update(p.ini_dict.ptr(), deep_copy(ini_value_dict).ptr()) != 0) throw nb::python_error();
            return p;
        },
        Parameters("None", parameter("ini_value_dict: dict[str, float]", nb::dict())),
        "An LPV plant without local models; ini_value_dict holds the initial value of each tag.");
    def_method(lpv, "addPlant", &add_plant,
               Parameters("None", parameter("plant_id: int"), parameter("working_point: float"),
                          parameter("yu_model_tf: dict"), parameter("Ts: int")),
               "Adds a local model at a working point, replacing one with the same id or working point.");
    def_method(lpv, "delPlant", &del_plant, Parameters("None", parameter("plant_id: int")),
               "Removes the local model with this id.");
    def_method(lpv, "_sort_plant_list_by_working_point", "Orders the local plants by working point.",
               &sort_by_working_point);
    def_getters(lpv);
    def_method(
        lpv, "plot_model_stp",
        [](const LpvBlock& p, nb::handle plant_id, nb::handle plotLen) {
            for (nb::handle r : copy_of(p.plant_list)) {
                if (!same_id(r, plant_id)) continue;
                const nb::object simulator = record_of(r).plant;
                simulator.attr("plot_model_stp")(plotLen);
                return;
            }
        },
        Parameters("None", parameter("plant_id: int"), parameter("plotLen: int", 300)),
        "Plots the step responses of the first local model with this id.");
    def_property(lpv, "plant_list", "list[LPVLocalPlant]", [](const LpvBlock& p) { return p.plant_list; });
    def_property(lpv, "ini_value_dict", "dict", [](const LpvBlock& p) { return deep_copy(p.ini_dict); });
    def_property(lpv, "_working_value", [](const LpvBlock& p) { return p.core.working_value(); });
    def_property(lpv, "_u_dict",
                 [](const LpvBlock& p) { return p.mv_tags.make_dict(std::span<const nb::object>(p.u_objects)); });
    def_property(lpv, "_y_dict", [](const LpvBlock& p) { return p.cv_tags.make_dict(p.core.outputs()); });
    def_pickle<LpvBlock>(lpv, "LPVPlantSim", kLpvFields, lpv_state, build_lpv);
    // A copy is a separate plant: it owns its local simulators.
    def_method(lpv, "__copy__", "A separate plant that owns copies of the local simulators.",
               [](Self<LpvBlock> self) { return deep_copy(self.py); });
}

}  // namespace ovelin::binding

NB_MODULE(lpvplant, m) {
    using namespace ovelin::binding;
    register_error_translation();
    m.doc() = "Linear parameter-varying plant: local MIMO simulators blended by working point.";
    const nb::module_ processsim = nb::module_::import_("ovelin.algorithm.processsim");
    // The local simulators' blocks are read here: their types are processsim's
    // (kept for the module's lifetime).
    bound_type<MimoBlock> = reinterpret_cast<PyTypeObject*>(nb::object(processsim.attr("MIMOSim")).release().ptr());
    bound_type<SisoBlock> = reinterpret_cast<PyTypeObject*>(nb::object(processsim.attr("SISOSim")).release().ptr());
    def_records(m);
    def_plant(m);
}
