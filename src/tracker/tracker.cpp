// Orientation tracker: ring buffer, rest detection, quaternion EKF and position filter on one caller record.
#include "tracker.h"

#include <cmath>
#include <cstring>

#include "kx_math.h"

// Everything here has internal linkage except the 22 functions in the extern "C" block: the tracker ships
// as a stand-alone object file that must define those names and nothing else.
namespace {

constexpr int kSlots = 10;                      // ring-buffer slots and channels
constexpr int kPresent = 9;                     // channel of the magnetometer-present flag
constexpr float kGravity = 9.806f;              // m/s^2 per g
constexpr float kVelocityDamping = 0.98f;       // velocity measured after a reset
constexpr float kPosProcessNoise = 0.000004f;   // diagonal of the position process noise
constexpr float kPositionLimit = 1e9f;          // m
constexpr float kVelocityLimit = 100.0f;        // m/s; beyond it the velocity is clamped ...
constexpr float kVelocityClamp = 90.0f;         // ... to this value, m/s
constexpr float kMovingProcessNoise = 0.0001f;  // Q while moving
constexpr float kMovingAccNoise = 10000.0f;     // R_acc while moving: gravity is not trusted then

// Initial values set by init_tracker.
constexpr float kInitialCovariance = 0.0001f;       // diagonal of P
constexpr float kResetCovariance = 0.001f;          // diagonal of P after an orientation reset
constexpr float kStillMagnitudeChange = 1.006f;     // g, from the last sample
constexpr float kStillGravityDistance = 0.06f;      // g, from 1 g
constexpr float kStillGyroLimit = 18.0f;            // deg/s
constexpr float kRadToDeg = 57.2957763671875f;      // 180/pi rounded to single precision
constexpr float kInitialPositionCovariance = 0.1f;  // diagonal of P_pos, also after reset_position
constexpr float kProcessNoise = 0.00001f;           // diagonal of Q
constexpr float kAccNoise = 0.001f;                 // diagonal of R_acc
constexpr float kMagNoise = 0.004f;                 // diagonal of R_mag's 3x3 block
constexpr float kPositionNoise = 0.001f;            // diagonal of R_pos
constexpr int kInitSamples = 5;                     // consecutive still samples before the start
constexpr float kMagDipTolerance = 10.0f;           // deg
constexpr float kMagNormTolerance = 5.0f;           // magnetometer units
constexpr float kMagDipReference = 75.4f;           // deg, expected inclination
constexpr float kMagNormReference = 23.0f;          // magnetometer units, expected field magnitude

inline float norm3(const float* v) {
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

// A magnetometer sample gives a direction only when its norm is finite and not zero; any other
// sample is treated as no magnetometer sample (dividing by its norm would make the state NaN for good).
inline bool field_has_direction(const float* mag3) {
    const float n = norm3(mag3);
    return n > 0.0f && std::isfinite(n);
}

// Sets the 4x4 block of a 6-column matrix to diag(d); columns 4 and 5 are untouched.
inline void set_block4_diag(float (*M)[6], float d) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) M[r][c] = (r == c) ? d : 0.0f;
}

// Gravity direction in the sensor frame for orientation q: the third row of R(q)^T.
inline void gravity_in_sensor(const float* q, float* h) {
    const float w = q[0], x = q[1], y = q[2], z = q[3];
    h[0] = 2.0f * (x * z - w * y);
    h[1] = 2.0f * (w * x + y * z);
    h[2] = w * w - x * x - y * y + z * z;
}

// S = (H P) H^T + R over the 3x3 innovation block; H P is formed over all six Jacobian rows.
void innovation_cov(tracker_state* s, const float* P6, const float (*R)[3]) {
    matrix_mult_6_4_4_4(&s->H[0][0], P6, &s->HP[0][0]);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            float sum = s->HP[r][0] * s->H[c][0];
            for (int k = 1; k < 4; ++k) sum += s->HP[r][k] * s->H[c][k];
            s->S[r][c] = sum + R[r][c];
        }
    }
}

// K = (P H^T) S^-1 with S^-1 already in S_inv; then Ky = K y and IKH = I - K H.
void gain(tracker_state* s, const float (*P6)[6]) {
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 3; ++c) {
            float sum = P6[r][0] * s->H[c][0];
            for (int k = 1; k < 4; ++k) sum += P6[r][k] * s->H[c][k];
            s->PHt[r][c] = sum;
        }
    }
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 3; ++c) {
            float sum = s->PHt[r][0] * s->S_inv[0][c];
            for (int k = 1; k < 3; ++k) sum += s->PHt[r][k] * s->S_inv[k][c];
            s->K[r][c] = sum;
        }
    }
    for (int r = 0; r < 4; ++r) {
        float sum = s->K[r][0] * s->y[0];
        for (int k = 1; k < 3; ++k) sum += s->K[r][k] * s->y[k];
        s->Ky[r] = sum;
    }
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            float sum = s->K[r][0] * s->H[0][c];
            for (int k = 1; k < 3; ++k) sum += s->K[r][k] * s->H[k][c];
            s->IKH[r][c] = ((r == c) ? 1.0f : 0.0f) - sum;
        }
    }
}

// The filter step on local copies: the small matrices stay in registers, and each loop over a row's
// columns can run side by side. Every element keeps its own order of operations (sums from k = 0 up,
// no contraction), so the results are those of the plain formulas; the record's working storage
// receives the same values as well.

// P_pred = (F P) F^T + Qk and q = F q.
inline void predict_step(tracker_state* s, const float* gyro3) {
    // Qk: larger process noise while moving.
    const bool moving = s->moving == 1;
    float Qk[4][4];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) Qk[r][c] = moving ? ((r == c) ? kMovingProcessNoise : 0.0f) : s->Q[r][c];

    // F q = q (x) (1, a, b, c), first-order integration of the body rate over one sample.
    const float a = gyro3[0] * s->half_dt;
    const float b = gyro3[1] * s->half_dt;
    const float c = gyro3[2] * s->half_dt;
    const float F[4][4] = {{1.0f, -a, -b, -c}, {a, 1.0f, c, -b}, {b, -c, 1.0f, a}, {c, b, -a, 1.0f}};

    // q = F q (not normalised here; the accelerometer update normalises)
    float q[4], P[4][4];
    for (int i = 0; i < 4; ++i) q[i] = s->q[i];
    for (int r = 0; r < 4; ++r)
        for (int j = 0; j < 4; ++j) P[r][j] = s->P[r][j];
    float qn[4];
    for (int r = 0; r < 4; ++r) qn[r] = F[r][0] * q[0];
    for (int k = 1; k < 4; ++k)
        for (int r = 0; r < 4; ++r) qn[r] += F[r][k] * q[k];

    // FP = F P
    float FP[4][4];
    for (int r = 0; r < 4; ++r) {
        for (int j = 0; j < 4; ++j) FP[r][j] = F[r][0] * P[0][j];
        for (int k = 1; k < 4; ++k)
            for (int j = 0; j < 4; ++j) FP[r][j] += F[r][k] * P[k][j];
    }

    // P_pred = FP F^T + Qk
    float Ft[4][4];
    for (int r = 0; r < 4; ++r)
        for (int j = 0; j < 4; ++j) Ft[j][r] = F[r][j];
    float Pp[4][4];
    for (int r = 0; r < 4; ++r) {
        for (int j = 0; j < 4; ++j) Pp[r][j] = FP[r][0] * Ft[0][j];
        for (int k = 1; k < 4; ++k)
            for (int j = 0; j < 4; ++j) Pp[r][j] += FP[r][k] * Ft[k][j];
        for (int j = 0; j < 4; ++j) Pp[r][j] = Pp[r][j] + Qk[r][j];
    }

    std::memcpy(s->Qk, Qk, sizeof Qk);
    std::memcpy(s->F, F, sizeof F);
    for (int i = 0; i < 4; ++i) {
        s->q[i] = qn[i];
        s->q_pred[i] = qn[i];
    }
    for (int r = 0; r < 4; ++r) {
        for (int j = 0; j < 4; ++j) {
            s->FP[r][j] = FP[r][j];
            s->P_pred[r][j] = Pp[r][j];
        }
    }
}

// Gravity-direction update of q and P from P_pred and q_pred.
inline void accelerometer_step(tracker_state* s, const float* acc3) {
    const bool moving = s->moving == 1;
    float R[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) R[r][c] = moving ? ((r == c) ? kMovingAccNoise : 0.0f) : s->R_acc[r][c];

    // h = gravity seen in the sensor frame; H = dh/dq
    float qp[4];
    for (int i = 0; i < 4; ++i) qp[i] = s->q_pred[i];
    const float w = qp[0], x = qp[1], y = qp[2], z = qp[3];
    float h[3];
    gravity_in_sensor(qp, h);
    const float H[3][4] = {{-2.0f * y, 2.0f * z, -2.0f * w, 2.0f * x},
                           {2.0f * x, 2.0f * w, 2.0f * z, 2.0f * y},
                           {2.0f * w, -2.0f * x, -2.0f * y, 2.0f * z}};

    // y = acc - h (acc not normalised)
    float yv[3];
    for (int i = 0; i < 3; ++i) yv[i] = acc3[i] - h[i];

    float P[4][4];
    for (int r = 0; r < 4; ++r)
        for (int j = 0; j < 4; ++j) P[r][j] = s->P_pred[r][j];

    // HP = H P_pred over all six Jacobian rows; rows 3 to 5 are the record's (never filled, so zero).
    float HP[6][4];
    for (int r = 0; r < 3; ++r) {
        for (int j = 0; j < 4; ++j) HP[r][j] = H[r][0] * P[0][j];
        for (int k = 1; k < 4; ++k)
            for (int j = 0; j < 4; ++j) HP[r][j] += H[r][k] * P[k][j];
    }
    for (int r = 3; r < 6; ++r) {
        for (int j = 0; j < 4; ++j) HP[r][j] = s->H[r][0] * P[0][j];
        for (int k = 1; k < 4; ++k)
            for (int j = 0; j < 4; ++j) HP[r][j] += s->H[r][k] * P[k][j];
    }

    // S = HP H^T + R
    float S[3][3];
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            float sum = HP[r][0] * H[c][0];
            for (int k = 1; k < 4; ++k) sum += HP[r][k] * H[c][k];
            S[r][c] = sum + R[r][c];
        }
    }
    float S_inv[3][3];
    inverseM(&S[0][0], &S_inv[0][0]);

    // PHt = P_pred H^T
    float PHt[4][3];
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 3; ++c) {
            float sum = P[r][0] * H[c][0];
            for (int k = 1; k < 4; ++k) sum += P[r][k] * H[c][k];
            PHt[r][c] = sum;
        }
    }
    // K = PHt S^-1; Ky = K y; IKH = I - K H
    float K[4][3], Ky[4], IKH[4][4];
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 3; ++c) K[r][c] = PHt[r][0] * S_inv[0][c];
        for (int k = 1; k < 3; ++k)
            for (int c = 0; c < 3; ++c) K[r][c] += PHt[r][k] * S_inv[k][c];
    }
    for (int r = 0; r < 4; ++r) Ky[r] = K[r][0] * yv[0];
    for (int k = 1; k < 3; ++k)
        for (int r = 0; r < 4; ++r) Ky[r] += K[r][k] * yv[k];
    for (int r = 0; r < 4; ++r) {
        float KH[4];
        for (int c = 0; c < 4; ++c) KH[c] = K[r][0] * H[0][c];
        for (int k = 1; k < 3; ++k)
            for (int c = 0; c < 4; ++c) KH[c] += K[r][k] * H[k][c];
        for (int c = 0; c < 4; ++c) IKH[r][c] = ((r == c) ? 1.0f : 0.0f) - KH[c];
    }

    // q = normalise(q_pred + K y), as normalize_quaternion does it: a zero sum of squares changes nothing.
    float q[4];
    for (int i = 0; i < 4; ++i) q[i] = qp[i] + Ky[i];
    float n2 = q[0] * q[0];
    for (int i = 1; i < 4; ++i) n2 += q[i] * q[i];
    if (n2 != 0.0f) {
        const float norm = std::sqrt(n2);
        for (int i = 0; i < 4; ++i) q[i] = q[i] / norm;
    }

    // P = (I - K H) P_pred
    float Pn[4][4];
    for (int r = 0; r < 4; ++r) {
        for (int j = 0; j < 4; ++j) Pn[r][j] = IKH[r][0] * P[0][j];
        for (int k = 1; k < 4; ++k)
            for (int j = 0; j < 4; ++j) Pn[r][j] += IKH[r][k] * P[k][j];
    }

    std::memcpy(s->Rk, R, sizeof R);
    for (int i = 0; i < 3; ++i) {
        s->h[i] = h[i];
        s->y[i] = yv[i];
    }
    std::memcpy(s->H, H, sizeof H);
    std::memcpy(s->HP, HP, sizeof HP);
    std::memcpy(s->S, S, sizeof S);
    std::memcpy(s->S_inv, S_inv, sizeof S_inv);
    std::memcpy(s->PHt, PHt, sizeof PHt);
    std::memcpy(s->K, K, sizeof K);
    std::memcpy(s->Ky, Ky, sizeof Ky);
    std::memcpy(s->IKH, IKH, sizeof IKH);
    for (int i = 0; i < 4; ++i) {
        s->q[i] = q[i];
        s->q_pred[i] = q[i];
    }
    for (int r = 0; r < 4; ++r)
        for (int j = 0; j < 4; ++j) s->P[r][j] = Pn[r][j];
}

// predict, accelerometer update, magnetometer update when mag is given, then lin_acc; gyro in rad/s.
inline void imu_step(tracker_state* s, const float* gyro3, const float* acc3, const float* mag3) {
    predict_step(s, gyro3);
    if (acc3 != nullptr) accelerometer_step(s, acc3);
    if (mag3 != nullptr) run_magnetometer_update(s, mag3);
    if (acc3 != nullptr) {
        // lin_acc = world-frame acceleration minus 1 g on z
        float r[3];
        quaternion_rotate_vector(acc3, s->q, r);
        s->lin_acc[0] = r[0];
        s->lin_acc[1] = r[1];
        s->lin_acc[2] = r[2] - 1.0f;
    }
}

// The motion test, then one filter step; gyro in deg/s, converted in place to rad/s.
inline void ekf_step(tracker_state* s, float* gyro3, const float* acc3, const float* mag3) {
    // Still when the magnitude barely changed since the last sample, is close to 1 g and the rate is low.
    const float p = norm3(s->lin_acc);
    const float a = norm3(acc3);
    s->moving = 1;
    if (s->motionless_thresh[0] > std::fabs(a - p) && s->motionless_thresh[1] > std::fabs(a - 1.0f) &&
        s->motionless_thresh[2] > norm3(gyro3))
        s->moving = 0;
    s->acc_norm = a;
    for (int i = 0; i < 3; ++i) gyro3[i] = gyro3[i] / s->rad_to_deg;
    imu_step(s, gyro3, acc3, mag3);
}

inline float clamp_limit(float v, float limit, float value) {
    // Comparisons are false for NaN, which passes unchanged.
    if (v > limit) return value;
    if (v < -limit) return -value;
    return v;
}

// Reads the filter axes 0..8 from one slot; a channel outside the buffer reads as 0 (and, for the
// present flag, as "no magnetometer") so that a client-written axis_map cannot reach outside the record.
int take_sample(const tracker_state* s, int slot, float* axes) {
    for (int a = 0; a < 9; ++a) {
        const int ch = s->axis_map[a];
        const float v = (ch >= 0 && ch < kSlots) ? s->buffer[ch][slot] : 0.0f;
        axes[a] = (float)s->axis_sign[a] * v;
    }
    const int flag_ch = s->axis_map[8] + 1;
    if (flag_ch < 0 || flag_ch >= kSlots) return 0;
    // "Truncates to a non-zero integer" without the float-to-int conversion, which is undefined for NaN
    // and out-of-range values: NaN reads as absent, anything of magnitude 1 or more as present.
    return std::fabs(s->buffer[flag_ch][slot]) >= 1.0f;
}

}  // namespace

extern "C" {

int get_tracker_size(void) {
    return (int)sizeof(tracker_state);
}

void init_tracker(tracker_state* s, int frequency, int position_enabled) {
    std::memset(s, 0, sizeof(tracker_state));
    s->q[0] = 1.0f;
    set_block4_diag(s->P, kInitialCovariance);
    s->half_dt = 0.5f / (float)frequency;
    s->dt = 1.0f / (float)frequency;
    s->buf_free = kSlots;
    s->buf_size = kSlots;
    s->motionless_thresh[0] = kStillMagnitudeChange;
    s->motionless_thresh[1] = kStillGravityDistance;
    s->motionless_thresh[2] = kStillGyroLimit;
    s->rad_to_deg = kRadToDeg;
    s->position_enabled = position_enabled;
    if (position_enabled != 0) {
        for (int i = 0; i < 6; ++i) s->P_pos[i][i] = kInitialPositionCovariance;
    }
    for (int i = 0; i < 4; ++i) s->Q[i][i] = kProcessNoise;
    for (int i = 0; i < 3; ++i) s->R_acc[i][i] = kAccNoise;
    for (int i = 0; i < 3; ++i) s->R_mag[i][i] = kMagNoise;
    for (int i = 0; i < 6; ++i) s->R_pos[i][i] = kPositionNoise;
    for (int a = 0; a < 9; ++a) {
        s->axis_map[a] = a;
        s->axis_sign[a] = 1;
    }
    s->init_samples = kInitSamples;
    s->mag_dip_tol = kMagDipTolerance;
    s->mag_norm_tol = kMagNormTolerance;
    s->mag_dip_ref = kMagDipReference;
    s->mag_norm_ref = kMagNormReference;
}

void reset_tracker(tracker_state* s, int frequency, int position_enabled) {
    init_tracker(s, frequency, position_enabled);
}

void set_quaternion_process_noise_cov_matrix(tracker_state* s, const float* q16) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) s->Q[r][c] = q16[r * 4 + c];
}

void set_imu_quaternion_observation_noise_cov_matrix(tracker_state* s, const float* acc9, const float* mag9) {
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            s->R_acc[r][c] = acc9[r * 3 + c];
            s->R_mag[r][c] = mag9[r * 3 + c];
        }
    }
}

void set_position_observation_noise_cov_matrix(tracker_state* s, const float* r36) {
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c) s->R_pos[r][c] = r36[r * 6 + c];
}

void set_motionless_thresh(tracker_state* s, const float* thresh3) {
    for (int i = 0; i < 3; ++i) s->motionless_thresh[i] = thresh3[i];
}

void reset_orientation(tracker_state* s, const float* q4) {
    if (q4 == nullptr) return;
    for (int i = 0; i < 4; ++i) s->reset_q[i] = q4[i];
    s->orientation_reset = 1;
}

void reset_orientation_local(tracker_state* s) {
    for (int i = 0; i < 4; ++i) s->q[i] = s->reset_q[i];
    set_block4_diag(s->P, kResetCovariance);
}

void reset_position(tracker_state* s, const float* pos3, const float* vel3) {
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c) s->P_pos[r][c] = (r == c) ? kInitialPositionCovariance : 0.0f;
    for (int i = 0; i < 3; ++i) s->reset_pos[i] = pos3[i];
    if (vel3 != nullptr) {
        for (int i = 0; i < 3; ++i) s->reset_vel[i] = vel3[i];
    }
    s->position_reset = 1;
}

int add_to_tracker_buffer(tracker_state* s, const float* acc3, const float* gyro3, const float* mag3) {
    if (s->buf_free < 1) return 0;
    const int slot = s->buf_write;
    for (int i = 0; i < 3; ++i) {
        s->buffer[i][slot] = acc3[i];
        s->buffer[3 + i][slot] = gyro3[i];
        s->buffer[6 + i][slot] = (mag3 != nullptr) ? mag3[i] : 0.0f;
    }
    s->buffer[kPresent][slot] = (mag3 != nullptr) ? 1.0f : 0.0f;
    s->buf_write += 1;
    s->buf_free -= 1;
    if (s->buf_write % s->buf_size == 0) s->buf_write = 0;
    return 1;
}

int run_tracker(tracker_state* s, float* out7) {
    if (s->buf_free >= s->buf_size) return 0;
    float axes[9];
    const int has_mag = take_sample(s, s->buf_read, axes);
    s->buf_read += 1;
    s->buf_free += 1;
    if (s->buf_read % s->buf_size == 0) s->buf_read = 0;
    float* acc = axes;
    float* gyro = axes + 3;
    const float* mag = has_mag ? axes + 6 : nullptr;

    int status;
    if (s->orientation_reset == 1) {
        for (int i = 0; i < 4; ++i) s->q[i] = s->reset_q[i];
        set_block4_diag(s->P, kResetCovariance);
        s->orientation_reset = 0;
        s->initialised = 1;
        status = 1;
    } else if (s->initialised == 1) {
        ekf_step(s, gyro, acc, mag);
        apply_localization(s, out7);
        status = 3;
    } else if (is_ready_to_initialize(s, acc, gyro, mag) == 0) {
        status = 2;
    } else {
        set_initial_quaternion(s);
        const float n = (float)s->init_samples;
        for (int i = 0; i < 3; ++i) s->lin_acc[i] = s->acc_sum[i] / n;
        s->initialised = 1;
        status = 3;
    }
    for (int i = 0; i < 4; ++i) out7[i] = s->q[i];
    return status;
}

float get_percent_disturb_magnetometer_data(const tracker_state* s) {
    return (s->mag_disturbed / s->mag_total) * 100.0f;
}

int is_ready_to_initialize(tracker_state* s, const float* acc3, const float* gyro3, const float* mag3) {
    const float d = std::fabs(norm3(acc3) - 1.0f);
    if (mag3 != nullptr && field_has_direction(mag3)) {
        for (int i = 0; i < 3; ++i) s->mag_sum[i] += mag3[i];
        s->mag_count += 1;
    }
    // Strict comparisons: a NaN makes the sample not still.
    if (s->motionless_thresh[1] > d && s->motionless_thresh[2] > norm3(gyro3)) {
        for (int i = 0; i < 3; ++i) s->acc_sum[i] += acc3[i];
        s->still_count += 1;
    } else if (s->still_count > 0) {
        // The run of still samples broke: start over, magnetometer included.
        for (int i = 0; i < 3; ++i) {
            s->acc_sum[i] = 0.0f;
            s->mag_sum[i] = 0.0f;
        }
        s->still_count = 0;
        s->mag_count = 0;
    }
    return s->still_count == s->init_samples;
}

void set_initial_quaternion(tracker_state* s) {
    // Tilt: the rotation that takes the mean gravity direction a onto world +z.
    const float n = (float)s->init_samples;
    float a[3];
    for (int i = 0; i < 3; ++i) a[i] = s->acc_sum[i] / n;
    const float len = norm3(a);
    for (int i = 0; i < 3; ++i) a[i] = a[i] / len;
    const float ax = a[0], ay = a[1], az = a[2];
    float qa[4];
    if (az >= 0.0f) {
        const float d = std::sqrt(2.0f * (az + 1.0f));
        qa[0] = std::sqrt((az + 1.0f) / 2.0f);
        qa[1] = ay / d;
        qa[2] = -ax / d;
        qa[3] = 0.0f;
    } else {
        const float d = std::sqrt(2.0f * (1.0f - az));
        qa[0] = ay / d;
        qa[1] = std::sqrt((1.0f - az) / 2.0f);
        qa[2] = 0.0f;
        qa[3] = ax / d;
    }

    // Heading about z from the raw mean horizontal field. A field with no horizontal part (x and y both
    // exactly 0) has no heading: zero rotation, as when no magnetometer was seen.
    float qm[4] = {1.0f, 0.0f, 0.0f, 0.0f};
    if (s->mag_sum[0] != 0.0f || s->mag_sum[1] != 0.0f) {
        const float cnt = (float)s->mag_count;
        const float mx = s->mag_sum[0] / cnt;
        const float my = s->mag_sum[1] / cnt;
        const float G = mx * mx + my * my;
        const float rG = std::sqrt(G);
        if (mx >= 0.0f) {
            qm[0] = std::sqrt((G + mx * rG) / (2.0f * G));
            qm[3] = my / std::sqrt(2.0f * (G + mx * rG));
        } else {
            qm[0] = my / std::sqrt(2.0f * (G - mx * rG));
            qm[3] = std::sqrt((G - mx * rG) / (2.0f * G));
        }
    }
    normalize_quaternion(qm, 4);
    quaternion_product(qa, qm, s->q);
}

void predict(tracker_state* s, const float* gyro3) {
    predict_step(s, gyro3);
}

void run_accelerometer(tracker_state* s, const float* acc3) {
    accelerometer_step(s, acc3);
}

void run_magnetometer_update(tracker_state* s, const float* mag3) {
    // m = mag / |mag|; a field without direction gives no update and no count.
    if (!field_has_direction(mag3)) return;
    const float n = norm3(mag3);
    const float m[4] = {0.0f, mag3[0] / n, mag3[1] / n, mag3[2] / n};

    // Inclination of the measured field in the world frame.
    float t[4], conj[4], mw[4];
    quaternion_product(s->q_pred, m, t);
    get_conjugate(s->q_pred, conj);
    quaternion_product(t, conj, mw);
    const float dip = std::atan(mw[3] / std::sqrt(mw[1] * mw[1] + mw[2] * mw[2]));

    // Reference field b = (bx, 0, bz) with the measured inclination relative to gravity.
    float g[3];
    gravity_in_sensor(s->q_pred, g);
    float bz = m[1] * g[0] + m[2] * g[1] + m[3] * g[2];
    if (bz > 1.0f) bz = 1.0f;
    if (bz < -1.0f) bz = -1.0f;
    const float bx = std::sqrt(1.0f - bz * bz);

    // hm = R(q)^T b: the reference field seen in the sensor frame.
    const float b[4] = {0.0f, bx, 0.0f, bz};
    float u[4], hm[4];
    quaternion_product(conj, b, u);
    quaternion_product(u, s->q_pred, hm);
    for (int i = 0; i < 3; ++i) s->h[i] = hm[1 + i];

    const float w = s->q_pred[0], x = s->q_pred[1], y = s->q_pred[2], z = s->q_pred[3];
    const float H[3][4] = {{2.0f * (bx * w - bz * y), 2.0f * (bx * x + bz * z), 2.0f * (-bx * y - bz * w),
                            2.0f * (bz * x - bx * z)},
                           {2.0f * (bz * x - bx * z), 2.0f * (bx * y + bz * w), 2.0f * (bx * x + bz * z),
                            2.0f * (bz * y - bx * w)},
                           {2.0f * (bx * y + bz * w), 2.0f * (bx * z - bz * x), 2.0f * (bx * w - bz * y),
                            2.0f * (bx * x + bz * z)}};
    std::memcpy(s->H, H, sizeof H);

    // A disturbed sample still runs the update, with zero innovation, so the covariance keeps shrinking.
    // Strict comparisons: a NaN is never counted as disturbed.
    const bool disturbed = std::fabs(n - s->mag_norm_ref) > s->mag_norm_tol ||
                           std::fabs(s->rad_to_deg * std::fabs(dip) - s->mag_dip_ref) > s->mag_dip_tol;
    if (disturbed) s->mag_disturbed += 1.0f;
    s->mag_total += 1.0f;
    for (int i = 0; i < 3; ++i) {
        const float zi = disturbed ? s->h[i] : m[1 + i];
        s->y[i] = zi - s->h[i];
    }

    // S = (H P) H^T + R_mag with P from the accelerometer update; K = (P H^T) S^-1
    float R[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) R[r][c] = s->R_mag[r][c];
    innovation_cov(s, &s->P[0][0], R);
    inverseM(&s->S[0][0], &s->S_inv[0][0]);
    gain(s, s->P);

    // q = normalise(q_pred + K y); q_pred keeps the accelerometer-corrected value
    for (int i = 0; i < 4; ++i) s->q[i] = s->q_pred[i] + s->Ky[i];
    normalize_quaternion(s->q, 4);

    // P = (I - K H) P
    matrix_mult_4_4(&s->IKH[0][0], &s->P[0][0], &s->FP[0][0]);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) s->P[r][c] = s->FP[r][c];
}

void call_ekf_quaternion(tracker_state* s, float* gyro3, const float* acc3, const float* mag3) {
    ekf_step(s, gyro3, acc3, mag3);
}

void imu_ekf_quaternion_tracker(tracker_state* s, const float* gyro3, const float* acc3, const float* mag3) {
    imu_step(s, gyro3, acc3, mag3);
}

void run_position_Kalman_filter(tracker_state* s, const float* a3) {
    const float T = s->dt;
    const int moving = s->moving == 1;

    // F = [[I, T I], [0, V]], V = I while moving, 0 while still (zero-velocity rule)
    for (int r = 0; r < 6; ++r) {
        for (int c = 0; c < 6; ++c) {
            float v = 0.0f;
            if (r == c) v = (r < 3 || moving) ? 1.0f : 0.0f;
            if (r < 3 && c == r + 3) v = T;
            s->Fp[r][c] = v;
            s->Fp_t[c][r] = v;
        }
    }

    // u = (((0.5 T) T) g) a for the position, (T g) a for the velocity; z = (position, 0.98 velocity)
    if (moving) {
        for (int i = 0; i < 3; ++i) {
            s->up[i] = 0.5f * T * T * kGravity * a3[i];
            s->up[3 + i] = T * kGravity * a3[i];
            s->zp[i] = s->position[i];
            s->zp[3 + i] = kVelocityDamping * s->velocity[i];
        }
    } else {
        for (int i = 0; i < 3; ++i) {
            s->velocity[i] = 0.0f;
            s->up[i] = 0.0f;
            s->up[3 + i] = 0.0f;
            s->zp[i] = s->position[i];
            s->zp[3 + i] = 0.0f;
        }
    }

    // x_pred = F x + u
    float x[6];
    for (int i = 0; i < 3; ++i) {
        x[i] = s->position[i];
        x[3 + i] = s->velocity[i];
    }
    for (int r = 0; r < 6; ++r) {
        float sum = s->Fp[r][0] * x[0];
        for (int k = 1; k < 6; ++k) sum += s->Fp[r][k] * x[k];
        s->xp_pred[r] = sum + s->up[r];
    }

    // P_pred = (F P_pos) F^T + Qp (the whole of Qp is added, zeros included, as for the orientation)
    matrix_mult_6_6_6_6(&s->Fp[0][0], &s->P_pos[0][0], &s->FpP[0][0]);
    matrix_mult_6_6_6_6(&s->FpP[0][0], &s->Fp_t[0][0], &s->Pp_pred[0][0]);
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c) s->Pp_pred[r][c] += (r == c) ? kPosProcessNoise : 0.0f;

    float x_new[6];
    if (s->position_reset == 1) {
        // One update per reset, H = I: y = z - x_pred, S = P_pred + R_pos, K = P_pred S^-1
        for (int i = 0; i < 6; ++i) s->yp[i] = s->zp[i] - s->xp_pred[i];
        for (int r = 0; r < 6; ++r)
            for (int c = 0; c < 6; ++c) s->Sp[r][c] = s->Pp_pred[r][c] + s->R_pos[r][c];
        inverseM_magneto(&s->Sp[0][0], &s->Sp_inv[0][0]);
        matrix_mult_6_6_6_6(&s->Pp_pred[0][0], &s->Sp_inv[0][0], &s->Kp[0][0]);
        // x = x_pred + K y; P = (I - K) P_pred
        for (int r = 0; r < 6; ++r) {
            float sum = s->Kp[r][0] * s->yp[0];
            for (int k = 1; k < 6; ++k) sum += s->Kp[r][k] * s->yp[k];
            x_new[r] = s->xp_pred[r] + sum;
        }
        for (int r = 0; r < 6; ++r)
            for (int c = 0; c < 6; ++c) s->IKp[r][c] = ((r == c) ? 1.0f : 0.0f) - s->Kp[r][c];
        matrix_mult_6_6_6_6(&s->IKp[0][0], &s->Pp_pred[0][0], &s->P_pos[0][0]);
        s->position_reset = 0;
    } else {
        for (int i = 0; i < 6; ++i) x_new[i] = s->xp_pred[i];
        std::memcpy(s->P_pos, s->Pp_pred, sizeof s->P_pos);
    }

    for (int i = 0; i < 3; ++i) {
        s->position[i] = clamp_limit(x_new[i], kPositionLimit, kPositionLimit);
        s->velocity[i] = clamp_limit(x_new[3 + i], kVelocityLimit, kVelocityClamp);
    }
}

void apply_localization(tracker_state* s, float* out7) {
    if (s->position_enabled != 1) return;
    run_position_Kalman_filter(s, s->lin_acc);
    for (int i = 0; i < 3; ++i) out7[4 + i] = s->position[i];
}

}  // extern "C"
