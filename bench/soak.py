"""Soak benchmark: N analysis tasks in one velmo-ai process on N real-time RTSP streams, beside N
plain `ffmpeg` decodes of the same streams in the same run.

The streams come from the loopback RTSP test server, which sends a stored 1080p25 H.264 clip (one
key frame a second, no B-frames, 4 Mbit/s) to every client in real time from its own start. The
clip is the cached pedestrian video scaled up, darkened and given sensor-like noise; from second
OBJECT_ON_S to OBJECT_OFF_S a white box stands in the task's zone, which the generated
bright-rectangle detector reports as a person. For each decode mode and N:

  * the service: N tasks created over HTTP; after a warm-up its CPU time (all threads, from /proc)
    over a window, its RSS and threads at the end of it, the tasks' frames decoded and dropped,
    whether every task decoded in real time, and the latency of GET /v1/health asked every 50 ms
    during the window; at N=1 and the largest N also the frame-to-event latency: the arrival of the
    intrusion "started" event at the callback receiver, less the moment the box was sent (the
    server's PLAY time for that task plus OBJECT_ON_S), less the rule's dwell;
  * the service's start-up peak: its RSS sampled every 50 ms from the first task's creation to the
    end of the warm-up, less its RSS at the end of the window (the N tasks are created one after the
    other as fast as the API answers);
  * N `ffmpeg -threads 1 -i URL -f null -` processes on the same streams (`-skip_frame nokey` in
    key-frame mode), their CPU time over the same length of window and their RSS;
  * the floor: bench/decode_floor, N streams decoded in one process with libavcodec alone as the
    service's decoder does it, with nothing after the decoder; its CPU time over a window and its
    RSS per stream, measured as the service's. Where the two together leave the machine half idle,
    the floor decodes beside the service and is measured over the very same window, so that both
    see the same machine (whose speed moves by several per cent from minute to minute); otherwise
    over a window as long after the service's. The service's CPU and RSS per stream are also given
    as ratios to it.
"""

import http.client
import http.server
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RTSP_FIXTURE = os.path.join(SOURCE_DIR, "tests", "fixtures", "rtsp_server.py")
MAKE_MODELS = os.path.join(SOURCE_DIR, "models", "make_models.py")
PYTHON = "/usr/bin/python3"  # Debian's: the one with GStreamer's bindings

CLIP_VERSION = 1
CLIP_SECONDS = 60
CLIP_FPS = 25
OBJECT_ON_S = 40
OBJECT_OFF_S = 50
# The white box, in 1920x1080 pixels, and the zone around it (normalized): the lower-left grass.
OBJECT_BOX = (288, 702, 288, 216)
ZONE = [[0.05, 0.6], [0.45, 0.6], [0.45, 0.98], [0.05, 0.98]]
DWELL_MS = 1000
HEALTH_PERIOD_S = 0.05


def log(text):
    print(text, file=sys.stderr, flush=True)


def stop_process(proc, sig=signal.SIGTERM, wait_s=10):
    """Asks a child to end (sig None: it was already asked), kills it when it does not within
    wait_s, and reaps it."""
    if proc is None:
        return
    if proc.poll() is None:
        if sig is not None:
            proc.send_signal(sig)
        try:
            proc.wait(wait_s)
        except subprocess.TimeoutExpired:
            proc.kill()
    proc.wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def percentile(values, p):
    """Nearest rank, as the service computes its own."""
    if not values:
        return None
    ordered = sorted(values)
    k = max(0, min(len(ordered) - 1, -(-int(len(ordered) * p * 1000) // 1000) - 1))
    return ordered[k]


def proc_status(pid):
    """VmRSS (KiB) and Threads of a running process."""
    out = {"rss_kib": None, "threads": None}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    out["rss_kib"] = int(line.split()[1])
                elif line.startswith("Threads:"):
                    out["threads"] = int(line.split()[1])
    except OSError:
        pass
    return out


def machine_busy_jiffies():
    """Busy and total jiffies of the whole machine (guest time is already in user time)."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]][:8]
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    return sum(fields) - idle, sum(fields)


def service_arena_cap():
    """The malloc arena cap velmo-ai sets for itself (two per core, 4 to 32), so that the floor is
    measured with the same allocator as the service rather than glibc's default of eight per core."""
    return max(4, min(32, 2 * (os.cpu_count() or 1)))


def process_cpu_s(pid):
    """CPU seconds (user + system) of a running process, all threads, ended ones included."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks


# ---------------------------------------------------------------- fixtures


def make_clip(out_dir):
    path = os.path.join(out_dir, "soak-1080p25-v%d.mp4" % CLIP_VERSION)
    if os.path.isfile(path):
        return path
    cache = os.environ.get("VELMO_CACHE") or os.path.join(os.path.expanduser("~"), ".cache", "velmo-ai")
    source = os.path.join(cache, "media", "vtest.mp4")
    x, y, w, h = OBJECT_BOX
    # Darkened so that no pixel of the footage passes the detector's red threshold; noise so that
    # every picture carries a residual, as a camera's do.
    vf = ("scale=1920:1080:flags=bicubic,fps=%d,lutrgb=r=val/2:g=val/2:b=val/2,noise=alls=6:allf=t,"
          "drawbox=x=%d:y=%d:w=%d:h=%d:color=white:t=fill:enable='between(t,%d,%d)'"
          % (CLIP_FPS, x, y, w, h, OBJECT_ON_S, OBJECT_OFF_S))
    log("soak: making %s (once)" % path)
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-stream_loop", "-1", "-i", source,
                    "-t", str(CLIP_SECONDS), "-vf", vf, "-c:v", "libx264", "-preset", "veryfast",
                    "-b:v", "4M", "-maxrate", "4M", "-bufsize", "8M", "-g", str(CLIP_FPS),
                    "-keyint_min", str(CLIP_FPS), "-sc_threshold", "0", "-bf", "0", "-profile:v", "main",
                    "-pix_fmt", "yuv420p", "-an", "-movflags", "+faststart", path + ".tmp.mp4"], check=True)
    os.replace(path + ".tmp.mp4", path)
    return path


def make_package(build, out_dir):
    models = os.path.join(out_dir, "soak-models")
    if not os.path.isfile(os.path.join(models, "manifest.json")):
        subprocess.run([PYTHON, MAKE_MODELS, "--out", models, "--package", "--model-tool",
                        os.path.join(build, "tools", "velmo-ai-model-tool"), "bright_dets"],
                       check=True, stdout=subprocess.DEVNULL)
    return models


class RtspServer:
    def __init__(self, clip, log_path, play_log):
        self.play_log = play_log
        open(play_log, "w").close()
        for _ in range(5):
            port = free_port()
            with open(log_path, "ab") as err:
                self.proc = subprocess.Popen([PYTHON, RTSP_FIXTURE, "--port", str(port), "--file", clip,
                                              "--play-log", play_log],
                                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
            line = self.proc.stdout.readline().decode(errors="replace")
            if line.startswith("READY "):
                self.url = line.split()[1] + "/file"
                return
            self.stop()
        raise RuntimeError("the RTSP test server did not start (see %s)" % log_path)

    def plays(self):
        """{query: unix ms of its last PLAY}."""
        out = {}
        with open(self.play_log) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 2 and "?" in parts[1]:
                    out[parts[1].split("?", 1)[1]] = int(parts[0])
        return out

    def stop(self):
        stop_process(self.proc)
        self.proc = None


class EventReceiver:
    """The tasks' callback: keeps (arrival unix ms, event) of every POST."""

    def __init__(self):
        events = self.events = []
        lock = self.lock = threading.Lock()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length)
                arrived = int(time.time() * 1000)
                try:
                    event = json.loads(body)
                except ValueError:
                    event = None
                with lock:
                    events.append((arrived, event))
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *_):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.url = "http://127.0.0.1:%d/v1/events" % self.server.server_address[1]

    def first_started(self):
        """{task id: arrival ms of its first intrusion "started" event}."""
        out = {}
        with self.lock:
            for arrived, e in self.events:
                if e and e.get("event_type") == "intrusion" and e.get("event_state") == "started":
                    out.setdefault(e.get("task_id"), arrived)
        return out

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


# ---------------------------------------------------------------- the service


def call(port, method, path, body=None, timeout=10):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        data = json.dumps(body).encode() if body is not None else None
        conn.request(method, path, body=data, headers={"Content-Type": "application/json"} if data else {})
        resp = conn.getresponse()
        raw = resp.read()
        return resp.status, (json.loads(raw) if raw else None)
    finally:
        conn.close()


class Service:
    def __init__(self, build, work, models, mode, channels, log_path):
        self.port = free_port()
        config = os.path.join(work, "soak-config.toml")
        with open(config, "w") as f:
            f.write('[Server]\nHost = "127.0.0.1"\nPort = %d\n\n' % self.port)
            f.write('[AI]\nEnabled = true\nDevice = "cpu"\nMaxChannels = %d\nDecodeMode = "%s"\n'
                    'HardwareDecode = "off"\n\n' % (channels, mode))
            f.write('[Model]\nManifest = "%s"\nPublicKey = "%s"\nRequireSignature = true\n\n'
                    % (os.path.join(models, "manifest.json"), os.path.join(models, "public.key")))
            f.write('[Logging]\nLevel = "warn"\n')
        self.log_path = log_path
        with open(log_path, "ab") as err:
            self.proc = subprocess.Popen([os.path.join(build, "service", "velmo-ai"), "--config", config],
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        deadline = time.monotonic() + 30
        while True:
            try:
                status, health = call(self.port, "GET", "/v1/health", timeout=2)
                if status == 200:
                    break
            except OSError:
                pass
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("velmo-ai did not come up (see %s)" % log_path)
            time.sleep(0.1)

    def tasks(self):
        status, doc = call(self.port, "GET", "/v1/tasks")
        return {t["config"]["task_id"]: t for t in (doc or {}).get("tasks", [])} if status == 200 else {}

    def stop(self):
        stop_process(self.proc, wait_s=60)


def task_request(task_id, url, callback):
    return {
        "task_id": task_id,
        "stream_id": task_id,
        "stream_url": url,
        "callback_url": callback,
        "scene": {"trigger_ms": 0, "rois": [ZONE]},
        "rules": [{"type": "intrusion", "zones": [ZONE], "min_duration_ms": DWELL_MS}],
    }


class RssSampler:
    """The highest RSS of a process, sampled every period_s until stopped."""

    def __init__(self, pid, period_s=0.05):
        self.pid = pid
        self.period_s = period_s
        self.peak_kib = 0
        self.stop_event = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while True:
            rss = proc_status(self.pid)["rss_kib"]
            if rss:
                self.peak_kib = max(self.peak_kib, rss)
            if self.stop_event.wait(self.period_s):
                return

    def stop(self):
        """The peak; later calls give the same."""
        self.stop_event.set()
        self.thread.join()
        return self.peak_kib


class HealthPinger:
    def __init__(self, port):
        self.port = port
        self.latencies_ms = []
        self.failures = 0
        self.stop_event = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop_event.is_set():
            start = time.monotonic()
            try:
                status, _ = call(self.port, "GET", "/v1/health", timeout=10)
                if status == 200:
                    self.latencies_ms.append((time.monotonic() - start) * 1000.0)
                else:
                    self.failures += 1
            except OSError:
                self.failures += 1
            self.stop_event.wait(max(0.0, HEALTH_PERIOD_S - (time.monotonic() - start)))

    def stop(self):
        self.stop_event.set()
        self.thread.join()


def expected_fps(mode):
    return CLIP_FPS if mode == "all" else 1.0


def kept_real_time(frames, seconds, mode):
    """Decoded at the rate sent, give or take the frames a window's edges can cut."""
    expected = expected_fps(mode) * seconds
    return frames >= expected - max(2.0, 0.02 * expected)


def run_service(ctx, mode, n, with_latency, floor=None, rep=0):
    """The service's figures; with a running Floor, the floor's over the same window too."""
    # The repeat is in the task ids, so that each repeat's events and PLAY times are its own.
    tag = "%s-%d-r%d" % (mode, n, rep)
    service = Service(ctx["build"], ctx["work"], ctx["models"], mode, max(1, n), ctx["service_log"])
    startup = None
    try:
        base = proc_status(service.proc.pid)
        startup = RssSampler(service.proc.pid)
        ids = ["soak-%s-%d" % (tag, i) for i in range(n)]
        for task_id in ids:
            url = "%s?%s" % (ctx["server"].url, task_id)
            status, body = call(service.port, "POST", "/v1/tasks", task_request(task_id, url, ctx["receiver"].url))
            if status != 201:
                raise RuntimeError("task %s refused: %s %s" % (task_id, status, body))
        # Every task running and past its first pictures.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            tasks = service.tasks()
            if len(tasks) == n and all(t.get("phase") == "running" and t["statistics"]["frames_decoded"] > 0
                                       for t in tasks.values()):
                break
            time.sleep(0.5)
        time.sleep(ctx["warmup_s"])
        startup_peak_kib = startup.stop()
        plays = ctx["server"].plays()
        first_play = min((plays.get(i) for i in ids if plays.get(i)), default=int(time.time() * 1000))
        # The window ends before the earliest stream shows the box: inference is then not counted.
        room_s = (first_play + (OBJECT_ON_S - 1) * 1000 - time.time() * 1000) / 1000.0
        window_s = min(ctx["window_s"], room_s)
        if window_s < ctx["window_s"] / 2:
            log("soak: %s: only %.1f s before the object appears" % (tag, window_s))
        pinger = HealthPinger(service.port)
        if floor is not None:
            floor.begin_window()
        m0 = machine_busy_jiffies()
        t0, c0, before = time.monotonic(), process_cpu_s(service.proc.pid), service.tasks()
        time.sleep(max(1.0, window_s))
        t1, c1, after = time.monotonic(), process_cpu_s(service.proc.pid), service.tasks()
        m1 = machine_busy_jiffies()
        floor_result = dict(floor.end_window(), same_window=True) if floor is not None else None
        pinger.stop()
        status = proc_status(service.proc.pid)
        seconds = t1 - t0
        decoded = {i: after[i]["statistics"]["frames_decoded"] - before[i]["statistics"]["frames_decoded"]
                   for i in ids if i in after and i in before}
        behind = sorted(i for i in ids if not kept_real_time(decoded.get(i, 0), seconds, mode))
        result = {
            "cores": (c1 - c0) / seconds if c0 is not None and c1 is not None else None,
            "window_s": seconds,
            "rss_mib": status["rss_kib"] / 1024.0 if status["rss_kib"] else None,
            "idle_rss_mib": base["rss_kib"] / 1024.0 if base["rss_kib"] else None,
            "threads": status["threads"],
            "idle_threads": base["threads"],
            "frames_decoded": sum(decoded.values()),
            "frames_dropped": sum(t["statistics"]["frames_dropped"] for t in after.values()),
            "decode_fps_min": min(decoded.values()) / seconds if decoded else None,
            "tasks_behind": len(behind),
            "kept_real_time": not behind and len(decoded) == n,
            "health_p50_ms": percentile(pinger.latencies_ms, 0.5),
            "health_p99_ms": percentile(pinger.latencies_ms, 0.99),
            "health_requests": len(pinger.latencies_ms),
            "health_failures": pinger.failures,
        }
        # What the rest of the machine did in the window: the soak's own helpers (RTSP server, pinger)
        # and any neighbour. Figures from a window where it is large are not comparable.
        cpus = os.cpu_count() or 1
        machine_cores = cpus * (m1[0] - m0[0]) / max(1, m1[1] - m0[1])
        result["machine_busy_cores"] = machine_cores
        if result["cores"] is not None:
            others = machine_cores - result["cores"] - ((floor_result or {}).get("cores") or 0.0)
            result["other_load_cores"] = max(0.0, others)
        if floor_result is not None:
            result["floor"] = floor_result
        if result["rss_mib"] is not None and result["idle_rss_mib"] is not None and n > 0:
            result["rss_per_stream_mib"] = (result["rss_mib"] - result["idle_rss_mib"]) / n
        if result["rss_mib"] is not None and startup_peak_kib:
            result["startup_peak_rss_mib"] = startup_peak_kib / 1024.0
            result["startup_peak_above_steady_mib"] = startup_peak_kib / 1024.0 - result["rss_mib"]
        if with_latency:
            # Every stream has shown the box for dwell + a few seconds.
            last_play = max((plays.get(i) for i in ids if plays.get(i)), default=first_play)
            wait_s = (last_play + (OBJECT_ON_S + 6) * 1000 + DWELL_MS - time.time() * 1000) / 1000.0
            if wait_s > 0:
                time.sleep(wait_s)
            plays = ctx["server"].plays()
            started = ctx["receiver"].first_started()
            latencies = [started[i] - (plays[i] + OBJECT_ON_S * 1000) - DWELL_MS
                         for i in ids if i in started and i in plays]
            result["event_latency_ms"] = {
                "p50": percentile(latencies, 0.5), "max": max(latencies) if latencies else None,
                "tasks_with_event": len(latencies), "tasks": n, "dwell_ms": DWELL_MS}
        return result
    finally:
        if startup is not None:
            startup.stop()
        service.stop()


def run_ffmpeg(ctx, mode, n, window_s):
    tag = "ffmpeg-%s-%d" % (mode, n)
    seconds = ctx["ff_warmup_s"] + window_s + 3
    procs, progress = [], []
    with open(ctx["ffmpeg_log"], "ab") as err:
        for i in range(n):
            path = os.path.join(ctx["work"], "progress-%d.txt" % i)
            open(path, "w").close()
            progress.append(path)
            argv = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-nostats", "-progress", "file:" + path,
                    "-stats_period", "0.5", "-threads", "1", "-rtsp_transport", "tcp"]
            if mode == "keyframe":
                argv += ["-skip_frame", "nokey"]
            argv += ["-i", "%s?%s-%d" % (ctx["server"].url, tag, i), "-t", str(seconds), "-map", "0:v:0",
                     "-f", "null", "-"]
            procs.append(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err))

    def frames():
        out = []
        for path in progress:
            last = 0
            try:
                with open(path) as f:
                    for line in f:
                        if line.startswith("frame="):
                            last = int(line.split("=", 1)[1])
            except (OSError, ValueError):
                pass
            out.append(last)
        return out

    def cpu():
        values = [process_cpu_s(p.pid) for p in procs]
        return None if any(v is None for v in values) else sum(values)

    try:
        time.sleep(ctx["ff_warmup_s"])
        t0, c0, f0 = time.monotonic(), cpu(), frames()
        time.sleep(window_s)
        t1, c1, f1 = time.monotonic(), cpu(), frames()
        rss = [proc_status(p.pid)["rss_kib"] or 0 for p in procs]
        span = t1 - t0
        behind = sum(1 for a, b in zip(f0, f1) if not kept_real_time(b - a, span, mode))
        return {
            "cores": (c1 - c0) / span if c0 is not None and c1 is not None else None,
            "window_s": span,
            "rss_mib": sum(rss) / 1024.0,
            "rss_per_stream_mib": sum(rss) / 1024.0 / n,
            "tasks_behind": behind,
            "kept_real_time": behind == 0,
        }
    finally:
        # All asked at once, so that they end side by side; a second SIGINT would hurry ffmpeg.
        for p in procs:
            if p.poll() is None:
                p.send_signal(signal.SIGINT)
        for p in procs:
            stop_process(p, None)


class Floor:
    """bench/decode_floor on N streams of the server, measured as the service is: after every stream
    has given frames and a warm-up, CPU over a window and RSS per stream."""

    def __init__(self, ctx, mode, n):
        self.mode, self.n = mode, n
        self.progress = os.path.join(ctx["work"], "floor-progress.json")
        if os.path.exists(self.progress):
            os.remove(self.progress)
        urls = ["%s?floor-%s-%d-%d" % (ctx["server"].url, mode, n, i) for i in range(n)]
        env = dict(os.environ, MALLOC_ARENA_MAX=str(service_arena_cap()))
        with open(ctx["floor_log"], "ab") as err:
            self.proc = subprocess.Popen([os.path.join(ctx["build"], "bench", "decode_floor"), "--mode", mode,
                                          "--progress", self.progress] + urls,
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err, env=env)
        try:
            self.idle_kib = json.loads(self.proc.stdout.readline().decode() or "{}").get("idle_rss_kib")
            if not self.idle_kib:
                raise RuntimeError("decode_floor did not start (see %s)" % ctx["floor_log"])
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and not all(v > 0 for v in self.frames()):
                if self.proc.poll() is not None:
                    raise RuntimeError("decode_floor ended (see %s)" % ctx["floor_log"])
                time.sleep(0.5)
        except BaseException:
            self.stop()
            raise

    def frames(self):
        try:
            with open(self.progress) as f:
                return json.load(f)["frames"]
        except (OSError, ValueError, KeyError):
            return [0] * self.n

    def begin_window(self):
        self.t0, self.c0, self.f0 = time.monotonic(), process_cpu_s(self.proc.pid), self.frames()

    def end_window(self):
        t1, c1, f1 = time.monotonic(), process_cpu_s(self.proc.pid), self.frames()
        rss_kib = proc_status(self.proc.pid)["rss_kib"]
        span = t1 - self.t0
        behind = sum(1 for a, b in zip(self.f0, f1) if not kept_real_time(b - a, span, self.mode))
        return {
            "cores": (c1 - self.c0) / span if self.c0 is not None and c1 is not None else None,
            "window_s": span,
            "rss_mib": rss_kib / 1024.0 if rss_kib else None,
            "idle_rss_mib": self.idle_kib / 1024.0,
            "rss_per_stream_mib": (rss_kib - self.idle_kib) / 1024.0 / self.n if rss_kib else None,
            "tasks_behind": behind,
            "kept_real_time": behind == 0,
        }

    def stop(self):
        if self.proc is not None:
            stop_process(self.proc, signal.SIGINT)
            self.proc.stdout.close()
            self.proc = None


def run_floor(ctx, mode, n, window_s):
    """The floor in a window of its own, after the service's."""
    floor = Floor(ctx, mode, n)
    try:
        time.sleep(ctx["warmup_s"])
        floor.begin_window()
        time.sleep(window_s)
        return dict(floor.end_window(), same_window=False)
    finally:
        floor.stop()


def floor_fits_beside(mode, n):
    """Whether the floor and the service, decoding side by side, leave the machine half idle or more,
    so that each is measured in the same seconds without the two competing for cores."""
    cores_per_stream = 0.12 if mode == "all" else 0.035  # 1080p25, measured on this clip
    return 2 * n * cores_per_stream <= 0.6 * (os.cpu_count() or 1)


def ratio(a, b):
    return a / b if a is not None and b else None


def soak_section(args, out_dir):
    """Runs the soak for every (mode, N) of args.soak_n; returns its JSON part."""
    work = os.path.join(out_dir, "soak")
    os.makedirs(work, exist_ok=True)
    plan = {}
    for item in args.soak_n.split(";"):
        mode, ns = item.split(":")
        plan[mode.strip()] = [int(v) for v in ns.split(",")]
    clip = make_clip(out_dir)
    ctx = {
        "build": args.build, "work": work, "models": make_package(args.build, out_dir),
        "service_log": os.path.join(work, "service.log"), "ffmpeg_log": os.path.join(work, "ffmpeg.log"),
        "floor_log": os.path.join(work, "floor.log"),
        "warmup_s": 3.0 if args.quick else 5.0, "window_s": 6.0 if args.quick else 20.0,
        # ffmpeg's own probing of a key-frame-only stream takes its full 5 s before the first picture.
        "ff_warmup_s": 8.0,
    }
    for name in ("service_log", "ffmpeg_log", "floor_log"):
        open(ctx[name], "w").close()
    ctx["server"] = RtspServer(clip, os.path.join(work, "rtsp-server.log"), os.path.join(work, "plays.log"))
    ctx["receiver"] = EventReceiver()
    runs = []
    repeats = max(1, getattr(args, "soak_repeat", 1))
    try:
        # Repeats go round the whole plan rather than one (mode, N) at a time, so a slow spell of the
        # machine widens every figure's spread instead of shifting one figure.
        order = [(rep, mode, n) for rep in range(repeats) for mode, ns in plan.items() for n in ns]
        for rep, mode, n in order:
            largest = max(plan[mode])
            log("soak: %s mode, %d streams (repeat %d of %d)" % (mode, n, rep + 1, repeats))
            entry = {"mode": mode, "n": n, "repeat": rep}
            try:
                if floor_fits_beside(mode, n):
                    floor = Floor(ctx, mode, n)
                    try:
                        entry["service"] = run_service(ctx, mode, n, n in (1, largest), floor, rep)
                    finally:
                        floor.stop()
                    entry["floor"] = entry["service"].pop("floor")
                else:
                    entry["service"] = run_service(ctx, mode, n, n in (1, largest), rep=rep)
                entry["ffmpeg"] = run_ffmpeg(ctx, mode, n, entry["service"]["window_s"])
                if "floor" not in entry:
                    entry["floor"] = run_floor(ctx, mode, n, entry["service"]["window_s"])
            except (RuntimeError, OSError, ValueError, KeyError) as e:
                entry["error"] = str(e)
                log("soak: %s %d failed: %s" % (mode, n, e))
            s, f, fl = entry.get("service", {}), entry.get("ffmpeg", {}), entry.get("floor", {})
            entry["cpu_ratio"] = ratio(s.get("cores"), f.get("cores"))
            entry["cpu_ratio_to_floor"] = ratio(s.get("cores"), fl.get("cores"))
            entry["rss_ratio_to_floor"] = ratio(s.get("rss_per_stream_mib"), fl.get("rss_per_stream_mib"))
            runs.append(entry)
    finally:
        ctx["receiver"].stop()
        ctx["server"].stop()
    for mode in plan:
        kept = [r["n"] for r in runs if r["mode"] == mode and r.get("service", {}).get("kept_real_time")]
        log("soak: %s mode: largest N that kept real time: %s" % (mode, max(kept) if kept else "none"))
    return {"clip": os.path.basename(clip), "object_on_s": OBJECT_ON_S, "dwell_ms": DWELL_MS, "runs": runs}


def run_values(r):
    """One run's figures by id suffix, with their units."""
    s, f, fl = r.get("service", {}), r.get("ffmpeg", {}), r.get("floor", {})
    lat = s.get("event_latency_ms") or {}
    return [
        ("cores", s.get("cores"), "cores"), ("ffmpeg_cores", f.get("cores"), "cores"),
        ("cpu_ratio_to_ffmpeg", r.get("cpu_ratio"), "ratio"),
        ("floor_cores", fl.get("cores"), "cores"), ("cpu_ratio_to_floor", r.get("cpu_ratio_to_floor"), "ratio"),
        ("rss_per_stream_mib", s.get("rss_per_stream_mib"), "MiB"),
        ("ffmpeg_rss_per_stream_mib", f.get("rss_per_stream_mib"), "MiB"),
        ("floor_rss_per_stream_mib", fl.get("rss_per_stream_mib"), "MiB"),
        ("rss_ratio_to_floor", r.get("rss_ratio_to_floor"), "ratio"),
        ("startup_peak_above_steady_mib", s.get("startup_peak_above_steady_mib"), "MiB"),
        ("threads", s.get("threads"), "count"), ("frames_dropped", s.get("frames_dropped"), "count"),
        ("tasks_behind", s.get("tasks_behind"), "count"),
        ("health_p50_ms", s.get("health_p50_ms"), "ms"), ("health_p99_ms", s.get("health_p99_ms"), "ms"),
        ("machine_busy_cores", s.get("machine_busy_cores"), "cores"),
        ("other_load_cores", s.get("other_load_cores"), "cores"),
        ("event_latency_beyond_dwell_p50_ms", lat.get("p50"), "ms"),
        ("event_latency_beyond_dwell_max_ms", lat.get("max"), "ms"),
    ]


def grouped(soak):
    """The runs of each (mode, N), in plan order: the repeats of one figure."""
    groups = {}
    for r in soak.get("runs", []):
        groups.setdefault((r["mode"], r["n"]), []).append(r)
    return groups


def summary(values):
    """min, median and max of the values that were measured; None where none was."""
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {"min": min(values), "median": statistics.median(values), "max": max(values), "values": values}


def flat_figures(soak):
    out = []
    for (mode, n), runs in grouped(soak).items():
        base = "soak/%s/n%d" % (mode, n)
        per_key = {}
        for r in runs:
            for key, value, unit in run_values(r):
                per_key.setdefault(key, (unit, []))[1].append(value)
        for key, (unit, values) in per_key.items():
            sm = summary(values)
            if sm is None and key.startswith("event_latency"):
                continue
            spread = (sm["max"] - sm["min"]) / sm["median"] if sm and len(sm["values"]) > 1 and sm["median"] else None
            out.append({"id": "%s/%s" % (base, key), "value": sm["median"] if sm else None, "unit": unit,
                        "spread": spread, "min": sm["min"] if sm else None, "max": sm["max"] if sm else None,
                        "repeats": len(sm["values"]) if sm else 0})
    return out


def print_table(soak, fmt, table):
    groups = grouped(soak)
    if not groups:
        return
    repeats = max(len(v) for v in groups.values())
    print("\nSoak (one velmo-ai process with N tasks on N real-time 1080p25 RTSP streams, beside N `ffmpeg -threads 1"
          " -f null` decodes and the in-process libavcodec floor on the same streams; box in the zone from %d s,"
          " dwell %d ms; each figure the median [min, max] of %d repeat(s), taken in turn round the plan)"
          % (soak["object_on_s"], soak["dwell_ms"], repeats))

    def mmm(values):
        sm = summary(values)
        if sm is None:
            return "-"
        if len(sm["values"]) == 1:
            return fmt(sm["median"])
        return "%s [%s, %s]" % (fmt(sm["median"]), fmt(sm["min"]), fmt(sm["max"]))

    def yn(runs, who):
        vals = [r.get(who, {}).get("kept_real_time") for r in runs]
        if any(v is None for v in vals):
            return "-"
        return "yes" if all(vals) else "%d/%d" % (sum(1 for v in vals if v), len(vals))

    rows = []
    for (mode, n), runs in groups.items():
        values = {}
        for r in runs:
            for key, value, _ in run_values(r):
                values.setdefault(key, []).append(value)
        same = all(r.get("floor", {}).get("same_window") for r in runs)
        rows.append([mode, str(n), mmm(values["cores"]), mmm(values["ffmpeg_cores"]), mmm(values["cpu_ratio_to_ffmpeg"]),
                     mmm(values["floor_cores"]) + (" *" if same else ""), mmm(values["cpu_ratio_to_floor"]),
                     mmm(values["rss_per_stream_mib"]), mmm(values["floor_rss_per_stream_mib"]),
                     mmm(values["rss_ratio_to_floor"]), mmm(values["startup_peak_above_steady_mib"]),
                     mmm(values["frames_dropped"]),
                     "/".join(yn(runs, who) for who in ("service", "ffmpeg", "floor")),
                     "%s / %s" % (mmm(values["event_latency_beyond_dwell_p50_ms"]),
                                  mmm(values["event_latency_beyond_dwell_max_ms"])),
                     "%s / %s" % (mmm(values["health_p50_ms"]), mmm(values["health_p99_ms"])),
                     mmm(values["other_load_cores"]),
                     "; ".join(r["error"] for r in runs if r.get("error"))])
    print(table(rows, ["mode", "N", "cores", "ffmpeg cores", "ratio", "floor cores", "ratio", "RSS/stream",
                       "floor RSS/stream", "ratio", "start peak", "dropped", "real time",
                       "event ms p50 / max", "health ms p50 / p99", "other load", "error"]))
    print("cores: CPU seconds per second of the whole process (all threads) over the window; ffmpeg: the sum over"
          " its N processes; floor: bench/decode_floor, the N streams decoded in one process with libavcodec alone"
          " (*: beside the service, in the same window; otherwise in a window of its own after it)."
          " RSS/stream: (RSS with N tasks - RSS before the first) / N, the floor's alike. start peak: MiB of the"
          " service's highest RSS while its N tasks started above its RSS at the end of the window. real time:"
          " every task / every ffmpeg / every floor stream decoded at the rate sent. event ms: intrusion"
          " \"started\" at the callback receiver less the moment the box was sent, less the dwell. health: GET"
          " /v1/health every %g s during the window. other load: cores the rest of the machine kept busy in the window"
          " (the soak's own RTSP server and pinger included). The floor runs with the service's malloc arena cap"
          " (MALLOC_ARENA_MAX=%d)." % (HEALTH_PERIOD_S, service_arena_cap()))
