#include "kernel/bspline_chain.h"

#include "kernel/bspline.h"
#include "kernel/chain_steps.h"
#include "kernel/lanczos.h"
#include "kernel/method_traits.h"

#include <cstdint>

namespace {

using voxwarp::job_constants;
using voxwarp::method_traits;

// Calls sample(jc, offset, I, J, K) for every position of the target box in C
// order, as for_each_position does, with the chain's positions.
template <typename Sample>
void for_each_chained_position(const job_constants &jc, const target_box &box, Sample &&sample)
{
    for (int32_t k = 0; k < box.extent.z; ++k) {
        const int32_t z = box.origin.z + k;
        for (int32_t j = 0; j < box.extent.y; ++j) {
            const int32_t y = box.origin.y + j;
            const voxwarp::row_terms r = voxwarp::make_row_terms(jc, y, z);
            const ptrdiff_t row_offset = k * box.slice + j * box.row;
            for (int32_t i = 0; i < box.extent.x; ++i) {
                const float X = static_cast<float>(box.origin.x + i) * jc.osx;
                float I, J, K;
                voxwarp::any_chain_indices(jc, r, X, I, J, K);
                sample(jc, row_offset + i, I, J, K);
            }
        }
    }
}

// Runs `sample` for the element type the job copies (nearest and label).
template <template <typename> class Sample>
void copy_elements(const job_constants &jc, const resample_job &job)
{
    switch (job.element_size) {
    case 1: for_each_chained_position(jc, job.target, Sample<uint8_t>::at); return;
    case 2: for_each_chained_position(jc, job.target, Sample<uint16_t>::at); return;
    case 4: for_each_chained_position(jc, job.target, Sample<uint32_t>::at); return;
    case 8: for_each_chained_position(jc, job.target, Sample<uint64_t>::at); return;
    }
}

template <typename T>
struct nearest_sample {
    static void at(const job_constants &jc, ptrdiff_t offset, float I, float J, float K)
    {
        voxwarp::nearest_position<T>(jc, offset, I, J, K);
    }
};

template <typename T>
struct label_sample {
    static void at(const job_constants &jc, ptrdiff_t offset, float I, float J, float K)
    {
        voxwarp::label_position<T>(jc, offset, I, J, K);
    }
};

template <typename Method>
void separable(const job_constants &jc, const resample_job &job)
{
    voxwarp::visit_source_type(job.source_type, [&](auto source) {
        voxwarp::visit_result_type(job.result_type, [&](auto result) {
            for_each_chained_position(
                jc, job.target,
                voxwarp::separable_position<Method, typename decltype(source)::type, typename decltype(result)::type>);
        });
    });
}

void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::linear>)
{
    voxwarp::visit_source_type(job.source_type, [&](auto source) {
        voxwarp::visit_result_type(job.result_type, [&](auto result) {
            for_each_chained_position(
                jc, job.target,
                voxwarp::resample_position<typename decltype(source)::type, typename decltype(result)::type>);
        });
    });
}

void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::nearest>)
{
    copy_elements<nearest_sample>(jc, job);
}

void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::label>)
{
    copy_elements<label_sample>(jc, job);
}

void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::lanczos>)
{
    separable<voxwarp::lanczos>(jc, job);
}

void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::cubic>)
{
    separable<voxwarp::cubic_bspline>(jc, job);
}

}  // namespace

bool chain_has_bspline(const resample_job &job)
{
    return voxwarp::has_bspline_step(job);
}

void resample_bspline_chain(const resample_job &job)
{
    if (voxwarp::job_is_empty(job)) {
        return;
    }
    const job_constants jc = voxwarp::make_job_constants(job);
    voxwarp::visit_method(job, [&](auto method) { run_method(jc, job, method); });
}
