// A typed use of the package, compiled with tsc --noEmit by the tests to check the declarations.
import * as kx from '../../index';
import type { BatchResult, ConfigAnswer, DataError, QueueResult, ReadError, ReadSummary, RecordingData, SyncStatus } from '../../index';

const seen: unknown[] = [];

const answer: string = kx.read('walk.bin', 'walk.csv');
const corrected: string = kx.read('walk.bin', 'walk.csv', { orientation: 'bias-corrected', maxRows: 1e6 });
void corrected;
const parsed = JSON.parse(answer) as ReadSummary | ReadError;
if ('error' in parsed) {
  const message: 'Error during data loading.' = parsed.error;
  void message;
} else {
  const hz: number = parsed.frequency;
  const minor: string = parsed.minorVersion;
  void hz;
  void minor;
}

const status: SyncStatus = kx.readAndSync2(['left.bin', 'right.bin'], 'out');
switch (status) {
  case 'OK':
  case '-10':
  case '-11':
  case '-12':
  case '-13':
    break;
  default: {
    const never: never = status; // every status is handled
    void never;
  }
}

const config = JSON.parse(kx.readConfig('walk.bin')) as ConfigAnswer;
const gyroRange: number | undefined = config.gyro?.range;
void gyroRange;
const written: 'OK' | 'ERROR' = kx.writeConfig('cfg.bin', 'baro,25');
void written;
void kx.readConfigDeviceId('walk.bin');

try {
  const data: RecordingData = kx.readData('walk.bin');
  const accel = data.streams.accel;
  if (accel) {
    const x: Float64Array = accel.x;
    const t: Float64Array = accel.time;
    seen.push(x.length === t.length, accel.rate, data.summary.measureId, data.config.frequency);
  }
  const w: Float64Array | undefined = data.streams.quaternion?.w;
  const pressure: Float64Array | undefined = data.streams.baro?.pressure;
  const events: Float64Array | undefined = data.streams.events2?.value;
  seen.push(w, pressure, events);
  const summaryText: string = kx.writeParquet('walk.bin', 'walk.parquet');
  seen.push(summaryText);
} catch (err) {
  const e = err as DataError;
  if (e.code === 'ENOENT' || e.code === 'KX_NOT_A_RECORDING') seen.push(e.path, e.message);
}

async function nonBlocking(): Promise<void> {
  const summary: string = await kx.promises.read('walk.bin', 'walk.csv');
  const synced: SyncStatus = await kx.promises.readAndSync2(['a.bin', 'b.bin'], 'out');
  const cfg: string = await kx.promises.readConfig('walk.bin');
  const id: string = await kx.promises.readConfigDeviceId('walk.bin');
  const ok: 'OK' | 'ERROR' = await kx.promises.writeConfig('cfg.bin', 'baro,25');
  void [summary, synced, cfg, id, ok];
  const moved: RecordingData = await kx.promises.readData('walk.bin');
  const parquet: string = await kx.promises.writeParquet('walk.bin', 'walk.parquet');
  seen.push(moved.frequency, moved.streams.gyro?.z, parquet);

  const results: BatchResult[] = await kx.batch(
    ['a.bin', { recording: 'b.bin', csv: 'b.csv' }, { recordings: ['l.bin', 'r.bin'], outDir: 'set' }],
    {
      outDir: 'out',
      concurrency: 2,
      onProgress: (done, total, path, answer, result) => seen.push(done + total, path, answer, result.ok),
    },
  );
  const asParquet = await kx.batch(['a.bin', { recording: 'b.bin', parquet: 'b.parquet' }], { outDir: 'out', format: 'parquet' });
  for (const r of [...results, ...asParquet]) {
    if (r.kind === 'read') seen.push(r.csv ?? r.parquet, r.ok, r.answer, r.summary?.measureId);
    else seen.push(r.outDir, r.answer === 'OK', r.recordings.length);
  }
}
void nonBlocking;

// What the declarations must refuse.
// @ts-expect-error a path is a string
kx.read(1, 'walk.csv');
// @ts-expect-error read needs the CSV path
kx.read('walk.bin');
// @ts-expect-error an orientation filter that does not exist
kx.readData('walk.bin', { orientation: 'sideways' });
// @ts-expect-error readAndSync2 takes a list of paths
kx.readAndSync2('left.bin', 'out');
// @ts-expect-error "-14" is not a status of readAndSync2
const wrongStatus: SyncStatus = '-14';
void wrongStatus;
// @ts-expect-error a batch task is a path, {recording} or {recordings}
void kx.batch([{ file: 'a.bin' }]);
// @ts-expect-error concurrency is a number
void kx.batch(['a.bin'], { concurrency: 'two' });

// The queue: ids without wait, results with it, and a worker stopped by a signal.
async function queued(): Promise<void> {
  const ids: string[] = await kx.queue.enqueue(['a.bin'], { redis: 'redis://127.0.0.1:6379', outDir: 'out' });
  const results: QueueResult[] = await kx.queue.enqueue(['a.bin'], {
    redis: 'redis://127.0.0.1:6379', queue: 'uploads', outDir: 'out', wait: true, onResult: (r, done, total) => void [r.host, done, total],
  });
  const ran: number = await kx.queue.work({ redis: 'redis://127.0.0.1:6379', concurrency: 2, stallMs: 5000, signal: { aborted: false, addEventListener: () => {} } });
  void [ids, results.map((r) => r.ok && r.seconds), ran];
}
void queued;
// @ts-expect-error the queue needs its Redis server
void kx.queue.work({ concurrency: 2 });

const page: kx.ReportAnswer = kx.report(['left.bin', 'right.bin'], 'set.html');
const windowPage: kx.ReportAnswer = kx.report(['day.bin'], 'hour.html', { from: 3600, to: 7200 });
seen.push(page.bytes, page.synchronised, windowPage.bytes);
void kx.promises.report(['walk.bin'], 'walk.html').then((a) => a.page).catch((err: kx.ReportSyncError) => err.status);
