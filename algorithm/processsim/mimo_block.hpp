#pragma once
// The MIMO simulator block: the Python-facing state of a MIMOSim around the
// core simulator. The LPV plant's binding reads it too (it steps the core
// simulators of its local plants itself), so it lives in a header.

#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "ovelin/mimo_sim.hpp"
#include "tag_index.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

struct MimoBlock {
    MimoBlock(nb::object ts_, nb::object model_dict_, nb::list cv_list_, nb::list mv_list_, nb::object ini_dict_,
              std::vector<nb::object> model_objects_, std::vector<nb::object> u_objects_,
              std::shared_ptr<MimoSimulator> core_);
    MimoBlock(MimoBlock&&) noexcept = default;

    nb::handle model(std::size_t c, std::size_t m) const { return model_objects[c * core->mv_count() + m]; }

    // yu_model_obj and cv_simulators over the model objects the core steps.
    void rebuild_views();
    // The summing simulators hold the models and initial values the core
    // uses, so that stepping them by hand moves the same state.
    void rebuild_miso();

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
        for (const nb::object& u : u_objects) visit(u);
        cvs.visit_references(visit);
        mvs.visit_references(visit);
    }

    nb::object ts, model_dict;
    nb::list cv_list, mv_list;
    nb::object ini_dict, yu_model_obj, cv_simulators;
    std::vector<nb::object> model_objects;  // row by row; the core steps their filters
    std::vector<nb::object> u_objects;      // the current MV values as the caller gave them
    TagIndex cvs, mvs;
    std::shared_ptr<MimoSimulator> core;  // shared with an LPV plant that steps it
};

struct SisoBlock : MimoBlock {
    using MimoBlock::MimoBlock;
    SisoBlock(MimoBlock&& block) noexcept : MimoBlock(std::move(block)) {}
};

}  // namespace ovelin::binding
