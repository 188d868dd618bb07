// One sample through Python: for records whose simulators the core cannot
// step (a MIMOSim subclass written in Python, a simulator with tags the
// plant does not know, one simulator in two records). Each local simulator
// is called with the caller's dictionaries; the neighbours are blended here.

#include <vector>

#include "conventions.hpp"
#include "ovelin/lpv_blend.hpp"
#include "plant.hpp"
#include "sim_bindings.hpp"

namespace ovelin::binding {

namespace {

// A local simulator's values for `tags`, which it must all have.
std::vector<double> values_of(nb::handle result, const nb::list& tags) {
    std::vector<double> out;
    for (nb::handle tag : tags) {
        PyObject* value = PyDict_GetItemWithError(result.ptr(), tag.ptr());
        if (value == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, tag.ptr());
            throw nb::python_error();
        }
        if (!PyFloat_CheckExact(value)) throw nb::type_error("a local simulator returned a value that is not a float");
        out.push_back(PyFloat_AS_DOUBLE(value));
    }
    return out;
}

// KeyError for the first output of the first neighbour that the second lacks,
// before any simulator steps.
void require_same_outputs(nb::handle first, nb::handle second) {
    const nb::object a = checked_result(first.attr("get_output_data_dict")(), &PyDict_Type, "a local simulator");
    const nb::object b = checked_result(second.attr("get_output_data_dict")(), &PyDict_Type, "a local simulator");
    for (nb::handle tag : keys_of(a)) {
        const int present = PyDict_Contains(b.ptr(), tag.ptr());
        if (present < 0) throw nb::python_error();
        if (!present) {
            PyErr_SetObject(PyExc_KeyError, tag.ptr());
            throw nb::python_error();
        }
    }
}

}  // namespace

nb::object lpv_call_through_python(LpvBlock& plant, double working_value, PyObject* u_dict, PyObject* v_dict,
                                   std::span<const double> u, std::span<nb::object> objects,
                                   std::span<const unsigned char> given) {
    // Held: the simulators run Python code that may change the plant.
    const std::vector<nb::object> records = plant.known_records, simulators = plant.known_plants;
    const BlendWeights weights = blend_weights(plant.known_points, working_value);
    if (!weights.single()) require_same_outputs(simulators[weights.first], simulators[weights.second]);
    const nb::object inputs = u_dict != nullptr ? nb::borrow(u_dict) : nb::object(nb::dict());
    const nb::object disturbances = v_dict != nullptr ? nb::borrow(v_dict) : nb::object(nb::dict());
    nb::object first, second;
    for (std::size_t k = 0; k < simulators.size(); ++k) {
        PyObject* args[] = {inputs.ptr(), disturbances.ptr()};
        nb::object result = checked_result(nb::steal(PyObject_Vectorcall(simulators[k].ptr(), args, 2, nullptr)),
                                           &PyDict_Type, "a local simulator");
        if (k == weights.first) first = result;
        if (k == weights.second) second = std::move(result);
    }
    const nb::list cvs = keys_of(first);
    const std::vector<double> a = values_of(first, cvs);
    const std::vector<double> b = weights.single() ? a : values_of(second, cvs);
    std::vector<double> offset;
    for (nb::handle cv : cvs) offset.push_back(initial_value(plant, cv));
    std::vector<double> blended(cvs.size());
    blend_outputs(weights, a, b, offset, blended);

    std::vector<std::size_t> positions;  // a tag of a simulator set by hand becomes a plant tag
    for (nb::handle cv : cvs) {
        positions.push_back(plant.cv_tags.add(nb::borrow(cv)));
        while (plant.core.cv_count() <= positions.back()) plant.core.add_output(initial_value(plant, cv));
    }
    std::vector<double> y(plant.core.outputs().begin(), plant.core.outputs().end());
    for (std::size_t k = 0; k < cvs.size(); ++k)
        if (positions[k] < y.size()) y[positions[k]] = blended[k];
    std::vector<double> u_new(plant.core.inputs().begin(), plant.core.inputs().end());
    for (std::size_t p = 0; p < u_new.size() && p < given.size(); ++p)
        if (given[p]) u_new[p] = u[p];
    plant.core.set_values(working_value, u_new, y);
    for (std::size_t p = 0; p < given.size() && p < plant.u_objects.size(); ++p)
        if (given[p]) std::swap(plant.u_objects[p], objects[p]);
    for (std::size_t k = 0; k < records.size(); ++k) {
        LocalPlantBlock& r = record_of(records[k]);
        r.current_weight = k == weights.first    ? weights.first_weight
                           : k == weights.second ? weights.second_weight
                                                 : 0.0;
    }
    return plant.cv_tags.make_dict(plant.core.outputs());
}

}  // namespace ovelin::binding
