// Drives one of the third-party Ember+ consumers for tst_emberconsumer: one JSON array a line on
// standard input names a command and its arguments; each answer comes back as one line
// {"reply": ...} or {"error": "..."}, every matrix change the consumer hears as
// {"matrix": PATH, "connections": {TARGET: [SOURCES]}, "dispositions": {TARGET: NAME}}, and a
// lost connection as {"disconnected": true}. Paths are numbers joined by dots ("1.3.1.0") or
// identifiers joined by slashes ("switcher/labels/targets/t0").
//   ["tree"]                       root directory, then every element below it; the tree held
//   ["get", PATH]                  the element as the consumer finds it
//   ["labels", PATH]               the matrix's label basePaths and the names under them
//   ["subscribe", PATH]            directory of a matrix with a callback for its changes
//   ["connect", PATH, T, S]        connect source S to target T; the answer's connections
//   ["set", PATH, VALUE]           set a string parameter; its value after the answer
//   ["stopKeepAlive"]              the consumer sends no keep-alive requests of its own
//   ["connected"]
// Usage: node consumer.js emberplus-connection|node-emberplus PORT  (NODE_PATH holds both)
"use strict";
const readline = require("readline");

const [lib, port] = [process.argv[2], Number(process.argv[3])];
const say = (o) => process.stdout.write(JSON.stringify(o) + "\n");
const dispositionNames = ["tally", "modified", "pending", "locked"];
const summary = (connections) => {
  const out = { connections: {}, dispositions: {} };
  for (const c of Object.values(connections || {})) {
    out.connections[c.target] = (c.sources || []).map(Number);
    if (c.disposition !== undefined)
      out.dispositions[c.target] = typeof c.disposition === "number" ? dispositionNames[c.disposition] : String(c.disposition).toLowerCase();
  }
  return out;
};

// emberplus-connection: concurrent requests matched by path; identifiers joined by dots.
function epc() {
  const { EmberClient } = require("emberplus-connection");
  const { getPath } = require("emberplus-connection/dist/Ember/Lib/util");
  const c = new EmberClient("127.0.0.1", port, 3000);
  c.on("error", (e) => process.stderr.write(`emberplus-connection: ${e.message || e}\n`));
  c.on("disconnected", () => say({ disconnected: true }));
  const ask = async (request) => (await request).response;
  const at = (path) => path.split(".").reduce((n, k) => n && (n === c.tree ? n[k] : n.children && n.children[k]), c.tree);
  // Its path look-ups start from a root it has already fetched.
  const find = async (path) => {
    if (!Object.keys(c.tree).length) await ask(c.getDirectory(c.tree));
    const n = path.includes("/") ? await c.getElementByPath(path.split("/").join(".")) : at(path) || (await c.getElementByPath(path));
    if (!n) throw new Error(`no element at ${path}`);
    return n;
  };
  const describe = (n) => {
    const k = n.contents;
    const d = { path: getPath(n), identifier: k.identifier, type: String(k.type).toLowerCase() };
    if (k.value !== undefined) d.value = k.value;
    if (k.type === "MATRIX")
      Object.assign(d, { targetCount: k.targetCount, sourceCount: k.sourceCount, labels: (k.labels || []).map((l) => l.basePath) });
    return d;
  };
  const walk = (nodes, out) => {
    for (const n of Object.values(nodes || {})) {
      out[getPath(n)] = describe(n);
      walk(n.children, out);
    }
    return out;
  };
  return {
    connect: async () => {
      await c.connect();
      if (!c.connected) throw new Error("not connected");
    },
    tree: async () => {
      await ask(c.getDirectory(c.tree));
      for (const root of Object.values(c.tree)) await c.expand(root);
      return walk(c.tree, {});
    },
    get: async (path) => describe(await find(path)),
    labels: async (path) => {
      const out = {};
      for (const basePath of describe(await find(path)).labels) {
        const base = await c.getElementByPath(basePath);
        await c.expand(base);
        Object.assign(out, walk(base.children, {}));
      }
      return out;
    },
    subscribe: async (path) => {
      const matrix = await find(path);
      const node = await ask(c.getDirectory(matrix, undefined, (m) => say({ matrix: getPath(m), ...summary(m.contents.connections) })));
      return summary(node.contents.connections);
    },
    connect_: async (path, target, source) => summary((await ask(c.matrixConnect(await find(path), target, [source]))).contents.connections),
    set: async (path, value) => (await ask(c.setValue(await find(path), value))).contents.value,
    stopKeepAlive: () => clearInterval(c._client.keepaliveIntervalTimer),
    connected: () => c.connected,
  };
}

// node-emberplus: one request at a time; identifiers joined by slashes.
function nep() {
  const { EmberClient, EmberClientEvent } = require("node-emberplus");
  const c = new EmberClient({ host: "127.0.0.1", port, timeoutValue: 3000 });
  c.on(EmberClientEvent.ERROR, (e) => process.stderr.write(`node-emberplus: ${e.message || e}\n`));
  c.on(EmberClientEvent.DISCONNECTED, () => say({ disconnected: true }));
  // Its dead-link timer closes the socket without a disconnected event.
  c.socket.on("dead", () => say({ disconnected: true }));
  const find = async (path) => (!path.includes("/") && c.root.getElementByPath(path)) || c.getElementByPathAsync(path);
  const describe = (n) => {
    const k = n.contents || {};
    const d = { path: n.getPath(), identifier: k.identifier, type: n.isMatrix() ? "matrix" : n.isParameter() ? "parameter" : "node" };
    if (k.value !== undefined) d.value = k.value;
    if (n.isMatrix()) Object.assign(d, { targetCount: k.targetCount, sourceCount: k.sourceCount, labels: (k.labels || []).map((l) => l.basePath) });
    return d;
  };
  const walk = (node, out) => {
    for (const n of node.getChildren() || []) {
      out[n.getPath()] = describe(n);
      walk(n, out);
    }
    return out;
  };
  return {
    connect: () => c.connectAsync(),
    tree: async () => {
      await c.expandAsync(c.root);
      return walk(c.root, {});
    },
    get: async (path) => describe(await find(path)),
    labels: async (path) => {
      const matrix = await find(path);
      // Expanding a matrix follows its labels' basePaths.
      await c.expandAsync(matrix);
      const out = {};
      for (const l of matrix.contents.labels || []) Object.assign(out, walk(c.root.getElementByPath(l.basePath), {}));
      return out;
    },
    subscribe: async (path) => {
      const matrix = await find(path);
      await c.getDirectoryAsync(matrix, (m) => say({ matrix: m.getPath(), ...summary(m.connections) }));
      return summary(matrix.connections);
    },
    connect_: async (path, target, source) => summary((await c.matrixConnectAsync(await find(path), target, [source])).connections),
    set: async (path, value) => {
      const parameter = await find(path);
      await c.setValueAsync(parameter, value);
      return parameter.contents.value;
    },
    stopKeepAlive: () => c.socket.stopKeepAlive(),
    connected: () => c.isConnected(),
  };
}

const consumer = lib === "emberplus-connection" ? epc() : lib === "node-emberplus" ? nep() : null;
if (!consumer) {
  process.stderr.write("usage: node consumer.js emberplus-connection|node-emberplus PORT\n");
  process.exit(2);
}
let chain = consumer.connect();
readline.createInterface({ input: process.stdin }).on("line", (line) => {
  chain = chain
    .then(async () => {
      const [command, ...args] = JSON.parse(line);
      const f = consumer[command === "connect" ? "connect_" : command];
      if (!f) throw new Error(`unknown command ${command}`);
      say({ reply: (await f(...args)) ?? null });
    })
    .catch((e) => say({ error: String((e && e.message) || e) }));
}).on("close", () => chain.finally(() => process.exit(0)));
