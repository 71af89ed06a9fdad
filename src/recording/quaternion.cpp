// Orientation over a whole recording: runs the tracker over the accelerometer and gyroscope
// streams and stores the quaternion of every common sample as a stream of the sensor map.
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "../common/output_file.h"
#include "../tracker/bias_filter.h"
#include "../tracker/tracker.h"
#include "recording.h"

namespace {

// Fixed tracker configuration: no magnetometer sample is ever given and the position filter
// stays off. The accelerometer noise is high on purpose, so gravity corrects the integrated
// gyroscope only slowly.
constexpr float kMotionlessThresh[3] = {1.05f, 0.1f, 15.0f};  // g change, g from 1 g, deg/s
constexpr float kQuaternionProcessNoise[16] = {
    0.00001f, 0,        0,        0,  //
    0,        0.00001f, 0,        0,  //
    0,        0,        0.00001f, 0,  //
    0,        0,        0,        0.00001f,
};
constexpr float kAccelObservationNoise[9] = {10000, 0, 0, 0, 10000, 0, 0, 0, 10000};
constexpr float kMagObservationNoise[9] = {200000, 0, 0, 0, 200000, 0, 0, 0, 200000};

// Status values of run_tracker that carry an orientation.
constexpr int kTrackerReset = 1;
constexpr int kTrackerComputed = 3;
// Samples filtered between two looks at whether the process is exiting (about 0.1 s).
constexpr size_t kStopCheckSamples = 1 << 16;

}  // namespace

void kx_OrientationFilter::Deleter::operator()(void* p) const {
    ::operator delete(p);
}

kx_OrientationFilter::kx_OrientationFilter() = default;
kx_OrientationFilter::~kx_OrientationFilter() = default;

bool kx_OrientationFilter::start(const kx_Config& config, kx_Orientation mode) {
    mode_ = mode;
    if (mode == kx_Orientation::biasCorrected) {
        if (config.accel.frequency <= 0) return false;
        state_.reset(::operator new(sizeof(kx_bias_filter)));
        kx_bias_filter_init(static_cast<kx_bias_filter*>(state_.get()), static_cast<float>(config.accel.frequency));
        return true;
    }
    const int size = get_tracker_size();
    if (size < static_cast<int>(sizeof(tracker_state))) return false;
    state_.reset(::operator new(static_cast<size_t>(size)));
    tracker_state* state = static_cast<tracker_state*>(state_.get());
    init_tracker(state, config.accel.frequency, 0);
    set_motionless_thresh(state, kMotionlessThresh);
    set_quaternion_process_noise_cov_matrix(state, kQuaternionProcessNoise);
    set_imu_quaternion_observation_noise_cov_matrix(state, kAccelObservationNoise, kMagObservationNoise);
    return true;
}

void kx_OrientationFilter::run(const kx_DataSensor& acc, const kx_DataSensor& gyro, size_t count, double* w,
                               size_t out_length) {
    if (state_ == nullptr) return;
    // One sample in, one sample run: the tracker's buffer never holds more than one.
    const size_t na = acc.length;
    const size_t ng = gyro.length;
    for (size_t i = 0; i < count; ++i) {
        if (i % kStopCheckSamples == 0 && _outputs_stopped()) return;  // the process is exiting
        const float a3[3] = {static_cast<float>(acc.data[i]), static_cast<float>(acc.data[na + i]),
                             static_cast<float>(acc.data[2 * na + i])};
        const float g3[3] = {static_cast<float>(gyro.data[i]), static_cast<float>(gyro.data[ng + i]),
                             static_cast<float>(gyro.data[2 * ng + i])};
        float result[7];
        bool computed;
        if (mode_ == kx_Orientation::biasCorrected) {
            computed = kx_bias_filter_step(static_cast<kx_bias_filter*>(state_.get()), a3, g3, result) == 1;
        } else {
            tracker_state* state = static_cast<tracker_state*>(state_.get());
            add_to_tracker_buffer(state, a3, g3, nullptr);
            const int status = run_tracker(state, result);
            computed = status == kTrackerReset || status == kTrackerComputed;
        }
        if (computed) {
            for (int k = 0; k < 4; ++k) w[k * out_length + i] = result[k];
        }
    }
}

size_t kx_OrientationFilter::state_size() const {
    if (!state_) return 0;
    if (mode_ == kx_Orientation::biasCorrected) return sizeof(kx_bias_filter);
    return static_cast<size_t>(get_tracker_size());
}

void kx_OrientationFilter::save(void* state) const {
    if (state_) std::memcpy(state, state_.get(), state_size());
}

void kx_OrientationFilter::restore(const void* state) {
    if (state_) std::memcpy(state_.get(), state, state_size());
}

bool kx_computeQuaternion(const kx_Config* config, kx_SensorMap* sensors, kx_Orientation mode) {
    if (config == nullptr || sensors == nullptr) return false;
    const auto acc_it = sensors->find(KX_ACCEL);
    const auto gyro_it = sensors->find(KX_GYRO);
    if (acc_it == sensors->end() || gyro_it == sensors->end()) return false;
    const kx_DataSensor& acc = acc_it->second;
    const kx_DataSensor& gyro = gyro_it->second;
    if (acc.dimension != 3 || gyro.dimension != 3) return false;
    if (config->accel.frequency != config->gyro.frequency) return false;
    const size_t n = acc.length < gyro.length ? acc.length : gyro.length;
    if (n == 0) return false;
    // Streams that do not hold what their counts claim are refused rather than read past.
    if (acc.data.size() < 3 * acc.length || gyro.data.size() < 3 * gyro.length || acc.time.size() < n)
        return false;

    kx_DataSensor out(4, n);
    for (size_t i = 0; i < n; ++i) out.time[i] = acc.time[i];

    // Every common sample is filtered, the last included. Samples before the still start stay zero.
    kx_OrientationFilter filter;
    if (!filter.start(*config, mode)) return false;
    filter.run(acc, gyro, n, out.data.data(), n);

    // An existing orientation stream is replaced, never written into.
    (*sensors)[KX_QUATERNION] = std::move(out);
    return true;
}
