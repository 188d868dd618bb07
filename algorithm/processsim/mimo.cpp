#include "mimo.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "conventions.hpp"
#include "instance.hpp"
#include "models.hpp"
#include "pair_definitions.hpp"
#include "sim_bindings.hpp"

namespace ovelin::binding {

namespace {

nb::object new_miso(nb::handle models, nb::handle u_ini) {
    return nb::handle(reinterpret_cast<PyObject*>(bound_type<MisoBlock>))(models, u_ini);
}

// ini.get(tag, 0.0) for every tag, as the objects given.
std::vector<nb::object> initial_objects(nb::handle ini_dict, const nb::list& tags) {
    const nb::object ini = nb::borrow(ini_dict);
    std::vector<nb::object> values;
    for (nb::handle tag : copy_of(tags)) {
        PyObject* value = PyDict_GetItemWithError(ini.ptr(), tag.ptr());
        if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
        values.push_back(value == nullptr ? nb::object(nb::float_(0.0)) : nb::borrow(value));
    }
    return values;
}

std::vector<double> as_doubles(const std::vector<nb::object>& values) {
    std::vector<double> out;
    for (const nb::object& v : values) out.push_back(as_double(v));
    return out;
}

}  // namespace

MimoBlock::MimoBlock(nb::object ts_, nb::object model_dict_, nb::list cv_list_, nb::list mv_list_, nb::object ini_dict_,
                     std::vector<nb::object> model_objects_, std::vector<nb::object> u_objects_,
                     std::shared_ptr<MimoSimulator> core_)
    : ts(std::move(ts_)),
      model_dict(std::move(model_dict_)),
      cv_list(std::move(cv_list_)),
      mv_list(std::move(mv_list_)),
      ini_dict(std::move(ini_dict_)),
      model_objects(std::move(model_objects_)),
      u_objects(std::move(u_objects_)),
      cvs(TagIndex::of_items(cv_list)),
      mvs(TagIndex::of_items(mv_list)),
      core(std::move(core_)) {
    if (cvs.size() != core->cv_count() || mvs.size() != core->mv_count() || u_objects.size() != core->mv_count())
        throw Error(Errc::size_mismatch, "repeated tags");
    rebuild_views();
}

void MimoBlock::rebuild_views() {
    nb::dict models;
    for (std::size_t c = 0; c < core->cv_count(); ++c) {
        nb::dict row;
        for (std::size_t m = 0; m < core->mv_count(); ++m) row[mvs.key(m)] = model(c, m);
        models[cvs.key(c)] = row;
    }
    yu_model_obj = models;
    rebuild_miso();
}

void MimoBlock::rebuild_miso() {
    nb::dict simulators;
    for (std::size_t c = 0; c < core->cv_count(); ++c) {
        nb::list models;
        for (std::size_t m = 0; m < core->mv_count(); ++m) models.append(model(c, m));
        simulators[cvs.key(c)] = new_miso(models, float_list(core->initial_inputs()));
    }
    cv_simulators = simulators;
}

MimoBlock build_mimo(nb::handle process_model_dict, nb::handle ini_value_dict, nb::handle Ts, bool without_effect) {
    require_exact(process_model_dict, &PyDict_Type, "process_model_dict");
    require_dict(ini_value_dict, "ini_value_dict");
    const nb::object given = nb::borrow(process_model_dict);
    nb::object model_dict = deep_copy(given);
    auto [cv_list, mv_list] = get_model_tags(given);
    nb::object ini_dict = deep_copy(ini_value_dict);
    std::vector<nb::object> objects;
    std::vector<PairModel> filters;
    for (nb::handle cv : copy_of(cv_list)) {
        for (nb::handle mv : copy_of(mv_list)) {
            PairDefinition definition = read_pair_spec(pair_entry(given, cv, mv));
            if (without_effect) definition = PairDefinition{};
            // The sample time is converted only where a continuous model needs it.
            PairModel filter = build_model(definition, definition.kind == PairKind::continuous ? as_double(Ts) : 1.0);
            objects.push_back(new_model(definition.kind, filter));
            filters.push_back(std::move(filter));
        }
    }
    std::vector<nb::object> u_objects = initial_objects(ini_dict, mv_list);
    auto core = std::make_shared<MimoSimulator>(std::move(filters), as_doubles(u_objects),
                                                as_doubles(initial_objects(ini_dict, cv_list)));
    return MimoBlock(nb::borrow(Ts), std::move(model_dict), std::move(cv_list), std::move(mv_list), std::move(ini_dict),
                     std::move(objects), std::move(u_objects), std::move(core));
}

nb::object mimo_call(MimoBlock& sim, PyObject* u_dict, PyObject* v_dict) {
    if (u_dict != nullptr) require_dict(u_dict, "u_Value_Dict");
    if (v_dict != nullptr) require_dict(v_dict, "v_Value_Dict");
    // Every value is converted into these buffers before anything changes,
    // so a refused value changes nothing.
    // The block owns its core for its whole life (a ready instance is never
    // built again), so the reference outlives any code the reading runs.
    MimoSimulator& core = *sim.core;
    Scratch<double, 64> u(core.mv_count()), v(core.cv_count());
    Scratch<nb::object, 64> given(core.mv_count());
    const std::span<double> inputs = u.span(), disturbances = v.span();
    const std::span<nb::object> objects = given.span();
    std::ranges::copy(core.inputs(), inputs.begin());
    if (u_dict != nullptr) sim.mvs.read(u_dict, inputs, objects);
    if (v_dict != nullptr) sim.cvs.read(v_dict, disturbances);
    std::ranges::copy(inputs, core.inputs().begin());
    // The replaced objects land in `given` and are released on return, after
    // every change: releasing one may run code.
    for (std::size_t i = 0; i < objects.size(); ++i)
        if (objects[i].is_valid()) std::swap(sim.u_objects[i], objects[i]);
    core.step(disturbances);
    return sim.cvs.make_dict(core.outputs());
}

void reset_mimo(MimoBlock& sim) {
    std::vector<nb::object> initial = initial_objects(sim.ini_dict, sim.mv_list);
    if (initial.size() != sim.u_objects.size()) throw Error(Errc::size_mismatch, "the MV tags changed");
    sim.core->reset();
    std::swap(sim.u_objects, initial);
    sim.rebuild_miso();
}

nb::dict input_values_copy(const MimoBlock& sim) {
    return kept_values_copy(sim.mvs, std::span<const nb::object>(sim.u_objects));
}

double one_step_sim(MisoBlock& miso, nb::handle u_list) {
    // Snapshots: a model written in Python may change the caller's lists.
    const nb::object models = copy_of(miso.models), u = copy_of(u_list), u0 = copy_of(miso.u_ini);
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
            const PairModel filter = filter_of(model);  // held: a Python model may drop it meanwhile
            y = y + (filter ? filter->step(du[k]) : 0.0);
        } else {
            y = y + as_double(model.attr("deltaU_sim")(du[k]));
        }
    }
    return y;
}

// --- Saved state ----------------------------------------------------------------------

nb::tuple mimo_state(Self<MimoBlock> self) {
    const MimoBlock& sim = self.block;
    nb::tuple models = nb::steal<nb::tuple>(PyTuple_New(static_cast<Py_ssize_t>(sim.model_objects.size())));
    if (!models.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < sim.model_objects.size(); ++i)
        PyTuple_SET_ITEM(models.ptr(), static_cast<Py_ssize_t>(i), sim.model_objects[i].inc_ref().ptr());
    nb::list u;
    for (const nb::object& v : sim.u_objects) u.append(v);
    return pickled_state(self.py, sim.ts, sim.model_dict, sim.cv_list, sim.mv_list, sim.ini_dict, models,
                         to_tuple(sim.core->initial_inputs()), to_tuple(sim.core->initial_outputs()),
                         nb::make_tuple(nb::tuple(u), to_tuple(sim.core->outputs())));
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
    std::vector<nb::object> u_objects = saved_numbers(state, PyTuple_GET_ITEM(values.ptr(), 0), "u");
    const std::vector<double> u = as_doubles(u_objects);
    const std::vector<double> y = saved_floats(state, PyTuple_GET_ITEM(values.ptr(), 1), "y");
    return state.validated("models", [&] {
        auto core = std::make_shared<MimoSimulator>(std::move(filters), u_ini, y_ini);
        core->set_values(u, y);
        return MimoBlock(nb::borrow(state.object(0)), nb::borrow(state.object(1)), nb::borrow<nb::list>(cv_list),
                         nb::borrow<nb::list>(mv_list), nb::borrow(ini), std::move(objects), std::move(u_objects),
                         std::move(core));
    });
}

}  // namespace ovelin::binding
