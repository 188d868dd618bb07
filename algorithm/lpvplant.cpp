// Python module ovelin.algorithm.lpvplant: a linear parameter-varying plant
// that runs one MIMOSim per local model and blends the two neighbours of the
// working value.

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include "conventions.hpp"
#include "fast_call.hpp"
#include "gc.hpp"
#include "instance.hpp"
#include "ovelin/lpv_blend.hpp"
#include "pickle.hpp"
#include "tag_index.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;

namespace {

// processsim.MIMOSim, imported once with the module and kept for its lifetime.
PyObject* g_mimo_type = nullptr;

nb::object deep_copy(nb::handle obj) {
    return nb::module_::import_("copy").attr("deepcopy")(obj);
}

// A new list with the items of `list`, so that no caller holds our own.
nb::list copy_of(const nb::list& list) {
    PyObject* copy = PySequence_List(list.ptr());
    if (copy == nullptr) throw nb::python_error();
    return nb::steal<nb::list>(copy);
}

// Any dict, as the local simulators take their dictionaries.
void require_dict(nb::handle obj, const char* name) {
    if (!PyDict_Check(obj.ptr())) raise_incorrect_type(name, &PyDict_Type, obj);
}

bool is_ready_simulator(nb::handle obj) {
    return PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(g_mimo_type)) && nb::inst_ready(obj);
}

// --- One local model --------------------------------------------------------------

struct LocalPlantBlock {
    nb::object plant_id = nb::none(), plant = nb::none(), yu_model_tf = nb::none(), ts = nb::int_(1);
    std::optional<double> working_point;
    double current_weight = 0.0;

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(plant_id);
        visit(plant);
        visit(yu_model_tf);
        visit(ts);
    }
};

PyType_Slot kLocalSlots[] = {traverse_slot<LocalPlantBlock>(), clear_slot<LocalPlantBlock>(), {0, nullptr}};

constexpr std::size_t kLocalFields = 6;

nb::tuple local_state(Self<LocalPlantBlock> self) {
    const LocalPlantBlock& r = self.block;
    const nb::object wp = r.working_point ? nb::object(nb::float_(*r.working_point)) : nb::none();
    return pickled_state(self.py, r.plant_id, wp, r.plant, r.yu_model_tf, r.ts, r.current_weight);
}

LocalPlantBlock build_local(const StateReader& state) {
    LocalPlantBlock r;
    r.plant_id = nb::borrow(state.object(0));
    if (!state.object(1).is_none()) r.working_point = state.number(1, "working_point");
    r.plant = nb::borrow(state.object(2));
    r.yu_model_tf = nb::borrow(state.object(3));
    r.ts = nb::borrow(state.object(4));
    r.current_weight = state.number(5, "current_weight");
    return r;
}

LocalPlantBlock& record_of(nb::handle obj) {
    return checked_self<LocalPlantBlock>(obj, "plant_list");
}

// --- The plant ---------------------------------------------------------------------

// Tags in the order they became known, with their values. Tags are never
// removed, so a position stays valid.
struct TagValues {
    nb::list tags;
    TagIndex index;
    std::vector<double> values;

    void append(nb::handle tag, double value) {
        if (PyList_Append(tags.ptr(), tag.ptr()) != 0) throw nb::python_error();
        index = TagIndex::of_items(tags);
        values.push_back(value);
    }
    nb::dict dict() const { return index.make_dict(values); }
    bool contains(nb::handle tag) const { return index.find(tag).has_value(); }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(tags);
        index.visit_references(visit);
    }
};

struct LpvBlock {
    nb::dict ini_dict;
    std::vector<nb::object> records;  // LPVLocalPlant, ascending by working point
    double working_value = 0.0;
    TagValues u, y;
    std::vector<double> y_offset;  // the initial value of every output tag, by position

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(ini_dict);
        for (const nb::object& r : records) visit(r);
        u.visit_references(visit);
        y.visit_references(visit);
    }
};

// The working points in list order; a record without one sorts last.
std::vector<double> working_points(const std::vector<nb::object>& records) {
    std::vector<double> points;
    points.reserve(records.size());
    for (const nb::object& r : records) points.push_back(record_of(r).working_point.value_or(NAN));
    return points;
}

// Ascending by working point, keeping of equal points the record nearest the front.
void sort_by_working_point(LpvBlock& plant) {
    const std::vector<double> points = working_points(plant.records);
    std::vector<std::size_t> order(points.size());
    std::iota(order.begin(), order.end(), 0);
    const auto before = [&](std::size_t a, std::size_t b) {
        return points[a] < points[b] || (!std::isnan(points[a]) && std::isnan(points[b]));
    };
    std::stable_sort(order.begin(), order.end(), before);
    std::vector<nb::object> sorted;
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k > 0 && points[order[k]] == points[order[k - 1]]) continue;
        sorted.push_back(plant.records[order[k]]);
    }
    plant.records = std::move(sorted);
}

bool same_id(nb::handle record, nb::handle plant_id) {
    const nb::object id = record_of(record).plant_id;  // held: comparing may run code
    const int equal = PyObject_RichCompareBool(id.ptr(), plant_id.ptr(), Py_EQ);
    if (equal < 0) throw nb::python_error();
    return equal == 1;
}

void del_plant(LpvBlock& plant, nb::handle plant_id) {
    require_exact(plant_id, &PyLong_Type, "plant_id");
    const std::vector<nb::object> before = plant.records;  // comparing may run code
    std::vector<nb::object> kept;
    for (const nb::object& r : before)
        if (!same_id(r, plant_id)) kept.push_back(r);
    if (kept.size() == before.size()) return;
    plant.records = std::move(kept);
    sort_by_working_point(plant);
}

double initial_value(const LpvBlock& plant, nb::handle tag) {
    PyObject* value = PyDict_GetItemWithError(plant.ini_dict.ptr(), tag.ptr());
    if (value == nullptr) {
        if (PyErr_Occurred()) throw nb::python_error();
        return 0.0;
    }
    const nb::object held = nb::borrow(value);
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

nb::list keys_of(nb::handle dict) {
    nb::object result = checked_result(nb::steal(PyDict_Keys(dict.ptr())), &PyList_Type, "keys");
    return nb::borrow<nb::list>(result);
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
    nb::object simulator =
        nb::borrow(g_mimo_type)(yu_model_tf, nb::arg("ini_value_dict") = local_ini, nb::arg("Ts") = Ts);

    const nb::list cvs = keys_of(simulator.attr("get_output_data_dict")());
    const nb::list mvs = keys_of(simulator.attr("get_input_data_dict")());
    std::vector<std::pair<nb::object, double>> new_cvs, new_mvs;
    for (nb::handle cv : cvs)
        if (!plant.y.contains(cv)) new_cvs.emplace_back(nb::borrow(cv), initial_value(plant, cv));
    for (nb::handle mv : mvs)
        if (!plant.u.contains(mv)) new_mvs.emplace_back(nb::borrow(mv), initial_value(plant, mv));

    nb::object record = nb::borrow(reinterpret_cast<PyObject*>(bound_type<LocalPlantBlock>))();
    LocalPlantBlock& r = record_of(record);
    r.plant_id = nb::borrow(plant_id);
    r.working_point = point;
    r.yu_model_tf = nb::borrow(yu_model_tf);
    r.ts = nb::borrow(Ts);
    r.plant = std::move(simulator);

    del_plant(plant, plant_id);
    for (const auto& [tag, value] : new_cvs) {
        if (plant.y.contains(tag)) continue;  // a repeated key of a foreign dict
        plant.y.append(tag, value);
        plant.y_offset.push_back(value);
    }
    for (const auto& [tag, value] : new_mvs)
        if (!plant.u.contains(tag)) plant.u.append(tag, value);
    plant.records.insert(plant.records.begin(), std::move(record));
    sort_by_working_point(plant);
}

// The caller's values of the known tags, each converted, as a new dict for
// the local simulators and as positions for the plant. A value that is not a
// number is refused naming its tag, before anything changes.
struct Sample {
    nb::dict values;
    std::vector<std::pair<std::size_t, double>> positions;
};

Sample read_sample(PyObject* caller_dict, const TagValues& known, const char* what) {
    Sample sample;
    if (caller_dict == nullptr) return sample;
    for (std::size_t i = 0; i < known.index.size(); ++i) {
        const nb::handle tag = known.index.key(i);
        PyObject* found = PyDict_GetItemWithError(caller_dict, tag.ptr());
        if (found == nullptr) {
            if (PyErr_Occurred()) throw nb::python_error();
            continue;
        }
        const nb::object held = nb::borrow(found);  // converting may run code that drops the entry
        double value;
        if (!to_double(held.ptr(), value)) {
            // A value without a number is named by its tag; other faults pass as raised.
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s of %R must be a number, not '%s'", what, tag.ptr(),
                         Py_TYPE(held.ptr())->tp_name);
            throw nb::python_error();
        }
        const nb::object number = nb::steal(PyFloat_FromDouble(value));
        if (!number.is_valid() || PyDict_SetItem(sample.values.ptr(), tag.ptr(), number.ptr()) != 0)
            throw nb::python_error();
        sample.positions.emplace_back(i, value);
    }
    return sample;
}

// A local simulator's result for the output tags, by position in `tags`.
void read_result(nb::handle result, const nb::list& tags, std::vector<double>& out) {
    out.clear();
    for (nb::handle tag : tags) {
        PyObject* value = PyDict_GetItemWithError(result.ptr(), tag.ptr());
        if (value == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, tag.ptr());
            throw nb::python_error();
        }
        if (!PyFloat_CheckExact(value)) throw nb::type_error("a local simulator returned a value that is not a float");
        out.push_back(PyFloat_AS_DOUBLE(value));
    }
}

nb::object lpv_call(LpvBlock& plant, double working_value, PyObject* u_dict, PyObject* v_dict) {
    if (u_dict != nullptr) require_dict(u_dict, "u_Value_Dict");
    if (v_dict != nullptr) require_dict(v_dict, "v_Value_Dict");
    if (std::isnan(working_value)) throw nb::value_error("working_value must not be NaN");
    const Sample inputs = read_sample(u_dict, plant.u, "input");
    const Sample disturbances = read_sample(v_dict, plant.y, "disturbance");

    // Held here: converting the values above may have changed the list.
    const std::vector<nb::object> records = plant.records;
    if (records.empty()) throw nb::value_error("the plant has no local model");
    const std::vector<double> points = working_points(records);
    for (std::size_t k = 0; k < records.size(); ++k) {
        LocalPlantBlock& r = record_of(records[k]);
        if (std::isnan(points[k])) {
            PyErr_Format(PyExc_ValueError, "local plant %R has no working point", r.plant_id.ptr());
            throw nb::python_error();
        }
        if (!is_ready_simulator(r.plant)) {
            PyErr_Format(PyExc_TypeError, "local plant %R must hold an initialised MIMOSim, not '%s'", r.plant_id.ptr(),
                         Py_TYPE(r.plant.ptr())->tp_name);
            throw nb::python_error();
        }
    }
    const ovelin::BlendWeights weights = ovelin::blend_weights(points, working_value);

    // Every local simulator advances one sample, whatever its weight.
    nb::object first, second;
    for (std::size_t k = 0; k < records.size(); ++k) {
        const nb::object plant_obj = record_of(records[k]).plant;
        PyObject* args[] = {inputs.values.ptr(), disturbances.values.ptr()};
        nb::object result = checked_result(nb::steal(PyObject_Vectorcall(plant_obj.ptr(), args, 2, nullptr)),
                                           &PyDict_Type, "a local simulator");
        if (k == weights.first) first = result;
        if (k == weights.second) second = std::move(result);
    }

    // The outputs of the first neighbour, blended by position.
    const nb::list cvs = keys_of(first);
    std::vector<double> a, b, offset, blended(cvs.size());
    read_result(first, cvs, a);
    if (!weights.single()) read_result(second, cvs, b);
    for (nb::handle cv : cvs) {
        const std::optional<std::size_t> at = plant.y.index.find(cv);
        offset.push_back(at ? plant.y_offset[*at] : initial_value(plant, cv));
    }
    ovelin::blend_outputs(weights, a, b, offset, blended);

    plant.working_value = working_value;
    for (const auto& [i, value] : inputs.positions) plant.u.values[i] = value;
    for (std::size_t k = 0; k < records.size(); ++k) {
        LocalPlantBlock& r = record_of(records[k]);
        r.current_weight = k == weights.first    ? weights.first_weight
                           : k == weights.second ? weights.second_weight
                                                 : 0.0;
    }
    for (std::size_t k = 0; k < cvs.size(); ++k) {
        const std::optional<std::size_t> at = plant.y.index.find(cvs[k]);
        if (at) {
            plant.y.values[*at] = blended[k];
        } else {  // a tag of a simulator set by hand
            plant.y.append(cvs[k], blended[k]);
            plant.y_offset.push_back(offset[k]);
        }
    }
    return plant.y.dict();
}

constexpr Signature<Float, Object, Object> kLpvCall{"__call__", arg<Float>("working_value"),
                                                    arg<Object>("u_Value_Dict", nullptr, "{}"),
                                                    arg<Object>("v_Value_Dict", nullptr, "{}")};
constexpr Signature<Float, Object, Object> kLpvRun{"run", arg<Float>("working_value"),
                                                   arg<Object>("u_Value_Dict", nullptr, "{}"),
                                                   arg<Object>("v_Value_Dict", nullptr, "{}")};

PyMethodDef kLpvMethods[] = {
    fast_method<LpvBlock, kLpvRun, lpv_call>("run", "One sample: the same as calling the plant."),
    call_method<LpvBlock, kLpvCall, lpv_call>(
        "One sample at the working point working_value: the outputs of the local plants blended by\n"
        "their weights, as {CV tag: value}. u_Value_Dict sets MV values and v_Value_Dict adds\n"
        "disturbances to CVs; other tags are ignored."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kLpvSlots[] = {
    call_slot_entry<LpvBlock, kLpvCall, lpv_call>(),
    {Py_tp_methods, kLpvMethods},
    traverse_slot<LpvBlock>(),
    clear_slot<LpvBlock>(),
    {0, nullptr},
};

// --- Plant pickling ---------------------------------------------------------------

constexpr std::size_t kLpvFields = 6;

nb::tuple float_tuple(const std::vector<double>& values) {
    nb::list items;
    for (double v : values) items.append(nb::float_(v));
    return nb::tuple(items);
}

nb::tuple lpv_state(Self<LpvBlock> self) {
    const LpvBlock& p = self.block;
    nb::list records;
    for (const nb::object& r : p.records) records.append(r);
    return pickled_state(self.py, p.ini_dict, nb::tuple(records), p.working_value,
                         nb::make_tuple(copy_of(p.u.tags), float_tuple(p.u.values)),
                         nb::make_tuple(copy_of(p.y.tags), float_tuple(p.y.values)), float_tuple(p.y_offset));
}

TagValues tag_values(const StateReader& state, std::size_t i, const char* name) {
    const nb::handle item = state.object(i);
    if (!PyTuple_CheckExact(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2 ||
        !PyList_CheckExact(PyTuple_GET_ITEM(item.ptr(), 0)))
        state.fail(PyExc_TypeError, "field '%s' must be a (list, tuple) pair", name);
    TagValues out;
    out.tags = nb::borrow<nb::list>(PyTuple_GET_ITEM(item.ptr(), 0));
    const nb::object values = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1));
    if (!PyTuple_CheckExact(values.ptr()) || PyTuple_GET_SIZE(values.ptr()) != PyList_GET_SIZE(out.tags.ptr()))
        state.fail(PyExc_ValueError, "field '%s' must have one value per tag", name);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(values.ptr()); ++k) {
        PyObject* v = PyTuple_GET_ITEM(values.ptr(), k);
        if (!PyFloat_CheckExact(v)) state.fail(PyExc_TypeError, "field '%s' must hold floats", name);
        out.values.push_back(PyFloat_AS_DOUBLE(v));
    }
    out.tags = copy_of(out.tags);
    out.index = TagIndex::of_items(out.tags);
    if (out.index.size() != out.values.size()) state.fail(PyExc_ValueError, "field '%s' repeats a tag", name);
    return out;
}

LpvBlock build_lpv(const StateReader& state) {
    LpvBlock p;
    if (!PyDict_CheckExact(state.object(0).ptr())) state.fail(PyExc_TypeError, "field 'ini_value_dict' must be a dict");
    p.ini_dict = nb::borrow<nb::dict>(state.object(0));
    const nb::handle records = state.object(1);
    if (!PyTuple_CheckExact(records.ptr())) state.fail(PyExc_TypeError, "field 'plant_list' must be a tuple");
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(records.ptr()); ++k) {
        const nb::handle r = PyTuple_GET_ITEM(records.ptr(), k);
        if (!is_instance<LocalPlantBlock>(r.ptr()) || !nb::inst_ready(r))
            state.fail(PyExc_TypeError, "field 'plant_list' must hold initialised LPVLocalPlant records");
        p.records.push_back(nb::borrow(r));
    }
    p.working_value = state.number(2, "_working_value");
    p.u = tag_values(state, 3, "_u_dict");
    p.y = tag_values(state, 4, "_y_dict");
    p.y_offset = state.numbers(5, "y_offset", p.y.values.size());
    return p;
}

}  // namespace

NB_MODULE(lpvplant, m) {
    register_error_translation();
    m.doc() = "Linear parameter-varying plant: local MIMO simulators blended by working point.";
    g_mimo_type = nb::object(nb::module_::import_("ovelin.algorithm.processsim").attr("MIMOSim")).release().ptr();

    auto local = bind_class<LocalPlantBlock>(m, "LPVLocalPlant", nb::dynamic_attr(), nb::type_slots(kLocalSlots),
                                             "One local model of an LPV plant: its simulator and working point.");
    local.def(nb::init<>(), "An empty record: no plant, no working point.");
    def_object_member(local, "plant_id", "int | None", &LocalPlantBlock::plant_id);
    def_object_member(local, "plant", "ovelin.algorithm.processsim.MIMOSim | None", &LocalPlantBlock::plant);
    def_object_member(local, "yu_model_tf", "dict | None", &LocalPlantBlock::yu_model_tf);
    def_object_member(local, "Ts", "typing.Any", &LocalPlantBlock::ts);
    def_property(
        local, "working_point", "float | None",
        [](const LocalPlantBlock& r) {
            return r.working_point ? nb::object(nb::float_(*r.working_point)) : nb::none();
        },
        [](LocalPlantBlock& r, nb::handle value) { r.working_point = as_optional_double(value); });
    def_property(
        local, "current_weight", [](const LocalPlantBlock& r) { return r.current_weight; },
        [](LocalPlantBlock& r, nb::handle value) { r.current_weight = as_double(value); });
    def_pickle<LocalPlantBlock>(local, "LPVLocalPlant", kLocalFields, local_state, build_local);

    auto lpv = bind_class<LpvBlock>(m, "LPVPlantSim", nb::dynamic_attr(), nb::type_slots(kLpvSlots),
                                    "Plant whose local MIMO simulators are blended by working point.");
    lpv.def(
        "__init__",
        [](LpvBlock* self, nb::handle ini_value_dict) {
            require_dict(ini_value_dict, "ini_value_dict");
            LpvBlock p;
            if (PyDict_Update(p.ini_dict.ptr(), deep_copy(ini_value_dict).ptr()) != 0) throw nb::python_error();
            new (self) LpvBlock(std::move(p));
        },
        nb::sig("def __init__(self, ini_value_dict: dict[str, float] = {}) -> None"),
        "An LPV plant without local models; ini_value_dict holds the initial value of each tag.",
        nb::arg("ini_value_dict").none() = nb::dict());
    def_method(lpv, "addPlant", &add_plant,
               nb::sig("def addPlant(self, plant_id: int, working_point: float, yu_model_tf: dict, Ts: int) -> None"),
               nb::arg("plant_id").none(), nb::arg("working_point").none(), nb::arg("yu_model_tf").none(),
               nb::arg("Ts").none(),
               "Adds a local model at a working point, replacing one with the same id or working point.");
    def_method(lpv, "delPlant", &del_plant, nb::sig("def delPlant(self, plant_id: int) -> None"),
               nb::arg("plant_id").none(), "Removes the local model with this id.");
    def_method(lpv, "_sort_plant_list_by_working_point", "Orders the local plants by working point.",
               &sort_by_working_point);
    def_method(lpv, "get_input_data_dict", "The current MV values, {MV tag: value}, in a new dictionary.",
               [](const LpvBlock& p) { return p.u.dict(); });
    def_method(lpv, "get_output_data_dict", "The current CV values, {CV tag: value}, in a new dictionary.",
               [](const LpvBlock& p) { return p.y.dict(); });
    def_method(lpv, "get_all_data_dict", "The current MV and CV values in one new dictionary.", [](const LpvBlock& p) {
        nb::dict all = p.u.dict();
        if (PyDict_Update(all.ptr(), p.y.dict().ptr()) != 0) throw nb::python_error();
        return all;
    });
    def_method(lpv, "get_plant_dict", "{plant id: local plant} of the local models, in working-point order.",
               [](const LpvBlock& p) {
                   nb::dict out;
                   for (const nb::object& r : p.records) out[record_of(r).plant_id] = r;
                   return out;
               });
    def_method(lpv, "get_current_plant_weight_dict", "{plant id: weight} of the latest call's blend.",
               [](const LpvBlock& p) {
                   nb::dict out;
                   for (const nb::object& r : p.records)
                       out[record_of(r).plant_id] = nb::float_(record_of(r).current_weight);
                   return out;
               });
    def_method(lpv, "get_cv_list", "A copy of the CV tags, in order.",
               [](const LpvBlock& p) { return copy_of(p.y.tags); });
    def_method(lpv, "get_mv_list", "A copy of the MV tags, in order.",
               [](const LpvBlock& p) { return copy_of(p.u.tags); });
    def_method(
        lpv, "plot_model_stp",
        [](const LpvBlock& p, nb::handle plant_id, nb::handle plotLen) {
            const std::vector<nb::object> records = p.records;
            for (const nb::object& r : records) {
                if (!same_id(r, plant_id)) continue;
                record_of(r).plant.attr("plot_model_stp")(plotLen);
                return;
            }
        },
        nb::sig("def plot_model_stp(self, plant_id: int, plotLen: int = 300) -> None"), nb::arg("plant_id").none(),
        nb::arg("plotLen").none() = 300, "Plots the step responses of the first local model with this id.");
    def_property(lpv, "plant_list", "list[LPVLocalPlant]", [](const LpvBlock& p) {
        nb::list out;
        for (const nb::object& r : p.records) out.append(r);
        return out;
    });
    def_property(lpv, "ini_value_dict", "dict", [](const LpvBlock& p) { return deep_copy(p.ini_dict); });
    def_property(lpv, "_working_value", [](const LpvBlock& p) { return p.working_value; });
    def_property(lpv, "_u_dict", [](const LpvBlock& p) { return p.u.dict(); });
    def_property(lpv, "_y_dict", [](const LpvBlock& p) { return p.y.dict(); });
    def_pickle<LpvBlock>(lpv, "LPVPlantSim", kLpvFields, lpv_state, build_lpv);
    // A copy is a separate plant: it owns its local simulators.
    def_method(lpv, "__copy__", "A separate plant that owns copies of the local simulators.",
               [](Self<LpvBlock> self) { return deep_copy(self.py); });
}
