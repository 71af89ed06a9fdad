// A local page for recordings of any length: the report page, served on 127.0.0.1 with a random
// token, which asks this process for the samples of the window it shows as the user zooms.
'use strict';
const crypto = require('node:crypto');
const http = require('node:http');
const { sourceOptions, titleOf } = require('./index.js');
const { pageHtml } = require('./page.js');
const { streamedPage } = require('./stream.js');

// Columns a window may ask for: a wide screen twice over.
const MAX_COLUMNS = 16384;

// Serves the page of `recordingPaths` and the windows it asks for. Answers { url, server,
// close() } once listening. The recording, or the set, stays open as a row source and a window
// is read from the rows that hold it. options: { orientation, maxRows }, as report takes them.
async function servePage(addon, recordingPaths, options = {}) {
  const token = crypto.randomBytes(18).toString('base64url');
  const served = streamedPage(addon, recordingPaths, sourceOptions(options));
  const { model } = served;
  model.serve = { token };
  const page = Buffer.from(pageHtml(model, titleOf(recordingPaths)), 'utf8');
  const [spanMin, spanMax] = model.span;

  const tokenBytes = Buffer.from(token);
  const tokenOk = (given) => typeof given === 'string' && given.length === token.length && crypto.timingSafeEqual(Buffer.from(given), tokenBytes);

  let port = 0;
  const server = http.createServer((req, res) => {
    const send = (status, type, body) => {
      res.writeHead(status, { 'Content-Type': type, 'Cache-Control': 'no-store', 'X-Content-Type-Options': 'nosniff' });
      res.end(body);
    };
    // Only this machine's own name for the server: a page elsewhere that points a name of its
    // own at 127.0.0.1 is refused.
    if (req.headers.host !== `127.0.0.1:${port}` || req.method !== 'GET') return send(403, 'text/plain', 'forbidden\n');
    const url = new URL(req.url, `http://127.0.0.1:${port}`);
    if (!tokenOk(url.searchParams.get('token'))) return send(403, 'text/plain', 'forbidden: the address needs the token view --serve printed\n');
    if (url.pathname === '/') return send(200, 'text/html; charset=utf-8', page);
    if (url.pathname !== '/window') return send(404, 'text/plain', 'not found\n');
    const from = Math.max(spanMin, Number(url.searchParams.get('from')));
    const to = Math.min(spanMax, Number(url.searchParams.get('to')));
    const columns = Math.min(MAX_COLUMNS, Math.floor(Number(url.searchParams.get('columns'))));
    if (!Number.isFinite(from) || !Number.isFinite(to) || !(to > from) || !(columns >= 1)) {
      return send(400, 'text/plain', 'window: expected from < to (seconds) and columns >= 1\n');
    }
    try {
      return send(200, 'application/json', JSON.stringify(served.window({ from, to, columns })));
    } catch (err) {
      return send(500, 'text/plain', `window: ${err.message}\n`);
    }
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', resolve);
  });
  port = server.address().port;
  return {
    url: `http://127.0.0.1:${port}/?token=${token}`,
    server,
    close() {
      server.close();
      served.close();
    },
  };
}

module.exports = { servePage };
