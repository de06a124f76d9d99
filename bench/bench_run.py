#!/usr/bin/python3
"""Runs every benchmark of a build and writes one JSON result file plus a short table.

Called by scripts/bench.sh after the build. Two kinds of figures:
  * in-process: every bench/*_bench program (Google Benchmark), with many short repetitions of
    different benchmarks shuffled together; the median of each is kept, with its coefficient of
    variation;
  * whole-process: the decoder (bench/decode_probe) and the `ffmpeg` program on the same
    sources and decode modes, measured alike.

A file is read as fast as it decodes: its figures are differences between a short and a long run
of the same command (wait4's CPU time, the wall clock), so process start, opening and probing
cancel out. A live source is sent in real time: one run each, whose CPU time is read from /proc
at the end of a warm-up and then every few seconds, so the figure is the steady cost per second
of video alone.
"""

import argparse
import datetime
import json
import os
import platform
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

import soak

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RTSP_FIXTURE = os.path.join(SOURCE_DIR, "tests", "fixtures", "rtsp_server.py")
PYTHON = "/usr/bin/python3"  # Debian's: the one with GStreamer's bindings
MODES = ("adaptive", "keyframe", "all")
# The decoder keeps only key frames in "keyframe" and, while key frames keep coming, in "adaptive";
# `-skip_frame nokey` is the same work for the ffmpeg program.
REFERENCE_MODE = {"adaptive": "keyframe", "keyframe": "keyframe", "all": "all"}
LIVE_FPS = 25
LIVE_KEY_INTERVAL_S = 1.0
RSS_STREAMS = 4


def log(text):
    print(text, file=sys.stderr, flush=True)


def cpu_times():
    """Busy, stolen (by the hypervisor) and total jiffies of the whole machine, from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    fields = fields[:8]  # guest time is already counted in user time
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    steal = fields[7] if len(fields) > 7 else 0
    return sum(fields) - idle, steal, sum(fields)


def machine_info():
    model = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": model, "cores": os.cpu_count(), "kernel": platform.release(), "host": platform.node()}


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def spread(values):
    """(max - min) / median: the largest disagreement between repetitions."""
    values = [v for v in values if v is not None]
    if len(values) < 2:
        return None
    m = statistics.median(values)
    return (max(values) - min(values)) / m if m else None


# ---------------------------------------------------------------- whole-process measurement


def process_cpu_s(pid):
    """CPU seconds of every thread of a running process, to the nanosecond (/proc/PID/task/*/schedstat)."""
    total = 0
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return None
    for tid in tids:
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # a thread that ended just now
    return total / 1e9


def measure(argv, timeout_s, stderr_path, sampling=None):
    """Runs argv to its end; wall seconds, CPU seconds (user + system), peak RSS (KiB), stdout.

    sampling = (warm-up s, window s, windows): also the process's CPU time at the end of the
    warm-up and of every window after it, while it runs ("samples": [(wall s, CPU s)])."""
    with open(stderr_path, "ab") as err:
        err.write(("\n$ " + " ".join(argv) + "\n").encode())
        err.flush()
        start = time.monotonic()
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        chunks = []
        reader = threading.Thread(target=lambda: chunks.append(proc.stdout.read()), daemon=True)
        reader.start()
        samples = []
        if sampling:
            warmup_s, window_s, windows = sampling
            for i in range(windows + 1):
                delay = start + warmup_s + i * window_s - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                if proc.poll() is not None or time.monotonic() - start > timeout_s:
                    break
                cpu = process_cpu_s(proc.pid)
                if cpu is None:
                    break
                samples.append((time.monotonic() - start, cpu))
        timer_fired = []

        def on_timeout(*_):
            timer_fired.append(True)
            try:
                os.kill(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

        old = signal.signal(signal.SIGALRM, on_timeout)
        signal.setitimer(signal.ITIMER_REAL, max(0.001, timeout_s - (time.monotonic() - start)))
        try:
            _, status, usage = os.wait4(proc.pid, 0)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)
        wall = time.monotonic() - start
        reader.join()
        proc.returncode = os.waitstatus_to_exitcode(status)
        proc.stdout.close()
    return {
        "rc": proc.returncode,
        "timed_out": bool(timer_fired),
        "wall_s": wall,
        "cpu_s": usage.ru_utime + usage.ru_stime,
        "peak_rss_kib": usage.ru_maxrss,
        "samples": samples,
        "stdout": b"".join(chunks).decode(errors="replace"),
    }


def probe_argv(build, url, mode, amount, live, streams=1):
    argv = [os.path.join(build, "bench", "decode_probe"), "--url", url, "--mode", mode, "--streams", str(streams)]
    argv += ["--seconds", str(amount)] if live else ["--passes", str(amount)]
    return argv


def ffmpeg_argv(url, mode, amount, live):
    argv = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-nostats", "-progress", "pipe:1",
            "-threads", "1"]
    if mode == "keyframe":
        argv += ["-skip_frame", "nokey"]
    if live:
        argv += ["-rtsp_transport", "tcp", "-i", url, "-t", str(amount)]
    else:
        argv += ["-stream_loop", str(amount - 1), "-i", url]
    # The same work as the decoder: one decoding thread, every picture converted to packed BGR.
    argv += ["-map", "0:v:0", "-filter_threads", "1", "-sws_flags", "bilinear", "-pix_fmt", "bgr24",
             "-fps_mode", "passthrough", "-f", "null", "-"]
    return argv


def probe_frames(run):
    try:
        return json.loads(run["stdout"].strip().splitlines()[-1])["frames"]
    except (ValueError, IndexError, KeyError):
        return None


def ffmpeg_frames(run):
    frames = re.findall(r"^frame=(\d+)$", run["stdout"], re.MULTILINE)
    return int(frames[-1]) if frames else None


def frames_of(kind, run):
    return probe_frames(run) if kind == "decoder" else ffmpeg_frames(run)


def run_pair(kind, argv_for, amounts, video_s_per_amount, timeout_s, stderr_path):
    """A finite source: a short and a long run; the figures come from their difference, so process
    start, opening and probing cancel out."""
    runs = []
    for amount in amounts:
        run = measure(argv_for(amount), timeout_s(amount), stderr_path)
        run["frames"] = frames_of(kind, run)
        run.pop("stdout")
        run.pop("samples")
        runs.append(run)
    short, long_ = runs
    ok = all(r["rc"] == 0 and not r["timed_out"] and r["frames"] for r in runs)
    d_wall = long_["wall_s"] - short["wall_s"]
    d_video = (amounts[1] - amounts[0]) * video_s_per_amount
    result = {"runs": runs, "ok": ok, "fps": None, "cpu_per_video_s": None, "peak_rss_mib": None}
    if ok and d_wall > 0:
        result["fps"] = (long_["frames"] - short["frames"]) / d_wall
        result["cpu_per_video_s"] = max(0.0, long_["cpu_s"] - short["cpu_s"]) / d_video
        result["peak_rss_mib"] = long_["peak_rss_kib"] / 1024.0
    return result


def plan_seconds(plan):
    """Seconds of live video a run under `plan` asks for: warm-up, windows, and one to spare."""
    return plan["warmup_s"] + plan["window_s"] * plan["windows"] + 1


def run_windows(kind, argv_for, plan, timeout_s, stderr_path):
    """A live source, sent in real time: one run, its CPU time read while it runs, from the end of
    its warm-up (opening, probing) on; a second of video is a second of the wall clock."""
    seconds = plan_seconds(plan)
    run = measure(argv_for(seconds), timeout_s(seconds), stderr_path,
                  (plan["warmup_s"], plan["window_s"], plan["windows"]))
    run["frames"] = frames_of(kind, run)
    run.pop("stdout")
    samples = run["samples"]
    ok = run["rc"] == 0 and not run["timed_out"] and bool(run["frames"]) and len(samples) == plan["windows"] + 1
    result = {"runs": [run], "ok": ok, "fps": None, "cpu_per_video_s": None, "peak_rss_mib": None}
    if ok:
        (t0, c0), (t1, c1) = samples[0], samples[-1]
        result["fps"] = run["frames"] / seconds  # both programs stop at that much video
        result["cpu_per_video_s"] = (c1 - c0) / (t1 - t0)
        result["peak_rss_mib"] = run["peak_rss_kib"] / 1024.0
        result["window_cpu_per_video_s"] = [(cb - ca) / (tb - ta) for (ta, ca), (tb, cb) in zip(samples, samples[1:])]
    return result


# ---------------------------------------------------------------- sources


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class LiveServer:
    """The loopback RTSP test server with a live x264 pattern, started for one picture size."""

    def __init__(self, width, height, log_path):
        self.proc = None
        for _ in range(5):
            port = free_port()
            err = open(log_path, "ab")
            self.proc = subprocess.Popen(
                [PYTHON, RTSP_FIXTURE, "--port", str(port), "--width", str(width), "--height", str(height),
                 "--fps", str(LIVE_FPS), "--key-interval", str(LIVE_KEY_INTERVAL_S)],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
            err.close()
            line = self.proc.stdout.readline().decode(errors="replace")
            if line.startswith("READY "):
                self.url = line.split()[1] + "/live"
                return
            self.stop()
        raise RuntimeError("the RTSP test server did not start (see %s)" % log_path)

    def stop(self):
        soak.stop_process(self.proc)
        self.proc = None


def media_file():
    cache = os.environ.get("VELMO_CACHE") or os.path.join(os.path.expanduser("~"), ".cache", "velmo-ai")
    return os.path.join(cache, "media", "vtest.mp4")


def file_geometry(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height:format=duration",
         "-of", "json", path], check=True, capture_output=True, text=True).stdout
    doc = json.loads(out)
    return doc["streams"][0]["width"], doc["streams"][0]["height"], float(doc["format"]["duration"])


# ---------------------------------------------------------------- decoder section


def decoder_section(args, out_dir):
    stderr_path = os.path.join(out_dir, "decoder-runs.log")
    open(stderr_path, "w").close()
    # Live: seconds measured after the warm-up. With one key frame a second, a key-frame figure is
    # off by up to one key frame per measured span, so those modes get the longer span.
    window_s = 2.0
    spans = {"all": 6, "keyframe": 10, "adaptive": 10} if not args.quick else {"all": 2, "keyframe": 3, "adaptive": 3}
    live_plan = {m: {"warmup_s": 3.0, "window_s": window_s, "windows": n} for m, n in spans.items()}
    # `-skip_frame nokey` also holds back ffmpeg's stream probing, which then reads its full 5 s of
    # analysis before the first picture: its warm-up has to be longer than that.
    live_ref_plan = {"keyframe": dict(live_plan["keyframe"], warmup_s=7.0), "all": live_plan["all"]}
    sources = []
    vtest = media_file()
    if os.path.isfile(vtest):
        w, h, duration = file_geometry(vtest)
        # Passes per mode so the long run lasts several seconds: key frames only is several times faster.
        passes = {"all": (1, 3), "keyframe": (1, 6), "adaptive": (1, 6)} if args.quick else \
                 {"all": (1, 7), "keyframe": (1, 15), "adaptive": (1, 15)}
        sources.append({"name": "vtest.mp4", "kind": "file", "width": w, "height": h, "url": vtest,
                        "video_s_per_amount": duration, "amounts": passes, "ref_amounts": passes})
    else:
        log("bench: %s is missing (scripts/install-deps.sh makes it); its figures are skipped" % vtest)
    for w, h in ((1280, 720), (1920, 1080)):
        sources.append({"name": "rtsp-live-%dp" % h, "kind": "live", "width": w, "height": h,
                        "amounts": live_plan, "ref_amounts": live_ref_plan})

    results = []
    for source in sources:
        live = source["kind"] == "live"
        server = None

        def run(kind, argv_for, mode):
            amounts = (source["amounts"] if kind == "decoder" else source["ref_amounts"])[mode]
            if live:
                return run_windows(kind, argv_for, amounts, lambda a: a * 3 + 60, stderr_path)
            return run_pair(kind, argv_for, amounts, source["video_s_per_amount"], lambda a: 600, stderr_path)

        try:
            if live:
                server = LiveServer(source["width"], source["height"], os.path.join(out_dir, "rtsp-server.log"))
                source["url"] = server.url
            reps = {"decoder": {m: [] for m in MODES}, "ffmpeg": {m: [] for m in ("keyframe", "all")}, "rss": []}
            for rep in range(args.reps):
                log("bench: decoder, %s, repetition %d of %d" % (source["name"], rep + 1, args.reps))
                for mode in MODES:
                    reps["decoder"][mode].append(
                        run("decoder", lambda a, m=mode: probe_argv(args.build, source["url"], m, a, live), mode))
                for mode in ("keyframe", "all"):
                    reps["ffmpeg"][mode].append(
                        run("ffmpeg", lambda a, m=mode: ffmpeg_argv(source["url"], m, a, live), mode))
                if live:
                    # The cost of each further stream in one process: several decoders side by side.
                    seconds = plan_seconds(live_plan["all"])
                    many = measure(probe_argv(args.build, source["url"], "all", seconds, True, RSS_STREAMS),
                                   seconds * 3 + 60, stderr_path)
                    one = reps["decoder"]["all"][-1]
                    many.pop("stdout")
                    per_stream = None
                    if many["rc"] == 0 and one["ok"]:
                        per_stream = (many["peak_rss_kib"] - one["runs"][-1]["peak_rss_kib"]) / (RSS_STREAMS - 1) / 1024.0
                    reps["rss"].append({"run": many, "per_extra_stream_mib": per_stream})
        finally:
            if server:
                server.stop()
        results.append(summarise_source(source, reps))
    return results


def summarise_source(source, reps):
    def figures(pairs):
        return {key: {"median": median([p[key] for p in pairs]), "spread": spread([p[key] for p in pairs]),
                      "values": [p[key] for p in pairs]}
                for key in ("fps", "cpu_per_video_s", "peak_rss_mib")}

    summary = {k: source[k] for k in ("name", "kind", "width", "height")}
    if source["kind"] == "live":
        summary["plan"] = source["amounts"]  # warm-up, then CPU time read at the end of every window
        summary["ffmpeg_plan"] = source["ref_amounts"]
    else:
        summary["amounts"] = {m: list(a) for m, a in source["amounts"].items()}
        summary["ffmpeg_amounts"] = {m: list(a) for m, a in source["ref_amounts"].items()}
        summary["amount_unit"] = "passes over the file (short run, long run)"
    summary["modes"] = {}
    for mode in MODES:
        entry = {"decoder": figures(reps["decoder"][mode]),
                 "ffmpeg": figures(reps["ffmpeg"][REFERENCE_MODE[mode]]),
                 "ffmpeg_mode": REFERENCE_MODE[mode]}
        ratios = []
        for ours, ref in zip(reps["decoder"][mode], reps["ffmpeg"][REFERENCE_MODE[mode]]):
            a, b = ours["cpu_per_video_s"], ref["cpu_per_video_s"]
            ratios.append(a / b if a is not None and b else None)
        entry["cpu_ratio"] = {"median": median(ratios), "spread": spread(ratios), "values": ratios}
        summary["modes"][mode] = entry
    if reps["rss"]:
        values = [r["per_extra_stream_mib"] for r in reps["rss"]]
        summary["rss_per_extra_stream_mib"] = {"median": median(values), "spread": spread(values), "values": values,
                                               "streams": RSS_STREAMS, "mode": "all"}
    summary["raw"] = reps
    return summary


# ---------------------------------------------------------------- Google Benchmark section

STANDARD_KEYS = {"name", "family_index", "per_family_instance_index", "run_name", "run_type", "repetitions",
                 "repetition_index", "threads", "aggregate_name", "aggregate_unit", "iterations", "real_time",
                 "cpu_time", "time_unit", "error_occurred", "error_message", "label"}


def counter_unit(name):
    if name.endswith("_ms"):
        return "ms"
    if name == "per_request":
        return "s"
    if name == "items_per_second":
        return "items/s"
    if name == "bytes_per_second":
        return "B/s"
    if name.endswith("_share"):
        return "ratio"
    return "count"


def gbench_section(args, out_dir):
    bench_dir = os.path.join(args.build, "bench")
    programs = sorted(p for p in os.listdir(bench_dir) if p.endswith("_bench") and os.access(os.path.join(bench_dir, p), os.X_OK))
    results = []
    for program in programs:
        log("bench: %s (%d repetitions)" % (program, args.gbench_reps))
        raw_path = os.path.join(out_dir, program + ".json")
        argv = [os.path.join(bench_dir, program), "--benchmark_format=json",
                "--benchmark_repetitions=%d" % args.gbench_reps, "--benchmark_report_aggregates_only=true",
                # Repetitions of different benchmarks shuffled, so a slow spell of the machine is spread
                # over all of them instead of shifting one median.
                "--benchmark_enable_random_interleaving=true"]
        # Many short repetitions rather than a few long ones: the median of many is what stays put
        # from one run to the next on a machine whose neighbours come and go.
        argv.append("--benchmark_min_time=%g" % (0.1 if args.quick else 0.2))
        with open(raw_path, "wb") as out, open(os.path.join(out_dir, program + ".log"), "wb") as err:
            rc = subprocess.call(argv, stdout=out, stderr=err, cwd=args.build)
        try:
            with open(raw_path) as f:
                doc = json.load(f)
        except ValueError:
            doc = {"benchmarks": []}
        rows = {}
        entries = doc.get("benchmarks", [])
        if not any(b.get("run_type") == "aggregate" for b in entries):
            # One repetition reports no aggregates: its single run is the median.
            entries = [dict(b, run_type="aggregate", aggregate_name="median") for b in entries]
        for b in entries:
            if b.get("run_type") != "aggregate":
                continue
            row = rows.setdefault(b["run_name"], {"program": program, "name": b["run_name"], "time_unit": b["time_unit"],
                                                  "threads": b.get("threads", 1), "counters": {},
                                                  "order": (b.get("family_index", 0), b.get("per_family_instance_index", 0))})
            agg = b["aggregate_name"]
            if b.get("error_occurred"):
                row["error"] = b.get("error_message", "error")
            if agg == "median":
                row["real_time"] = b["real_time"]
                row["cpu_time"] = b["cpu_time"]
                for key, value in b.items():
                    if key not in STANDARD_KEYS and isinstance(value, (int, float)):
                        unit = counter_unit(key)
                        if unit == "s":  # seconds per item: far below a second, so shown in microseconds
                            value, unit = value * 1e6, "us"
                        row["counters"][key] = {"value": value, "unit": unit}
            elif agg == "cv":
                row["real_time_cv"] = b["real_time"]
        # A benchmark that failed reports no aggregates; the rc says so.
        # Shuffled repetitions come out shuffled: back to the order the program declares them in.
        ordered = sorted(rows.values(), key=lambda r: r.pop("order"))
        results.append({"program": program, "rc": rc, "rows": ordered})
    return results


# ---------------------------------------------------------------- output


def fmt(value, digits=3):
    if value is None:
        return "-"
    if value == 0:
        return "0"
    magnitude = abs(value)
    if magnitude >= 1000:
        return "%.0f" % value
    if magnitude >= 100:
        return "%.1f" % value
    if magnitude >= 10:
        return "%.2f" % value
    return ("%." + str(digits) + "g") % value


def pct(value):
    return "-" if value is None else "%.1f%%" % (value * 100.0)


def table(rows, header):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    last = len(header) - 1
    lines = ["  ".join(str(c).ljust(w) if i in (0, last) else str(c).rjust(w) for i, (c, w) in enumerate(zip(r, widths))).rstrip()
             for r in [header] + rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def flat_figures(decoder, gbench):
    """Every figure as {id, value, unit, spread}: the part to compare side by side."""
    out = []
    for s in decoder:
        for mode, entry in s["modes"].items():
            base = "decoder/%s/%s" % (s["name"], mode)
            for who in ("decoder", "ffmpeg"):
                prefix = base if who == "decoder" else base + "/ffmpeg"
                for key, unit in (("fps", "frames/s"), ("cpu_per_video_s", "CPU s per s of video"), ("peak_rss_mib", "MiB")):
                    f = entry[who][key]
                    out.append({"id": "%s/%s" % (prefix, key), "value": f["median"], "unit": unit, "spread": f["spread"]})
            out.append({"id": base + "/cpu_ratio_to_ffmpeg", "value": entry["cpu_ratio"]["median"], "unit": "ratio",
                        "spread": entry["cpu_ratio"]["spread"]})
        if "rss_per_extra_stream_mib" in s:
            f = s["rss_per_extra_stream_mib"]
            out.append({"id": "decoder/%s/all/rss_per_extra_stream_mib" % s["name"], "value": f["median"], "unit": "MiB",
                        "spread": f["spread"]})
    for program in gbench:
        for row in program["rows"]:
            base = "%s/%s" % (program["program"], row["name"])
            out.append({"id": base + "/real_time", "value": row.get("real_time"), "unit": row["time_unit"],
                        "spread": row.get("real_time_cv"), "spread_kind": "cv"})
            out.append({"id": base + "/cpu_time", "value": row.get("cpu_time"), "unit": row["time_unit"]})
            for key, c in row["counters"].items():
                out.append({"id": "%s/%s" % (base, key), "value": c["value"], "unit": c["unit"]})
    return out


def print_tables(result):
    m = result["machine"]
    print("velmo-ai benchmarks, %s" % result["started"])
    print("machine: %s, %d cores; load average (1 min) %.2f at start, %.2f at end; all processes kept %.0f%% of"
          " the CPUs busy while it ran, %.0f%% of them its own programs (%.1f%% stolen by the hypervisor)"
          % (m["cpu"], m["cores"], m["loadavg_start"][0], m["loadavg_end"][0], 100.0 * m["busy_share"],
             100.0 * m["own_share"], 100.0 * m["steal_share"]))
    if result["decoder"]:
        print("\nDecoder (median of %d repetitions; spread = (max - min) / median; ffmpeg = the ffmpeg program, same"
              " source, one thread, BGR output, to a null output)" % result["settings"]["reps"])
        rows = []
        for s in result["decoder"]:
            for mode, e in s["modes"].items():
                d, f = e["decoder"], e["ffmpeg"]
                rows.append(["%s %dx%d" % (s["name"], s["width"], s["height"]), mode,
                             fmt(d["fps"]["median"]), fmt(d["cpu_per_video_s"]["median"]),
                             pct(d["cpu_per_video_s"]["spread"]), fmt(d["peak_rss_mib"]["median"]),
                             fmt(f["fps"]["median"]), fmt(f["cpu_per_video_s"]["median"]),
                             fmt(e["cpu_ratio"]["median"])])
        print(table(rows, ["source", "mode", "fps", "CPU s/s", "spread", "RSS MiB",
                           "ffmpeg fps", "ffmpeg CPU s/s", "CPU ratio"]))
        for s in result["decoder"]:
            if "rss_per_extra_stream_mib" in s:
                f = s["rss_per_extra_stream_mib"]
                print("%s: peak RSS per further decoded stream (%d streams in one process, mode all): %s MiB"
                      " (spread %s)" % (s["name"], f["streams"], fmt(f["median"]), pct(f["spread"])))
        print("fps: frames delivered per wall-clock second (a file is read as fast as it decodes; the live source"
              " sends %d fps, one key frame per %g s). CPU s/s: CPU seconds (all threads, user + system) per second"
              " of video. RSS: peak resident memory of the whole process with one stream. CPU ratio: decoder"
              " CPU / ffmpeg CPU." % (LIVE_FPS, LIVE_KEY_INTERVAL_S))
    if result["google_benchmark"]:
        print("\nIn-process benchmarks (Google Benchmark, median of %d repetitions; cv = coefficient of variation)"
              % result["settings"]["gbench_reps"])
        rows = []
        for program in result["google_benchmark"]:
            if program["rc"] != 0 and not program["rows"]:
                rows.append([program["program"], "failed (exit %d, see its .log)" % program["rc"], "", "", "", ""])
            for row in program["rows"]:
                counters = ", ".join("%s=%s%s" % (k, fmt(c["value"]), "" if c["unit"] in ("count", "ratio") else " " + c["unit"])
                                     for k, c in row["counters"].items() if k not in ("items_per_second", "bytes_per_second"))
                rows.append([row["name"], fmt(row.get("real_time")), fmt(row.get("cpu_time")), row["time_unit"],
                             pct(row.get("real_time_cv")), row.get("error") or counters])
        print(table(rows, ["benchmark", "wall", "CPU", "unit", "cv", "counters"]))
    soak.print_table(result.get("soak") or {}, fmt, table)
    print("\nresults: %s" % result["path"])


def compare(paths, limit):
    """Each figure of several result files side by side, with its spread across them."""
    docs = []
    for path in paths:
        with open(path) as f:
            docs.append(json.load(f))
    units, values = {}, {}
    for i, doc in enumerate(docs):
        for f in doc["figures"]:
            units[f["id"]] = f["unit"]
            values.setdefault(f["id"], [None] * len(docs))[i] = f["value"]
    rows, over, measured = [], [], 0
    for fid, vals in values.items():
        s = spread(vals)
        rows.append([fid, units[fid]] + [fmt(v) for v in vals] + [pct(s)])
        if s is not None:
            measured += 1
            if s > limit:
                over.append(fid)
    print(table(rows, ["figure", "unit"] + [d["started"] for d in docs] + ["spread"]))
    print("\n%d of %d figures within %.0f%% ((max - min) / median across the %d files)"
          % (measured - len(over), measured, limit * 100.0, len(docs)))
    for fid in over:
        print("  over: %s" % fid)
    return 0


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", help="the build directory")
    p.add_argument("--out", help="result folder (default BUILD/bench)")
    p.add_argument("--reps", type=int, default=3, help="repetitions of each whole-process figure")
    p.add_argument("--gbench-reps", type=int, default=20, help="repetitions of each Google Benchmark")
    p.add_argument("--only", choices=("all", "decoder", "gbench", "soak"), default="all")
    p.add_argument("--soak-n", default=None,
                   help="soak plan, 'MODE:N,N,...;MODE:...' (default keyframe:1,16,64;all:1,16,48,64)")
    p.add_argument("--soak-repeat", type=int, default=None,
                   help="repeats of the whole soak plan (default 3, --quick 1); figures are min-median-max")
    p.add_argument("--quick", action="store_true", help="one repetition, short runs: a smoke test, not figures")
    p.add_argument("--compare", nargs="+", metavar="RESULTS_JSON",
                   help="run nothing: show the figures of earlier result files side by side")
    p.add_argument("--limit", type=float, default=0.10, help="with --compare: the spread called stable")
    args = p.parse_args(argv)
    if args.compare:
        return compare(args.compare, args.limit)
    if not args.build:
        p.error("--build is required")
    args.build = os.path.abspath(args.build)
    if args.quick:
        args.reps = 1
        args.gbench_reps = 1
    if args.soak_repeat is None:
        args.soak_repeat = 1 if args.quick else 3
    if args.soak_n is None:
        args.soak_n = "keyframe:1,4;all:1,4" if args.quick else "keyframe:1,16,64;all:1,16,48,64"
    out_dir = os.path.abspath(args.out or os.path.join(args.build, "bench"))
    os.makedirs(out_dir, exist_ok=True)

    started = datetime.datetime.now(datetime.timezone.utc)
    machine = machine_info()
    machine["loadavg_start"] = list(os.getloadavg())
    busy0, steal0, total0 = cpu_times()
    own0 = os.times()
    gbench = gbench_section(args, out_dir) if args.only in ("all", "gbench") else []
    decoder = decoder_section(args, out_dir) if args.only in ("all", "decoder") else []
    soak_result = soak.soak_section(args, out_dir) if args.only in ("all", "soak") else {}
    busy1, steal1, total1 = cpu_times()
    machine["loadavg_end"] = list(os.getloadavg())
    machine["busy_share"] = (busy1 - busy0) / max(1, total1 - total0)
    machine["steal_share"] = (steal1 - steal0) / max(1, total1 - total0)
    own1 = os.times()
    own_cpu = sum(own1[i] - own0[i] for i in range(4))  # this script and every program it waited for
    machine["own_share"] = own_cpu / max(1e-9, (own1.elapsed - own0.elapsed) * (os.cpu_count() or 1))
    machine["duration_s"] = (datetime.datetime.now(datetime.timezone.utc) - started).total_seconds()

    path = os.path.join(out_dir, "results.json")
    result = {
        "schema": 1,
        "started": started.strftime("%Y-%m-%dT%H:%M:%SZ"),
        "machine": machine,
        "settings": {"reps": args.reps, "gbench_reps": args.gbench_reps, "quick": args.quick,
                     "soak_repeat": args.soak_repeat,
                     "live_fps": LIVE_FPS, "live_key_interval_s": LIVE_KEY_INTERVAL_S},
        "figures": flat_figures(decoder, gbench) + soak.flat_figures(soak_result),
        "decoder": decoder,
        "soak": soak_result,
        "google_benchmark": gbench,
        "path": path,
    }
    with open(path + ".tmp", "w") as f:
        json.dump(result, f, indent=1)
        f.write("\n")
    os.replace(path + ".tmp", path)
    print_tables(result)
    failed = any("error" in r for r in soak_result.get("runs", [])) or any(g["rc"] != 0 for g in gbench) or any(
        not pair["ok"] for s in decoder for who in ("decoder", "ffmpeg") for pairs in s["raw"][who].values() for pair in pairs)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
