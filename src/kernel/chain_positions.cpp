#include "kernel/chain_positions.h"

#include "kernel/float_environment.h"

#include <cmath>
#include <cstddef>

namespace {

// One axis of a field's clamped linear rule in double: false unless the nearest voxel of `index`
// lies in [0, n - 1] (NaN and infinities fail the first test); else the neighbours floor and
// floor + 1, each clamped to [0, n - 1], and the weights of both.
bool clamped_axis(double index, int32_t n, ptrdiff_t &i0, ptrdiff_t &i1, double &f, double &g)
{
    if (!(index >= -1.0 && index < 2147483648.0)) {
        return false;
    }
    const double below = std::floor(index);
    const double fraction = index - below;  // exact
    const ptrdiff_t lower = static_cast<ptrdiff_t>(below);
    const ptrdiff_t nearest = lower + (fraction >= 0.5 ? 1 : 0);
    if (nearest < 0 || nearest > n - 1) {
        return false;
    }
    i0 = lower < 0 ? 0 : lower;
    i1 = lower + 1 > n - 1 ? n - 1 : lower + 1;
    f = fraction;
    g = 1.0 - fraction;
    return true;
}

inline double term(float value, double wx, double wy, double wz)
{
    const double a = static_cast<double>(value) * wx;
    const double b = a * wy;
    return b * wz;
}

// p <- p + d(p) where the field's gate passes: each component's eight terms in the clamped rule's
// order, x fastest, then y, then z, added from the left.
void displace(const displacement_field &field, double p[3])
{
    const int32_t n[3] = {field.extent.x, field.extent.y, field.extent.z};
    ptrdiff_t i0[3], i1[3];
    double f[3], g[3];
    for (int a = 0; a < 3; ++a) {
        const double shifted = p[a] - static_cast<double>(field.origin[a]);
        const double index = shifted / static_cast<double>(field.spacing[a]);
        if (!clamped_axis(index, n[a], i0[a], i1[a], f[a], g[a])) {
            return;
        }
    }
    const ptrdiff_t row = n[0];
    const ptrdiff_t slice = row * n[1];
    const ptrdiff_t volume = slice * n[2];
    const ptrdiff_t r0 = i0[1] * row, r1 = i1[1] * row, s0 = i0[2] * slice, s1 = i1[2] * slice;
    double d[3];
    for (int c = 0; c < 3; ++c) {
        const float *v = field.data + c * volume;
        double sum = term(v[s0 + r0 + i0[0]], g[0], g[1], g[2]);
        sum = sum + term(v[s0 + r0 + i1[0]], f[0], g[1], g[2]);
        sum = sum + term(v[s0 + r1 + i0[0]], g[0], f[1], g[2]);
        sum = sum + term(v[s0 + r1 + i1[0]], f[0], f[1], g[2]);
        sum = sum + term(v[s1 + r0 + i0[0]], g[0], g[1], f[2]);
        sum = sum + term(v[s1 + r0 + i1[0]], f[0], g[1], f[2]);
        sum = sum + term(v[s1 + r1 + i0[0]], g[0], f[1], f[2]);
        sum = sum + term(v[s1 + r1 + i1[0]], f[0], f[1], f[2]);
        d[c] = sum;
    }
    for (int a = 0; a < 3; ++a) {
        p[a] = p[a] + d[a];
    }
}

// p <- A p: each new coordinate ((a0 x + a1 y) + a2 z) + t from the old point.
void move(const double m[12], double p[3])
{
    double moved[3];
    for (int r = 0; r < 3; ++r) {
        const double a = m[4 * r] * p[0];
        const double b = m[4 * r + 1] * p[1];
        const double c = m[4 * r + 2] * p[2];
        const double ab = a + b;
        const double abc = ab + c;
        moved[r] = abc + m[4 * r + 3];
    }
    p[0] = moved[0];
    p[1] = moved[1];
    p[2] = moved[2];
}

}  // namespace

void chain_positions(const chain_positions_job &job)
{
    const ieee_default_environment environment;
    const ptrdiff_t row = job.extent[0];
    const ptrdiff_t slice = row * job.extent[1];
    const ptrdiff_t component = slice * job.extent[2];
    for (int32_t k = 0; k < job.extent[2]; ++k) {
        const double z = static_cast<double>(job.origin[2] + k) * job.output_spacing[2];
        for (int32_t j = 0; j < job.extent[1]; ++j) {
            const double y = static_cast<double>(job.origin[1] + j) * job.output_spacing[1];
            double *out = job.positions + k * slice + j * row;
            for (int32_t i = 0; i < job.extent[0]; ++i) {
                double p[3] = {static_cast<double>(job.origin[0] + i) * job.output_spacing[0], y, z};
                for (int32_t s = 0; s < job.length; ++s) {
                    if (job.steps[s].field.data == nullptr) {
                        move(job.steps[s].matrix, p);
                    } else {
                        displace(job.steps[s].field, p);
                    }
                }
                out[i] = p[0] / job.spacing[0];
                out[component + i] = p[1] / job.spacing[1];
                out[2 * component + i] = p[2] / job.spacing[2];
            }
        }
    }
}
