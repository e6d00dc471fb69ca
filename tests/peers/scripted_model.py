#!/usr/bin/env python3
"""A stand-in for the Messages API that answers Claude Code from a script, so tests can run the
real CLI offline and decide what the model "says".

Usage: scripted_model.py SCRIPT.json [REQUEST_LOG.jsonl]

Listens on 127.0.0.1 on a free port and prints that port on the first line of standard output.

SCRIPT.json is a list of steps. The request's conversation picks the step: step N answers a
request that already holds N assistant messages. A step is an object with
  "text": a text reply (may stand beside "tool_use", and then comes first),
  "tool_use": {"name": ..., "input": {...}, "id": optional} for a tool call, or
  "status": an HTTP error status, with an optional "error_type" and "message".
Requests that are not the scripted conversation (no tools offered, e.g. the CLI's title or
topic requests) and requests past the end of the script get a short text reply.

Every request is appended to REQUEST_LOG.jsonl as {"method", "path", "body"} so a test can
inspect what the CLI sent.
"""

import json
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

MAX_BODY_BYTES = 64 * 1024 * 1024
FALLBACK_TEXT = "OK."

ERROR_TYPES = {
    400: "invalid_request_error",
    401: "authentication_error",
    403: "permission_error",
    404: "not_found_error",
    413: "request_too_large",
    429: "rate_limit_error",
    529: "overloaded_error",
}


def assistant_message_count(body):
    messages = body.get("messages")
    if not isinstance(messages, list):
        return 0
    return sum(1 for message in messages if isinstance(message, dict) and message.get("role") == "assistant")


def is_scripted_conversation(body):
    tools = body.get("tools")
    return isinstance(tools, list) and len(tools) > 0


def content_blocks(step, step_number):
    blocks = []
    if isinstance(step.get("text"), str):
        blocks.append({"type": "text", "text": step["text"]})
    tool = step.get("tool_use")
    if isinstance(tool, dict):
        blocks.append({
            "type": "tool_use",
            "id": tool.get("id", "toolu_%02d" % (step_number + 1)),
            "name": tool.get("name", ""),
            "input": tool.get("input", {}),
        })
    if not blocks:
        blocks.append({"type": "text", "text": FALLBACK_TEXT})
    return blocks


def stop_reason(blocks):
    return "tool_use" if any(block["type"] == "tool_use" for block in blocks) else "end_turn"


def usage():
    return {"input_tokens": 12, "output_tokens": 7, "cache_creation_input_tokens": 0, "cache_read_input_tokens": 0}


def server_sent_events(model, blocks, message_id):
    def event(name, data):
        return "event: %s\ndata: %s\n\n" % (name, json.dumps(data))

    parts = [event("message_start", {
        "type": "message_start",
        "message": {
            "id": message_id, "type": "message", "role": "assistant", "model": model, "content": [],
            "stop_reason": None, "stop_sequence": None, "usage": {"input_tokens": 12, "output_tokens": 1},
        },
    })]
    for index, block in enumerate(blocks):
        if block["type"] == "text":
            start, delta = {"type": "text", "text": ""}, {"type": "text_delta", "text": block["text"]}
        else:
            start = {"type": "tool_use", "id": block["id"], "name": block["name"], "input": {}}
            delta = {"type": "input_json_delta", "partial_json": json.dumps(block["input"])}
        parts.append(event("content_block_start", {"type": "content_block_start", "index": index, "content_block": start}))
        parts.append(event("content_block_delta", {"type": "content_block_delta", "index": index, "delta": delta}))
        parts.append(event("content_block_stop", {"type": "content_block_stop", "index": index}))
    parts.append(event("message_delta", {
        "type": "message_delta",
        "delta": {"stop_reason": stop_reason(blocks), "stop_sequence": None},
        "usage": {"output_tokens": 7},
    }))
    parts.append(event("message_stop", {"type": "message_stop"}))
    return "".join(parts).encode()


class ScriptedModel(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "ScriptedModel/1"

    def log_message(self, format, *args):
        pass

    def send_body(self, status, content_type, payload):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload)))
        self.send_header("request-id", "req_scripted")
        self.end_headers()
        self.wfile.write(payload)

    def send_json(self, status, value):
        self.send_body(status, "application/json", json.dumps(value).encode())

    def send_error_json(self, status, error_type, message):
        self.send_json(status, {"type": "error", "error": {"type": error_type, "message": message}})

    def read_body(self):
        """(True, the JSON body or its text when it is not JSON), or (False, None) after answering a bad length."""
        length = self.headers.get("Content-Length")
        if length is None or not length.isdigit():
            self.close_connection = True
            self.send_error_json(411, "invalid_request_error", "A Content-Length is required.")
            return False, None
        if int(length) > MAX_BODY_BYTES:
            self.close_connection = True
            self.send_error_json(413, "request_too_large", "The request body is too large.")
            return False, None
        raw = self.rfile.read(int(length))
        try:
            body = json.loads(raw)
        except ValueError:
            body = raw.decode("utf-8", "replace")
        self.server.log_request_body(self.command, self.path, body)
        return True, body

    def do_GET(self):
        self.server.log_request_body(self.command, self.path, None)
        self.send_error_json(404, "not_found_error", "Not found.")

    def do_POST(self):
        complete, body = self.read_body()
        if not complete:
            return
        if not isinstance(body, dict):
            self.send_error_json(400, "invalid_request_error", "The body is not a JSON object.")
            return
        path = urlsplit(self.path).path
        if path == "/v1/messages/count_tokens":
            self.send_json(200, {"input_tokens": max(1, len(json.dumps(body)) // 4)})
        elif path == "/v1/messages":
            self.answer_message(body)
        else:
            self.send_error_json(404, "not_found_error", "Not found.")

    def answer_message(self, body):
        model = body.get("model") if isinstance(body.get("model"), str) else "claude-scripted"
        step_number = assistant_message_count(body)
        step = {}
        if is_scripted_conversation(body) and step_number < len(self.server.script):
            step = self.server.script[step_number]
        if isinstance(step.get("status"), int):
            status = step["status"]
            self.send_error_json(status, step.get("error_type", ERROR_TYPES.get(status, "api_error")),
                                 step.get("message", "Scripted failure."))
            return
        blocks = content_blocks(step, step_number)
        message_id = "msg_%02d" % (step_number + 1)
        if body.get("stream") is True:
            self.send_body(200, "text/event-stream", server_sent_events(model, blocks, message_id))
            return
        self.send_json(200, {
            "id": message_id, "type": "message", "role": "assistant", "model": model, "content": blocks,
            "stop_reason": stop_reason(blocks), "stop_sequence": None, "usage": usage(),
        })


class ScriptedServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, script, log_path):
        super().__init__(("127.0.0.1", 0), ScriptedModel)
        self.script = script
        self.log_path = log_path
        self.log_lock = threading.Lock()

    def log_request_body(self, method, path, body):
        if not self.log_path:
            return
        line = json.dumps({"method": method, "path": path, "body": body})
        with self.log_lock, open(self.log_path, "a", encoding="utf-8") as log:
            log.write(line + "\n")


def load_script(path):
    with open(path, encoding="utf-8") as file:
        script = json.load(file)
    if not isinstance(script, list) or not all(isinstance(step, dict) for step in script):
        raise SystemExit("%s: the script must be a JSON list of step objects" % path)
    return script


def main():
    if len(sys.argv) not in (2, 3):
        raise SystemExit("usage: scripted_model.py SCRIPT.json [REQUEST_LOG.jsonl]")
    server = ScriptedServer(load_script(sys.argv[1]), sys.argv[2] if len(sys.argv) == 3 else None)
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
