// Seals one mailbox envelope from the phone to the Mac with @hpke/core, building every byte itself from
// the protocol's own description (header, HPKE info and additional data, plaintext framing, wire
// metadata), from fixed keys and names, and prints it with what the opener needs as one JSON object.
// Its output is kept as tests/MovraneMailbox/Protocol/golden/hpke-core-envelope.json; the HPKE
// ephemeral key is random, so each run prints another envelope that opens the same way.
import { Aes256Gcm, CipherSuite, DhkemP256HkdfSha256, HkdfSha256 } from "@hpke/core";
import { createECDH, createHash } from "node:crypto";

const suite = new CipherSuite({ kem: new DhkemP256HkdfSha256(), kdf: new HkdfSha256(), aead: new Aes256Gcm() });
const b64url = (bytes) => Buffer.from(bytes).toString("base64url");

const macPrivateKey = "6d61632d707269766174652d6b65792d666f722d7468652d676f6c64656e2d31";
const devicePrivateKey = "6465766963652d707269766174652d6b65792d666f722d676f6c64656e2d3031";
const deviceId = "d-0123456789abcdef";
const zone = "pair-" + "Zz09_-".repeat(3) + "Zz09";
const record = "e-" + "Rr18-_".repeat(3) + "Rr18";
const messageId = "Mm27_-".repeat(3) + "Mm27";
const seq = 1_740_787_200_000n * 1024n;
const createdAt = 1_740_787_200_000n;
const expiresAt = createdAt + 900_000n;
const body = Buffer.from('{"message":"Hello from the golden phone."}');

function publicKey(scalarHex) {
    const ecdh = createECDH("prime256v1");
    ecdh.setPrivateKey(Buffer.from(scalarHex, "hex"));
    return ecdh.getPublicKey();
}

async function keyPair(scalarHex) {
    const point = publicKey(scalarHex);
    const jwk = { kty: "EC", crv: "P-256", d: b64url(Buffer.from(scalarHex, "hex")), x: b64url(point.subarray(1, 33)), y: b64url(point.subarray(33, 65)) };
    return { privateKey: await suite.kem.importKey("jwk", jwk, false), publicKey: await suite.kem.importKey("raw", new Uint8Array(point).buffer, true) };
}

// "dev-" and the Base64URL form of the first 16 bytes of SHA-256("vellumar-mailbox-device-v1" 00 id).
const deviceTag = "dev-" + b64url(createHash("sha256").update(Buffer.concat([Buffer.from("vellumar-mailbox-device-v1"), Buffer.from([0]), Buffer.from(deviceId)])).digest().subarray(0, 16));
const shortString = (text) => Buffer.concat([Buffer.from([Buffer.byteLength(text)]), Buffer.from(text)]);
const u64 = (value) => { const bytes = Buffer.alloc(8); bytes.writeBigUInt64BE(value); return bytes; };
const u32 = (value) => { const bytes = Buffer.alloc(4); bytes.writeUInt32BE(value); return bytes; };

const metadata = Buffer.from(JSON.stringify({ exp: Number(expiresAt), id: messageId, kind: "request", request: { headers: { accept: "application/json" }, method: "POST", path: "/v1/jobs" }, v: 1 }));
const plaintext = Buffer.concat([u32(metadata.length), metadata, body]);

const info = Buffer.concat([Buffer.from("Vellumar mailbox v1"), Buffer.from([0]), Buffer.from(zone)]);
const sender = await suite.createSenderContext({ recipientPublicKey: (await keyPair(macPrivateKey)).publicKey, senderKey: await keyPair(devicePrivateKey), info });
const enc = Buffer.from(sender.enc);
const header = Buffer.concat([Buffer.from("VLMB"), Buffer.from([1, 1]), shortString(deviceTag), shortString("mac"), u64(seq), u64(createdAt), Buffer.from([0, enc.length]), enc]);
const aad = Buffer.concat([Buffer.from("Vellumar mailbox v1 aad"), Buffer.from([0]), shortString(zone), shortString(record), header]);
const ciphertext = Buffer.from(await sender.seal(plaintext, aad));

console.log(JSON.stringify({
    macPrivateKey, devicePrivateKey, deviceId, zone, record, messageId,
    seq: seq.toString(), createdAt: Number(createdAt), expiresAt: Number(expiresAt), body: body.toString(),
    envelope: Buffer.concat([header, ciphertext]).toString("hex"),
}, null, 1));
