/* Fixed-size single-precision matrix and quaternion routines of the orientation tracker, in C linkage. */
#ifndef KX_MATH_H
#define KX_MATH_H

/* Matrices are row-major with the row stride stated per routine; quaternions are (w, x, y, z), Hamilton
   product. Sums run k = 0, 1, 2, ... starting from the first product. Nothing allocates or reports errors:
   a singular or zero input gives non-finite or unnormalised output. */

#ifdef __cplusplus
extern "C" {
#endif

/* D = A B, all 3x3 with stride 3; A, B, D distinct. */
void matrix_mult_3_3(const float* A, const float* B, float* D);
/* D = A B, A 4x4 stride 4, B and D 4x4 stride 6; columns 4 and 5 of D are left untouched. */
void matrix_mult_4_4(const float* A, const float* B, float* D);
/* D = A B, A 6x4 stride 4, B 4x4 stride 6, D 6x4 stride 4. */
void matrix_mult_6_4_4_4(const float* A, const float* B, float* D);
/* D = A B, all 6x6 with stride 6. */
void matrix_mult_6_6_6_6(const float* A, const float* B, float* D);
/* One Gauss-Jordan pivot step on n rows of 2n columns, stride 6 (n <= 3): row p divided by M(p, c), then
   eliminated from the other rows. */
void reduction(float* M, int n, int p, int c);
/* Ainv = A^-1 for 3x3 (stride 3) by Gauss-Jordan on the diagonal, no pivoting. */
void inverseM(const float* A, float* Ainv);
/* One Gauss-Jordan pivot step on n rows of 12 columns, stride 12 (n <= 6). */
void reduction_magneto(float* M, int n, int p, int c);
/* Ainv = A^-1 for 6x6 (stride 6) by Gauss-Jordan on the diagonal, no pivoting. */
void inverseM_magneto(const float* A, float* Ainv);
/* out = (a b) / |a b|; a zero product stays zero. out must not overlap a or b. */
void quaternion_product(const float* a, const float* b, float* out);
/* out = conjugate of q divided by |q|; a zero q gives the unnormalised conjugate. */
void get_conjugate(const float* q, float* out);
/* Divides the first four components by the norm of the first n; n <= 0 or a zero norm changes nothing. */
void normalize_quaternion(float* q, int n);
/* out = q v q* with both factors normalised, scaled to the length of v (rotation by the direction of q). */
void quaternion_rotate_vector(const float* v, const float* q, float* out);
/* R (3x3 row-major) = transpose of the active rotation matrix of q, without normalising q. */
void quaternion_to_rotation_matrix(const float* q, float* R);
/* R = Rz(yaw) Ry(pitch) Rx(roll), angles in radians, 3x3 row-major. */
void euler_to_rotation_matrix(float* R, float roll, float pitch, float yaw);
/* out = R v with R 3x3 row-major; out must not overlap v. */
void rotate_vector(const float* v, const float* R, float* out);

#ifdef __cplusplus
}
#endif

#endif /* KX_MATH_H */
