// The frame writer and reader of the npm package ws (its Sender and Receiver), used as an independent
// WebSocket client. Same usage and formats as websocket_frames.py:
//   node websocket_frames.mjs write|read
import { Receiver, Sender } from "ws";

const chunks = [];
for await (const chunk of process.stdin) chunks.push(chunk);
const input = Buffer.concat(chunks);
const opcodes = { continuation: 0, text: 1, binary: 2, close: 8, ping: 9, pong: 10 };

if (process.argv[2] === "write") {
  const frames = [];
  for (const line of input.toString().split("\n").filter((line) => line)) {
    const [opcode, number, hex] = line.split(" ");
    let data = Buffer.from(hex, "hex");
    if (opcode === "close") {
      const code = Buffer.alloc(2);
      code.writeUInt16BE(Number(number));
      data = Buffer.concat([code, data]);
    }
    const fin = opcode === "close" || opcode === "ping" || opcode === "pong" || number === "1";
    frames.push(...Sender.frame(data, { fin, opcode: opcodes[opcode], mask: true, readOnly: false, rsv1: false }));
  }
  process.stdout.write(Buffer.concat(frames));
} else {
  const receiver = new Receiver({ isServer: false, maxPayload: 0 });
  receiver.on("message", (data, isBinary) => console.log(isBinary ? "binary" : "text", data.toString("hex")));
  receiver.on("ping", (data) => console.log("ping", data.toString("hex")));
  receiver.on("pong", (data) => console.log("pong", data.toString("hex")));
  receiver.on("conclude", (code, reason) => console.log("close", code, reason.toString("hex")));
  receiver.on("error", () => {
    console.log("failed");
    process.exitCode = 1;
  });
  receiver.write(input);
}
