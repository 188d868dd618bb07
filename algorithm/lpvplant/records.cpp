// LPVLocalPlant: the record of one local model.

#include "block_slots.hpp"
#include "conventions.hpp"
#include "instance.hpp"
#include "pickle.hpp"
#include "plant.hpp"

namespace ovelin::binding {

namespace {

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

}  // namespace

LocalPlantBlock& record_of(nb::handle obj) {
    return checked_self<LocalPlantBlock>(obj, "plant_list");
}

void def_records(nb::module_& m) {
    auto local = bind_class<LocalPlantBlock>(m, "LPVLocalPlant", nb::dynamic_attr(), BlockSlots<LocalPlantBlock>(),
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
}

}  // namespace ovelin::binding
