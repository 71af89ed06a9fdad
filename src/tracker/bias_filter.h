/* Orientation with gyroscope-bias estimation: an error-state Kalman filter, in C linkage, beside the tracker. */
#ifndef KX_BIAS_FILTER_H
#define KX_BIAS_FILTER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Longest stationary-test window in samples; at rates above 1024 Hz the window is shorter than 0.5 s. */
#define KX_BIAS_WINDOW_MAX 512
/* Error-state size: attitude error (rad, sensor frame) then gyroscope bias (rad/s). */
#define KX_BIAS_STATES 6

/* Settings, filled with defaults by kx_bias_filter_init; change them before the first sample. */
typedef struct kx_bias_settings {
    float attitude_noise_dps;   /* gyroscope noise driving the attitude error, deg/s */
    float bias_walk_dps;        /* bias random walk, deg/s per sqrt(s) */
    float still_gravity_noise;  /* gravity-direction noise when stationary (unit vector) */
    float moving_gravity_noise; /* ... when moving: this + moving_gravity_slope * sqrt(smoothed (|a| - 1)^2) */
    float moving_gravity_slope; /* per g */
    float gravity_smoothing_s;  /* time constant of that smoothing (exponential), s */
    float gravity_gate_g;       /* no gravity update when ||a| - 1| exceeds this, g */
    float zero_rate_noise_dps;  /* noise of the zero-rate update about the vertical, deg/s */
    float zero_rate_sway_dps;   /* ... about horizontal axes, which standing sway turns, deg/s */
    float zero_rate_gate;       /* no zero-rate update when its normalised squared innovation exceeds this */
    float still_accel_g;        /* stationary: every sample of the window within this of 1 g, g */
    float still_gyro_sd_dps;    /* stationary: per-axis gyroscope standard deviation under this, deg/s */
    float still_rate_dps;       /* stationary: and each axis's mean rate under this, deg/s */
    float window_s;             /* stationary-test window, s */
    float prior_tilt_deg;       /* starting standard deviation of the attitude error, deg */
    float prior_bias_dps;       /* starting standard deviation of each bias axis, deg/s */
} kx_bias_settings;

/* Caller-allocated state; nothing in it points anywhere, so it may be copied. */
typedef struct kx_bias_filter {
    kx_bias_settings settings;
    float q[4];                                 /* orientation (w, x, y, z), sensor to world */
    float bias[3];                              /* gyroscope bias, rad/s */
    float P[KX_BIAS_STATES][KX_BIAS_STATES];    /* error covariance */
    float dt;                                   /* s */
    int started;                                /* the start rule has been met */
    int still_count;                            /* start rule: consecutive still samples so far */
    float acc_sum[3];                           /* start rule: their accelerometer sum, g */
    int window;                                 /* stationary-test window, samples */
    int calm_run;                               /* consecutive samples near 1 g */
    int ring_next;                              /* ring slot the next gyroscope sample fills */
    int ring_fill;                              /* samples in the ring */
    float ring[KX_BIAS_WINDOW_MAX][3];          /* the window's gyroscope samples, deg/s */
    float sum[3];                               /* their sum, deg/s */
    float sum2[3];                              /* and sum of squares */
    int stationary;                             /* the last sample passed the stationary test */
    float acc_dev2;                             /* (|a| - 1)^2 smoothed over gravity_smoothing_s, g^2 */
} kx_bias_filter;

/* Starting samples the specified tracker's start rule needs, and its thresholds (g from 1 g, deg/s). */
#define KX_BIAS_START_SAMPLES 5

/* Clears the state and sets the default settings; frequency in Hz (> 0). */
void kx_bias_filter_init(kx_bias_filter* f, float frequency_hz);
/* One sample: acc in g, gyro in deg/s. Writes the orientation (w, x, y, z) into q_out once the filter has
   started and returns 1; before that returns 0 and leaves q_out alone. */
int kx_bias_filter_step(kx_bias_filter* f, const float* acc_g, const float* gyro_dps, float* q_out);

#ifdef __cplusplus
}
#endif

#endif /* KX_BIAS_FILTER_H */
