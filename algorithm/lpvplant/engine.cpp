// The per-sample path of the LPV plant: the core steps the local
// simulators of the records natively and blends them; one dictionary is
// read and one built per call.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_set>
#include <utility>
#include <vector>

#include "conventions.hpp"
#include "instance.hpp"
#include "plant.hpp"
#include "processsim/mimo_block.hpp"
#include "sim_bindings.hpp"

namespace ovelin::binding {

namespace {

// A MIMOSim (or SISOSim) of processsim's own: the core can step it.
bool is_native_simulator(nb::handle obj) {
    return is_ready_exact<MimoBlock>(obj) || is_ready_exact<SisoBlock>(obj);
}

bool is_simulator(nb::handle obj) {
    return is_ready_instance<MimoBlock>(obj);
}

bool same_point(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// True when plant_list still holds the records, plants and working points
// the core was set from. Runs no Python code.
bool in_sync(const LpvBlock& plant) {
    PyObject* list = plant.plant_list.ptr();
    const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list));
    if (n != plant.known_records.size()) return false;
    for (std::size_t k = 0; k < n; ++k) {
        PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(k));
        if (item != plant.known_records[k].ptr() || !is_ready_instance<LocalPlantBlock>(item)) return false;
        const LocalPlantBlock& r = held_block<LocalPlantBlock>(item, "a record of plant_list");
        if (r.plant.ptr() != plant.known_plants[k].ptr() ||
            !same_point(r.working_point.value_or(NAN), plant.known_points[k]))
            return false;
    }
    return true;
}

// The plant positions of a local simulator's tags, or none when the plant
// does not know one of them (a simulator set by hand).
std::optional<std::vector<std::size_t>> positions(const TagIndex& plant_tags, const TagIndex& local_tags) {
    std::vector<std::size_t> out;
    for (const nb::object& key : local_tags.snapshot()) {  // held: finding a key may run code
        const std::optional<std::size_t> at = plant_tags.find(key);
        if (!at) return std::nullopt;
        out.push_back(*at);
    }
    return out;
}

}  // namespace

void sync_locals(LpvBlock& plant) {
    if (in_sync(plant)) return;
    const nb::list records = copy_of(plant.plant_list);  // held: reading the records may run code
    std::vector<nb::object> known_records, known_plants;
    std::vector<double> known_points;
    std::vector<LpvPlant::Local> locals;
    std::unordered_set<const MimoSimulator*> simulators;
    bool native = true;
    for (nb::handle item : records) {
        const LocalPlantBlock& r = record_of(item);
        const nb::object plant_id = r.plant_id, simulator = r.plant;
        const double point = r.working_point.value_or(NAN);
        if (std::isnan(point)) {
            PyErr_Format(PyExc_ValueError, "local plant %R has no working point", plant_id.ptr());
            throw nb::python_error();
        }
        if (!is_simulator(simulator)) {
            PyErr_Format(PyExc_TypeError, "local plant %R must hold an initialised MIMOSim, not '%s'", plant_id.ptr(),
                         Py_TYPE(simulator.ptr())->tp_name);
            throw nb::python_error();
        }
        known_records.push_back(nb::borrow(item));
        known_plants.push_back(simulator);
        known_points.push_back(point);
        if (!native || !is_native_simulator(simulator)) {
            native = false;
            continue;
        }
        const MimoBlock& sim = held_block<MimoBlock>(simulator, "the plant of a record");
        const std::shared_ptr<MimoSimulator> core = sim.core;
        auto inputs = positions(plant.mv_tags, sim.mvs);
        auto outputs = positions(plant.cv_tags, sim.cvs);
        // A simulator in two records steps twice per sample: through Python, in order.
        native = inputs && outputs && simulators.insert(core.get()).second;
        if (native) locals.push_back({core, point, std::move(*inputs), std::move(*outputs)});
    }
    if (!native) locals.clear();
    plant.core.set_locals(std::move(locals));
    plant.known_records = std::move(known_records);
    plant.known_plants = std::move(known_plants);
    plant.known_points = std::move(known_points);
    plant.native = native;
}

nb::object lpv_call(LpvBlock& plant, double working_value, PyObject* u_dict, PyObject* v_dict) {
    if (u_dict != nullptr) require_dict(u_dict, "u_Value_Dict");
    if (v_dict != nullptr) require_dict(v_dict, "v_Value_Dict");
    if (std::isnan(working_value)) throw nb::value_error("working_value must not be NaN");
    // Every value is converted into these buffers before anything changes.
    const std::size_t mvs = plant.core.mv_count(), cvs = plant.core.cv_count();
    Scratch<double, 64> u(mvs), v(cvs);
    Scratch<unsigned char, 64> given(mvs);
    Scratch<nb::object, 64> objects(mvs);
    if (u_dict != nullptr) plant.mv_tags.read(u_dict, u.span(), objects.span(), given.span(), "input");
    if (v_dict != nullptr) plant.cv_tags.read(v_dict, v.span(), {}, {}, "disturbance");
    sync_locals(plant);
    if (plant.known_records.empty()) throw nb::value_error("the plant has no local model");
    if (plant.core.mv_count() != mvs || plant.core.cv_count() != cvs)
        throw nb::value_error("the plant's tags changed while its inputs were read");
    if (!plant.native)
        return lpv_call_through_python(plant, working_value, u_dict, v_dict, u.span(), objects.span(), given.span());

    const BlendWeights weights = plant.core.weights_at(working_value);
    if (const std::optional<std::size_t> missing = plant.core.missing_output(weights)) {
        PyErr_SetObject(PyExc_KeyError, plant.cv_tags.key(*missing).ptr());
        throw nb::python_error();
    }
    plant.core.step(weights, working_value, given.span(), u.span(), v.span());

    // The caller's objects are stored for the plant and its local simulators;
    // the objects they replace are released on return, after every change
    // (releasing one may run code).
    const std::span<nb::object> held = objects.span();
    for (std::size_t p = 0; p < mvs; ++p)
        if (given.span()[p]) std::swap(plant.u_objects[p], held[p]);
    const std::vector<LpvPlant::Local>& locals = plant.core.locals();
    std::size_t slots = 0;
    for (const LpvPlant::Local& local : locals) slots += local.inputs.size();
    Scratch<nb::object, 128> replaced_by_locals(slots);
    const std::span<nb::object> replaced = replaced_by_locals.span();
    std::size_t slot = 0;
    for (std::size_t k = 0; k < locals.size(); ++k) {
        MimoBlock& sim = held_block<MimoBlock>(plant.known_plants[k], "the plant of a record");
        for (std::size_t j = 0; j < locals[k].inputs.size(); ++j, ++slot) {
            const std::size_t p = locals[k].inputs[j];
            if (given.span()[p]) replaced[slot] = std::exchange(sim.u_objects[j], plant.u_objects[p]);
        }
        held_block<LocalPlantBlock>(plant.known_records[k], "a record of plant_list").current_weight =
            plant.core.weights()[k];
    }
    return plant.cv_tags.make_dict(plant.core.outputs());
}

}  // namespace ovelin::binding
