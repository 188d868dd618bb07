// The heater of the demo, written against the C++ core alone: an LPV plant
// of three local first-order models with dead time, identified at
// throughputs 20, 50 and 80 t/h, and one PID loop holding the outlet
// temperature TT-HTR with the fuel valve FV-FUEL while the throughput (the
// working value) ramps from 20 to 80 t/h. Prints the heater lines of
// examples/plant_loops.py, bit for bit.
//
//   heater_loop [samples]   (default 900)

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <vector>

#include "ovelin/error.hpp"
#include "ovelin/lpv_plant.hpp"
#include "ovelin/pair_model.hpp"
#include "ovelin/pid.hpp"

namespace {

constexpr double kTs = 1.0;  // seconds per sample
constexpr double kTemperatureStart = 350.0, kFuelStart = 45.0;

struct LocalModel {
    int id;
    double throughput, gain, lag, dead_time;  // t/h, K per %, s, s
};
constexpr LocalModel kModels[] = {{1, 20.0, 3.0, 60.0, 8.0}, {2, 50.0, 2.0, 40.0, 5.0}, {3, 80.0, 1.2, 25.0, 3.0}};

// One local simulator: FV-FUEL -> TT-HTR, gain e^(-dead_time s) / (lag s + 1),
// in deviation form for its output.
ovelin::LpvPlant::Local local_plant(const LocalModel& m) {
    ovelin::PairDefinition definition{.kind = ovelin::PairKind::continuous, .num = {m.gain}, .den = {m.lag, 1.0}};
    definition.delay = m.dead_time;
    std::vector<ovelin::PairModel> models{ovelin::make_pair_model(definition, kTs)};
    auto simulator = std::make_shared<ovelin::MimoSimulator>(std::move(models), std::vector<double>{kFuelStart},
                                                             std::vector<double>{0.0});
    return {simulator, m.throughput, {0}, {0}};
}

// Working value: 20 t/h, a ramp to 80 t/h over the middle half, then 80 t/h.
double throughput(int k, int samples) {
    const int start = samples / 4, end = 3 * samples / 4;
    return 20.0 + 60.0 * std::min(std::max(static_cast<double>(k - start) / (end - start), 0.0), 1.0);
}

void run_heater(int samples) {
    ovelin::LpvPlant heater;
    heater.add_input(kFuelStart);          // FV-FUEL
    heater.add_output(kTemperatureStart);  // TT-HTR
    std::vector<ovelin::LpvPlant::Local> locals;
    for (const LocalModel& m : kModels) locals.push_back(local_plant(m));
    heater.set_locals(std::move(locals));

    ovelin::Pid pid(kTs);
    pid.set_tuning({.kp = 1.0, .ti = 40.0, .td = 0.0, .n = 10.0});
    pid.set_limits(100.0, 0.0);
    double sp = kTemperatureStart, op = kFuelStart, pv = kTemperatureStart, iae = 0.0, last_pv = pv;
    const unsigned char fuel_given[] = {1};
    for (int k = 0; k < samples; ++k) {
        sp = k >= samples / 10 ? 370.0 : 350.0;
        const double w = throughput(k, samples);
        const double load = -0.5 * (w - 20.0);  // more throughput takes more heat
        op = pid.run(1.0, sp, pv, op, 0.0);
        iae = iae + std::fabs(sp - pv);
        last_pv = pv;
        const double fuel[] = {op}, disturbance[] = {load};
        heater.step(w, fuel_given, fuel, disturbance);
        pv = heater.outputs()[0];
    }
    std::printf("%-14s SP %7.2f  PV %7.2f  OP %6.2f  IAE %9.1f\n", "heater TT-HTR", sp, last_pv, op, iae * kTs);
    std::printf("heater model weights at the end: ");
    for (std::size_t i = 0; i < std::size(kModels); ++i)
        std::printf("%s%d: %.2f", i == 0 ? "" : ", ", kModels[i].id, heater.weights()[i]);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 900;
    try {
        run_heater(samples);
    } catch (const ovelin::Error& e) {
        std::fprintf(stderr, "heater_loop: %s\n", e.what());
        return 1;
    }
    return 0;
}
