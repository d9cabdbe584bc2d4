"""A real browser against the server: headless Chromium loads a page from the web root that logs
in, lists users, follows the log over /ws and creates a user, and a page of another origin calls
the API.  What is checked is what only a browser enforces: CORS preflights, the MIME types of
module scripts and style sheets, the HTTP cache obeying the web root's cache headers, and the
WebSocket handshake."""
import http.server
import json
import threading
import unittest

from cdpclient import Chromium
from ovfixture import OVServer

# The page the server serves; its module script does the work and writes what it saw, as JSON,
# into #out.
PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Orvanta {{VERSION}}</title>
<link rel="stylesheet" href="/css/app.css">
<script type="module" src="/js/app.js?v=1"></script>
</head><body><div id="probe"></div><pre id="out"></pre></body></html>
"""

APP_JS = r"""
const results = {};

async function json(path, init) {
  const r = await fetch(path, init);
  return { status: r.status, type: r.headers.get('content-type'), body: await r.json() };
}

// Resolves with the first message that `match` accepts, or null after ms.
function nextMessage(ws, match, ms) {
  return new Promise((resolve) => {
    const timer = setTimeout(() => { ws.removeEventListener('message', on); resolve(null); }, ms);
    function on(ev) {
      const msg = JSON.parse(ev.data);
      if (!match(msg)) return;
      clearTimeout(timer);
      ws.removeEventListener('message', on);
      resolve(msg);
    }
    ws.addEventListener('message', on);
  });
}

// Opens a WebSocket; resolves with {open, code} once it opened, or once it closed unopened.
function openSocket(url) {
  return new Promise((resolve) => {
    const ws = new WebSocket(url);
    ws.onopen = () => resolve({ ws, open: true });
    ws.onclose = (ev) => resolve({ ws, open: false, code: ev.code });
  });
}

async function run() {
  const login = await json('/api/v1/auth/login', {
    method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ username: 'sysop', password: 'secret1' }) });
  results.login = { status: login.status, type: login.type };
  const token = login.body.data.token;
  const auth = { Authorization: 'Bearer ' + token };

  const users = await json('/api/v1/users', { headers: auth });
  results.users = { status: users.status, body: users.body };

  // The browser itself checks the 101 answer (Upgrade, Connection, Sec-WebSocket-Accept).
  const wsUrl = 'ws://' + location.host + '/ws?token=';
  const refused = await openSocket(wsUrl + 'not-a-token');
  results.ws_refused = { open: refused.open, code: refused.code };
  const sock = await openSocket(wsUrl + encodeURIComponent(token));
  results.ws = { open: sock.open };
  if (sock.open) {
    const ws = sock.ws;
    const welcome = await nextMessage(ws, (m) => m.type === 'welcome', 5000);
    results.ws.welcome = welcome && welcome.server_name;
    ws.send(JSON.stringify({ type: 'subscribe', events: ['log_entry'] }));
    // The subscription is not acknowledged: a user created before the hub took it pushes
    // nothing, so another is created until one's log line arrives.
    for (let i = 1; i <= 3 && !results.log_entry; i++) {
      const name = 'webuser' + i;
      const wanted = nextMessage(ws, (m) => m.type === 'event' && m.event === 'log_entry' &&
                                            m.data.message.startsWith('User ' + name + ' '), 2000);
      const created = await json('/api/v1/users', {
        method: 'POST', headers: Object.assign({ 'Content-Type': 'application/json' }, auth),
        body: JSON.stringify({ username: name, password: 'pw-' + name }) });
      results.created = created.status;
      const ev = await wanted;
      if (ev) results.log_entry = ev.data;
    }
    ws.close();
  }

  // Applied only when the server says text/css (the document is in standards mode).
  results.css_width = getComputedStyle(document.getElementById('probe')).width;

  // The HTTP cache: a second fetch of a fresh resource transfers nothing.
  const cache = {};
  for (const path of ['/js/lib.js?v=1', '/js/lib.js', '/browser.html']) {
    let header = null;
    for (let n = 0; n < 2; n++) {
      const r = await fetch(path);
      header = r.headers.get('cache-control');
      await r.text();
    }
    const url = new URL(path, location.href).href;
    const sizes = performance.getEntriesByType('resource').filter((e) => e.name === url).map((e) => e.transferSize);
    cache[path] = { header, sizes };
  }
  results.cache = cache;
}

run().catch((e) => { results.error = String(e && e.stack || e); })
  .finally(() => { results.done = true; document.getElementById('out').textContent = JSON.stringify(results); });
"""

# The page of another origin: each call's status, or how the browser refused it (a page sees the
# status only when the answer's CORS headers let it).
CROSS_PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"></head><body><pre id="out"></pre><script>
const api = 'http://127.0.0.1:%(port)d';
const token = new URLSearchParams(location.search).get('token');
const results = {};
async function attempt(name, path, init) {
  try {
    const r = await fetch(api + path, init);
    results[name] = { status: r.status };
  } catch (e) {
    results[name] = { refused: e.name };
  }
}
(async () => {
  const auth = { Authorization: 'Bearer ' + token };
  await attempt('users', '/api/v1/users', { headers: auth });
  await attempt('bad_token', '/api/v1/users', { headers: { Authorization: 'Bearer nope' } });
  await attempt('post_json', '/api/v1/auth/login', { method: 'POST', headers: { 'Content-Type': 'application/json' },
                body: JSON.stringify({ username: 'sysop', password: 'secret1' }) });
  await attempt('patch', '/api/v1/users', { method: 'PATCH', headers: auth });
  await attempt('static', '/browser.html', {});
})().finally(() => { results.done = true; document.getElementById('out').textContent = JSON.stringify(results); });
</script></body></html>
"""

OUT = "(() => { const o = document.getElementById('out'); return o && o.textContent; })()"


class _CrossOrigin(http.server.BaseHTTPRequestHandler):
    page = b""

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(self.page)))
        self.end_headers()
        self.wfile.write(self.page)

    def log_message(self, *args):
        pass


class Browser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.browser = Chromium(timeout=20)  # skips when chromium is missing
        files = {"browser.html": PAGE, "js/app.js": APP_JS, "js/lib.js": "export const lib = 1;\n",
                 "css/app.css": "#probe { width: 123px; }\n"}
        cls.srv = OVServer(web_files=files)
        try:
            cls.srv.start()
            cls.token = cls.srv.setup_admin()
            cls.browser.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()
        cls.browser.close()  # with no other child process left (it reaps the browser's helpers)

    def page_results(self, url):
        self.browser.navigate(url)
        text = self.browser.wait_for(OUT, timeout=20)
        self.assertTrue(text, "the page wrote no results")
        return json.loads(text)

    def test_page_from_the_web_root(self):
        r = self.page_results("http://127.0.0.1:%d/browser.html" % self.srv.port)
        self.assertNotIn("error", r)
        self.assertEqual(r["login"], {"status": 200, "type": "application/json"})
        self.assertEqual(r["users"]["status"], 200)
        self.assertEqual([u["username"] for u in r["users"]["body"]["data"]["items"]], ["sysop"])
        # The module script ran (a JavaScript type), the style sheet applied (text/css).
        self.assertEqual(r["css_width"], "123px")
        # WebSocket: a refused token never opens; a valid one passes the browser's handshake
        # checks and follows the log at the configured level.
        self.assertEqual(r["ws_refused"], {"open": False, "code": 1006})
        self.assertEqual(r["ws"], {"open": True, "welcome": "Orvanta BBS"})
        self.assertEqual(r["created"], 201)
        entry = r.get("log_entry")
        self.assertIsNotNone(entry, r)
        self.assertEqual(list(entry), ["timestamp", "level", "source", "category", "message"])
        self.assertEqual(entry["level"], "info")
        self.assertRegex(entry["message"], r"^User webuser\d .* created by sysop$")
        # The cache: ?v= (a year, immutable) and plain files (300 s) come from the browser's
        # cache the second time; HTML (no-cache) is fetched again.
        cache = r["cache"]
        self.assertEqual(cache["/js/lib.js?v=1"]["header"], "public, max-age=31536000, immutable")
        self.assertEqual(cache["/js/lib.js"]["header"], "public, max-age=300")
        self.assertEqual(cache["/browser.html"]["header"], "no-cache, must-revalidate")
        for path in ("/js/lib.js?v=1", "/js/lib.js"):
            sizes = cache[path]["sizes"]
            self.assertEqual(len(sizes), 2, cache)
            self.assertGreater(sizes[0], 0, cache)
            self.assertEqual(sizes[1], 0, cache)
        self.assertTrue(all(s > 0 for s in cache["/browser.html"]["sizes"]), cache)

    def test_another_origin(self):
        _CrossOrigin.page = (CROSS_PAGE % {"port": self.srv.port}).encode()
        other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _CrossOrigin)
        thread = threading.Thread(target=other.serve_forever, daemon=True)
        thread.start()
        try:
            r = self.page_results("http://127.0.0.1:%d/cross.html?token=%s" % (other.server_address[1], self.token))
        finally:
            other.shutdown()
            other.server_close()
            thread.join(5)
        # Preflighted calls (Authorization, a JSON body) pass, error answers included; a method
        # the preflight does not allow and a static file without CORS headers are refused.
        self.assertEqual(r["users"], {"status": 200})
        self.assertEqual(r["bad_token"], {"status": 401})
        self.assertEqual(r["post_json"], {"status": 200})
        self.assertEqual(r["patch"], {"refused": "TypeError"})
        self.assertEqual(r["static"], {"refused": "TypeError"})


if __name__ == "__main__":
    unittest.main()
