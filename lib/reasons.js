// Why a file could not be read or written, by the code the system or the addon gives: the one
// table of these texts, shared by readData, writeParquet, the report and the command line.
'use strict';

const REASONS = {
  ENOENT: 'no such file',
  EACCES: 'permission denied',
  EPERM: 'operation not permitted',
  EISDIR: 'is a directory',
  ELOOP: 'too many levels of symbolic links',
  ENAMETOOLONG: 'file name too long',
  ENOTDIR: 'a component of the path is not a directory',
  KX_NOT_A_RECORDING: 'not a recording (no header frames in its first block)',
  KX_TRUNCATED: 'truncated (the file ends inside its configuration block or its data)',
  KX_OPEN_FAILED: 'cannot be opened for writing (missing directory, no permission, a directory)',
  KX_WRITE_FAILED: 'could not be written completely (disk full, file-size limit or I/O error); the target was left as it was',
};

// Why a set could not be synchronised, by the status readAndSync2 answers for the stage that failed.
const SYNC_REASONS = {
  '-10': 'a recording could not be read in full, or its table would be implausibly large',
  '-11': 'the recordings could not be put on one time base',
  '-13': 'a recording has no orientation (no accelerometer and gyroscope at one rate)',
};

// Why an output file was not written, for the addon's status of a failed write.
const writeReason = (status) => (status === 'KX_OPEN_FAILED' ? REASONS.KX_OPEN_FAILED : REASONS.KX_WRITE_FAILED);

// What a file that is not a regular file is, said for a message ("is a FIFO..."), or null for a
// regular file. Such a file is never read as a recording: a FIFO blocks, a device never ends.
function notRegular(st) {
  if (st.isFile()) return null;
  if (st.isDirectory()) return REASONS.EISDIR;
  if (st.isFIFO()) return 'is a FIFO (named pipe), not a regular file';
  if (st.isCharacterDevice()) return 'is a character device, not a regular file';
  if (st.isBlockDevice()) return 'is a block device, not a regular file';
  if (st.isSocket()) return 'is a socket, not a regular file';
  return 'is not a regular file';
}

module.exports = { REASONS, SYNC_REASONS, writeReason, notRegular };
