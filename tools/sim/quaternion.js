// Quaternion arithmetic in doubles for the simulator and the accuracy check: [w, x, y, z],
// Hamilton product, a quaternion q rotating sensor-frame vectors into the world frame.
'use strict';

function mul(a, b) {
  return [
    a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
    a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
    a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],
    a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0],
  ];
}

const conj = (q) => [q[0], -q[1], -q[2], -q[3]];

function normalize(q) {
  const n = Math.hypot(q[0], q[1], q[2], q[3]);
  return [q[0] / n, q[1] / n, q[2] / n, q[3] / n];
}

// Rotation by `angle` radians about a unit axis.
function fromAxisAngle(axis, angle) {
  const s = Math.sin(angle / 2);
  return [Math.cos(angle / 2), axis[0] * s, axis[1] * s, axis[2] * s];
}

const about = {
  x: (angle) => fromAxisAngle([1, 0, 0], angle),
  y: (angle) => fromAxisAngle([0, 1, 0], angle),
  z: (angle) => fromAxisAngle([0, 0, 1], angle),
};

// v' = q v q*: a sensor-frame vector seen in the world frame.
function rotate(q, v) {
  const r = mul(mul(q, [0, v[0], v[1], v[2]]), conj(q));
  return [r[1], r[2], r[3]];
}

// The world-frame vector seen in the sensor frame: q* v q.
function rotateInverse(q, v) {
  const r = mul(mul(conj(q), [0, v[0], v[1], v[2]]), q);
  return [r[1], r[2], r[3]];
}

// Angle in radians of the rotation that takes orientation a to orientation b; q and -q are the
// same orientation, hence |w|. atan2 keeps small angles exact, where acos of a dot product would
// lose them.
function angleBetween(a, b) {
  const r = mul(conj(a), b);
  return 2 * Math.atan2(Math.hypot(r[1], r[2], r[3]), Math.abs(r[0]));
}

// Angle (radians) of the turn about world z contained in a world-frame rotation r: the twist
// of its swing-twist decomposition, exact when r is a pure turn about z.
function twistAboutZ(r) {
  return 2 * Math.atan2(r[3], r[0]);
}

module.exports = { mul, conj, normalize, fromAxisAngle, about, rotate, rotateInverse, angleBetween, twistAboutZ };
