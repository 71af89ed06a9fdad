// The output formats, the one list the API, batch, the queue and the command line use: each
// format's name is its file extension, with its name in messages and the calls that write a
// recording's file and a synchronised set's files. Another format is one more entry here.
'use strict';

const FORMATS = {
  csv: { title: 'CSV', read: 'read', sync: 'readAndSync2' },
  parquet: { title: 'Parquet', read: 'writeParquet', sync: 'syncParquet' },
};

const DEFAULT_FORMAT = 'csv';

const isFormat = (format) => Object.hasOwn(FORMATS, format);

module.exports = { FORMATS, DEFAULT_FORMAT, isFormat };
