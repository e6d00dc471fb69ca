// A client of the npm package ws that opens the terminal's WebSocket and closes it at once without a
// close code. Prints "close CODE" with the code of the server's answering close frame (1005 when it
// carried none).
//   node websocket_client.mjs URL CA_FILE
import { readFileSync } from "node:fs";
import WebSocket from "ws";

const socket = new WebSocket(process.argv[2], { ca: readFileSync(process.argv[3]) });
socket.on("open", () => socket.close());
socket.on("close", (code) => console.log("close", code));
socket.on("error", (error) => console.log("error", error.message));
