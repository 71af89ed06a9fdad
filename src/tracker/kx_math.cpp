// Matrix products, Gauss-Jordan inversions and quaternion operations used by the orientation tracker.
#include "kx_math.h"

#include <cmath>

namespace {

// D = A B over rows x inner x cols with explicit row strides. The sum starts from the first product and
// adds the others in order k = 1, 2, ..., so every build rounds the same way.
inline void mult(const float* A, int lda, const float* B, int ldb, float* D, int ldd, int rows, int inner,
                 int cols) {
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            float sum = A[r * lda] * B[c];
            for (int k = 1; k < inner; ++k) sum += A[r * lda + k] * B[k * ldb + c];
            D[r * ldd + c] = sum;
        }
    }
}

// Gauss-Jordan pivot step: row p divided by its pivot (read once, before the row changes), then
// subtracted from every other row scaled by that row's entry in column c (also read before the change).
inline void pivot_step(float* M, int stride, int rows, int width, int p, int c) {
    float* rp = M + p * stride;
    const float pivot = rp[c];
    for (int j = 0; j < width; ++j) rp[j] = rp[j] / pivot;
    for (int r = 0; r < rows; ++r) {
        if (r == p) continue;
        float* rr = M + r * stride;
        const float f = rr[c];
        for (int j = 0; j < width; ++j) rr[j] = rr[j] - rp[j] * f;
    }
}

inline float sum_sq4(const float* q) {
    return q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
}

// Hamilton product without normalisation.
inline void hamilton(const float* a, const float* b, float* out) {
    out[0] = a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3];
    out[1] = a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2];
    out[2] = a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1];
    out[3] = a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0];
}

// Divides all four components by the norm unless the squared norm is exactly 0.
inline void divide_by_norm(float* q) {
    const float n2 = sum_sq4(q);
    if (n2 == 0.0f) return;
    const float n = std::sqrt(n2);
    for (int i = 0; i < 4; ++i) q[i] = q[i] / n;
}

}  // namespace

extern "C" {

void matrix_mult_3_3(const float* A, const float* B, float* D) {
    mult(A, 3, B, 3, D, 3, 3, 3, 3);
}

void matrix_mult_4_4(const float* A, const float* B, float* D) {
    mult(A, 4, B, 6, D, 6, 4, 4, 4);
}

void matrix_mult_6_4_4_4(const float* A, const float* B, float* D) {
    mult(A, 4, B, 6, D, 4, 6, 4, 4);
}

void matrix_mult_6_6_6_6(const float* A, const float* B, float* D) {
    mult(A, 6, B, 6, D, 6, 6, 6, 6);
}

void reduction(float* M, int n, int p, int c) {
    pivot_step(M, 6, n, 2 * n, p, c);
}

void inverseM(const float* A, float* Ainv) {
    float M[3 * 6];
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            M[r * 6 + c] = A[r * 3 + c];
            M[r * 6 + 3 + c] = (r == c) ? 1.0f : 0.0f;
        }
    }
    // The three pivots written out, so that each step is compiled for its own pivot row.
    pivot_step(M, 6, 3, 6, 0, 0);
    pivot_step(M, 6, 3, 6, 1, 1);
    pivot_step(M, 6, 3, 6, 2, 2);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) Ainv[r * 3 + c] = M[r * 6 + 3 + c];
}

void reduction_magneto(float* M, int n, int p, int c) {
    pivot_step(M, 12, n, 12, p, c);
}

void inverseM_magneto(const float* A, float* Ainv) {
    float M[6 * 12];
    for (int r = 0; r < 6; ++r) {
        for (int c = 0; c < 6; ++c) {
            M[r * 12 + c] = A[r * 6 + c];
            M[r * 12 + 6 + c] = (r == c) ? 1.0f : 0.0f;
        }
    }
    for (int i = 0; i < 6; ++i) reduction_magneto(M, 6, i, i);
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c) Ainv[r * 6 + c] = M[r * 12 + 6 + c];
}

void quaternion_product(const float* a, const float* b, float* out) {
    hamilton(a, b, out);
    divide_by_norm(out);
}

void get_conjugate(const float* q, float* out) {
    out[0] = q[0];
    out[1] = -q[1];
    out[2] = -q[2];
    out[3] = -q[3];
    divide_by_norm(out);
}

void normalize_quaternion(float* q, int n) {
    if (n <= 0) return;
    float n2 = q[0] * q[0];
    for (int i = 1; i < n; ++i) n2 += q[i] * q[i];
    if (n2 == 0.0f) return;
    const float norm = std::sqrt(n2);
    for (int i = 0; i < 4; ++i) q[i] = q[i] / norm;
}

void quaternion_rotate_vector(const float* v, const float* q, float* out) {
    const float p[4] = {0.0f, v[0], v[1], v[2]};
    // The steps of quaternion_product and get_conjugate, through the shared helpers rather than the exported
    // names, which a position-independent build must call through the symbol table.
    float t[4], k[4], r[4];
    hamilton(q, p, t);
    divide_by_norm(t);
    k[0] = q[0];
    k[1] = -q[1];
    k[2] = -q[2];
    k[3] = -q[3];
    divide_by_norm(k);
    hamilton(t, k, r);
    divide_by_norm(r);
    // The products are unit length, so the length of v is restored at the end.
    const float len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    out[0] = r[1] * len;
    out[1] = r[2] * len;
    out[2] = r[3] * len;
}

void quaternion_to_rotation_matrix(const float* q, float* R) {
    const float w = q[0], x = q[1], y = q[2], z = q[3];
    R[0] = w * w + x * x - y * y - z * z;
    R[1] = 2.0f * (x * y + z * w);
    R[2] = 2.0f * (x * z - y * w);
    R[3] = 2.0f * (x * y - z * w);
    R[4] = w * w - x * x + y * y - z * z;
    R[5] = 2.0f * (w * x + y * z);
    R[6] = 2.0f * (y * w + x * z);
    R[7] = 2.0f * (y * z - w * x);
    R[8] = w * w - x * x - y * y + z * z;
}

void euler_to_rotation_matrix(float* R, float roll, float pitch, float yaw) {
    float sf, cf, st, ct, sp, cp;
    sincosf(roll, &sf, &cf);
    sincosf(pitch, &st, &ct);
    sincosf(yaw, &sp, &cp);
    R[0] = cp * ct;
    R[1] = cp * st * sf - sp * cf;
    R[2] = sp * sf + cf * cp * st;
    R[3] = ct * sp;
    R[4] = sp * st * sf + cp * cf;
    R[5] = cf * sp * st - cp * sf;
    R[6] = -st;
    R[7] = sf * ct;
    R[8] = ct * cf;
}

void rotate_vector(const float* v, const float* R, float* out) {
    for (int i = 0; i < 3; ++i) out[i] = R[i * 3] * v[0] + R[i * 3 + 1] * v[1] + R[i * 3 + 2] * v[2];
}

}  // extern "C"
