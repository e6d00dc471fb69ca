// The independent HPKE peer: @hpke/core with DHKEM(P-256, HKDF-SHA256), HKDF-SHA256, AES-256-GCM in
// auth mode. Reads JSON lines {"op": "seal"|"open", ...} with hex fields and writes one JSON line each:
// seal: {own, peer, info, aad, pt} -> {enc, ct}; open: {own, peer, info, aad, enc, ct} -> {pt} or {error}.
// "own" is the private scalar, "peer" the other end's uncompressed public key.
import { Aes256Gcm, CipherSuite, DhkemP256HkdfSha256, HkdfSha256 } from "@hpke/core";
import { createInterface } from "node:readline";
import { createECDH } from "node:crypto";

const suite = new CipherSuite({ kem: new DhkemP256HkdfSha256(), kdf: new HkdfSha256(), aead: new Aes256Gcm() });
const bytes = (hex) => new Uint8Array(Buffer.from(hex, "hex"));
const hex = (buffer) => Buffer.from(new Uint8Array(buffer)).toString("hex");
const b64url = (buffer) => Buffer.from(buffer).toString("base64url");

// WebCrypto cannot derive a public key from a private one: node's ECDH gives the point, and the pair is
// imported as a JWK and a raw public key.
async function keyPair(scalarHex) {
    const ecdh = createECDH("prime256v1");
    ecdh.setPrivateKey(Buffer.from(scalarHex, "hex"));
    const point = ecdh.getPublicKey();
    const jwk = { kty: "EC", crv: "P-256", d: b64url(bytes(scalarHex)), x: b64url(point.subarray(1, 33)), y: b64url(point.subarray(33, 65)) };
    return { privateKey: await suite.kem.importKey("jwk", jwk, false), publicKey: await suite.kem.importKey("raw", new Uint8Array(point).buffer, true) };
}

for await (const line of createInterface({ input: process.stdin })) {
    const request = JSON.parse(line);
    const own = await keyPair(request.own);
    const peer = await suite.kem.importKey("raw", bytes(request.peer).buffer, true);
    try {
        if (request.op === "seal") {
            const sender = await suite.createSenderContext({ recipientPublicKey: peer, senderKey: own, info: bytes(request.info) });
            const ct = await sender.seal(bytes(request.pt), bytes(request.aad));
            console.log(JSON.stringify({ enc: hex(sender.enc), ct: hex(ct) }));
        } else {
            const recipient = await suite.createRecipientContext({ recipientKey: own, enc: bytes(request.enc).buffer, senderPublicKey: peer, info: bytes(request.info) });
            console.log(JSON.stringify({ pt: hex(await recipient.open(bytes(request.ct), bytes(request.aad))) }));
        }
    } catch (error) {
        console.log(JSON.stringify({ error: String(error) }));
    }
}
