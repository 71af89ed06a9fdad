// Exit codes of the command-line tool and the error that carries one.
'use strict';

const PROGRAM = 'kx-binreader';

// Exit codes; documented in the README and in --help.
const EXIT = {
  OK: 0,
  SOME_FAILED: 1, // batch: at least one task failed (each is named on standard error)
  USAGE: 2, // the command line is wrong
  INPUT: 3, // a recording could not be read
  OUTPUT: 4, // an output file could not be written
  NO_ORIENTATION: 5, // sync: a recording has no accelerometer and gyroscope at one rate
  NO_SYNC: 6, // sync: the recordings could not be put on one time base
  BAD_CONFIG_TEXT: 7, // write-config: the configuration text was refused
  UNAVAILABLE: 69, // enqueue: the Redis server could not be reached
  INTERRUPTED: 130, // stopped by SIGINT; unfinished output files removed
  TERMINATED: 143, // stopped by SIGTERM; unfinished output files removed
  INTERNAL: 70,
};

// A failure the tool explains in one line; `code` is the exit code.
class CliError extends Error {
  constructor(code, message) {
    super(message);
    this.code = code;
  }
}

const usageError = (message) => new CliError(EXIT.USAGE, message);

module.exports = { PROGRAM, EXIT, CliError, usageError };
