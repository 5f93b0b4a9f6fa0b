// Exact draws from the Poisson and normal laws, taking their uniform numbers
// from a counter-based stream and their elementary functions from the
// portable ones, so that a draw is the same on every machine.
#pragma once

#include "sim/counter_random.h"

namespace toolkit {

// A whole number of events from the Poisson law of the given mean (>= 0,
// finite; 0 for a mean of 0). Below a mean of 10 by inversion (sequential
// search of the distribution function from 0); from 10 on by Hormann's
// transformed rejection with squeeze (PTRS, 1993), which is exact for every
// mean, needs about 1.1 pairs of uniforms per draw and whose cost does not
// grow with the mean. No normal approximation at any mean.
double poisson_draw(double mean, UniformStream& uniforms);

// A standard normal number, by Marsaglia's polar method (one of each pair).
double normal_draw(UniformStream& uniforms);

// ln(k!) for a whole number k >= 0: a table below 10, Stirling's series
// (accurate to the last bits of a double) from 10 on.
double log_factorial(double k);

}  // namespace toolkit
