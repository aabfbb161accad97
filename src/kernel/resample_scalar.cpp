#include "kernel/resample_scalar.h"

#include "kernel/bspline.h"
#include "kernel/lanczos.h"
#include "kernel/resample_position.h"

#include <cstdint>

void resample_scalar(const resample_job &job)
{
    if (voxwarp::job_is_empty(job)) {
        return;
    }
    const voxwarp::job_constants jc = voxwarp::make_job_constants(job);
    if (job.interpolation == interpolation::linear) {
        voxwarp::visit_source_type(job.source_type, [&](auto source) {
            voxwarp::for_each_position(jc, job.target, voxwarp::resample_position<typename decltype(source)::type>);
        });
        return;
    }
    if (job.interpolation == interpolation::label) {
        voxwarp::label_job(jc, job);
        return;
    }
    if (job.interpolation == interpolation::lanczos) {
        voxwarp::separable_job<voxwarp::lanczos>(jc, job);
        return;
    }
    if (job.interpolation == interpolation::cubic) {
        voxwarp::separable_job<voxwarp::cubic_bspline>(jc, job);
        return;
    }
    // Nearest copies elements as bits, so only their size matters.
    switch (job.element_size) {
    case 1: voxwarp::for_each_position(jc, job.target, voxwarp::nearest_position<uint8_t>); return;
    case 2: voxwarp::for_each_position(jc, job.target, voxwarp::nearest_position<uint16_t>); return;
    case 4: voxwarp::for_each_position(jc, job.target, voxwarp::nearest_position<uint32_t>); return;
    case 8: voxwarp::for_each_position(jc, job.target, voxwarp::nearest_position<uint64_t>); return;
    }
}
