// A client of the npm package ws that streams messages to an echoing WebSocket server, reading while
// it writes: about MEBIBYTES MiB of text and binary messages of 1 byte to 1 MiB, 1 to 16 frames per
// write (the socket is corked around each batch) with pings between them. Checks that every echo and
// every pong comes back intact and in order; prints "ok MESSAGES PINGS", or what went wrong.
//   node websocket_stream.mjs URL CA_FILE MEBIBYTES
import { randomBytes } from "node:crypto";
import { readFileSync } from "node:fs";
import WebSocket from "ws";

const MIB = 1 << 20;
const target = Number(process.argv[4]) * MIB;
const socket = new WebSocket(process.argv[2], { ca: readFileSync(process.argv[3]), maxPayload: 0 });
const echoes = []; // [isBinary, payload] owed by the server, in order
const pongs = [];
let messages = 0;
let pings = 0;
let written = 0;

function fail(reason) {
  console.log("failed:", reason);
  process.exit(1);
}

// Sizes spread evenly over the powers of two from 1 byte to 1 MiB, the limit included.
function randomMessage() {
  const size = Math.random() < 0.02 ? MIB : Math.max(1, Math.floor(2 ** (Math.random() * 20)));
  const isBinary = Math.random() < 0.5;
  const payload = isBinary ? randomBytes(size) : Buffer.from(randomBytes(size).toString("hex").slice(0, size));
  return [isBinary, payload];
}

function writeBatch() {
  if (written >= target) return settle();
  // ws writes each frame on its own; corked, one batch leaves in one TLS write.
  socket._socket.cork();
  const count = 1 + Math.floor(Math.random() * 16);
  for (let frame = 0; frame < count; ++frame) {
    const [isBinary, payload] = randomMessage();
    echoes.push([isBinary, payload]);
    messages += 1;
    written += payload.length;
    const last = frame === count - 1;
    socket.send(payload, { binary: isBinary }, last ? () => setImmediate(writeBatch) : undefined);
    if (Math.random() < 0.3) {
      const ping = Buffer.alloc(125, pings % 251);
      ping.writeUInt32BE(pings);
      pongs.push(ping);
      pings += 1;
      socket.ping(ping);
    }
  }
  socket._socket.uncork();
}

function settle() {
  if (written >= target && echoes.length === 0 && pongs.length === 0) socket.close(1000);
}

socket.on("open", writeBatch);
socket.on("message", (data, isBinary) => {
  const owed = echoes.shift();
  if (!owed || owed[0] !== isBinary || !owed[1].equals(data))
    fail(`echo ${messages - echoes.length} differs: ${data.length} bytes for ${owed && owed[1].length}`);
  settle();
});
socket.on("pong", (data) => {
  const owed = pongs.shift();
  if (!owed || !owed.equals(data)) fail(`unexpected pong after ${pings - pongs.length} pings`);
  settle();
});
socket.on("close", (code) => {
  if (code !== 1000 || echoes.length || pongs.length || written < target) fail(`closed with ${code}`);
  console.log("ok", messages, pings);
});
socket.on("error", (error) => fail(error.message));
setTimeout(() => fail("timed out"), 300_000).unref();
