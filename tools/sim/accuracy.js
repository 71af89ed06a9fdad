// Orientation accuracy: the quaternion columns of a CSV export against the simulator's true
// orientation, as angle errors in degrees.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const Q = require('./quaternion.js');
const { parseExport, samples, QUATERNION_COLUMNS } = require('./csv.js');
const { simulate, writeSet, parseTruth } = require('./simulate.js');

function percentile(sorted, p) {
  if (sorted.length === 0) return NaN;
  const k = Math.min(sorted.length - 1, Math.max(0, Math.ceil((p / 100) * sorted.length) - 1));
  return sorted[k];
}

// Compares the estimated quaternions (one per inertial sample, w x y z, zero before the filter
// started) with the true ones of the same samples. Without a magnetometer the heading of the
// filter's world frame is its own choice, so the truth is turned about world z once, by the
// turn about z between the two at the first estimated sample; the tilt is never adjusted.
function compare(estimates, truth) {
  if (estimates.length !== truth.length) {
    throw new Error(`the CSV file holds ${estimates.length} quaternion samples, the truth ${truth.length}`);
  }
  const first = estimates.findIndex((q) => q.some((v) => v !== 0));
  if (first < 0) throw new Error('the filter never started: every quaternion is zero');
  const turn = Q.about.z(Q.twistAboutZ(Q.mul(estimates[first], Q.conj(truth[first]))));
  const errors = [];
  const tilt = []; // the part of the error that gravity could tell: angle between the up directions
  for (let i = first; i < estimates.length; i++) {
    errors.push(Q.angleBetween(estimates[i], Q.mul(turn, truth[i])) / DEG);
    tilt.push(vectorAngle(Q.rotateInverse(estimates[i], UP), Q.rotateInverse(truth[i], UP)) / DEG);
  }
  return { firstSample: first, errors, tilt };
}

const DEG = Math.PI / 180;
const UP = [0, 0, 1];

function vectorAngle(a, b) {
  const cross = [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]];
  return Math.atan2(Math.hypot(...cross), a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
}

// Median, 95th percentile and largest error (degrees); with tilt errors, their median and 95th
// percentile too.
function summarize(errors, tilt = null) {
  const sorted = Float64Array.from(errors).sort();
  const out = {
    samples: sorted.length,
    medianDeg: percentile(sorted, 50),
    p95Deg: percentile(sorted, 95),
    maxDeg: sorted.length ? sorted[sorted.length - 1] : NaN,
  };
  if (tilt !== null) {
    const t = Float64Array.from(tilt).sort();
    out.tiltMedianDeg = percentile(t, 50);
    out.tiltP95Deg = percentile(t, 95);
  }
  return out;
}

// Compares one CSV export with one truth file (paths).
function checkFiles(csvPath, truthPath) {
  const estimates = samples(parseExport(fs.readFileSync(csvPath, 'utf8')), QUATERNION_COLUMNS);
  const truth = parseTruth(fs.readFileSync(truthPath, 'utf8')).map((r) => r.q);
  const { firstSample, errors, tilt } = compare(estimates, truth);
  return { firstSample, ...summarize(errors, tilt) };
}

// Orientation from an open attitude filter of the npm `ahrs` package (Madgwick or Mahony) run
// over the CSV's accelerometer and gyroscope columns. It is settled first on the first
// sample's gravity with the gyroscope at rest, so that it starts level as the others do.
function peerEstimates(parsed, { algorithm, hz, ...gains }) {
  const AHRS = require('ahrs');
  const filter = new AHRS({ algorithm, sampleInterval: 1000 / hz, ...gains });
  const acc = samples(parsed, ['Accel X', 'Accel Y', 'Accel Z']);
  const gyro = samples(parsed, ['Gyro X', 'Gyro Y', 'Gyro Z']);
  for (let i = 0; i < 60 * hz; i++) filter.update(0, 0, 0, ...acc[0]);
  return acc.map((a, i) => {
    filter.update(gyro[i][0] * DEG, gyro[i][1] * DEG, gyro[i][2] * DEG, ...a);
    const q = filter.getQuaternion();
    return [q.w, q.x, q.y, q.z];
  });
}

// Simulates a set, converts every recording with `read` and compares. Answers per device and
// over all devices together. orientation: the filter read() is asked for (its default when
// absent); peer: instead an `ahrs` filter ({ algorithm, ...gains }) over the converted samples.
function run(read, { keep = null, orientation, peer, ...simulation } = {}) {
  const dir = keep || fs.mkdtempSync(path.join(os.tmpdir(), 'kx-accuracy-'));
  try {
    const set = writeSet(dir, simulate(simulation));
    const all = [];
    const allTilt = [];
    const devices = set.devices.map((d) => {
      const csv = path.join(dir, `${d.name}.csv`);
      const answer = orientation === undefined ? read(path.join(dir, d.recording), csv)
        : read(path.join(dir, d.recording), csv, { orientation });
      if (JSON.parse(answer).error) throw new Error(`read of ${d.recording} answered ${answer}`);
      const parsed = parseExport(fs.readFileSync(csv, 'utf8'));
      const estimates = peer ? peerEstimates(parsed, { hz: set.imuHz, ...peer }) : samples(parsed, QUATERNION_COLUMNS);
      const truth = parseTruth(fs.readFileSync(path.join(dir, d.truth), 'utf8')).map((r) => r.q);
      const { firstSample, errors, tilt } = compare(estimates, truth);
      for (let i = 0; i < errors.length; i++) {
        all.push(errors[i]);
        allTilt.push(tilt[i]);
      }
      return { name: d.name, firstSample, ...summarize(errors, tilt) };
    });
    return { dir: keep, seconds: set.seconds, seed: set.seed, gyroBiasDps: set.gyroBiasDps, devices, all: summarize(all, allTilt) };
  } finally {
    if (!keep) fs.rmSync(dir, { recursive: true, force: true });
  }
}

// The conditions the filters are compared on (simulator options), and the filters: both modes of
// read() and two open peers at their usual gains.
const CONDITIONS = [
  { name: 'noise only', options: {} },
  { name: 'bias 0.5 deg/s per axis', options: { gyroOffsetDps: 0.5 } },
  { name: 'bias 0.5 deg/s, sway 0.5 deg/s in pauses', options: { gyroOffsetDps: 0.5, swayDps: 0.5 } },
  { name: 'running + bias 0.5 deg/s', options: { gyroOffsetDps: 0.5, gait: 'run' } },
  { name: 'bias 0.2 deg/s + walk 0.01 deg/s/sqrt(s)', options: { gyroOffsetDps: 0.2, gyroBiasWalkDps: 0.01 } },
  { name: 'starts mid-walk, bias 0.5 deg/s', options: { gyroOffsetDps: 0.5, start: 'moving' } },
];
const FILTERS = [
  { name: 'specified', run: { orientation: 'specified' } },
  { name: 'bias-corrected', run: { orientation: 'bias-corrected' } },
  { name: 'Madgwick beta 0.033', run: { peer: { algorithm: 'Madgwick', beta: 0.033 } } },
  // Mahony at the package's gains (kp 1, no integral term): its integral term, meant to learn a
  // bias, turns the heading of a swinging sensor even without one.
  { name: 'Mahony kp 1', run: { peer: { algorithm: 'Mahony' } } },
];

module.exports = { compare, summarize, checkFiles, run, percentile, CONDITIONS, FILTERS };
