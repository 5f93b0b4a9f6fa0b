// The lane kernels of the cone projector and its transpose, one per
// instruction set, chosen by core/kernel_dispatch. All give the same bits.
#pragma once

#include <cstdint>

#include "core/kernel_dispatch.h"
#include "operators/cone_rays.h"

namespace tomproj {

// Rays walked side by side by the kernel: two vectors of its lanes (two
// single lanes for Kernel::scalar).
int cone_lanes(kernels::Kernel kernel);

// Walks the cone_lanes(kernel) lanes of g through `count` volumes:
// sums[j][l] is lane l's line integral in volume j, in double.
void cone_forward_lanes(kernels::Kernel kernel, const LaneGroup& g, const float* const* volumes,
                        int count, double (*sums)[kMaxLanes]);

// Walks the lanes of g and adds sample[l] x length of each of lane l's
// pieces into acc[position - base], lane after lane, each in walk order.
// at and amount hold room x cone_lanes(kernel) entries; room must be at
// least the most steps a lane takes (nx + ny + nz + 4 always is).
void cone_adjoint_lanes(kernels::Kernel kernel, const LaneGroup& g, const double* sample,
                        std::int64_t base, double* acc, std::int64_t room, std::int64_t* at,
                        double* amount);

}  // namespace tomproj
