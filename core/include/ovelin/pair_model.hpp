#pragma once
// Discrete pair models from pair definitions.
//
// A pair definition says how one MV moves one CV: a continuous or a
// discrete transfer function with dead time, a sampled step response, a step
// response given by points, or no model. make_pair_model turns it into the
// discrete filter a simulator steps, at the simulator's sample time. An
// integrating pair is the same model followed by an integrator.

#include <cstddef>
#include <vector>

#include "ovelin/mimo_sim.hpp"

namespace ovelin {

enum class PairKind {
    none,           // the MV does not act on the CV
    discrete,       // num/den in ascending powers of z^-1, delay_samples of dead time
    continuous,     // num/den in descending powers of s, delay in the sample time's unit
    step_response,  // response: the CV's response to a unit step, one value per sample
    step_points,    // points (sample index, ascending) and response (the values there)
};

struct PairDefinition {
    PairKind kind = PairKind::none;
    bool integrating = false;
    std::vector<double> num, den;
    double delay = 0.0;             // continuous
    std::size_t delay_samples = 0;  // discrete
    std::vector<double> response;   // step_response, step_points
    std::vector<double> points;     // step_points
};

// The discrete model of `definition` at sample time `ts` (used by continuous pairs
// only); null for no model. Throws ovelin::Error:
//   the codes of c2d_zoh (continuous) and of LinearFilter (all others);
//   invalid_argument        step_points with points and response of different lengths;
//   no_last_sample          step_points without points;
//   nan_to_integer, infinity_to_integer   a last point that is NaN / infinite;
//   out_of_memory           a dead time or a response too long to be held in memory.
PairModel make_pair_model(const PairDefinition& definition, double ts);

// The denominator times (1 - root z^-1), or times s for root 0: the
// coefficients convolved with [1, -root].
std::vector<double> times_root(const std::vector<double>& den, double root);

}  // namespace ovelin
