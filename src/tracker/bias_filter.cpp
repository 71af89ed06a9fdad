// Error-state Kalman filter for orientation with gyroscope bias: the quaternion is carried outside the
// filter, which estimates a small attitude error in the sensor frame and the bias of each gyroscope axis.
#include "bias_filter.h"

#include <cmath>

namespace {

constexpr float kDegToRad = 0.017453292519943295f;
constexpr int N = KX_BIAS_STATES;
// The specified tracker's start thresholds, so both modes begin on the same sample.
constexpr float kStartAccelG = 0.1f;
constexpr float kStartGyroDps = 15.0f;

float norm3(const float* v) {
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

// q = q (x) [c, s v], normalised.
void turn(float* q, float c, float sx, float sy, float sz) {
    const float w = q[0] * c - q[1] * sx - q[2] * sy - q[3] * sz;
    const float x = q[0] * sx + q[1] * c + q[2] * sz - q[3] * sy;
    const float y = q[0] * sy - q[1] * sz + q[2] * c + q[3] * sx;
    const float z = q[0] * sz + q[1] * sy - q[2] * sx + q[3] * c;
    const float n = std::sqrt(w * w + x * x + y * y + z * z);
    q[0] = w / n;
    q[1] = x / n;
    q[2] = y / n;
    q[3] = z / n;
}

// Keeps P symmetric against rounding: the mean of P and its transpose.
void symmetrize(float P[N][N]) {
    for (int i = 0; i < N; ++i)
        for (int j = i + 1; j < N; ++j) {
            const float m = 0.5f * (P[i][j] + P[j][i]);
            P[i][j] = m;
            P[j][i] = m;
        }
}

// One scalar measurement z = h x + noise (variance r) on the error state x, in sequence with the others of
// the same sample: the innovation is taken against the error already estimated.
// K = P h^T / (h P h^T + r);  x += K (y - h x);  P -= K (P h^T)^T
// Answers the innovation's squared size over its variance; summed over a sequence of updates with independent
// noises, that is the whole measurement's normalised squared innovation.
float scalar_update(float P[N][N], float* x, const float* h, float y, float r) {
    float Ph[N];
    for (int i = 0; i < N; ++i) {
        float s = 0.0f;
        for (int k = 0; k < N; ++k) s += P[i][k] * h[k];
        Ph[i] = s;
    }
    float s = r;
    float hx = 0.0f;
    for (int k = 0; k < N; ++k) {
        s += h[k] * Ph[k];
        hx += h[k] * x[k];
    }
    const float innovation = y - hx;
    for (int i = 0; i < N; ++i) {
        const float K = Ph[i] / s;
        x[i] += K * innovation;
        for (int j = 0; j < N; ++j) P[i][j] -= K * Ph[j];
    }
    return innovation * innovation / s;
}

// The start orientation from the mean still gravity a (sensor frame): the shortest turn taking a onto world
// +z, heading left at zero.
void start_orientation(kx_bias_filter* f) {
    const float n = norm3(f->acc_sum);
    const float ax = f->acc_sum[0] / n, ay = f->acc_sum[1] / n, az = f->acc_sum[2] / n;
    if (az > -0.999f) {
        // Axis a x z = (ay, -ax, 0), half angle from cos = az.
        const float c = std::sqrt(0.5f * (1.0f + az));
        const float k = 1.0f / (2.0f * c);
        f->q[0] = c;
        f->q[1] = ay * k;
        f->q[2] = -ax * k;
        f->q[3] = 0.0f;
    } else {
        // Upside down: half a turn about x.
        f->q[0] = 0.0f;
        f->q[1] = 1.0f;
        f->q[2] = 0.0f;
        f->q[3] = 0.0f;
    }
}

// Stationary test over the window: every sample near 1 g, and each gyroscope axis steady.
int stationary(kx_bias_filter* f, float acc_dev_g, const float* gyro_dps) {
    f->calm_run = acc_dev_g < f->settings.still_accel_g ? f->calm_run + 1 : 0;
    const int w = f->window;
    float* slot = f->ring[f->ring_next];
    if (f->ring_fill == w) {
        for (int i = 0; i < 3; ++i) {
            f->sum[i] -= slot[i];
            f->sum2[i] -= slot[i] * slot[i];
        }
    } else {
        f->ring_fill += 1;
    }
    for (int i = 0; i < 3; ++i) {
        slot[i] = gyro_dps[i];
        f->sum[i] += gyro_dps[i];
        f->sum2[i] += gyro_dps[i] * gyro_dps[i];
    }
    f->ring_next = f->ring_next + 1 == w ? 0 : f->ring_next + 1;
    // Running sums drift by rounding: they are summed afresh once per window.
    if (f->ring_next == 0) {
        for (int i = 0; i < 3; ++i) {
            f->sum[i] = 0.0f;
            f->sum2[i] = 0.0f;
            for (int k = 0; k < f->ring_fill; ++k) {
                f->sum[i] += f->ring[k][i];
                f->sum2[i] += f->ring[k][i] * f->ring[k][i];
            }
        }
    }
    if (f->calm_run < w || f->ring_fill < w) return 0;
    // A steady turn (a turntable, a slow pivot) is steady but not still: a mean rate beyond any
    // plausible bias is motion.
    const float limit = f->settings.still_gyro_sd_dps * f->settings.still_gyro_sd_dps;
    for (int i = 0; i < 3; ++i) {
        const float mean = f->sum[i] / (float)w;
        const float var = f->sum2[i] / (float)w - mean * mean;
        // A NaN is neither steady nor slow.
        if (!(var < limit) || !(std::fabs(mean) < f->settings.still_rate_dps)) return 0;
    }
    return 1;
}

// Prediction over one sample with the bias-corrected rate w (rad/s).
void predict(kx_bias_filter* f, const float* w) {
    const float dt = f->dt;
    const float t[3] = {w[0] * dt, w[1] * dt, w[2] * dt};
    const float angle = norm3(t);
    // q = q (x) Exp(w dt)
    float c = 1.0f, s_over = 0.5f;
    if (angle > 1e-6f) {
        c = std::cos(0.5f * angle);
        s_over = std::sin(0.5f * angle) / angle;
    }
    turn(f->q, c, s_over * t[0], s_over * t[1], s_over * t[2]);

    // A = Exp(-[w x] dt) = I - sin(a) [k x] + (1 - cos(a)) [k x]^2, k = w dt / a: exact, since the first-order
    // I - [w x] dt lets the covariance grow at high rates.
    float A[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    if (angle > 1e-6f) {
        const float k[3] = {t[0] / angle, t[1] / angle, t[2] / angle};
        const float sa = std::sin(angle), ca = 1.0f - std::cos(angle);
        const float K[3][3] = {{0, -k[2], k[1]}, {k[2], 0, -k[0]}, {-k[1], k[0], 0}};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                float K2 = 0.0f;
                for (int m = 0; m < 3; ++m) K2 += K[i][m] * K[m][j];
                A[i][j] += -sa * K[i][j] + ca * K2;
            }
    }

    // F = [[A, -I dt], [0, I]];  P = F P F^T + Q, by blocks: with B = P_ab, C = P_bb,
    // P_aa = A P_aa A^T - dt (A B + (A B)^T) + dt^2 C + Qa;  P_ab = A B - dt C;  P_bb = C + Qb
    float (*P)[N] = f->P;
    float AP[3][3], AB[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            float s1 = 0.0f, s2 = 0.0f;
            for (int m = 0; m < 3; ++m) {
                s1 += A[i][m] * P[m][j];
                s2 += A[i][m] * P[m][3 + j];
            }
            AP[i][j] = s1;
            AB[i][j] = s2;
        }
    const float qa = f->settings.attitude_noise_dps * kDegToRad * dt;
    const float qb = f->settings.bias_walk_dps * kDegToRad;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            float s = 0.0f;
            for (int m = 0; m < 3; ++m) s += AP[i][m] * A[j][m];
            P[i][j] = s - dt * (AB[i][j] + AB[j][i]) + dt * dt * P[3 + i][3 + j] + (i == j ? qa * qa : 0.0f);
        }
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            P[i][3 + j] = AB[i][j] - dt * P[3 + i][3 + j];
            P[3 + j][i] = P[i][3 + j];
        }
    for (int i = 0; i < 3; ++i) P[3 + i][3 + i] += qb * qb * dt;
}

// Gravity-direction update: the measured a/|a| against the predicted up direction v in the sensor frame.
// h(x) = v + [v x] dtheta, so H = [[v x], 0].
void gravity_update(kx_bias_filter* f, const float* acc_g, float acc_norm, const float* v, float r, float* x) {
    const float H[3][N] = {{0, -v[2], v[1], 0, 0, 0}, {v[2], 0, -v[0], 0, 0, 0}, {-v[1], v[0], 0, 0, 0, 0}};
    for (int i = 0; i < 3; ++i) scalar_update(f->P, x, H[i], acc_g[i] / acc_norm - v[i], r);
}

// Zero-rate update while stationary: the gyroscope reads its bias, h(x) = e . (b + db) along three directions
// e. Standing sway turns the body about horizontal axes, so the rate about the vertical (v, in the sensor
// frame) is held tightly to zero and the horizontal ones loosely; gravity watches the horizontal bias anyway.
// Rest that the rates contradict (sway beyond its allowance, a slow steady turn) is not learned as bias: the
// update is dropped when its normalised squared innovation exceeds the gate.
void zero_rate_update(kx_bias_filter* f, const float* gyro_rad, const float* v, float* x) {
    // Two horizontal directions: v x (the sensor axis least aligned with v), then v x that.
    const int k = std::fabs(v[0]) < std::fabs(v[1]) ? (std::fabs(v[0]) < std::fabs(v[2]) ? 0 : 2)
                                                     : (std::fabs(v[1]) < std::fabs(v[2]) ? 1 : 2);
    float a[3] = {0, 0, 0};
    a[k] = 1.0f;
    float e1[3] = {v[1] * a[2] - v[2] * a[1], v[2] * a[0] - v[0] * a[2], v[0] * a[1] - v[1] * a[0]};
    const float n1 = norm3(e1);
    for (int i = 0; i < 3; ++i) e1[i] /= n1;
    const float e2[3] = {v[1] * e1[2] - v[2] * e1[1], v[2] * e1[0] - v[0] * e1[2], v[0] * e1[1] - v[1] * e1[0]};
    const float* dirs[3] = {v, e1, e2};
    const float vertical = f->settings.zero_rate_noise_dps * kDegToRad;
    const float horizontal = f->settings.zero_rate_sway_dps * kDegToRad;
    // Updated on copies, kept only if the gate passes.
    float P[N][N], xt[N];
    for (int i = 0; i < N; ++i) {
        xt[i] = x[i];
        for (int j = 0; j < N; ++j) P[i][j] = f->P[i][j];
    }
    float d2 = 0.0f;
    for (int d = 0; d < 3; ++d) {
        const float* e = dirs[d];
        const float h[N] = {0, 0, 0, e[0], e[1], e[2]};
        const float y = e[0] * (gyro_rad[0] - f->bias[0]) + e[1] * (gyro_rad[1] - f->bias[1]) +
                        e[2] * (gyro_rad[2] - f->bias[2]);
        const float sd = d == 0 ? vertical : horizontal;
        d2 += scalar_update(P, xt, h, y, sd * sd);
    }
    if (!(d2 <= f->settings.zero_rate_gate)) return;
    for (int i = 0; i < N; ++i) {
        x[i] = xt[i];
        for (int j = 0; j < N; ++j) f->P[i][j] = P[i][j];
    }
}

// Moves the estimated error into the quaternion and the bias; the error state starts again from zero.
void inject(kx_bias_filter* f, const float* x) {
    turn(f->q, 1.0f, 0.5f * x[0], 0.5f * x[1], 0.5f * x[2]);
    for (int i = 0; i < 3; ++i) f->bias[i] += x[3 + i];
}

}  // namespace

extern "C" {

void kx_bias_filter_init(kx_bias_filter* f, float frequency_hz) {
    *f = kx_bias_filter{};
    kx_bias_settings& s = f->settings;
    s.attitude_noise_dps = 0.3f;
    s.bias_walk_dps = 0.005f;
    s.still_gravity_noise = 0.06f;
    s.moving_gravity_noise = 1.0f;
    s.moving_gravity_slope = 2.0f;
    s.gravity_smoothing_s = 0.5f;
    s.gravity_gate_g = 0.15f;
    s.zero_rate_noise_dps = 0.25f;
    s.zero_rate_sway_dps = 0.5f;
    // Chi-square with 3 degrees of freedom at two standard deviations (95.45 %).
    s.zero_rate_gate = 8.02f;
    s.still_accel_g = 0.03f;
    s.still_gyro_sd_dps = 0.3f;
    s.still_rate_dps = 3.0f;
    s.window_s = 0.5f;
    s.prior_tilt_deg = 5.0f;
    s.prior_bias_dps = 1.0f;
    f->dt = 1.0f / frequency_hz;
    f->q[0] = 1.0f;
}

int kx_bias_filter_step(kx_bias_filter* f, const float* acc_g, const float* gyro_dps, float* q_out) {
    const kx_bias_settings& s = f->settings;
    const float acc_norm = norm3(acc_g);
    const float acc_dev = std::fabs(acc_norm - 1.0f);
    // A gait's |a| swings through 1 g twice a step: its smoothed size says how hard the sensor moves, where
    // one sample's distance from 1 g may happen to be small. A NaN leaves it as it was.
    if (acc_dev == acc_dev) {
        const float alpha = std::fmin(1.0f, f->dt / s.gravity_smoothing_s);
        f->acc_dev2 += alpha * (acc_dev * acc_dev - f->acc_dev2);
    }
    if (!f->started) {
        // The specified tracker's start: consecutive still samples; a NaN breaks the run.
        if (kStartAccelG > acc_dev && kStartGyroDps > norm3(gyro_dps)) {
            for (int i = 0; i < 3; ++i) f->acc_sum[i] += acc_g[i];
            f->still_count += 1;
        } else {
            f->acc_sum[0] = f->acc_sum[1] = f->acc_sum[2] = 0.0f;
            f->still_count = 0;
        }
        if (f->still_count < KX_BIAS_START_SAMPLES) return 0;
        start_orientation(f);
        int w = (int)(s.window_s / f->dt + 0.5f);
        f->window = w < 1 ? 1 : (w > KX_BIAS_WINDOW_MAX ? KX_BIAS_WINDOW_MAX : w);
        const float pa = s.prior_tilt_deg * kDegToRad, pb = s.prior_bias_dps * kDegToRad;
        for (int i = 0; i < 3; ++i) {
            f->P[i][i] = pa * pa;
            f->P[3 + i][3 + i] = pb * pb;
        }
        f->started = 1;
        for (int i = 0; i < 4; ++i) q_out[i] = f->q[i];
        return 1;
    }

    // A sample with a non-finite rate cannot be integrated: the orientation is held over it.
    const float g_rad[3] = {gyro_dps[0] * kDegToRad, gyro_dps[1] * kDegToRad, gyro_dps[2] * kDegToRad};
    if (std::isfinite(g_rad[0]) && std::isfinite(g_rad[1]) && std::isfinite(g_rad[2])) {
        const float w[3] = {g_rad[0] - f->bias[0], g_rad[1] - f->bias[1], g_rad[2] - f->bias[2]};
        predict(f, w);
        f->stationary = stationary(f, acc_dev, gyro_dps);
    } else {
        f->stationary = 0;
    }

    float x[N] = {0, 0, 0, 0, 0, 0};
    // v = R(q)^T (0, 0, 1), the predicted up direction in the sensor frame: the third row of the rotation.
    const float* q = f->q;
    const float v[3] = {2.0f * (q[1] * q[3] - q[0] * q[2]), 2.0f * (q[2] * q[3] + q[0] * q[1]),
                        1.0f - 2.0f * (q[1] * q[1] + q[2] * q[2])};
    // Gravity is trusted when the sensor is still; in motion less, the harder it has been moving lately, and not
    // at all while |a| is beyond the gate (a NaN is beyond it).
    if (acc_dev <= s.gravity_gate_g) {
        const float sd = f->stationary ? s.still_gravity_noise
                                       : s.moving_gravity_noise + s.moving_gravity_slope * std::sqrt(f->acc_dev2);
        gravity_update(f, acc_g, acc_norm, v, sd * sd, x);
    }
    if (f->stationary) zero_rate_update(f, g_rad, v, x);
    inject(f, x);
    symmetrize(f->P);
    for (int i = 0; i < 4; ++i) q_out[i] = f->q[i];
    return 1;
}

}  // extern "C"
