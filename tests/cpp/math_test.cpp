// Checks the tracker's matrix and quaternion routines against double-precision computations.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "tracker/kx_math.h"

namespace {

constexpr float kSentinel = 12345.0f;

std::vector<float> random_values(std::mt19937& rng, int n, float lo = -2.0f, float hi = 2.0f) {
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    return v;
}

// Double-precision inverse by Gauss-Jordan with partial pivoting, independent of the routines under test.
std::vector<double> inverse_f64(const std::vector<float>& a, int n) {
    std::vector<double> m(n * 2 * n, 0.0);
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) m[r * 2 * n + c] = a[r * n + c];
        m[r * 2 * n + n + r] = 1.0;
    }
    for (int col = 0; col < n; ++col) {
        int best = col;
        for (int r = col + 1; r < n; ++r)
            if (std::fabs(m[r * 2 * n + col]) > std::fabs(m[best * 2 * n + col])) best = r;
        for (int j = 0; j < 2 * n; ++j) std::swap(m[col * 2 * n + j], m[best * 2 * n + j]);
        const double piv = m[col * 2 * n + col];
        for (int j = 0; j < 2 * n; ++j) m[col * 2 * n + j] /= piv;
        for (int r = 0; r < n; ++r) {
            if (r == col) continue;
            const double f = m[r * 2 * n + col];
            for (int j = 0; j < 2 * n; ++j) m[r * 2 * n + j] -= f * m[col * 2 * n + j];
        }
    }
    std::vector<double> inv(n * n);
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) inv[r * n + c] = m[r * 2 * n + n + c];
    return inv;
}

// Active rotation matrix of a unit quaternion (w, x, y, z), in double.
void active_rotation(const double* q, double* R) {
    const double w = q[0], x = q[1], y = q[2], z = q[3];
    R[0] = 1 - 2 * (y * y + z * z);
    R[1] = 2 * (x * y - w * z);
    R[2] = 2 * (x * z + w * y);
    R[3] = 2 * (x * y + w * z);
    R[4] = 1 - 2 * (x * x + z * z);
    R[5] = 2 * (y * z - w * x);
    R[6] = 2 * (x * z - w * y);
    R[7] = 2 * (y * z + w * x);
    R[8] = 1 - 2 * (x * x + y * y);
}

std::vector<float> random_unit_quaternion(std::mt19937& rng) {
    std::vector<float> q = random_values(rng, 4, -1.0f, 1.0f);
    const double n =
        std::sqrt(double(q[0]) * q[0] + double(q[1]) * q[1] + double(q[2]) * q[2] + double(q[3]) * q[3]);
    for (float& x : q) x = float(x / n);
    return q;
}

struct ProductCase {
    const char* name;
    void (*fn)(const float*, const float*, float*);
    int rows, inner, cols;  // D = A (rows x inner) B (inner x cols)
    int lda, ldb, ldd;      // row strides of the routine's contract
    int d_rows_storage;     // rows of D storage to allocate
};

const ProductCase kProducts[] = {
    {"3x3", matrix_mult_3_3, 3, 3, 3, 3, 3, 3, 3},
    {"4x4 into stride 6", matrix_mult_4_4, 4, 4, 4, 4, 6, 6, 4},
    {"6x4 by 4x4", matrix_mult_6_4_4_4, 6, 4, 4, 4, 6, 4, 6},
    {"6x6", matrix_mult_6_6_6_6, 6, 6, 6, 6, 6, 6, 6},
};

TEST(MatrixProducts, MatchDoubleProductAndRespectStrides) {
    std::mt19937 rng(20240601);
    for (const ProductCase& pc : kProducts) {
        SCOPED_TRACE(pc.name);
        std::vector<float> A = random_values(rng, pc.rows * pc.lda);
        std::vector<float> B = random_values(rng, pc.inner * pc.ldb);
        // Elements beyond the logical width are padding the routine must neither read into the result
        // nor write: poison the inputs' padding with NaN and the output's with a sentinel.
        for (int r = 0; r < pc.rows; ++r)
            for (int c = pc.inner; c < pc.lda; ++c) A[r * pc.lda + c] = NAN;
        for (int r = 0; r < pc.inner; ++r)
            for (int c = pc.cols; c < pc.ldb; ++c) B[r * pc.ldb + c] = NAN;
        std::vector<float> D(pc.d_rows_storage * pc.ldd, kSentinel);
        pc.fn(A.data(), B.data(), D.data());
        for (int r = 0; r < pc.rows; ++r) {
            for (int c = 0; c < pc.ldd; ++c) {
                const float got = D[r * pc.ldd + c];
                if (c >= pc.cols) {
                    EXPECT_EQ(got, kSentinel) << "padding written at " << r << "," << c;
                    continue;
                }
                double want = 0.0;
                for (int k = 0; k < pc.inner; ++k) want += double(A[r * pc.lda + k]) * B[k * pc.ldb + c];
                EXPECT_NEAR(got, want, 1e-5) << r << "," << c;
            }
        }
    }
}

TEST(MatrixProducts, SumInIndexOrderFromTheFirstProduct) {
    // In float 1e8 + 1 == 1e8. Row 0 has the products (1, 1e8, -1e8, 0...), row 1 (1e8, 1, -1e8, 0...):
    // summed in index order both give 0, while summing backwards gives 1 for row 0 and pairing the first
    // product with the third gives 1 for row 1. This pins the rounding of every build.
    for (const ProductCase& pc : kProducts) {
        SCOPED_TRACE(pc.name);
        std::vector<float> A(pc.rows * pc.lda, 0.0f), B(pc.inner * pc.ldb, 0.0f);
        const float rows[2][3] = {{1.0f, 1e8f, -1e8f}, {1e8f, 1.0f, -1e8f}};
        for (int r = 0; r < 2; ++r)
            for (int k = 0; k < 3; ++k) A[r * pc.lda + k] = rows[r][k];
        for (int k = 0; k < 3; ++k) B[k * pc.ldb] = 1.0f;
        std::vector<float> D(pc.d_rows_storage * pc.ldd, kSentinel);
        pc.fn(A.data(), B.data(), D.data());
        EXPECT_EQ(D[0], 0.0f);
        EXPECT_EQ(D[pc.ldd], 0.0f);
    }
}

TEST(Inversion, WellConditionedMatricesMatchDoubleInverse) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 50; ++trial) {
        for (int n : {3, 6}) {
            SCOPED_TRACE(testing::Message() << "trial " << trial << " n " << n);
            // Diagonally dominant: well conditioned, and safe without pivoting.
            std::vector<float> A = random_values(rng, n * n, -1.0f, 1.0f);
            for (int i = 0; i < n; ++i) A[i * n + i] += (trial % 2 ? -1.0f : 1.0f) * float(n + 1);
            std::vector<float> inv(n * n, kSentinel);
            if (n == 3)
                inverseM(A.data(), inv.data());
            else
                inverseM_magneto(A.data(), inv.data());
            const std::vector<double> want = inverse_f64(A, n);
            for (int i = 0; i < n * n; ++i)
                EXPECT_NEAR(inv[i], want[i], 1e-6 + 1e-5 * std::fabs(want[i])) << i;
        }
    }
}

TEST(Inversion, IdentityDiagonalAndZeroPivot) {
    const float I3[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    float out3[9];
    inverseM(I3, out3);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(out3[i], I3[i]);

    const float d[6] = {2.0f, -4.0f, 0.5f, 3.0f, 10.0f, -0.25f};
    float D6[36] = {0}, out6[36];
    for (int i = 0; i < 6; ++i) D6[i * 7] = d[i];
    inverseM_magneto(D6, out6);
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c) EXPECT_EQ(out6[r * 6 + c], r == c ? 1.0f / d[r] : 0.0f) << r << "," << c;

    // Invertible (a permutation) but with a zero first pivot: no row exchange is made, so the result is
    // non-finite rather than silently something else.
    const float P3[9] = {0, 1, 0, 1, 0, 0, 0, 0, 1};
    inverseM(P3, out3);
    bool any_nonfinite = false;
    for (float v : out3) any_nonfinite |= !std::isfinite(v);
    EXPECT_TRUE(any_nonfinite);
    float P6[36] = {0};
    P6[1] = P6[6] = 1.0f;
    for (int i = 2; i < 6; ++i) P6[i * 7] = 1.0f;
    inverseM_magneto(P6, out6);
    any_nonfinite = false;
    for (float v : out6) any_nonfinite |= !std::isfinite(v);
    EXPECT_TRUE(any_nonfinite);
}

TEST(Inversion, PivotStepsTouchOnlyTheirRowsAndColumns) {
    // reduction on n = 2 (4 columns used of stride 6); the rest of the storage must stay as it was.
    float M[18];
    for (float& v : M) v = kSentinel;
    const float rows[2][4] = {{2, 4, 1, 0}, {3, 5, 0, 1}};
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 4; ++c) M[r * 6 + c] = rows[r][c];
    reduction(M, 2, 0, 0);
    const float want[2][4] = {{1, 2, 0.5f, 0}, {0, -1, -1.5f, 1}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 6; ++c)
            EXPECT_EQ(M[r * 6 + c], (r < 2 && c < 4) ? want[r][c] : kSentinel) << r << "," << c;

    // reduction_magneto on 2 of 6 rows (stride 12): rows 2..5 are untouched, all 12 columns of rows 0-1
    // change.
    float W[72];
    for (float& v : W) v = kSentinel;
    for (int c = 0; c < 12; ++c) {
        W[c] = float(c + 1);
        W[12 + c] = 2.0f;
    }
    W[12 + 1] = 4.0f;
    reduction_magneto(W, 2, 1, 1);  // pivot on row 1, column 1 (value 4)
    for (int c = 0; c < 12; ++c) {
        const float r1 = (c == 1 ? 4.0f : 2.0f) / 4.0f;
        EXPECT_EQ(W[12 + c], r1) << c;
        EXPECT_EQ(W[c], float(c + 1) - r1 * 2.0f) << c;
    }
    for (int i = 24; i < 72; ++i) EXPECT_EQ(W[i], kSentinel) << i;
}

TEST(Quaternions, ProductMatchesDoubleHamiltonProductNormalised) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        // Unnormalised inputs on purpose: the routine normalises its result.
        const std::vector<float> a = random_values(rng, 4), b = random_values(rng, 4);
        double p[4] = {double(a[0]) * b[0] - double(a[1]) * b[1] - double(a[2]) * b[2] - double(a[3]) * b[3],
                       double(a[0]) * b[1] + double(a[1]) * b[0] + double(a[2]) * b[3] - double(a[3]) * b[2],
                       double(a[0]) * b[2] - double(a[1]) * b[3] + double(a[2]) * b[0] + double(a[3]) * b[1],
                       double(a[0]) * b[3] + double(a[1]) * b[2] - double(a[2]) * b[1] + double(a[3]) * b[0]};
        const double n = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2] + p[3] * p[3]);
        float out[4];
        quaternion_product(a.data(), b.data(), out);
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(out[i], p[i] / n, 2e-6) << trial << " " << i;
    }
}

TEST(Quaternions, DegenerateAndIdentityCases) {
    const float zero[4] = {0, 0, 0, 0};
    const float one[4] = {1, 0, 0, 0};
    const float u[4] = {0.5f, -0.5f, 0.5f, 0.5f};
    float out[4];

    quaternion_product(one, u, out);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], u[i]);
    quaternion_product(zero, zero, out);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], 0.0f);  // zeros, not NaN
    const float v[3] = {0, 0, 0};
    quaternion_rotate_vector(v, u, out);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(out[i], 0.0f);  // the zero vector stays zero, not NaN

    get_conjugate(zero, out);
    EXPECT_EQ(out[0], 0.0f);
    for (int i = 1; i < 4; ++i) EXPECT_TRUE(out[i] == 0.0f && std::signbit(out[i])) << i;
    const float big[4] = {2.0f, 2.0f, -2.0f, 2.0f};
    get_conjugate(big, out);
    const float want_conj[4] = {0.5f, -0.5f, 0.5f, -0.5f};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], want_conj[i]);

    struct NormCase {
        float q[4];
        int n;
        float want[4];
    };
    const NormCase norm_cases[] = {
        {{0, 0, 0, 0}, 4, {0, 0, 0, 0}},  // zero stays zero
        {{2, 0, 0, 0}, 4, {1, 0, 0, 0}},
        {{3, 4, 0, 0}, 4, {0.6f, 0.8f, 0, 0}},
        {{3, 4, 5, 7}, 2, {0.6f, 0.8f, 1.0f, 1.4f}},  // norm of the first two, all four divided
        {{3, 4, 5, 7}, 0, {3, 4, 5, 7}},              // n <= 0: nothing happens
        {{3, 4, 5, 7}, -1, {3, 4, 5, 7}},
    };
    for (const NormCase& c : norm_cases) {
        float q[4] = {c.q[0], c.q[1], c.q[2], c.q[3]};
        normalize_quaternion(q, c.n);
        for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(q[i], c.want[i]) << "n=" << c.n << " i=" << i;
    }
}

TEST(Quaternions, RotateVectorMatchesRotationMatrixFormula) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 200; ++trial) {
        const std::vector<float> q = random_unit_quaternion(rng);
        const std::vector<float> v = random_values(rng, 3, -5.0f, 5.0f);
        const double qd[4] = {q[0], q[1], q[2], q[3]};
        double R[9];
        active_rotation(qd, R);
        const double len = std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2]);
        float out[3];
        quaternion_rotate_vector(v.data(), q.data(), out);
        for (int i = 0; i < 3; ++i) {
            const double want = R[i * 3] * v[0] + R[i * 3 + 1] * v[1] + R[i * 3 + 2] * v[2];
            EXPECT_NEAR(out[i], want, 2e-6 * len + 1e-7) << trial << " " << i;
        }
        // A scaled quaternion rotates the same way: only its direction matters. (Against the
        // formula above, this also pins the direction of turn: quarter turns need no own cases.)
        const float q3[4] = {3 * q[0], 3 * q[1], 3 * q[2], 3 * q[3]};
        float out3[3];
        quaternion_rotate_vector(v.data(), q3, out3);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(out3[i], out[i], 2e-6 * len + 1e-7);

        // quaternion_to_rotation_matrix is the transpose: it maps the rotated vector back.
        float Rt[9], back[3];
        quaternion_to_rotation_matrix(q.data(), Rt);
        for (int i = 0; i < 9; ++i) EXPECT_NEAR(Rt[i], R[(i % 3) * 3 + i / 3], 1e-6) << i;
        rotate_vector(out, Rt, back);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], v[i], 5e-6 * len + 1e-7);
    }
}

TEST(EulerAngles, MatchProductOfElementaryRotations) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> angle(-3.14159f, 3.14159f);
    for (int trial = 0; trial < 100; ++trial) {
        const float roll = angle(rng), pitch = angle(rng), yaw = angle(rng);
        const double cf = std::cos(double(roll)), sf = std::sin(double(roll));
        const double ct = std::cos(double(pitch)), st = std::sin(double(pitch));
        const double cp = std::cos(double(yaw)), sp = std::sin(double(yaw));
        const double Rz[9] = {cp, -sp, 0, sp, cp, 0, 0, 0, 1};
        const double Ry[9] = {ct, 0, st, 0, 1, 0, -st, 0, ct};
        const double Rx[9] = {1, 0, 0, 0, cf, -sf, 0, sf, cf};
        double ZY[9] = {0}, want[9] = {0};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                for (int k = 0; k < 3; ++k) ZY[r * 3 + c] += Rz[r * 3 + k] * Ry[k * 3 + c];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                for (int k = 0; k < 3; ++k) want[r * 3 + c] += ZY[r * 3 + k] * Rx[k * 3 + c];
        float R[9];
        euler_to_rotation_matrix(R, roll, pitch, yaw);
        for (int i = 0; i < 9; ++i) EXPECT_NEAR(R[i], want[i], 1e-6) << trial << " " << i;
    }
}

}  // namespace
