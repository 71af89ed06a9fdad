// The rules writeConfig applies to a configuration text, checked without writing anything, so
// that a refused text can be told from a file that could not be written.
'use strict';

const BLOCK_BYTES = 512; // all frames must fit in the first block
const FRAME_OVERHEAD = 7; // "KX", type, subtype, length, trailer 0xFF 0xFE

// Known sections: how many numeric fields follow the key, and the payload length of the frame.
const SECTIONS = {
  accel: { fields: 8, length: 27 },
  gyro: { fields: 8, length: 27 },
  baro: { fields: 1, length: 2 },
  device: { fields: 3, length: 6 },
  firmware: { fields: 3, length: 6 },
  radio: { fields: 2, length: 2 },
};

const BASE64 = /^[A-Za-z0-9+/]*/;
// Leading blanks (as C's isspace), an optional sign, then digits; anything after them is ignored.
const NUMBER = /^[ \t\n\v\f\r]*([+-]?)(\d+)/;

// Splits as the reader does: a delimiter at the very end opens no empty last part.
function split(text, delimiter) {
  const out = [];
  let start = 0;
  while (start < text.length) {
    let end = text.indexOf(delimiter, start);
    if (end < 0) end = text.length;
    out.push(text.slice(start, end));
    start = end + 1;
  }
  return out;
}

function numberFits(field) {
  const m = NUMBER.exec(field);
  if (m === null) return false;
  const v = BigInt(`${m[1]}${m[2]}`);
  return v >= -(2n ** 31n) && v < 2n ** 31n;
}

// Bytes the tolerant decoder makes of a base64 field: it stops at "=" or any foreign character,
// and an unfinished group of k >= 2 characters gives k - 1 bytes.
function base64Bytes(field) {
  const n = BASE64.exec(field)[0].length;
  const rest = n % 4;
  return Math.floor(n / 4) * 3 + (rest >= 2 ? rest - 1 : 0);
}

// Why writeConfig would refuse `text`, or null when it would accept it. The addon reads a text
// up to its first NUL character.
function configTextProblem(text) {
  const nul = text.indexOf('\0');
  const body = nul < 0 ? text : text.slice(0, nul);
  let used = 0;
  for (const section of split(body, ':')) {
    const fields = split(section, ',');
    if (fields.length === 0) continue;
    const [key] = fields;
    if (key === 'unknownFrames') {
      if (fields.length < 2) continue;
      used += base64Bytes(fields[1]);
      if (used > BLOCK_BYTES) return `the frames take more than ${BLOCK_BYTES} bytes`;
      continue;
    }
    const kind = Object.hasOwn(SECTIONS, key) ? SECTIONS[key] : null;
    if (kind === null) continue; // unknown keys are skipped
    if (fields.length < 1 + kind.fields) return `section "${key}" needs ${kind.fields} numbers, got ${fields.length - 1}`;
    used += kind.length + FRAME_OVERHEAD;
    if (used > BLOCK_BYTES) return `the frames take more than ${BLOCK_BYTES} bytes`;
    const bad = fields.slice(1, 1 + kind.fields).find((f) => !numberFits(f));
    if (bad !== undefined) return `section "${key}": ${JSON.stringify(bad)} is not a 32-bit integer`;
  }
  return null;
}

module.exports = { configTextProblem };
