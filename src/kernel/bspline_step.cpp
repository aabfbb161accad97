#include "kernel/bspline_step.h"

#include "kernel/bspline.h"
#include "kernel/float_environment.h"

#include <cmath>
#include <cstddef>
#include <vector>

namespace {

// One axis of the grid at the position `p`: false outside the support
// [1, n - 2] (and for NaN); else the first tap floor(u) - 1 and the four
// weights of the fraction, which is exact. The last knot, u = n - 2, takes
// the last interval's taps at the fraction 1, as ITK takes it.
bool grid_axis(float p, double origin, double spacing, int32_t n, int32_t &first, double weights[4])
{
    const double shifted = static_cast<double>(p) - origin;
    const double u = shifted / spacing;
    const double last = static_cast<double>(n) - 2.0;
    if (!(u >= 1.0 && u <= last)) {
        return false;
    }
    const double below = u == last ? last - 1.0 : std::floor(u);
    const double t = u - below;
    first = static_cast<int32_t>(below) - 1;
    voxwarp::bspline_weights<voxwarp::plain_doubles>(t, weights);
    return true;
}

// values[0] * w[0] + ... + values[3] * w[3], added from the left.
inline double weighted(const double values[4], const double w[4])
{
    double sum = values[0] * w[0];
    for (int k = 1; k < 4; ++k) {
        const double product = values[k] * w[k];
        sum = sum + product;
    }
    return sum;
}

// The sum along x of component c of control row (cy, cz) at the taps from `first`.
inline double row_sum(const bspline_grid &grid, int c, int32_t cy, int32_t cz, int32_t first, const double w[4])
{
    const ptrdiff_t row = (ptrdiff_t{cz} * grid.extent.y + cy) * grid.extent.x;
    double values[4];
    for (int k = 0; k < 4; ++k) {
        values[k] = grid.coefficients[3 * (row + first + k) + c];
    }
    return weighted(values, w);
}

}  // namespace

void apply_bspline(const bspline_grid &grid, float p[3])
{
    const int32_t n[3] = {grid.extent.x, grid.extent.y, grid.extent.z};
    int32_t first[3];
    double w[3][4];
    for (int a = 0; a < 3; ++a) {
        if (!grid_axis(p[a], grid.origin[a], grid.spacing[a], n[a], first[a], w[a])) {
            return;
        }
    }
    float d[3];
    for (int c = 0; c < 3; ++c) {
        double planes[4];
        for (int kz = 0; kz < 4; ++kz) {
            double rows[4];
            for (int ky = 0; ky < 4; ++ky) {
                rows[ky] = row_sum(grid, c, first[1] + ky, first[2] + kz, first[0], w[0]);
            }
            planes[kz] = weighted(rows, w[1]);
        }
        d[c] = static_cast<float>(weighted(planes, w[2]));
    }
    for (int a = 0; a < 3; ++a) {
        p[a] = p[a] + d[a];
    }
}

namespace {

// Each position's taps and weights along one axis, and whether it lies in the support.
struct axis_taps {
    std::vector<int32_t> first;
    std::vector<double> weights;  // four per position
    std::vector<char> inside;
};

axis_taps taps_of(const float *positions, int32_t count, double origin, double spacing, int32_t n)
{
    axis_taps taps{std::vector<int32_t>(count, 0), std::vector<double>(4 * static_cast<size_t>(count), 0.0),
                   std::vector<char>(count, 0)};
    for (int32_t i = 0; i < count; ++i) {
        taps.inside[i] = grid_axis(positions[i], origin, spacing, n, taps.first[i], &taps.weights[4 * i]);
    }
    return taps;
}

}  // namespace

void bspline_displacements(const bspline_grid &grid, const float *xs, int32_t nx, const float *ys, int32_t ny,
                           const float *zs, int32_t nz, float *displacements)
{
    const ieee_default_environment environment;
    const axis_taps tx = taps_of(xs, nx, grid.origin[0], grid.spacing[0], grid.extent.x);
    const axis_taps ty = taps_of(ys, ny, grid.origin[1], grid.spacing[1], grid.extent.y);
    const axis_taps tz = taps_of(zs, nz, grid.origin[2], grid.spacing[2], grid.extent.z);
    const ptrdiff_t row = nx, slice = row * ny, volume = slice * nz;
    // rows[(c * cz_count + cz) * cy_count + cy][i]: the x sums of every control row at every column,
    // which positions of any y and z with the same taps share.
    const ptrdiff_t control_rows = ptrdiff_t{grid.extent.y} * grid.extent.z;
    std::vector<double> rows(3 * static_cast<size_t>(control_rows) * static_cast<size_t>(nx), 0.0);
    for (int c = 0; c < 3; ++c) {
        for (int32_t cz = 0; cz < grid.extent.z; ++cz) {
            for (int32_t cy = 0; cy < grid.extent.y; ++cy) {
                double *sums = &rows[((c * ptrdiff_t{grid.extent.z} + cz) * grid.extent.y + cy) * nx];
                for (int32_t i = 0; i < nx; ++i) {
                    if (tx.inside[i]) {
                        sums[i] = row_sum(grid, c, cy, cz, tx.first[i], &tx.weights[4 * i]);
                    }
                }
            }
        }
    }
    // The y sums of every output row (j) and column (i) for one control slice cz, which
    // positions of every z with that slice among their taps share: four slots, each
    // slice made once when zs run in order.
    const size_t plane_size = 3 * static_cast<size_t>(slice);
    std::vector<double> planes(4 * plane_size, 0.0);
    int32_t held[4] = {-1, -1, -1, -1};
    int64_t last_use[4] = {-1, -1, -1, -1};
    int64_t uses = 0;
    auto plane_of = [&](int32_t cz) -> const double * {
        int slot = 0;
        for (int s = 0; s < 4; ++s) {
            if (held[s] == cz) {
                last_use[s] = uses++;
                return &planes[s * plane_size];
            }
            slot = last_use[s] < last_use[slot] ? s : slot;
        }
        double *plane = &planes[slot * plane_size];
        for (int c = 0; c < 3; ++c) {
            const double *control = &rows[((c * ptrdiff_t{grid.extent.z} + cz) * grid.extent.y) * nx];
            for (int32_t j = 0; j < ny; ++j) {
                if (!ty.inside[j]) {
                    continue;
                }
                double *sums = plane + c * slice + j * row;
                for (int32_t i = 0; i < nx; ++i) {
                    double values[4];
                    for (int ky = 0; ky < 4; ++ky) {
                        values[ky] = control[(ty.first[j] + ky) * ptrdiff_t{nx} + i];
                    }
                    sums[i] = weighted(values, &ty.weights[4 * j]);
                }
            }
        }
        held[slot] = cz;
        last_use[slot] = uses++;
        return plane;
    };
    for (int32_t k = 0; k < nz; ++k) {
        const double *taps[4] = {nullptr, nullptr, nullptr, nullptr};
        if (tz.inside[k]) {
            for (int kz = 0; kz < 4; ++kz) {
                taps[kz] = plane_of(tz.first[k] + kz);
            }
        }
        const double *wz = &tz.weights[4 * k];
        for (int32_t j = 0; j < ny; ++j) {
            const bool row_inside = tz.inside[k] && ty.inside[j];
            for (int c = 0; c < 3; ++c) {
                float *out = displacements + c * volume + k * slice + j * row;
                const ptrdiff_t at = c * slice + j * row;
                for (int32_t i = 0; i < nx; ++i) {
                    if (!row_inside || !tx.inside[i]) {
                        out[i] = 0.0f;
                        continue;
                    }
                    const double values[4] = {taps[0][at + i], taps[1][at + i], taps[2][at + i], taps[3][at + i]};
                    out[i] = static_cast<float>(weighted(values, wz));
                }
            }
        }
    }
}
