"""Drives the demo: receives the service's event callbacks, creates one task on the demo camera
with an intrusion zone, prints every event with its people as it arrives and the task's statistics,
writes a picture of the latest frame with the zone and the detected people every few seconds, and
deletes the task at the end."""
import argparse
import base64
import collections
import http.server
import json
import os
import socket
import struct
import subprocess
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
import zlib

import numpy as np


def call(method, url, body=None):
    data = json.dumps(body).encode() if body is not None else None
    req = urllib.request.Request(url, data=data, method=method, headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=10) as resp:
            return resp.status, json.loads(resp.read() or b"null")
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read() or b"null")


def describe_box(box):
    return "x=%.3f y=%.3f w=%.3f h=%.3f" % (box["x"], box["y"], box["w"], box["h"])


class EventLog:
    """Pairs each person's intrusion end with its start by the track ids of the events' boxes, and
    drops the copies that a retried delivery brings (the same event_id)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._started = {}  # track id -> started_at (ms) of its open intrusion
        self._seen = set()  # event ids

    def describe(self, event):
        """The event's console line, or None for a copy of one already printed."""
        with self._lock:
            event_id = event.get("event_id")
            if event_id is not None:
                if event_id in self._seen:
                    return None
                self._seen.add(event_id)
            clock = time.strftime("%H:%M:%S")
            if event.get("event_type") == "scene_change":
                return f"{clock} scene change {event.get('event_state')}"
            ended = event.get("event_state") == "ended"
            people = []
            for b in event.get("boxes", []):
                track = b.get("track_id", "?")
                timing = ""
                if not ended:
                    self._started[track] = event.get("started_at")
                elif self._started.get(track):
                    timing = " after %.1f s" % ((event["ended_at"] - self._started.pop(track)) / 1000.0)
                else:
                    timing = ", start not seen"
                people.append(f"{track}{timing} (score {b['score']:.2f} {describe_box(b)})")
            return f"{clock} {event.get('event_type')} {event.get('event_state')}: " + ("; ".join(people) or "no box")


EVENTS = EventLog()


class Events(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.send_response(200)
        self.end_headers()
        line = EVENTS.describe(json.loads(body))
        if line is not None:
            print("event:", line, flush=True)

    def log_message(self, *args):
        pass


class Latest:
    """The newest value another thread has seen."""

    def __init__(self):
        self._lock = threading.Lock()
        self._value = None

    def set(self, value):
        with self._lock:
            self._value = value

    def get(self):
        with self._lock:
            return self._value


def read_exactly(stream, count):
    data = b""
    while len(data) < count:
        chunk = stream.read(count - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def follow_detections(api, stream_id, latest):
    """Keeps the newest "detections" message of the stream's WebSocket in `latest`; reconnects."""
    url = urllib.parse.urlparse(api)
    path = f"/v1/streams/{stream_id}/detections"
    while True:
        try:
            with socket.create_connection((url.hostname, url.port), timeout=10) as sock:
                key = base64.b64encode(os.urandom(16)).decode()
                sock.sendall((f"GET {path} HTTP/1.1\r\nHost: {url.hostname}:{url.port}\r\nUpgrade: websocket\r\n"
                              f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n")
                             .encode())
                sock.settimeout(None)
                stream = sock.makefile("rb")
                if b" 101 " not in stream.readline():
                    raise OSError("WebSocket upgrade refused")
                while stream.readline() not in (b"\r\n", b""):
                    pass
                message = b""
                while True:
                    head = read_exactly(stream, 2)
                    if head is None:
                        break
                    length = head[1] & 0x7F
                    if length == 126:
                        length = struct.unpack(">H", read_exactly(stream, 2))[0]
                    elif length == 127:
                        length = struct.unpack(">Q", read_exactly(stream, 8))[0]
                    payload = read_exactly(stream, length)
                    if payload is None or head[0] & 0x0F == 8:
                        break
                    message += payload
                    if head[0] & 0x80 and head[0] & 0x0F in (0, 1):
                        parsed = json.loads(message)
                        if parsed.get("type") == "detections":
                            latest.set(parsed)
                        message = b""
        except (OSError, ValueError):
            pass
        time.sleep(1)


def probe_size(camera):
    done = subprocess.run(["ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-select_streams", "v:0",
                           "-show_entries", "stream=width,height", "-of", "csv=p=0", camera],
                          capture_output=True, text=True, timeout=30)
    width, height = (int(v) for v in done.stdout.strip().split(",")[:2])
    return width, height


class RecentFrames:
    """The camera's frames of the last two seconds with the wall-clock time each arrived."""

    def __init__(self):
        self._lock = threading.Lock()
        self._frames = collections.deque(maxlen=20)

    def add(self, frame):
        with self._lock:
            self._frames.append((time.time() * 1000.0, frame))

    def nearest(self, wall_ms=None):
        """The frame that arrived closest to `wall_ms`; the newest without a time."""
        with self._lock:
            if not self._frames:
                return None
            if wall_ms is None:
                return self._frames[-1][1]
            return min(self._frames, key=lambda item: abs(item[0] - wall_ms))[1]


def follow_frames(camera, frames):
    """Decodes the camera alongside the service (the demo camera sends both the same playback) and
    keeps its recent frames (RGB); starts again when the stream ends."""
    while True:
        try:
            width, height = probe_size(camera)
            # One decoding thread and no input buffering: each frame comes out as soon as it arrives,
            # as in the service, so the frame times match the detections' times.
            decoder = subprocess.Popen(["ffmpeg", "-nostdin", "-loglevel", "quiet", "-fflags", "nobuffer",
                                        "-flags", "low_delay", "-threads", "1", "-rtsp_transport", "tcp",
                                        "-i", camera, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            size = width * height * 3
            while True:
                data = read_exactly(decoder.stdout, size)
                if data is None:
                    break
                frames.add(np.frombuffer(data, dtype=np.uint8).reshape(height, width, 3))
            decoder.wait()
        except (OSError, ValueError, subprocess.SubprocessError):
            pass
        time.sleep(1)


def draw_line(picture, p0, p1, colour, thickness=2):
    height, width = picture.shape[:2]
    steps = int(max(abs(p1[0] - p0[0]), abs(p1[1] - p0[1]))) + 1
    xs = np.linspace(p0[0], p1[0], steps).round().astype(int)
    ys = np.linspace(p0[1], p1[1], steps).round().astype(int)
    for dx in range(thickness):
        for dy in range(thickness):
            x, y = np.clip(xs + dx, 0, width - 1), np.clip(ys + dy, 0, height - 1)
            picture[y, x] = colour


def inside(point, polygon):
    x, y = point
    hit = False
    for (x0, y0), (x1, y1) in zip(polygon, polygon[1:] + polygon[:1]):
        if (y0 > y) != (y1 > y) and x < x0 + (y - y0) * (x1 - x0) / (y1 - y0):
            hit = not hit
    return hit


def write_png(path, picture):
    height, width = picture.shape[:2]
    rows = np.hstack([np.zeros((height, 1), dtype=np.uint8), picture.reshape(height, width * 3)])

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)) + chunk(b"IEND", b""))
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(png)
    os.replace(tmp, path)


def draw_picture(frame, detections, zone):
    """The frame with the zone (yellow) and each detected person: red when the feet are in the
    zone, green otherwise."""
    picture = frame.copy()
    height, width = picture.shape[:2]
    corners = [(x * width, y * height) for x, y in zone]
    for a, b in zip(corners, corners[1:] + corners[:1]):
        draw_line(picture, a, b, (255, 220, 0), 3)
    for item in (detections or {}).get("boxes", []):
        box = item["box"]
        x0, y0 = box["x"] * width, box["y"] * height
        x1, y1 = (box["x"] + box["w"]) * width, (box["y"] + box["h"]) * height
        colour = (255, 40, 40) if inside((box["x"] + box["w"] / 2, box["y"] + box["h"]), zone) else (40, 255, 40)
        for a, b in (((x0, y0), (x1, y0)), ((x1, y0), (x1, y1)), ((x1, y1), (x0, y1)), ((x0, y1), (x0, y0))):
            draw_line(picture, a, b, colour)
    return picture


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--api", required=True)
    p.add_argument("--camera", required=True)
    p.add_argument("--seconds", type=float, default=0, help="0: run until interrupted")
    p.add_argument("--picture", help="PNG of the latest frame with the zone and the detected people")
    p.add_argument("--picture-every", type=float, default=3.0, help="seconds between pictures")
    args = p.parse_args()

    receiver = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Events)
    threading.Thread(target=receiver.serve_forever, daemon=True).start()
    callback = f"http://127.0.0.1:{receiver.server_address[1]}/v1/events"

    health = None
    for _ in range(100):
        try:
            status, health = call("GET", args.api + "/v1/health")
            break
        except OSError:
            time.sleep(0.2)
    if health is None:
        print(f"demo: the service does not answer at {args.api}", flush=True)
        raise SystemExit(1)
    print("health:", json.dumps(health, sort_keys=True), flush=True)

    # The right-hand part of the walkway, where people cross and stop.
    zone = [(0.55, 0.40), (0.93, 0.37), (1.0, 0.84), (0.72, 0.70)]
    task = {
        "task_id": "demo-cam",
        "stream_id": "demo-stream",
        "stream_url": args.camera,
        "callback_url": callback,
        "fps": 10,
        "scene": {"change_threshold": 0.002, "blur_threshold": 0.0, "trigger_ms": 0, "cooldown_ms": 0},
        "rules": [{"type": "intrusion", "zones": [[list(p) for p in zone]], "min_duration_ms": 1000,
                   "min_hits": 2}],
    }
    detections, frames = Latest(), RecentFrames()
    threading.Thread(target=follow_detections, args=(args.api, "demo-stream", detections), daemon=True).start()
    status, created = call("POST", args.api + "/v1/tasks", task)
    print(f"create task: {status}", json.dumps(created, sort_keys=True), flush=True)
    if status != 201:
        raise SystemExit(1)
    if args.picture:
        threading.Thread(target=follow_frames, args=(args.camera, frames), daemon=True).start()
        print(f"picture: {args.picture} (the latest frame, rewritten every {args.picture_every:g} s)", flush=True)
    print("detections stream: ws" + args.api[4:] + "/v1/streams/demo-stream/detections", flush=True)
    start = time.monotonic()
    next_stats, next_picture = start + 5, start + args.picture_every
    try:
        while args.seconds <= 0 or time.monotonic() - start < args.seconds:
            time.sleep(0.2)
            now = time.monotonic()
            if args.picture and now >= next_picture:
                # The people of the latest detector run on the frame it saw; without a recent run
                # (no change in the picture), the newest frame alone.
                latest = detections.get()
                if latest is not None and latest["timestamp"] < time.time() * 1000.0 - 2000.0:
                    latest = None
                frame = frames.nearest(latest["timestamp"] if latest else None)
                if frame is not None:
                    write_png(args.picture, draw_picture(frame, latest, zone))
                    next_picture = now + args.picture_every
            if now >= next_stats:
                status, snap = call("GET", args.api + "/v1/tasks/demo-cam")
                people = len((detections.get() or {}).get("boxes", []))
                s = snap.get("statistics", {})
                print(f"task: {snap.get('phase')}, decoding {s.get('decode_fps', 0):.1f} fps, detector "
                      f"{s.get('inference_fps', 0):.1f} runs/s ({s.get('inference_latency_p50_ms', 0):.0f} ms median), "
                      f"intrusions {s.get('events_started', 0)} started {s.get('events_ended', 0)} ended, "
                      f"frames dropped {s.get('frames_dropped', 0)}, people now {people}", flush=True)
                next_stats = now + 5
    except KeyboardInterrupt:
        pass
    finally:
        # Ctrl-C reaches the service too, which may already have stopped listening.
        try:
            print("delete task:", call("DELETE", args.api + "/v1/tasks/demo-cam")[0], flush=True)
        except OSError as e:
            print(f"delete task: the service is gone ({e})", flush=True)
        time.sleep(1)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        # A second Ctrl-C, or one before the loop: demo.sh stops the service and the camera.
        raise SystemExit(130)
