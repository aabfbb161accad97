#include "kernel/resample_scalar.h"

#include "kernel/method_traits.h"
#include "kernel/resample_position.h"

#include <cstdint>

namespace {

using voxwarp::job_constants;
using voxwarp::method_traits;

// The scalar kernel of each method, chosen by overload on its traits.

void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::linear>)
{
    voxwarp::visit_source_type(job.source_type, [&](auto source) {
        voxwarp::visit_result_type(job.result_type, [&](auto result) {
            voxwarp::for_each_position(
                jc, job.target,
                voxwarp::resample_position<typename decltype(source)::type, typename decltype(result)::type>);
        });
    });
}

void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::label>)
{
    voxwarp::label_job(jc, job);
}

void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::lanczos>)
{
    voxwarp::separable_job<voxwarp::lanczos>(jc, job);
}

void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::cubic>)
{
    voxwarp::separable_job<voxwarp::cubic_bspline>(jc, job);
}

// Nearest copies elements as bits, so only their size matters.
void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::nearest>)
{
    switch (job.element_size) {
    case 1: voxwarp::for_each_position(jc, job.target, voxwarp::nearest_position<uint8_t>); return;
    case 2: voxwarp::for_each_position(jc, job.target, voxwarp::nearest_position<uint16_t>); return;
    case 4: voxwarp::for_each_position(jc, job.target, voxwarp::nearest_position<uint32_t>); return;
    case 8: voxwarp::for_each_position(jc, job.target, voxwarp::nearest_position<uint64_t>); return;
    }
}

}  // namespace

void resample_scalar(const resample_job &job)
{
    if (voxwarp::job_is_empty(job)) {
        return;
    }
    const job_constants jc = voxwarp::make_job_constants(job);
    voxwarp::visit_method(job, [&](auto method) { run_method(jc, job, method); });
}
