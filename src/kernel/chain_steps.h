#ifndef VOXWARPKIT_CHAIN_STEPS_H
#define VOXWARPKIT_CHAIN_STEPS_H

// The source indices of a position through a chain whose steps may be
// B-spline deformations as well as matrices and fields: each step of these
// two kinds as chain_indices applies it, in order.

#include "kernel/bspline_step.h"
#include "kernel/resample_position.h"

namespace voxwarp {
namespace {

// Whether any step of the job's chain is a B-spline deformation.
inline bool has_bspline_step(const resample_job &job)
{
    for (int32_t step = 0; step < job.chain_length; ++step) {
        if (job.chain[step].matrix == nullptr && job.chain[step].bspline != nullptr) {
            return true;
        }
    }
    return false;
}

// chain_indices for chains with any kind of step: the job's matrix, every
// step in order, then the division by the source spacing.
inline void any_chain_indices(const job_constants &jc, const row_terms &r, float X, float &I, float &J, float &K)
{
    float p[3] = {matrix_row(jc.m[0], X, r.m1y, r.m2z, jc.m[3]), matrix_row(jc.m[4], X, r.m5y, r.m6z, jc.m[7]),
                  matrix_row(jc.m[8], X, r.m9y, r.m10z, jc.m[11])};
    for (int32_t step = 0; step < jc.chain_length; ++step) {
        const chain_step &s = jc.chain[step];
        if (s.matrix != nullptr) {
            apply_matrix(s.matrix, p);
        } else if (s.bspline != nullptr) {
            apply_bspline(*s.bspline, p);
        } else {
            apply_field(s.field, p);
        }
    }
    I = p[0] / jc.sx;
    J = p[1] / jc.sy;
    K = p[2] / jc.sz;
}

}  // namespace
}  // namespace voxwarp

#endif
