/* Orientation tracker: a quaternion EKF with rest detection and an optional position filter, in C linkage. */
#ifndef KX_TRACKER_H
#define KX_TRACKER_H

/* Heading: the start from the mean field and the magnetometer update disagree in sign (+30 -> -30 deg). */

#ifdef __cplusplus
extern "C" {
#endif

/* Caller-allocated state; allocate exactly get_tracker_size() bytes and call init_tracker first.
   Quaternions are (w, x, y, z); matrices row-major; the 4x4 orientation blocks live in 6-column storage. */
typedef struct tracker_state {
    float q[4];                 /* orientation, rotates sensor-frame vectors into the world frame */
    float P[6][6];              /* orientation covariance, top-left 4x4 block used */
    float half_dt;              /* 0.5 / frequency, s */
    float dt;                   /* 1 / frequency, s */
    float position[3];          /* m */
    float velocity[3];          /* m/s */
    int buf_write;              /* slot the next added sample fills */
    int buf_free;               /* free slots */
    int buf_size;               /* slots in the ring buffer (10) */
    int buf_read;               /* slot the next run reads */
    int moving;                 /* 1 when the last filtered sample was in motion */
    float motionless_thresh[3]; /* magnitude change (g), distance from 1 g (g), gyro limit (deg/s) */
    float buffer[10][10];       /* [channel][slot]: acc xyz, gyro xyz, mag xyz, mag-present flag */
    float rad_to_deg;           /* single-precision 180/pi */
    float acc_norm;             /* magnitude of the last accelerometer sample, g */
    float lin_acc[3];           /* world-frame linear acceleration of the last sample, g */
    float P_pos[6][6];          /* position-filter covariance */
    float reset_pos[3];         /* values given to the last reset_position, m */
    float reset_vel[3];         /* m/s */
    int position_enabled;       /* the position filter runs only when exactly 1 */
    float Q[4][4];              /* quaternion process noise */
    float R_acc[3][3];          /* accelerometer observation noise */
    float R_mag[6][6];          /* magnetometer observation noise, top-left 3x3 block used */
    float R_pos[6][6];          /* position observation noise */
    int axis_map[9];            /* buffer channel feeding each filter axis (acc 0-2, gyro 3-5, mag 6-8) */
    int axis_sign[9];           /* multiplier of each filter axis */
    int position_reset;         /* a position update is pending */
    int initialised;            /* the starting orientation has been set */

    /* Working storage of one filter step; nothing here carries over to the next sample. */
    float q_pred[4];    /* predicted, then accelerometer-corrected quaternion */
    float F[4][4];      /* orientation transition */
    float Qk[4][4];     /* process noise of this step */
    float FP[6][6];     /* F P, 4x4 block; also (I - K H) P of the magnetometer update */
    float P_pred[6][6]; /* predicted covariance, 4x4 block */
    float h[3];         /* predicted measurement */
    float H[6][4];      /* Jacobian; only the first three rows are ever filled */
    float HP[6][4];     /* H P */
    float y[3];         /* innovation */
    float Rk[3][3];     /* accelerometer noise of this step */
    float S[3][3];      /* innovation covariance */
    float S_inv[3][3];
    float PHt[4][3];     /* P H^T */
    float K[4][3];       /* gain */
    float Ky[4];         /* K y */
    float IKH[4][4];     /* I - K H */
    float Fp[6][6];      /* position transition */
    float Fp_t[6][6];    /* its transpose */
    float FpP[6][6];     /* Fp P_pos */
    float Pp_pred[6][6]; /* predicted position covariance */
    float Sp[6][6];      /* position innovation covariance */
    float Sp_inv[6][6];
    float Kp[6][6];   /* position gain */
    float IKp[6][6];  /* I - Kp */
    float xp_pred[6]; /* predicted position and velocity */
    float up[6];      /* control term */
    float zp[6];      /* position measurement */
    float yp[6];      /* position innovation */

    int orientation_reset; /* an orientation reset is pending */
    float reset_q[4];      /* quaternion applied at the pending reset */
    int init_samples;      /* consecutive still samples needed to start (5) */
    int still_count;       /* consecutive still samples so far */
    int mag_count;         /* magnetometer samples summed so far */
    float acc_sum[3];      /* sum of the still accelerometer samples, g */
    float mag_sum[3];      /* sum of the magnetometer samples */
    float mag_dip_tol;     /* inclination tolerance, deg */
    float mag_norm_tol;    /* field magnitude tolerance, magnetometer units */
    float mag_dip_ref;     /* expected inclination, deg */
    float mag_norm_ref;    /* expected field magnitude, magnetometer units */
    float mag_disturbed;   /* magnetometer samples judged disturbed */
    float mag_total;       /* magnetometer updates */
} tracker_state;

/* Size of tracker_state in bytes: the only size a client may allocate. */
int get_tracker_size(void);
/* Clears the record and sets the defaults; frequency in Hz, position_enabled non-zero prepares the position
 * filter. */
void init_tracker(tracker_state* s, int frequency, int position_enabled);
/* Same as init_tracker. */
void reset_tracker(tracker_state* s, int frequency, int position_enabled);
/* Copies 16 values (row-major 4x4) into the quaternion process noise Q. */
void set_quaternion_process_noise_cov_matrix(tracker_state* s, const float* q16);
/* Copies acc9 (3x3) into R_acc and mag9 (3x3) into the top-left block of R_mag. */
void set_imu_quaternion_observation_noise_cov_matrix(tracker_state* s, const float* acc9, const float* mag9);
/* Copies 36 values (row-major 6x6) into the position observation noise R_pos. */
void set_position_observation_noise_cov_matrix(tracker_state* s, const float* r36);
/* Sets the still thresholds: magnitude change (g), distance from 1 g (g), gyro limit (deg/s). */
void set_motionless_thresh(tracker_state* s, const float* thresh3);
/* Schedules q4 as the orientation for the next run_tracker that takes a sample; null does nothing. */
void reset_orientation(tracker_state* s, const float* q4);
/* Applies the stored reset quaternion now, with covariance diag(0.001); the pending flag is left as is. */
void reset_orientation_local(tracker_state* s);
/* Sets P_pos = diag(0.1), records pos (m) and vel (m/s, may be null) and schedules one position update. */
void reset_position(tracker_state* s, const float* pos3, const float* vel3);
/* Queues one sample: acc (g), gyro (deg/s), mag (any unit, may be null); returns 1 stored, 0 buffer full. */
int add_to_tracker_buffer(tracker_state* s, const float* acc3, const float* gyro3, const float* mag3);
/* Filters the oldest queued sample; out7 gets q (w, x, y, z) and, when the position filter ran, position (m).
   Returns 0 buffer empty, 1 orientation reset applied, 2 waiting for rest, 3 orientation computed. */
int run_tracker(tracker_state* s, float* out7);
/* Percentage of magnetometer updates judged disturbed (NaN before the first). */
float get_percent_disturb_magnetometer_data(const tracker_state* s);
/* Accumulates one sample for the start and returns 1 once init_samples consecutive still samples were seen.
 */
int is_ready_to_initialize(tracker_state* s, const float* acc3, const float* gyro3, const float* mag3);
/* Sets q from the mean still gravity (tilt) and the mean magnetometer (heading). */
void set_initial_quaternion(tracker_state* s);
/* Gyro prediction of q (gyro in rad/s) and of the covariance into P_pred. */
void predict(tracker_state* s, const float* gyro3);
/* Gravity-direction update of q and P from an accelerometer sample (g). */
void run_accelerometer(tracker_state* s, const float* acc3);
/* Field-direction update of q and P from a magnetometer sample, with the disturbance count. */
void run_magnetometer_update(tracker_state* s, const float* mag3);
/* One filter step with motion test; gyro in deg/s is converted in place to rad/s; mag may be null. */
void call_ekf_quaternion(tracker_state* s, float* gyro3, const float* acc3, const float* mag3);
/* One filter step without motion test; gyro in rad/s; acc and mag may be null. */
void imu_ekf_quaternion_tracker(tracker_state* s, const float* gyro3, const float* acc3, const float* mag3);
/* One position-filter step driven by the world-frame linear acceleration a (g). */
void run_position_Kalman_filter(tracker_state* s, const float* a3);
/* When the position filter is enabled, runs it on lin_acc and writes position (m) into out7[4..6]. */
void apply_localization(tracker_state* s, float* out7);

#ifdef __cplusplus
}
#endif

#endif /* KX_TRACKER_H */
