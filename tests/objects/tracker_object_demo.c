/* Links tracker-object.o with the math routines from C and tracks a short still-then-turning sequence. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "tracker.h"

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

int main(void) {
    const int size = get_tracker_size();
    check(size >= (int)sizeof(tracker_state), "get_tracker_size covers the record");
    tracker_state* s = (tracker_state*)malloc((size_t)size);
    if (s == NULL) return 2;
    init_tracker(s, 100, 0);

    const float thresh[3] = {1.05f, 0.1f, 15.0f};
    const float q_noise[16] = {1e-5f, 0, 0, 0, 0, 1e-5f, 0, 0, 0, 0, 1e-5f, 0, 0, 0, 0, 1e-5f};
    const float acc_noise[9] = {10000, 0, 0, 0, 10000, 0, 0, 0, 10000};
    const float mag_noise[9] = {200000, 0, 0, 0, 200000, 0, 0, 0, 200000};
    set_motionless_thresh(s, thresh);
    set_quaternion_process_noise_cov_matrix(s, q_noise);
    set_imu_quaternion_observation_noise_cov_matrix(s, acc_noise, mag_noise);

    float out[7] = {0};
    check(run_tracker(s, out) == 0, "empty buffer returns 0");

    /* Still and level: four samples wait, the fifth sets the start orientation. */
    const float acc[3] = {0.0f, 0.0f, 1.0f};
    const float still[3] = {0.0f, 0.0f, 0.0f};
    for (int i = 0; i < 5; ++i) {
        check(add_to_tracker_buffer(s, acc, still, NULL) == 1, "add accepted");
        const int status = run_tracker(s, out);
        check(status == (i < 4 ? 2 : 3), "still start: status 2 four times, then 3");
    }
    check(out[0] == 1.0f && out[1] == 0.0f && out[2] == 0.0f && out[3] == 0.0f, "level start is identity");

    /* A quarter turn about z: 100 samples at 90 deg/s. */
    const float turn[3] = {0.0f, 0.0f, 90.0f};
    for (int i = 0; i < 100; ++i) {
        add_to_tracker_buffer(s, acc, turn, NULL);
        check(run_tracker(s, out) == 3, "filtered sample returns 3");
    }
    /* Angle of the relative rotation between out and the quarter turn (c, 0, 0, c): 2 atan2(|v|, |w|). */
    const double c = sqrt(0.5);
    const double rw = c * out[0] + c * out[3];
    const double rx = c * out[1] + c * out[2];
    const double ry = c * out[2] - c * out[1];
    const double rz = c * out[3] - c * out[0];
    const double angle_deg =
        2.0 * atan2(sqrt(rx * rx + ry * ry + rz * rz), fabs(rw)) * 180.0 / 3.14159265358979323846;
    check(angle_deg < 0.5, "a quarter turn about z is tracked within 0.5 deg");

    free(s);
    if (failures == 0)
        printf("tracker-object: %d-byte record, quarter turn within %.4f deg\n", size, angle_deg);
    return failures == 0 ? 0 : 1;
}
