// The same fan-out on the Node.js "ws" package, for comparison with bench_ws_hub.
//   node ws_node_server.js <port>
const { WebSocketServer } = require('ws');
const port = parseInt(process.argv[2], 10);
const wss = new WebSocketServer({ host: '127.0.0.1', port, perMessageDeflate: false });
wss.on('connection', (ws) => {
  ws.send(JSON.stringify({ type: 'welcome' }));
  ws.on('message', (data) => {
    let m;
    try { m = JSON.parse(data); } catch (e) { return; }
    if (m.type === 'subscribe') {
      ws.sub = true;
    } else if (m.type === 'plugin_call') {
      ws.send(JSON.stringify({ type: 'plugin_call_result', id: m.id }));
    } else if (m.type === 'bench_fire') {
      const pad = 'x'.repeat(m.size || 64);
      const count = m.count || 1000;
      const rate = m.rate || 0;  // events per second; 0: one burst
      const fire = (i) => {
        const msg = JSON.stringify({ type: 'event', event: 'bench',
          data: { seq: i, t: Number(process.hrtime.bigint()), pad } });
        for (const c of wss.clients) if (c.sub && c.readyState === 1) c.send(msg);
      };
      if (!rate) {
        for (let i = 0; i < count; i++) fire(i);
      } else {
        const start = process.hrtime.bigint();
        let i = 0;
        const tick = () => {
          const due = Math.min(count, Math.floor(Number(process.hrtime.bigint() - start) * rate / 1e9) + 1);
          while (i < due) fire(i++);
          if (i < count) setImmediate(tick);
        };
        tick();
      }
    }
  });
});
wss.on('listening', () => console.log('ready ' + port));
