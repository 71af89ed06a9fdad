// Simulated recordings: one walker wearing one or several devices, with the true orientation of
// every device known, written as recording files that each synchronisation method can align.
'use strict';

const fs = require('node:fs');
const path = require('node:path');
const Q = require('./quaternion.js');
const { frames, put, configBlock, BlockPacker } = require('./recording-format.js');

const G = 9.80665; // m/s^2 per g
const DEG = Math.PI / 180;

// Record identifiers of the simulated device's sensors (0 is left for empty record slots).
const IDS = { accel: 0x21, gyro: 0x22, baro: 0x23, mag: 0x24, event: 0x25, radio: 0x26 };
// Range codes: accelerometer +-4 g, gyroscope +-500 deg/s.
const ACCEL_RANGE = { code: 2, fullScale: 4 };
const GYRO_RANGE = { code: 1, fullScale: 500 };
const METHODS = ['marks', 'radio-sensor', 'radio-frame'];
// Event values written to the event channel.
const EVENTS = { walkStart: 1, walkStop: 2 };

// How each body location moves while walking: rotation amplitudes (deg) at the stride or step
// rate, displacement amplitudes (m), the stride phase, and how the device is strapped on
// (sensor frame to body frame; body x forward, y left, z up).
const LOCATIONS = {
  pelvis: {
    code: 1, stridePhase: 0,
    pitch: { deg: 2.5, rate: 'step' }, roll: { deg: 3, rate: 'stride' }, yaw: { deg: 4, rate: 'stride' },
    vertical: 0.025, forward: 0.012, lateral: 0.02,
    mount: Q.about.z(Math.PI), // on the back, sensor x pointing backwards
  },
  'left-thigh': {
    code: 2, stridePhase: 0,
    pitch: { deg: 22, rate: 'stride' }, roll: { deg: 3, rate: 'stride' }, yaw: { deg: 5, rate: 'stride' },
    vertical: 0.03, forward: 0.03, lateral: 0.015,
    mount: Q.about.x(-Math.PI / 2), // outer side of the thigh, sensor z pointing left
  },
  'right-thigh': {
    code: 3, stridePhase: Math.PI,
    pitch: { deg: 22, rate: 'stride' }, roll: { deg: 3, rate: 'stride' }, yaw: { deg: 5, rate: 'stride' },
    vertical: 0.03, forward: 0.03, lateral: 0.015,
    mount: Q.about.x(Math.PI / 2), // outer side of the thigh, sensor z pointing right
  },
  'left-wrist': {
    code: 4, stridePhase: Math.PI,
    pitch: { deg: 25, rate: 'stride' }, roll: { deg: 8, rate: 'stride' }, yaw: { deg: 6, rate: 'step' },
    vertical: 0.035, forward: 0.08, lateral: 0.02,
    mount: Q.mul(Q.about.y(Math.PI / 2), Q.about.z(0.3)),
  },
};
const DEFAULT_LOCATIONS = ['pelvis', 'left-thigh', 'right-thigh', 'left-wrist'];

// Deterministic random numbers (mulberry32) with normal deviates, so a seed gives the same files.
function rng(seed) {
  let a = seed >>> 0;
  const uniform = () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
  let spare = null;
  const normal = () => {
    if (spare !== null) {
      const s = spare;
      spare = null;
      return s;
    }
    const u = 1 - uniform();
    const v = uniform();
    const r = Math.sqrt(-2 * Math.log(u));
    spare = r * Math.sin(2 * Math.PI * v);
    return r * Math.cos(2 * Math.PI * v);
  };
  return { uniform, normal, between: (lo, hi) => lo + (hi - lo) * uniform() };
}

// 0 before the start, 1 after start + width, a raised cosine between.
function ramp(t, start, width) {
  if (t <= start) return 0;
  if (t >= start + width) return 1;
  return 0.5 - 0.5 * Math.cos((Math.PI * (t - start)) / width);
}

// Integral of a raised-cosine rate bump: 0 before, 1 after, smooth between.
function smoothTurn(u) {
  if (u <= 0) return 0;
  if (u >= 1) return 1;
  return u - Math.sin(2 * Math.PI * u) / (2 * Math.PI);
}

// The walker shared by every device: a still start (or a walk already under way), then walks
// (with turns) and stands. Times in seconds of the session clock.
function planWalker({ seconds, stillSeconds, random, gait = 'walk', startMoving = false }) {
  const walks = [];
  const turns = [];
  // A walk under way at switch-on began before the first device's first sample.
  let t = startMoving ? -MOVING_LEAD_S : stillSeconds;
  const end = seconds + 60;
  while (t < end) {
    const walkLength = random.between(20, 90);
    walks.push({ start: t, end: t + walkLength });
    for (let u = t + random.between(6, 15); u < t + walkLength - 6; u += random.between(8, 25)) {
      const duration = random.between(1.5, 3);
      const angle = (random.uniform() < 0.5 ? -1 : 1) * random.between(30, 180) * DEG;
      turns.push({ start: u, duration, angle });
      u += duration;
    }
    t += walkLength + random.between(5, 20);
  }
  // Cumulative heading before each turn, summed in turn order, so that headingAt looks a turn up
  // instead of adding every earlier one again for each sample.
  const headingBefore = [0];
  let h = 0;
  for (const turn of turns) {
    h += turn.angle;
    headingBefore.push(h);
  }
  const g = GAITS[gait];
  return {
    walks,
    turns,
    headingBefore,
    gait: g,
    strideHz: random.between(0.85, 0.95) * g.strideScale,
    speed: random.between(1.1, 1.4) * g.speedScale, // m/s
  };
}

const MOVING_LEAD_S = 10; // a walk under way at switch-on started this long before

// Gaits as scales of the walking motion of each body location: running has a faster stride,
// wider joint swings and a bounce whose landings reach 2 to 3 g.
const GAITS = {
  walk: { strideScale: 1, speedScale: 1, angleScale: 1, displacementScale: 1 },
  run: { strideScale: 1.5, speedScale: 2.5, angleScale: 1.6, displacementScale: 3 },
};

// Index of the first element of a sorted list whose key exceeds t (the list's length when none).
function firstAbove(list, key, t) {
  let lo = 0;
  let hi = list.length;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (key(list[mid]) > t) hi = mid;
    else lo = mid + 1;
  }
  return lo;
}

const RAMP_S = 1.5; // gait starts and stops over this time

// Walks are sorted and apart by more than a ramp, so only the first one not yet over (ramp
// included) can be active.
function envelope(walker, t) {
  const k = firstAbove(walker.walks, (w) => w.end + RAMP_S, t);
  if (k === walker.walks.length) return 0;
  const w = walker.walks[k];
  if (t < w.start) return 0;
  return ramp(t, w.start, RAMP_S) * (1 - ramp(t, w.end, RAMP_S));
}

// Turns do not overlap: every turn begun before the last one begun is complete.
function headingAt(walker, t) {
  const k = firstAbove(walker.turns, (turn) => turn.start, t);
  if (k === 0) return 0;
  const turn = walker.turns[k - 1];
  return walker.headingBefore[k - 1] + turn.angle * smoothTurn((t - turn.start) / turn.duration);
}

// Standing sway: slow pitch and roll whose rates peak at swayDps each, in the pauses after the
// first walk (the still start stays still). It begins where the first walk's gait is in full
// swing and the standing share is 0, so the motion has no step.
const SWAY_HZ = [0.23, 0.37];
function sway(walker, t, swayDps) {
  if (swayDps === 0 || walker.walks.length === 0 || t < walker.walks[0].end) return [0, 0];
  const stand = 1 - envelope(walker, t);
  return SWAY_HZ.map((hz, k) => ((stand * swayDps * DEG) / (2 * Math.PI * hz)) * Math.sin(2 * Math.PI * hz * t + k));
}

// The device's true motion at session time t: orientation (sensor to world) and position (m).
function makeBody(walker, location, initialHeading, swayDps = 0) {
  const L = scaledLocation(LOCATIONS[location], walker.gait);
  const stride = (t) => 2 * Math.PI * walker.strideHz * t + L.stridePhase;
  const osc = (joint, t) => joint.deg * DEG * Math.sin(joint.rate === 'step' ? 2 * stride(t) + 0.4 : stride(t));
  const orientation = (t) => {
    const e = envelope(walker, t);
    const [swayPitch, swayRoll] = sway(walker, t, swayDps);
    // The sway terms are exactly 0 without sway, which leaves the sums below unchanged.
    const body = Q.mul(Q.about.z(initialHeading + headingAt(walker, t) + e * osc(L.yaw, t)),
      Q.mul(Q.about.y(e * osc(L.pitch, t) + swayPitch), Q.about.x(e * osc(L.roll, t) + swayRoll)));
    return Q.mul(body, L.mount);
  };
  // Horizontal travel along the heading plus the gait's bounce; only its second derivative is
  // used, so the distance walked is integrated from the speed numerically by its derivative.
  const velocity = (t) => {
    const v = walker.speed * envelope(walker, t);
    const h = initialHeading + headingAt(walker, t);
    return [v * Math.cos(h), v * Math.sin(h)];
  };
  const bounce = (t) => {
    const e = envelope(walker, t);
    const h = initialHeading + headingAt(walker, t);
    const s = stride(t);
    const fwd = e * L.forward * Math.sin(2 * s + 1.1);
    const lat = e * L.lateral * Math.sin(s);
    return [fwd * Math.cos(h) - lat * Math.sin(h), fwd * Math.sin(h) + lat * Math.cos(h), e * L.vertical * Math.sin(2 * s)];
  };
  return { orientation, velocity, bounce };
}

const DIFF_H = 1e-4; // s, for the body rate
const ACC_H = 1e-3; // s, for the acceleration

// A body location's motion scaled for the gait; walking answers the location itself.
function scaledLocation(L, gait) {
  if (gait === GAITS.walk) return L;
  const joint = (j) => ({ ...j, deg: j.deg * gait.angleScale });
  const d = gait.displacementScale;
  return { ...L, pitch: joint(L.pitch), roll: joint(L.roll), yaw: joint(L.yaw),
    vertical: L.vertical * d, forward: L.forward * d, lateral: L.lateral * d };
}

// Body rate (rad/s, sensor frame): w = 2 q* dq/dt.
function bodyRate(body, t) {
  const a = body.orientation(t - DIFF_H);
  const b = body.orientation(t + DIFF_H);
  const q = body.orientation(t);
  // Keep the neighbours on the same side as q before differencing.
  const s = (p) => (p[0] * q[0] + p[1] * q[1] + p[2] * q[2] + p[3] * q[3] < 0 ? -1 : 1);
  const sa = s(a);
  const sb = s(b);
  const dq = [0, 1, 2, 3].map((k) => (sb * b[k] - sa * a[k]) / (2 * DIFF_H));
  const w = Q.mul(Q.conj(q), dq);
  return { q, rate: [2 * w[1], 2 * w[2], 2 * w[3]] };
}

// World acceleration (m/s^2) of the device.
function acceleration(body, t) {
  const v1 = body.velocity(t - ACC_H);
  const v2 = body.velocity(t + ACC_H);
  const p0 = body.bounce(t - ACC_H);
  const p1 = body.bounce(t);
  const p2 = body.bounce(t + ACC_H);
  const h2 = ACC_H * ACC_H;
  return [
    (v2[0] - v1[0]) / (2 * ACC_H) + (p0[0] - 2 * p1[0] + p2[0]) / h2,
    (v2[1] - v1[1]) / (2 * ACC_H) + (p0[1] - 2 * p1[1] + p2[1]) / h2,
    (p0[2] - 2 * p1[2] + p2[2]) / h2,
  ];
}

const clamp16 = (v) => Math.max(-32768, Math.min(32767, Math.round(v)));

// The earth's field in the world frame (uT; world z up, so the northern dip points down) and
// the magnetometer's counts per uT.
const EARTH_FIELD_UT = [17, 9, -44];
const MAG_COUNTS_PER_UT = 6.5;

function pressureAt(altitude, t) {
  const sea = 1013.25 + 0.6 * Math.sin((2 * Math.PI * t) / 7200); // slow weather drift, mBar
  return sea * (1 - 2.25577e-5 * altitude) ** 5.25588;
}

function checkOptions(o) {
  const need = (ok, message) => {
    if (!ok) throw new RangeError(`simulate: ${message}`);
  };
  need(Number.isInteger(o.frequency) && o.frequency > 0 && o.frequency <= 1000, `frequency must be an integer 1..1000 Hz, got ${o.frequency}`);
  for (const k of ['imuHz', 'baroHz', 'magHz']) {
    const hz = o[k];
    need(Number.isInteger(hz) && hz > 0 && o.frequency % hz === 0, `${k} must divide the base frequency ${o.frequency}, got ${hz}`);
  }
  need(Number.isFinite(o.seconds) && o.seconds > 0, `seconds must be positive, got ${o.seconds}`);
  need(Number.isFinite(o.stillSeconds) && o.stillSeconds >= 0.2, `stillSeconds must be at least 0.2, got ${o.stillSeconds}`);
  need(METHODS.includes(o.method), `method must be one of ${METHODS.join(', ')}, got ${o.method}`);
  need(Array.isArray(o.devices) && o.devices.length >= 1, 'devices must list at least one location');
  need(o.gait in GAITS, `gait must be one of ${Object.keys(GAITS).join(', ')}, got ${o.gait}`);
  need(['still', 'moving'].includes(o.start), `start must be still or moving, got ${o.start}`);
  const offset = o.gyroOffsetDps;
  need(Number.isFinite(offset) || (Array.isArray(offset) && offset.length === 3 && offset.every(Number.isFinite)),
    `gyroOffsetDps must be a number or three numbers (deg/s), got ${offset}`);
  for (const k of ['gyroBiasDps', 'gyroBiasWalkDps', 'swayDps']) {
    need(Number.isFinite(o[k]) && o[k] >= 0, `${k} must be a number >= 0, got ${o[k]}`);
  }
  for (const d of o.devices) need(d in LOCATIONS, `unknown location ${d}; known: ${Object.keys(LOCATIONS).join(', ')}`);
}

// The clocks of the devices of a set. Each device counts base ticks from 0 at its own switch-on;
// shared tick = device tick + clockOffset. The devices are switched on one after another, the
// first (the radio master) 10 s into the shared clock. For the basic radio frame they are
// switched on whole seconds apart, since that method shifts by the difference of the frame's
// two values read as seconds.
const SESSION_START_S = 10; // shared clock at the first device's first sample

function planClocks(o, random) {
  const F = o.frequency;
  return o.devices.map((location, k) => {
    const after = o.method === 'radio-frame' ? k * F : Math.round(k * random.between(0.2, 0.6) * F);
    const worldStartTick = SESSION_START_S * F + after;
    return { location, worldStartTick, startTick: 0, clockOffset: worldStartTick };
  });
}

function headerFrames(o, device, k, clocks) {
  const F = o.frequency;
  const start = new Date(Date.UTC(2026, 2, 14, 9, 30, 0) + (device.worldStartTick / F) * 1000);
  const end = new Date(start.getTime() + o.seconds * 1000);
  const date = (d) => ({ second: d.getUTCSeconds(), minute: d.getUTCMinutes(), hour: d.getUTCHours(),
    day: d.getUTCDate(), month: d.getUTCMonth() + 1, year: d.getUTCFullYear() });
  const list = [
    frames.device(o.deviceIdBase + k, 7, LOCATIONS[device.location].code),
    frames.firmware(1, 4, 2),
    frames.date(0, date(start)),
    frames.date(6, date(end)),
    frames.measureId(o.measureId),
    frames.measurement(0, 0xa5, 0),
    frames.baseFrequency(F),
    frames.inertial(2, IDS.accel, o.imuHz, ACCEL_RANGE.code),
    frames.inertial(3, IDS.gyro, o.imuHz, GYRO_RANGE.code),
    frames.baro(IDS.baro, o.baroHz),
    frames.magnetometer(IDS.mag, o.magHz),
    frames.event(IDS.event, F),
  ];
  const master = k === 0;
  if (o.method === 'marks') {
    // Two readings of a shared clock (seconds and milliseconds) with the local tick at which each was
    // taken, one and two seconds into the recording.
    const mark = (afterS) => {
      const tick = device.startTick + afterS * F;
      const sessionMs = Math.round(((tick + device.clockOffset) * 1000) / F);
      return [Math.floor(sessionMs / 1000), sessionMs % 1000, tick];
    };
    list.push(frames.timeMarks(...mark(1), ...mark(2)));
  } else if (o.method === 'radio-sensor') {
    list.push(frames.radioSensor(IDS.radio, o.radioHz, master ? 0 : 1, o.channel));
  } else {
    const seconds = (device.clockOffset - clocks[0].clockOffset) / F;
    const value1 = 40000 + 17 * k;
    list.push(frames.radio(master ? 0 : 1, value1, value1 + seconds, o.channel));
  }
  return list;
}

// Writes one device's recording; answers its bytes, its true orientation per inertial sample
// and its events.
function simulateDevice(o, walker, clocks, k, random, wantTruth) {
  const F = o.frequency;
  const device = clocks[k];
  const body = makeBody(walker, device.location, o.initialHeading, o.swayDps);
  const imuEvery = F / o.imuHz;
  const baroEvery = F / o.baroHz;
  const magEvery = F / o.magHz;
  const radioEvery = Math.max(1, Math.round(F / o.radioHz));
  const totalTicks = Math.round(o.seconds * F);
  const packer = new BlockPacker({ tag: 0xa5, initialBlocks: Math.ceil((totalTicks / F) * 5) + 8 });
  const buf = () => packer.buf;
  const offset = Array.isArray(o.gyroOffsetDps) ? o.gyroOffsetDps : [0, 1, 2].map(() => o.gyroOffsetDps);
  const gyroBias = [0, 1, 2].map((c) => o.gyroBiasDps * random.normal() + offset[c]);
  // A bias that wanders: each inertial sample adds a step of walk * sqrt(dt) per axis.
  const biasStep = o.gyroBiasWalkDps * Math.sqrt(1 / o.imuHz);
  const hardIron = [0, 1, 2].map(() => 60 * random.normal());
  // The true orientation as numbers (tick, then w x y z per inertial sample): a day of it as text
  // would take gigabytes, so rows are formatted only when written or asked for.
  const truth = wantTruth ? new TruthRows(Math.ceil(totalTicks / imuEvery), F, device.clockOffset) : null;
  const events = [];

  // Gait starts and stops as ticks of the shared clock (session tick = device tick + clock offset).
  const eventTicks = [];
  for (const w of walker.walks) {
    eventTicks.push([SESSION_START_S * F + Math.round(w.start * F), EVENTS.walkStart],
      [SESSION_START_S * F + Math.round(w.end * F), EVENTS.walkStop]);
  }
  let nextEvent = 0;
  while (nextEvent < eventTicks.length && eventTicks[nextEvent][0] < device.worldStartTick) nextEvent += 1;

  const masterOffset = clocks[0].clockOffset;
  // Walker time: seconds since the first device's first sample.
  const sessionS = (tick) => (tick + device.clockOffset) / F - SESSION_START_S;

  for (let i = 0; i < totalTicks; i++) {
    const tick = device.startTick + i;
    const t = sessionS(tick);
    if (i % imuEvery === 0) {
      const { q, rate } = bodyRate(body, t);
      const a = acceleration(body, t);
      const f = Q.rotateInverse(q, [a[0] / G, a[1] / G, a[2] / G + 1]); // specific force, g
      const accel = f.map((v) => v + o.accelNoiseG * random.normal());
      const gyro = rate.map((v, c) => v / DEG + gyroBias[c] + o.gyroNoiseDps * random.normal());
      if (biasStep > 0) for (let c = 0; c < 3; c++) gyroBias[c] += biasStep * random.normal();
      let s = packer.slot(tick);
      put.xyz(buf(), s.pos, IDS.accel, s.offset,
        ...accel.map((v) => clamp16((v * 32768) / ACCEL_RANGE.fullScale)));
      s = packer.slot(tick);
      put.xyz(buf(), s.pos, IDS.gyro, s.offset,
        ...gyro.map((v) => clamp16((v * 32768) / GYRO_RANGE.fullScale)));
      if (truth) truth.push(tick, q);
    }
    if (i % baroEvery === 0) {
      const altitude = 1.2 * Math.sin((2 * Math.PI * t) / 900) + body.bounce(t)[2] + 1.0;
      const pressure = pressureAt(altitude, t) + o.baroNoiseMbar * random.normal();
      const temperature = 24 + 6 * (1 - Math.exp(-t / 600)) + 0.02 * random.normal();
      const s = packer.slot(tick);
      put.baro(buf(), s.pos, IDS.baro, s.offset, Math.round(pressure * 4096), Math.round(temperature * 100));
    }
    if (i % magEvery === 0) {
      const q = body.orientation(t);
      const m = Q.rotateInverse(q, EARTH_FIELD_UT);
      const s = packer.slot(tick);
      put.xyz(buf(), s.pos, IDS.mag, s.offset,
        ...m.map((v, c) => clamp16(v * MAG_COUNTS_PER_UT + hardIron[c] + 2 * random.normal())));
    }
    while (nextEvent < eventTicks.length && eventTicks[nextEvent][0] === tick + device.clockOffset) {
      const value = eventTicks[nextEvent][1];
      const s = packer.slot(tick);
      put.event(buf(), s.pos, IDS.event, s.offset, value);
      events.push({ tick, time: tick / F, value });
      nextEvent += 1;
    }
    if (o.method === 'radio-sensor' && i % radioEvery === 0) {
      // The master's tick at this instant, as its radio beacon announces it.
      const s = packer.slot(tick);
      put.radio(buf(), s.pos, IDS.radio, s.offset, tick + device.clockOffset - masterOffset);
    }
  }
  const header = configBlock(headerFrames(o, device, k, clocks).flat());
  return { bytes: Buffer.concat([header, packer.data()]), truth, events };
}

const DEFAULTS = {
  seconds: 60,
  stillSeconds: 3,
  frequency: 100,
  imuHz: 100,
  baroHz: 25,
  magHz: 25,
  radioHz: 1,
  channel: 7,
  method: 'radio-frame',
  devices: ['pelvis'],
  seed: 1,
  accelNoiseG: 0.004,
  gyroNoiseDps: 0.07,
  gyroBiasDps: 0,
  gyroOffsetDps: 0, // fixed bias added on every axis (a number) or per axis (three numbers), deg/s
  gyroBiasWalkDps: 0, // bias random walk, deg/s per sqrt(s)
  gait: 'walk', // walk or run
  start: 'still', // still: stand stillSeconds first; moving: switched on during a walk
  swayDps: 0, // peak pitch and roll rate of standing sway in the pauses, deg/s
  baroNoiseMbar: 0.015,
  initialHeading: 0.4, // rad, the walker's heading in the world frame at the start
  deviceIdBase: 3101,
  measureId: 17,
};

// Simulates a set of devices worn together. Answers, per device, the recording bytes, the
// true orientation as CSV text (one row per inertial sample) and the events, plus a
// description of the set. Options: see DEFAULTS; `devices` lists body locations.
function simulate(options = {}) {
  const o = { ...DEFAULTS, ...options };
  if (typeof o.devices === 'number') {
    if (!Number.isInteger(o.devices) || o.devices < 1) throw new RangeError(`simulate: devices must be a positive count or a list of locations, got ${o.devices}`);
    o.devices = Array.from({ length: o.devices }, (_, k) => DEFAULT_LOCATIONS[k % DEFAULT_LOCATIONS.length]);
  }
  checkOptions(o);
  const random = rng(o.seed);
  const clocks = planClocks(o, random);
  // Every device sees the still start in full: the walker stands until the last one has been
  // switched on and stillSeconds have passed.
  const lastOn = (clocks[clocks.length - 1].worldStartTick - clocks[0].worldStartTick) / o.frequency;
  const walker = planWalker({ seconds: o.seconds + lastOn, stillSeconds: lastOn + o.stillSeconds, random,
    gait: o.gait, startMoving: o.start === 'moving' });
  const names = uniqueNames(o.devices);
  const devices = o.devices.map((location, k) => {
    const r = simulateDevice(o, walker, clocks, k, rng(o.seed * 7919 + k + 1), o.truth !== false);
    const c = clocks[k];
    const device = {
      name: names[k],
      location,
      deviceId: o.deviceIdBase + k,
      master: k === 0,
      startTick: c.startTick,
      // Shared clock minus this device's clock, in seconds: a sample at device time t (its tick
      // divided by the base frequency) was taken at t + clockOffsetS on the shared clock.
      clockOffsetS: c.clockOffset / o.frequency,
      bytes: r.bytes,
      truth: null,
      events: r.events,
    };
    // A day's truth is longer than a string may be: its text is made only when asked for, and
    // writeSet writes the rows in pieces.
    if (r.truth !== null) {
      Object.defineProperty(device, 'truth', { enumerable: true, get: () => `${TRUTH_HEADER}\n${r.truth.text(0, r.truth.length)}` });
      Object.defineProperty(device, 'truthRows', { value: r.truth });
    }
    return device;
  });
  return {
    method: o.method,
    frequency: o.frequency,
    imuHz: o.imuHz,
    seconds: o.seconds,
    stillSeconds: o.stillSeconds,
    seed: o.seed,
    gyroBiasDps: o.gyroBiasDps,
    ...Object.fromEntries(VARIANTS.filter((k) => o[k] !== DEFAULTS[k]).map((k) => [k, o[k]])),
    devices,
  };
}

// Options that describe the set only when changed, so the default set.json keeps its shape.
const VARIANTS = ['gyroOffsetDps', 'gyroBiasWalkDps', 'gait', 'start', 'swayDps'];

const TRUTH_HEADER = 'sample,tick,time_s,shared_s,qw,qx,qy,qz';

function uniqueNames(locations) {
  const seen = new Map();
  return locations.map((l) => {
    const n = (seen.get(l) || 0) + 1;
    seen.set(l, n);
    return n === 1 ? l : `${l}-${n}`;
  });
}

// Writes the set into dir: <name>.bin, <name>.truth.csv and set.json (the description, without
// the bytes). Answers the description with the file paths.
function writeSet(dir, set) {
  fs.mkdirSync(dir, { recursive: true });
  const description = { ...set, devices: [] };
  for (const d of set.devices) {
    const recording = path.join(dir, `${d.name}.bin`);
    fs.writeFileSync(recording, d.bytes);
    let truth = null;
    if (d.truthRows) {
      truth = path.join(dir, `${d.name}.truth.csv`);
      writeRows(truth, TRUTH_HEADER, d.truthRows);
    }
    // Not a spread of d: that would make the truth text.
    const rest = {};
    for (const k of Object.keys(d)) if (k !== 'bytes' && k !== 'truth') rest[k] = d[k];
    description.devices.push({ ...rest, recording: path.basename(recording), truth: truth && path.basename(truth) });
  }
  fs.writeFileSync(path.join(dir, 'set.json'), `${JSON.stringify(description, null, 2)}\n`);
  return description;
}

function writeRows(file, header, rows) {
  const fd = fs.openSync(file, 'w');
  try {
    fs.writeSync(fd, `${header}\n`);
    const PIECE = 100000;
    for (let i = 0; i < rows.length; i += PIECE) fs.writeSync(fd, rows.text(i, Math.min(rows.length, i + PIECE)));
  } finally {
    fs.closeSync(fd);
  }
}

// The truth rows of one device as numbers, formatted on demand.
class TruthRows {
  constructor(capacity, frequency, clockOffset) {
    this.ticks = new Float64Array(capacity);
    this.q = new Float64Array(4 * capacity);
    this.length = 0;
    this.frequency = frequency;
    this.clockOffset = clockOffset;
  }

  push(tick, q) {
    this.ticks[this.length] = tick;
    this.q.set(q, 4 * this.length);
    this.length += 1;
  }

  // Rows [first, last) as CSV lines, each ending in a newline.
  text(first, last) {
    const F = this.frequency;
    let out = '';
    for (let i = first; i < last; i++) {
      const tick = this.ticks[i];
      const q = this.q.subarray(4 * i, 4 * i + 4);
      out += `${i},${tick},${(tick / F).toFixed(6)},${((tick + this.clockOffset) / F).toFixed(6)},${q[0].toFixed(9)},${q[1].toFixed(9)},${q[2].toFixed(9)},${q[3].toFixed(9)}\n`;
    }
    return out;
  }
}

// Parses a truth file into { tick, time (device clock), shared (shared clock), q } rows.
function parseTruth(text) {
  const lines = text.split('\n');
  if (lines[0] !== TRUTH_HEADER) throw new Error(`not a truth file (first line "${lines[0]}")`);
  const rows = [];
  for (let i = 1; i < lines.length; i++) {
    if (lines[i] === '') continue;
    const c = lines[i].split(',').map(Number);
    rows.push({ tick: c[1], time: c[2], shared: c[3], q: [c[4], c[5], c[6], c[7]] });
  }
  return rows;
}

module.exports = {
  simulate,
  writeSet,
  parseTruth,
  METHODS,
  LOCATIONS: Object.keys(LOCATIONS),
  GAITS: Object.keys(GAITS),
  DEFAULTS,
  IDS,
  EVENTS,
  TRUTH_HEADER,
};
