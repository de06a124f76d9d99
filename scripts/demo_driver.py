"""Drives the demo: receives the service's event callbacks, creates one task on the demo camera,
prints every event and the task's statistics, and deletes the task at the end."""
import argparse
import http.server
import json
import threading
import time
import urllib.error
import urllib.request


def call(method, url, body=None):
    data = json.dumps(body).encode() if body is not None else None
    req = urllib.request.Request(url, data=data, method=method, headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=10) as resp:
            return resp.status, json.loads(resp.read() or b"null")
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read() or b"null")


class Events(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.send_response(200)
        self.end_headers()
        event = json.loads(body)
        print("event:", json.dumps(event, sort_keys=True), flush=True)

    def log_message(self, *args):
        pass


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--api", required=True)
    p.add_argument("--camera", required=True)
    p.add_argument("--seconds", type=float, default=0, help="0: run until interrupted")
    args = p.parse_args()

    receiver = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Events)
    threading.Thread(target=receiver.serve_forever, daemon=True).start()
    callback = f"http://127.0.0.1:{receiver.server_address[1]}/v1/events"

    for _ in range(100):
        try:
            status, health = call("GET", args.api + "/v1/health")
            break
        except OSError:
            time.sleep(0.2)
    print("health:", json.dumps(health, sort_keys=True), flush=True)

    task = {
        "task_id": "demo-cam",
        "stream_id": "demo-stream",
        "stream_url": args.camera,
        "callback_url": callback,
        "fps": 5,
        "scene": {"change_threshold": 0.002, "blur_threshold": 0.0, "trigger_ms": 0, "cooldown_ms": 0},
        "rules": [{"type": "intrusion", "zones": [[[0.0, 0.0], [0.5, 0.0], [0.5, 1.0], [0.0, 1.0]]],
                   "min_duration_ms": 500, "min_hits": 2}],
    }
    status, created = call("POST", args.api + "/v1/tasks", task)
    print(f"create task: {status}", json.dumps(created, sort_keys=True), flush=True)
    if status != 201:
        raise SystemExit(1)
    print("detections stream: ws" + args.api[4:] + "/v1/streams/demo-stream/detections", flush=True)
    start = time.monotonic()
    try:
        while args.seconds <= 0 or time.monotonic() - start < args.seconds:
            time.sleep(5)
            status, snap = call("GET", args.api + "/v1/tasks/demo-cam")
            print("task:", snap.get("phase"), json.dumps(snap.get("statistics", {}), sort_keys=True), flush=True)
    except KeyboardInterrupt:
        pass
    finally:
        print("delete task:", call("DELETE", args.api + "/v1/tasks/demo-cam")[0], flush=True)
        time.sleep(1)


if __name__ == "__main__":
    main()
