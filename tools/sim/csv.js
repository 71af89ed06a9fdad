// Reads the CSV files that "read" and "readAndSync2" write: the header lines and the columns by name.
'use strict';

const HEADER_LINES = 7; // banner, creation date, total, empty line, frequencies, names, units

// Splits an export into its header facts and its data rows (arrays of cell texts; the comma that
// ends every row leaves no cell behind).
function parseExport(text) {
  const lines = text.split('\n');
  if (lines.length < HEADER_LINES || !lines[2].startsWith('Total data points: ')) {
    throw new Error('not a CSV export: the third line is not "Total data points: N"');
  }
  const cells = (line) => {
    const c = line.split(',');
    if (c[c.length - 1] === '') c.pop();
    return c;
  };
  const names = cells(lines[5]);
  const rows = [];
  for (let i = HEADER_LINES; i < lines.length; i++) {
    if (lines[i] !== '') rows.push(cells(lines[i]));
  }
  return {
    banner: lines[0],
    createdAt: lines[1].replace(/^Created on: /, ''),
    total: Number(lines[2].slice('Total data points: '.length)),
    frequencies: cells(lines[4]),
    names,
    units: cells(lines[6]),
    rows,
  };
}

// The non-empty cells of the named columns, row by row, as numbers: one array per sample of the
// stream, in stream order (slower streams leave their cells empty between samples).
function samples(parsed, columnNames) {
  const index = columnNames.map((n) => {
    const i = parsed.names.indexOf(n);
    if (i < 0) throw new Error(`the CSV file has no column "${n}"`);
    return i;
  });
  const out = [];
  for (const row of parsed.rows) {
    // A configured stream without samples keeps its header cells but has none in the rows;
    // columns cannot be told apart then, so refuse rather than misread.
    if (row.length !== parsed.names.length) {
      throw new Error(`a data row has ${row.length} cells but the header names ${parsed.names.length} columns`);
    }
    const first = row[index[0]];
    if (first === undefined || first === '') continue;
    out.push(index.map((i) => Number(row[i])));
  }
  return out;
}

const QUATERNION_COLUMNS = ['Quat W', 'Quat X', 'Quat Y', 'Quat Z'];

module.exports = { parseExport, samples, QUATERNION_COLUMNS };
