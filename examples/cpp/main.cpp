// A PID loop closed around a simulated first-order process with dead time,
// written against the C++ core alone.
//
// The process K e^(-4s) / (20 s + 1) is discretised once by zero-order hold
// and run as a linear filter in deviation form around its operating point.
// The controller starts in manual, switches bumplessly to automatic, follows
// a set-point step and rejects a load disturbance: the loop of
// examples/pid_loop.py, sample for sample.
//
//   pid_loop           a table every 10 samples
//   pid_loop --exact   every sample, all digits ("%.17g"): k mode SP PV OP

#include <cstdio>
#include <cstring>
#include <exception>

#include "ovelin/c2d.hpp"
#include "ovelin/error.hpp"
#include "ovelin/linear_filter.hpp"
#include "ovelin/pid.hpp"

namespace {

constexpr double kTs = 1.0;  // seconds per sample
constexpr double kGain = 1.5, kTimeConstant = 20.0, kDeadTime = 4.0;
constexpr double kOpStart = 30.0, kPvStart = 45.0;

void run_loop(bool exact) {
    ovelin::Pid pid(kTs);
    pid.set_tuning({.kp = 1.2, .ti = 22.0, .td = 2.0, .n = 10.0});
    pid.set_limits(100.0, 0.0);

    const double num[] = {kGain};
    const double den[] = {kTimeConstant, 1.0};
    const ovelin::TransferFunction tf = ovelin::c2d_zoh(num, den, kDeadTime, kTs);
    ovelin::LinearFilter process(tf.num, tf.den);  // deviations from the operating point

    double sp = kPvStart, op = kOpStart, pv = kPvStart;
    if (!exact) std::printf("%5s %6s %7s %7s %7s\n", "t[s]", "mode", "SP", "PV", "OP");
    for (int k = 0; k <= 240; ++k) {
        const double mode = k < 20 ? 0.0 : 1.0;     // manual first, then automatic
        if (k == 40) sp = 55.0;                     // set-point step
        const double load = k >= 140 ? -3.0 : 0.0;  // load disturbance on the process output
        op = pid.run(mode, sp, pv, op, 0.0);
        pv = process.step(op - kOpStart) + kPvStart + load;
        if (exact) {
            std::printf("%d %d %.17g %.17g %.17g\n", k, static_cast<int>(mode), sp, pv, op);
        } else if (k % 10 == 0) {
            std::printf("%5.0f %6s %7.2f %7.2f %7.2f\n", k * kTs, mode == 1.0 ? "AUTO" : "MAN", sp, pv, op);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool exact = argc > 1 && std::strcmp(argv[1], "--exact") == 0;
    try {
        run_loop(exact);
    } catch (const ovelin::Error& e) {
        std::fprintf(stderr, "pid_loop: %s\n", e.what());
        return 1;
    }
    return 0;
}
