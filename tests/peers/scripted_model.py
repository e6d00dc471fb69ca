#!/usr/bin/env python3
# A stand-in for the Messages API that answers Claude Code from a script, so that tests run the real CLI
# offline and decide what the model "says". Usage: scripted_model.py SCRIPT.json [REQUEST_LOG.jsonl]
# It listens on 127.0.0.1 and prints its port on the first line of standard output.
# SCRIPT.json is a list of steps; step N answers a request that already holds N assistant messages. A step
# has "text" (a text reply, first when beside a tool call), "tool_use" {"name", "input", "id"?} (a tool
# call) or "status" (an HTTP error, with an optional "error_type" and "message"). Requests outside the
# scripted conversation (no tools offered, as the CLI's title requests) or past the script's end get a
# short text. Every request is appended to REQUEST_LOG.jsonl as {"method", "path", "body", "at"}, "at" being
# the seconds of a monotonic clock when the request was read, so that a benchmark can time the CLI between
# an answer and its next request.
import json
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

MAX_BODY_BYTES = 64 * 1024 * 1024
ERROR_TYPES = {400: "invalid_request_error", 401: "authentication_error", 403: "permission_error",
               404: "not_found_error", 413: "request_too_large", 429: "rate_limit_error", 529: "overloaded_error"}


def content_blocks(step, number):
    blocks = [{"type": "text", "text": step["text"]}] if isinstance(step.get("text"), str) else []
    tool = step.get("tool_use")
    if isinstance(tool, dict):
        blocks.append({"type": "tool_use", "id": tool.get("id", "toolu_%02d" % (number + 1)),
                       "name": tool.get("name", ""), "input": tool.get("input", {})})
    return blocks or [{"type": "text", "text": "OK."}]


def reply(model, blocks, number, streamed):
    """The answer as one message, or as the server-sent events of a stream."""
    stop = "tool_use" if any(block["type"] == "tool_use" for block in blocks) else "end_turn"
    head = {"id": "msg_%02d" % (number + 1), "type": "message", "role": "assistant", "model": model}
    if not streamed:
        return json.dumps(dict(head, content=blocks, stop_reason=stop, stop_sequence=None, usage={
            "input_tokens": 12, "output_tokens": 7, "cache_creation_input_tokens": 0,
            "cache_read_input_tokens": 0}))
    events = [("message_start", {"message": dict(head, content=[], stop_reason=None, stop_sequence=None,
                                                 usage={"input_tokens": 12, "output_tokens": 1})})]
    for index, block in enumerate(blocks):
        if block["type"] == "text":
            start, delta = {"type": "text", "text": ""}, {"type": "text_delta", "text": block["text"]}
        else:
            start = dict(block, input={})
            delta = {"type": "input_json_delta", "partial_json": json.dumps(block["input"])}
        events += [("content_block_start", {"index": index, "content_block": start}),
                   ("content_block_delta", {"index": index, "delta": delta}),
                   ("content_block_stop", {"index": index})]
    events += [("message_delta", {"delta": {"stop_reason": stop, "stop_sequence": None},
                                  "usage": {"output_tokens": 7}}), ("message_stop", {})]
    return "".join("event: %s\ndata: %s\n\n" % (name, json.dumps(dict(type=name, **data))) for name, data in events)


class ScriptedModel(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "ScriptedModel/1"

    def log_message(self, format, *args):
        pass

    def send(self, status, text, content_type="application/json"):
        payload = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload)))
        self.send_header("request-id", "req_scripted")
        self.end_headers()
        self.wfile.write(payload)

    def refuse(self, status, error_type, message):
        self.send(status, json.dumps({"type": "error", "error": {"type": error_type, "message": message}}))

    def logged(self, body):
        if self.server.log_path:
            with self.server.log_lock, open(self.server.log_path, "a", encoding="utf-8") as log:
                log.write(json.dumps({"method": self.command, "path": self.path, "body": body,
                                     "at": time.monotonic()}) + "\n")
        return body

    def do_GET(self):
        self.logged(None)
        self.refuse(404, "not_found_error", "Not found.")

    def do_POST(self):
        length = self.headers.get("Content-Length", "")
        if not length.isdigit() or int(length) > MAX_BODY_BYTES:
            # A body without a bounded length cannot be read to its end: the connection goes with it.
            self.close_connection = True
            if length.isdigit():
                return self.refuse(413, "request_too_large", "The request body is too large.")
            return self.refuse(411, "invalid_request_error", "A Content-Length is required.")
        raw = self.rfile.read(int(length))
        try:
            body = self.logged(json.loads(raw))
        except ValueError:
            body = self.logged(raw.decode("utf-8", "replace"))
        path = urlsplit(self.path).path
        if not isinstance(body, dict):
            self.refuse(400, "invalid_request_error", "The body is not a JSON object.")
        elif path == "/v1/messages/count_tokens":
            self.send(200, json.dumps({"input_tokens": max(1, len(json.dumps(body)) // 4)}))
        elif path == "/v1/messages":
            self.answer(body)
        else:
            self.refuse(404, "not_found_error", "Not found.")

    def answer(self, body):
        model = body["model"] if isinstance(body.get("model"), str) else "claude-scripted"
        messages = body["messages"] if isinstance(body.get("messages"), list) else []
        number = sum(1 for message in messages if isinstance(message, dict) and message.get("role") == "assistant")
        scripted = isinstance(body.get("tools"), list) and body["tools"] and number < len(self.server.script)
        step = self.server.script[number] if scripted else {}
        if isinstance(step.get("status"), int):
            return self.refuse(step["status"], step.get("error_type", ERROR_TYPES.get(step["status"], "api_error")),
                               step.get("message", "Scripted failure."))
        streamed = body.get("stream") is True
        self.send(200, reply(model, content_blocks(step, number), number, streamed),
                  "text/event-stream" if streamed else "application/json")


if len(sys.argv) not in (2, 3):
    sys.exit("usage: scripted_model.py SCRIPT.json [REQUEST_LOG.jsonl]")
with open(sys.argv[1], encoding="utf-8") as file:
    script = json.load(file)
if not isinstance(script, list) or not all(isinstance(step, dict) for step in script):
    sys.exit("%s: the script must be a JSON list of step objects" % sys.argv[1])
server = ThreadingHTTPServer(("127.0.0.1", 0), ScriptedModel)
server.daemon_threads = True
server.script, server.log_path, server.log_lock = script, sys.argv[2] if len(sys.argv) == 3 else None, threading.Lock()
print(server.server_address[1], flush=True)
server.serve_forever()
