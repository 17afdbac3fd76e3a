// Drives the third-party SW-P-08 client probel-swp-08 for tst_swp08client: one JSON array a
// line on standard input names a method and its arguments (["route", 1, 5, 3]); each answer
// comes back as one line {"reply": ...}, and every crosspoint the client hears as
// {"crosspoint": ...}. ["raw", "hex"] writes bytes on the client's own connection.
// Usage: node client.js PORT SOURCES DESTINATIONS   (NODE_PATH holds probel-swp-08)
"use strict";
const Probel = require("probel-swp-08");
const readline = require("readline");

const [port, sources, destinations] = process.argv.slice(2).map(Number);
const client = new Probel("127.0.0.1", { port, sources, destinations, levels: 2, chars: 8 });
const say = (o) => process.stdout.write(JSON.stringify(o) + "\n");
client.on("crosspoint", (data) => say({ crosspoint: data }));

// One request at a time: the client matches answers by command number only.
let chain = Promise.resolve();
readline.createInterface({ input: process.stdin }).on("line", (line) => {
  chain = chain.then(async () => {
    const [method, ...args] = JSON.parse(line);
    if (method === "raw") {
      client.client.write(Buffer.from(args[0], "hex"));
      return say({ reply: true });
    }
    if (method === "tallies") return say({ reply: client.tallies });
    say({ reply: await client[method](...args) });
  }).catch((e) => say({ error: String(e) }));
}).on("close", () => chain.then(() => process.exit(0)));
