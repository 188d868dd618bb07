#pragma once
// The LPV plant block: the records of the local models as callers see them
// (plant_list, a plain list they may change in place), the plant's tags and
// values, and the core plant that steps the local simulators.

#include <nanobind/nanobind.h>

#include <optional>
#include <vector>

#include "ovelin/lpv_plant.hpp"
#include "tag_index.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

// LPVLocalPlant: one local model.
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

struct LpvBlock {
    nb::dict ini_dict;
    nb::list plant_list = nb::list();   // LPVLocalPlant records, ascending by working point
    TagIndex mv_tags, cv_tags;          // in the order they became known; never removed
    std::vector<nb::object> u_objects;  // the latest MV values as the caller gave them
    LpvPlant core;                      // the values; the local simulators when they step natively

    // What the core's local simulators were set from: the records, each
    // one's plant object and working point. A call compares them with
    // plant_list and sets the core anew when they differ.
    std::vector<nb::object> known_records, known_plants;
    std::vector<double> known_points;
    bool native = false;  // every record holds a MIMOSim whose tags the plant knows

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(ini_dict);
        visit(plant_list);
        mv_tags.visit_references(visit);
        cv_tags.visit_references(visit);
        for (const nb::object& u : u_objects) visit(u);
        for (const nb::object& r : known_records) visit(r);
        for (const nb::object& p : known_plants) visit(p);
    }
};

// The record behind a list item: TypeError for anything else.
LocalPlantBlock& record_of(nb::handle obj);

// The initial value of a plant tag (ini_value_dict.get(tag, 0.0)), as given and as a double.
nb::object initial_object(const LpvBlock& plant, nb::handle tag);
double initial_value(const LpvBlock& plant, nb::handle tag);
// `held`, the initial value of `tag`, as a double.
double initial_number(nb::handle tag, const nb::object& held);

// Brings the core's local simulators in line with plant_list.
void sync_locals(LpvBlock& plant);

// One sample.
nb::object lpv_call(LpvBlock& plant, double working_value, PyObject* u_dict, PyObject* v_dict);

// One sample through Python, for records whose simulators the core cannot step.
nb::object lpv_call_through_python(LpvBlock& plant, double working_value, PyObject* u_dict, PyObject* v_dict,
                                   std::span<const double> u, std::span<nb::object> objects,
                                   std::span<const unsigned char> given);

void def_records(nb::module_& m);
void def_plant(nb::module_& m);

}  // namespace ovelin::binding
