#!/usr/bin/env python3
"""Audio/video sync of korvat's output, measured on clips we make ourselves.

Every clip is black with a one-picture flash at each whole second and silent
with a 40 ms beep starting at each whole second. The flash's grey level and
the beep's pitch say which second it is, so a second can still be told after
damage has shifted everything around it. The truth is ffmpeg's own program
stream of the same sources, which keeps its time stamps (its MP2 encoder
stamps the first frame early by the codec's delay, so flash and beep meet
there to 0.1 ms).

Prints the reference; the clean clips split by korvat and muxed by the
README's recipe and by variants of it, each against the reference; and, once
korvat-pack can lose stretches of a recording, how far damage moves each
second's offset from the same clip undamaged, before (-k) and after (-r).

  bench/sync.py [--korvat PATH] [--pack PATH] [--keep DIR] [--jobs N]

Run by hand; not part of the tests. Needs ffmpeg and ffprobe (made for
Debian 12's 5.1); about a minute and a half on two cores.
"""

import argparse
import array
import bisect
import concurrent.futures
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

RATE = 48000
FPS = 25
PERIOD = 1.0 / FPS
SECONDS = 60
BEEP = 1920  # samples: 40 ms
TOLERANCE_MS = 12.0
STEP_TIMEOUT = 180  # seconds for any one child process

# Grey level and pitch of second s, chosen far enough apart to survive coding.
def flash_level(s):
    return 40 + 3 * s


def beep_pitch(s):
    return 400 + 20 * s


class Children:
    """The child processes now running, so that an interrupted run ends them."""

    def __init__(self):
        self.lock = threading.Lock()
        self.running = set()
        self.stopping = False

    def run(self, argv, cwd=None, timeout=STEP_TIMEOUT):
        with self.lock:
            if self.stopping:
                raise RuntimeError("stopping")
            proc = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, start_new_session=True)
            self.running.add(proc)
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            raise RuntimeError("timed out after %d s: %s" % (timeout, " ".join(argv)))
        finally:
            with self.lock:
                self.running.discard(proc)
        return proc.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")

    def stop_all(self):
        with self.lock:
            self.stopping = True
            for proc in self.running:
                try:
                    proc.kill()
                except OSError:
                    pass


CHILDREN = Children()


def run(argv, cwd=None, check=True, timeout=STEP_TIMEOUT):
    rc, out, err = CHILDREN.run([str(a) for a in argv], cwd=cwd, timeout=timeout)
    if check and rc != 0:
        raise RuntimeError("%s failed (%d): %s" % (argv[0], rc, err.strip()[-600:]))
    return rc, out, err


FF = ["ffmpeg", "-nostdin", "-nostats", "-hide_banner", "-v", "error", "-y"]


# ---------------------------------------------------------------- the clips

def video_source():
    # geq on a 16x16 frame and a scale up: geq on the full frame is slow.
    lum = "if(eq(mod(N,%d),0),40+3*floor(N/%d),16)" % (FPS, FPS)
    return ("nullsrc=s=16x16:r=%d:d=%d,format=yuv420p,geq=lum='%s':cb=128:cr=128,scale=720x576"
            % (FPS, SECONDS, lum))


def audio_source(shift):
    # Sample n of the stream is sample n+shift of the clip's timeline; the
    # sample count keeps the gate and the phase exact.
    m = "(n+%d)" % shift
    expr = ("if(lt(mod(%s,%d),%d),0.5*sin(2*PI*(400+20*floor(%s/%d))*mod(%s,%d)/%d),0)"
            % (m, RATE, BEEP, m, RATE, m, RATE, RATE))
    return "aevalsrc=exprs='%s':s=%d:d=%d:c=stereo" % (expr, RATE, SECONDS)


def video_codec(bframes):
    # GOPs of exactly 12: a flash would otherwise start a GOP of its own. The
    # bigger buffer keeps the program stream muxer from complaining about
    # the sharp flash pictures.
    return ["-c:v", "mpeg2video", "-g", "12", "-bf", str(bframes), "-sc_threshold", "1000000000",
            "-q:v", "2", "-maxrate", "9000k", "-bufsize", "1835k"]


AUDIO_CODEC = ["-c:a", "mp2", "-b:a", "192k", "-ac", "2"]
EXACT = ["-fflags", "+bitexact", "-flags", "+bitexact"]


def make_video(path, bframes, low_delay=False):
    run(FF + ["-fflags", "+bitexact", "-f", "lavfi", "-i", video_source()] + video_codec(bframes)
        + ["-flags", "+bitexact" + ("+low_delay" if low_delay else ""), "-f", "mpeg2video", path])


def make_audio(path, shift):
    run(FF + ["-fflags", "+bitexact", "-f", "lavfi", "-i", audio_source(shift)] + AUDIO_CODEC
        + ["-flags", "+bitexact", "-f", "mp2", path])


def make_reference(path, bframes):
    run(FF + ["-fflags", "+bitexact", "-f", "lavfi", "-i", video_source(), "-f", "lavfi", "-i", audio_source(0)]
        + video_codec(bframes) + AUDIO_CODEC + EXACT + ["-f", "vob", path])


# ------------------------------------------------------ the byte formats

def video_pictures(es):
    """Stream position, picture type, temporal reference and display index of
    every picture, the sequence headers' positions, and low_delay."""
    pictures, headers, low_delay = [], [], None
    base = count = 0
    at = es.find(b"\x00\x00\x01")
    while 0 <= at < len(es) - 6:
        code = es[at + 3]
        if code == 0xB8:
            base = count  # a GOP's pictures sit together in stream order
        elif code == 0xB3:
            headers.append(at)
        elif code == 0xB5 and es[at + 4] >> 4 == 1 and low_delay is None:
            low_delay = (es[at + 9] >> 7) & 1
        elif code == 0x00:
            tr = (es[at + 4] << 2) | (es[at + 5] >> 6)
            kind = "?IPBD"[(es[at + 5] >> 3) & 7]
            pictures.append((at, kind, tr, base + tr))
            count += 1
        at = es.find(b"\x00\x00\x01", at + 4)
    return pictures, headers, low_delay


def av_packets(data):
    """(offset, stream id, flags, payload length) of every AV packet of an
    undamaged recording."""
    packets, at = [], 0
    while at + 8 <= len(data):
        if data[at:at + 2] != b"AV":
            raise ValueError("no AV header at byte %d" % at)
        length = (data[at + 6] << 8) | data[at + 7]
        packets.append((at, data[at + 2], data[at + 5], length))
        at += 8 + length
    return packets


def pes_pts(payload):
    if len(payload) < 14 or payload[:3] != b"\x00\x00\x01" or payload[6] & 0xC0 != 0x80:
        return None
    if not payload[7] & 0x80:
        return None
    b = payload[9:14]
    return ((b[0] >> 1) & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1


def stamp_check(recording, video_es):
    """How many of the recording's time stamps say the display time of what
    they stamp, taking the first picture and first audio frame as right."""
    data = open(recording, "rb").read()
    pictures, _, _ = video_pictures(video_es)
    display = {p[0]: p[3] for p in pictures}
    starts = [p[0] for p in pictures]
    video_at, video_good, video_all = 0, 0, 0
    first = None
    audio_at, audio_good, audio_all = 0, 0, 0
    frame_bytes = 576  # 192 kbit/s at 48 kHz, no padding
    first_audio = None
    seen_sequence = False
    for offset, sid, flags, length in av_packets(data):
        payload = data[offset + 8:offset + 8 + length]
        if sid == 1:
            prefixed = flags & 0x10
            body = payload[4:] if prefixed else payload
            if not seen_sequence:
                found = body.find(b"\x00\x00\x01\xb3")
                # Video before the first sequence header is a lead-in from elsewhere.
                if found < 0:
                    continue
                seen_sequence = True
                video_at = -found
                # Its stamp is a lead-in picture's when one begins before the header.
                if body.find(b"\x00\x00\x01\x00", 0, found) >= 0:
                    prefixed = False
            begin, end = video_at, video_at + len(body)
            video_at = end
            if prefixed:
                i = bisect.bisect_left(starts, max(begin, 0))
                if i < len(starts) and starts[i] < end and starts[i] >= 0:
                    stamp = int.from_bytes(payload[:4], "big")
                    if first is None:
                        first = (stamp, display[starts[i]])
                    video_all += 1
                    video_good += stamp == first[0] + (display[starts[i]] - first[1]) * 3600
        elif sid == 2 and payload[3:4] == b"\xc0":
            header = 9 + payload[8] if len(payload) > 9 else len(payload)
            body = payload[header:]
            pts = pes_pts(payload)
            if first_audio is None:
                if not body.startswith(b"\xff"):
                    continue  # the tail of a frame from before the recording
                first_audio = pts
            begin = audio_at
            audio_at += len(body)
            frame = -(-begin // frame_bytes)
            if pts is not None and frame * frame_bytes < audio_at:
                audio_all += 1
                audio_good += pts == first_audio + frame * 2160
    return (video_good, video_all), (audio_good, audio_all)


# ------------------------------------------------------------ measuring

SHOWINFO = re.compile(r"n:\s*(\d+)\s+pts:\s*(-?\d+|NOPTS).*?mean:\[(\d+) \d+ \d+\] stdev:\[([\d.]+)")
ASHOWINFO = re.compile(r"n:(\d+) pts:(-?\d+|NOPTS) .*?nb_samples:(\d+)")
TIMEBASE = re.compile(r"Parsed_showinfo.*config in time_base: (\d+)/(\d+)")


class Measured:
    """Per second: flash time (decoder's time stamps and frame count), beep onset."""

    def __init__(self):
        self.flash = {}   # s -> seconds, from the decoder's time stamps
        self.counted = {}  # s -> seconds, first picture's stamp plus 40 ms a picture
        self.beep = {}    # s -> seconds
        self.bad = set()  # seconds seen twice or malformed
        self.first_video = self.first_audio = None
        self.video_frames = 0

    def offsets(self, counted=False):
        flash = self.counted if counted else self.flash
        return {s: self.beep[s] - flash[s] for s in flash if s in self.beep and s not in self.bad}


def decode(mux, pcm_path):
    _, _, err = run(["ffmpeg", "-nostdin", "-nostats", "-hide_banner", "-v", "info", "-y", "-copyts", "-i", mux,
                     "-map", "0:v:0", "-vf", "showinfo", "-f", "null", "-",
                     "-map", "0:a:0", "-af", "ashowinfo", "-c:a", "pcm_s16le", "-f", "s16le", pcm_path])
    return err


def measure(mux, work):
    pcm_path = os.path.join(work, os.path.basename(mux) + ".pcm")
    log = decode(mux, pcm_path)
    m = Measured()
    num, den = 1, 90000
    tb = TIMEBASE.search(log)
    if tb:
        num, den = int(tb.group(1)), int(tb.group(2))
    frames = []
    for line in log.splitlines():
        if "Parsed_showinfo" in line:
            v = SHOWINFO.search(line)
            if v:
                pts = None if v.group(2) == "NOPTS" else int(v.group(2)) * num / den
                frames.append((int(v.group(1)), pts, int(v.group(3)), float(v.group(4))))
    m.video_frames = len(frames)
    stamped = [f for f in frames if f[1] is not None]
    m.first_video = stamped[0][1] - stamped[0][0] * PERIOD if stamped else 0.0
    for n, pts, mean, stdev in frames:
        if mean < 30:
            continue
        s = round((mean - 40) / 3)
        if abs(mean - flash_level(s)) > 1 or stdev > 3 or not 0 <= s < SECONDS:
            continue  # a concealed or half picture, not a flash
        if s in m.flash or s in m.counted:
            m.bad.add(s)
        m.flash[s] = pts if pts is not None else m.first_video + n * PERIOD
        m.counted[s] = m.first_video + n * PERIOD
    audio_frames = []
    total = 0
    for line in log.splitlines():
        if "Parsed_ashowinfo" in line:
            a = ASHOWINFO.search(line)
            if a and a.group(2) != "NOPTS":
                audio_frames.append((total, int(a.group(2)) / RATE))
                total += int(a.group(3))
            elif a:
                total += int(a.group(3))
    if audio_frames:
        m.first_audio = audio_frames[0][1]
    raw = array.array("h")
    with open(pcm_path, "rb") as f:
        raw.frombytes(f.read())
    os.unlink(pcm_path)
    if sys.byteorder != "little":
        raw.byteswap()
    left = raw[0::2]
    starts = [a[0] for a in audio_frames]

    def when(k):
        i = bisect.bisect_right(starts, k) - 1
        if i < 0:
            return None
        return audio_frames[i][1] + (k - audio_frames[i][0]) / RATE

    for onset, end in beeps(left):
        s, ok = beep_second(left, onset, end)
        t = when(onset)
        if not ok or t is None:
            continue
        if s in m.beep:
            m.bad.add(s)
        m.beep[s] = t
    return m


def beeps(x, threshold=3000, block=240, quiet_blocks=60):
    """(onset, end) sample of each loud stretch that follows a quiet one."""
    out = []
    quiet = quiet_blocks
    current = None
    for b in range(0, len(x), block):
        chunk = x[b:b + block]
        loud = max(chunk) > threshold or -min(chunk) > threshold
        if loud:
            if current is None and quiet >= quiet_blocks:
                k = b
                while abs(x[k]) <= threshold:
                    k += 1
                current = [k, b + block]
            elif current is not None:
                current[1] = b + block
            if current is not None:
                k = b + len(chunk) - 1
                while abs(x[k]) <= threshold:
                    k -= 1
                current[1] = k + 1
            quiet = 0
        else:
            quiet += 1
            if current is not None and quiet >= 2:
                out.append(tuple(current))
                current = None
    if current is not None:
        out.append(tuple(current))
    return out


def beep_second(x, onset, end):
    """Which second a beep belongs to, from its pitch; and whether it is whole."""
    rises = []
    for k in range(max(onset, 1), min(end, len(x))):
        if x[k - 1] < 0 <= x[k]:
            rises.append(k - 1 + (-x[k - 1]) / (x[k] - x[k - 1]))
    if len(rises) < 8:
        return None, False
    pitch = (len(rises) - 1) * RATE / (rises[-1] - rises[0])
    s = round((pitch - 400) / 20)
    length = (rises[-1] - rises[0]) / RATE
    whole = abs(pitch - beep_pitch(s)) < 4 and 0.030 < length < 0.045 and 0 <= s < SECONDS
    return s, whole


# --------------------------------------------------------------- korvat

def delay_of(err):
    m = re.search(r"audio delay: ([+-]\d+) ms", err)
    return int(m.group(1)) if m else None


def split(korvat, recording, outdir, flag):
    os.makedirs(outdir)
    argv = [korvat] + ([flag] if flag else []) + [os.path.abspath(recording), "rec.mp2", "rec.m2v"]
    rc, _, err = run(argv, cwd=outdir, check=False)
    if rc != 0:
        raise RuntimeError("korvat %s exited %d: %s" % (flag, rc, err.strip()[-300:]))
    return os.path.join(outdir, "rec.m2v"), os.path.join(outdir, "rec.mp2"), delay_of(err), err


def seconds_arg(ms):
    return "%s%d.%03d" % ("-" if ms < 0 else "", abs(ms) // 1000, abs(ms) % 1000)


def readme_mux(video, audio, delay_ms, out):
    """The README's recipe: the video's own time stamps made for every picture
    and counted from its first, the audio offset by korvat's delay."""
    return mux(video, audio, delay_ms, out, GENPTS, extra=TO_FIRST_PICTURE)


def mux(video, audio, delay_ms, out, video_options=(), audio_extra_ms=0, video_offset_ms=None, extra=()):
    """The recipe without its video options, and variants of it for the study of the recipe."""
    argv = ["ffmpeg", "-nostdin", "-v", "error"] + list(video_options)
    if video_offset_ms is not None:
        argv += ["-itsoffset", seconds_arg(video_offset_ms)]
    argv += ["-i", video, "-itsoffset", seconds_arg(delay_ms + audio_extra_ms), "-i", audio, "-c", "copy"]
    argv += list(extra) + [out]
    run(argv)
    return out


def frame_hashes(m2v):
    """Each decoded picture's checksum, in order, and how many lines the
    decoder logged as errors."""
    out = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", m2v, "-f", "framemd5", "-"],
                         capture_output=True, timeout=STEP_TIMEOUT, text=True)
    hashes = [line.split(",")[-1].strip() for line in out.stdout.splitlines() if line and not line.startswith("#")]
    return hashes, len([line for line in out.stderr.splitlines() if line.strip()])


def picture_count(m2v):
    with open(m2v, "rb") as f:
        return f.read().count(b"\0\0\1\0")


def pack(packer, video, audio, recording, seed, options=()):
    run([packer, "--seed", seed] + list(options) + [video, audio, recording])


# ---------------------------------------------------------------- report

def ms(x):
    return "%+7.1f" % (x * 1000) if x is not None else "    n/a"


def spread(offsets):
    if not offsets:
        return None, None, None
    v = sorted(offsets.values())
    return v[len(v) // 2], v[0], v[-1]


def worst(offsets, truth):
    """Largest |offset - truth| over the seconds both hold, and how many."""
    common = [s for s in offsets if s in truth]
    if not common:
        return None, 0
    return max(abs(offsets[s] - truth[s]) for s in common), len(common)


FRAME_RATES = {1: 24000 / 1001, 2: 24.0, 3: 25.0, 4: 30000 / 1001, 5: 30.0, 6: 50.0, 7: 60000 / 1001, 8: 60.0}


def ffmpeg_lateness_ms(m2v):
    """How late ffmpeg shows the first picture of a raw MPEG-2 stream after the
    time it gives the stream's start: with low_delay 0 its decoder holds one
    picture back, and the I picture of an open GOP shows after the B pictures
    before it in display order, whether or not they are decoded."""
    with open(m2v, "rb") as f:
        es = f.read(1 << 20)
    pictures, headers, low_delay = video_pictures(es)
    rate = FRAME_RATES.get(es[headers[0] + 7] & 0x0F, 25.0)
    pictures_late = pictures[0][2] + (1 if low_delay == 0 else 0)
    return round(pictures_late * 1000 / rate), pictures[0][2], low_delay


GENPTS = ["-fflags", "+genpts"]
# The video's first packet is its first picture: stamped by genpts, it moves
# to the time the audio offset counts from.
TO_FIRST_PICTURE = ["-bsf:v", "setts=pts=PTS-STARTPTS:dts=DTS-STARTPTS"]
# name, video input options, extra ms on the audio offset (in units of ffmpeg's
# lateness), video -itsoffset (likewise), output options
VARIANTS = [
    ("plain -c copy", [], 0, None, []),
    ("plain, delay+L", [], 1, None, []),
    ("+genpts", GENPTS, 0, None, []),
    ("+genpts, delay+L", GENPTS, 1, None, []),
    ("+genpts, video -itsoffset -L", GENPTS, 0, -1, []),
    ("README: +genpts, setts to first picture", GENPTS, 0, None, TO_FIRST_PICTURE),
]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    build = os.path.join(os.path.dirname(here), "build")
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--korvat", default=os.path.join(build, "korvat"))
    ap.add_argument("--pack", default=os.path.join(build, "korvat-pack"))
    ap.add_argument("--keep", metavar="DIR", help="keep the work files in DIR, which must not exist")
    ap.add_argument("--jobs", type=int, default=2, help="processes at once (default 2)")
    args = ap.parse_args()
    for tool in (args.korvat, args.pack):
        if not os.access(tool, os.X_OK):
            sys.exit("not found: %s (build it, or give --korvat/--pack)" % tool)
    for tool in ("ffmpeg", "ffprobe"):
        if not shutil.which(tool):
            sys.exit("needs %s" % tool)
    if args.keep:
        os.makedirs(args.keep)
        work = os.path.abspath(args.keep)
    else:
        work = tempfile.mkdtemp(prefix="korvat-sync-")

    def stop(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)
    bench = Bench(args, work)
    try:
        bench.run()
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    except RuntimeError as e:
        print("sync.py: %s" % e, file=sys.stderr)
        return 1
    finally:
        # No thread may start anything, or make a directory, once the work
        # directory is gone.
        CHILDREN.stop_all()
        bench.pool.shutdown(wait=True, cancel_futures=True)
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    return 0


class Bench:
    def __init__(self, args, work):
        self.work = work
        self.korvat, self.packer = os.path.abspath(args.korvat), os.path.abspath(args.pack)
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs))
        self.quality = {}  # clip: ((broken, errors, decoded) before and after, extra pictures dropped)

    def path(self, name):
        return os.path.join(self.work, name)

    def all(self, *calls):
        futures = [self.pool.submit(*call) for call in calls]
        return [f.result() for f in futures]

    def run(self):
        started = time.time()
        P = self.path
        _, _, usage = run([self.packer], check=False)
        _, khelp, kerr = run([self.korvat, "--help"], check=False)
        damage = all(o in usage for o in ("--lose", "--pes-frames", "--report"))
        self.pes_frames_takes_number = bool(re.search(r"--pes-frames\s+N", usage))
        self.keep_flag = "-k" if re.search(r"^\s*-k\b", khelp + kerr, re.M) else "-r"

        self.all((make_video, P("v_bf2.m2v"), 2), (make_video, P("v_bf0.m2v"), 0),
                 (make_video, P("v_bf0low.m2v"), 0, True),
                 (make_reference, P("ref_bf2.vob"), 2), (make_reference, P("ref_bf0.vob"), 0),
                 (make_audio, P("probe.mp2"), 0))
        measured = self.all((measure, P("ref_bf2.vob"), self.work), (measure, P("ref_bf0.vob"), self.work))
        self.ref = {"bf2": measured[0].offsets(), "bf0": measured[1].offsets()}
        codec = self.codec_delay(P("ref_bf2.vob"))

        # The packer stamps the first picture and the first audio frame with
        # fixed times. For the recording to tell the truth the audio must
        # start that much later in the clip, less the MP2 codec's delay that
        # an encoder stamps its first frame early by, as ffmpeg's does in the
        # reference.
        seed = self.find_seed(P("v_bf2.m2v"), P("probe.mp2"), 1)
        pack(self.packer, P("v_bf2.m2v"), P("probe.mp2"), P("probe.av"), seed)
        lead = recording_lead(P("probe.av"))
        os.unlink(P("probe.av"))
        os.unlink(P("probe.mp2"))
        if lead * RATE % 90000:
            raise RuntimeError("an audio lead of %d ticks is no whole number of samples" % lead)
        self.lead_samples = lead * RATE // 90000
        shift = self.lead_samples + codec
        # A recording begun mid-broadcast starts at an open GOP: its I picture
        # shows after two B pictures that lean on a GOP the recording lacks.
        es = open(P("v_bf2.m2v"), "rb").read()
        pictures, headers, _ = video_pictures(es)
        with open(P("v_open.m2v"), "wb") as f:
            f.write(es[headers[1]:])
        first_open = next(p for p in pictures if p[0] > headers[1])
        self.all((make_audio, P("a.mp2"), shift),
                 (make_audio, P("a_open.mp2"), first_open[3] * RATE // FPS + shift))

        print("korvat: %s\nkorvat-pack: %s" % (self.korvat, self.packer))
        print("clips: %d s, 720x576 %d fps, GOP 12, MP2 48 kHz 192 kbit/s stereo, flash and beep at every second"
              % (SECONDS, FPS))
        print("the recording stamps its audio %+.0f ms after its first picture; ffmpeg's MP2 encoder stamps its"
              " first frame %d samples (%.1f ms) early" % (lead / 90.0, codec, codec * 1000.0 / RATE))
        print("\nreference (ffmpeg's program stream of the same sources): beep onset minus flash,"
              " median [min, max] ms")
        for k in ("bf2", "bf0"):
            med, lo, hi = spread(self.ref[k])
            print("  %-4s %s [%s, %s] over %d seconds" % (k, ms(med), ms(lo), ms(hi), len(self.ref[k])))

        clean = [("bf2", "v_bf2.m2v", "a.mp2", "bf2"), ("bf0", "v_bf0.m2v", "a.mp2", "bf0"),
                 ("bf2-open", "v_open.m2v", "a_open.mp2", "bf2"), ("bf0-low", "v_bf0low.m2v", "a.mp2", "bf0")]
        self.recipe_study(clean, seed)
        if damage:
            self.damaged()
        else:
            print("\ndamaged clips: skipped, korvat-pack has no --lose, --pes-frames and --report yet")
        print("\n%.0f s" % (time.time() - started))

    def codec_delay(self, reference):
        _, out, _ = run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_type,start_time", "-of", "compact",
                         reference])
        start = dict(re.findall(r"codec_type=(\w+)\|start_time=([\d.]+)", out))
        return round((float(start["video"]) - float(start["audio"])) * RATE)

    def find_seed(self, video, audio, start, options=(), tries=400):
        """The first seed from `start` whose recording lets korvat say the
        delay, which the recipe needs."""
        for seed in range(start, start + tries):
            probe = tempfile.mkdtemp(dir=self.work, prefix="seed-")
            try:
                rec = os.path.join(probe, "rec.av")
                pack(self.packer, video, audio, rec, seed, options)
                if split(self.korvat, rec, os.path.join(probe, "split"), "-r")[2] is not None:
                    return seed
            finally:
                shutil.rmtree(probe, ignore_errors=True)
        raise RuntimeError("no seed in %d..%d gives a known delay" % (start, start + tries - 1))

    def clean_clip(self, name, video, audio, seed):
        d = self.path("clean-" + name)
        os.makedirs(d)
        rec = os.path.join(d, "rec.av")
        pack(self.packer, self.path(video), self.path(audio), rec, seed)
        v, a, delay, _ = split(self.korvat, rec, os.path.join(d, "split-r"), "-r")
        late, tr, low_delay = ffmpeg_lateness_ms(v)
        stamps = stamp_check(rec, open(v, "rb").read())
        results = []
        for i, (_, vopts, extra, voff, oopts) in enumerate(VARIANTS):
            out = mux(v, a, delay, os.path.join(d, "mux%d.mpg" % i), vopts, extra * late,
                      None if voff is None else voff * late, oopts)
            results.append(measure(out, d))
        kept = None
        if self.keep_flag != "-r":
            v, a, kdelay, _ = split(self.korvat, rec, os.path.join(d, "split-k"), self.keep_flag)
            kept = measure(readme_mux(v, a, kdelay, os.path.join(d, "mux-k.mpg")), d)
        return delay, stamps, (late, tr, low_delay), results, kept

    def recipe_study(self, clips, seed):
        seeds = {"bf2": seed}
        for name, video, audio, _ in clips[1:]:
            seeds[name] = self.find_seed(self.path(video), self.path(audio), 1)
        futures = {name: self.pool.submit(self.clean_clip, name, video, audio, seeds[name])
                   for name, video, audio, _ in clips}
        print("\nclean clips split with -r and muxed, offset minus the reference's: median [min, max] ms")
        print("(flash times are the decoder's time stamps; 'count' shows counting pictures at %d fps where it"
              " differs; L is how late ffmpeg shows the first picture of the raw video)" % FPS)
        print("(plain: ffmpeg -i V.m2v -itsoffset DELAY -i A.mp2 -c copy out.mpg; +genpts: -fflags +genpts"
              " before -i V.m2v; setts: -bsf:v %s)" % TO_FIRST_PICTURE[1])
        self.clean = {}
        for name, _, _, refname in clips:
            delay, stamps, (late, tr, low_delay), results, kept = futures[name].result()
            (vg, va), (ag, aa) = stamps
            print("  %s: seed %d, delay %+d ms, first picture's temporal_reference %d, low_delay %d, L = %d ms;"
                  " stamps that fit the content: video %d/%d, audio %d/%d"
                  % (name, seeds[name], delay, tr, low_delay, late, vg, va, ag, aa))
            med_ref = spread(self.ref[refname])[0]
            for (label, _, _, _, _), m in zip(VARIANTS, results):
                rel = {s: o - med_ref for s, o in m.offsets().items()}
                med, lo, hi = spread(rel)
                line = "    %-30s %s [%s, %s] n=%d" % (label, ms(med), ms(lo), ms(hi), len(rel))
                cmed = spread({s: o - med_ref for s, o in m.offsets(counted=True).items()})[0]
                if cmed is not None and med is not None and abs(cmed - med) > 0.0005:
                    line += "  count %s" % ms(cmed)
                if m.first_video is not None and m.first_audio is not None:
                    line += "  first picture %.3f s, audio %.3f s" % (m.first_video, m.first_audio)
                print(line)
            self.clean[name] = (results[-1], kept or results[-1], refname)

    # ------------------------------------------------------- damaged clips

    DAMAGED = [  # name, first seed to try, seconds lost per stretch, PES packets hold whole frames
        ("lost-1", 101, (0.1, 2.0), True), ("lost-2", 201, (0.1, 2.0), True),
        ("lost-3", 301, (0.1, 2.0), True), ("lost-4", 401, (0.1, 2.0), True),
        ("short-1", 501, (0.1, 0.1), True), ("short-2", 601, (0.1, 0.1), True),
        ("cut-1", 701, (0.1, 2.0), False), ("cut-2", 801, (0.1, 2.0), False),
    ]

    def stretches(self, data, seed, span, count=5):
        """`count` stretches in turn through the middle of the clip, each
        beginning inside a packet's payload."""
        rng = random.Random(seed)
        per_second = len(data) / SECONDS
        starts = [p[0] for p in av_packets(data)]
        lengths = {p[0]: p[3] for p in av_packets(data)}
        slot = (SECONDS - 6) / count
        out = []
        for i in range(count):
            seconds = rng.uniform(*span)
            begin = 3 + i * slot + rng.uniform(0, slot - seconds)
            offset = int(begin * per_second)
            packet = starts[bisect.bisect_right(starts, offset) - 1]
            if offset < packet + 9:
                offset = packet + 8 + max(1, lengths[packet] // 2)
            out.append((offset, max(1, int(seconds * per_second)), seconds))
        return out

    def damaged_clip(self, name, first_seed, span, pes_frames):
        d = self.path(name)
        os.makedirs(d)
        options = []
        if pes_frames:
            options = ["--pes-frames", "1"] if self.pes_frames_takes_number else ["--pes-frames"]
        video, audio = self.path("v_bf2.m2v"), self.path("a.mp2")
        seed = self.find_seed(video, audio, first_seed, options)
        clean, damaged = os.path.join(d, "clean.av"), os.path.join(d, "damaged.av")
        pack(self.packer, video, audio, clean, seed, options)
        lost = self.stretches(open(clean, "rb").read(), seed, span)
        lose = []
        for offset, size, _ in lost:
            lose += ["--lose", "%d:%d" % (offset, size)]
        pack(self.packer, video, audio, damaged, seed, options + lose + ["--report", os.path.join(d, "report.txt")])
        flags = [self.keep_flag] if self.keep_flag == "-r" else [self.keep_flag, "-r"]
        offsets, delays, videos = {}, {}, {}
        for flag in flags:
            for which, rec in (("clean", clean), ("damaged", damaged)):
                v, a, delay, _ = split(self.korvat, rec, os.path.join(d, "split%s-%s" % (flag, which)), flag)
                videos[flag, which] = v
                delays[flag, which] = delay
                if delay is None:
                    delay = delays[flag, "clean"]  # the recipe needs one; the damage is not at the start
                out = readme_mux(v, a, delay, os.path.join(d, "mux%s-%s.mpg" % (flag, which)))
                offsets[flag, which] = measure(out, d)

        spared = self.spared(os.path.join(d, "report.txt"))

        def against_clean(flag):
            damaged, clean = offsets[flag, "damaged"], offsets[flag, "clean"]
            result = tuple(worst({s: o for s, o in damaged.offsets(counted).items() if s in spared},
                                 clean.offsets(counted)) for counted in (False, True))
            theirs, ours = damaged.offsets(), clean.offsets()
            moved = {s: theirs[s] - ours[s] for s in theirs if s in ours and s in spared}
            return result + (moved,)

        def broken(flag):
            """Decoded pictures that match none of the clean split's, and the
            decoder's complaints."""
            clean_frames = set(frame_hashes(videos[flag, "clean"])[0])
            frames, errors = frame_hashes(videos[flag, "damaged"])
            return sum(1 for h in frames if h not in clean_frames), errors, len(frames)

        quality = [broken(flag) for flag in (self.keep_flag, "-r")]
        extra = picture_count(videos[self.keep_flag, "damaged"]) - picture_count(videos["-r", "damaged"])
        self.quality[name] = (quality, extra)
        return seed, lost, delays, against_clean(self.keep_flag), against_clean("-r")

    def spared(self, report):
        """The seconds whose flash picture and beep frames no lost stretch
        took, by the packer's report; a picture or frame that was only cut
        short shows in the measurement instead (no flat flash, or a beep of
        the wrong length)."""
        pictures, frames = set(), set()
        with open(report) as f:
            for line in f:
                m = re.match(r"stretch \d+: .*; pictures (.*); audio frames (.*)$", line.strip())
                if m:
                    pictures |= expand(m.group(1))
                    frames |= expand(m.group(2))
        es = open(self.path("v_bf2.m2v"), "rb").read()
        stream_index = {p[3]: i for i, p in enumerate(video_pictures(es)[0])}
        out = set()
        for s in range(SECONDS):
            # A beep's frames, and the one before, whose samples the decoder blends in.
            at = s * RATE - self.lead_samples
            beep = set(range(at // 1152 - 1, (at + BEEP - 1) // 1152 + 1))
            if stream_index.get(s * FPS) not in pictures and not beep & frames:
                out.add(s)
        return out

    def damaged(self):
        futures = [(name, self.pool.submit(self.damaged_clip, name, seed, span, pes))
                   for name, seed, span, pes in self.DAMAGED]
        k = self.keep_flag
        print("\nsync after damage: max |offset - offset of the same clip undamaged| over the seconds whose flash"
              " and beep both survive, in ms (n: those seconds); each split muxed by the README's recipe")
        if k == "-r":
            print("(this korvat has no -k: its -r stands for 'before', and 'after' is the same run)")
        head = "  %-9s %5s  %-32s %-11s  %-16s %-16s" % ("clip", "seed", "seconds lost", "delay k/r",
                                                          "before (%s)" % k, "after (-r)")
        print(head)
        failures = []
        for name, future in futures:
            try:
                seed, lost, delays, before, after = future.result()
            except RuntimeError as e:
                if CHILDREN.stopping:
                    raise
                print("  %-9s failed: %s" % (name, str(e)[:200]))
                continue
            secs = "+".join("%.1f" % s for _, _, s in lost)
            delay = "%s/%s" % tuple("?" if delays.get((f, "damaged")) is None else "%+d" % delays[f, "damaged"]
                                     for f in (k, "-r"))
            print("  %-9s %5d  %-32s %-11s  %s  %s%s" % (name, seed, secs, delay, verdict(before[0]),
                                                        verdict(after[0]), counted_note(before, after)))
            if after[0][0] is not None and after[0][0] * 1000 > TOLERANCE_MS:
                failures.append("  %s after -r, seconds: %s" % (name, moved_seconds(after[2])))
        for name in ("bf2", "bf0"):
            recipe, kept, refname = self.clean[name]
            ref = self.ref[refname]
            print("  %-9s %5s  %-32s %-11s  %s  %s" % ("clean-" + name, "", "none, against the reference", "",
                                                      verdict(worst(kept.offsets(), ref)),
                                                      verdict(worst(recipe.offsets(), ref))))
        print("\nbroken pictures: decoded pictures that match none of the same clip's undamaged split, of all"
              " decoded, and the decoder's error lines; the pictures -r dropped beyond those the damage took")
        print("  %-9s %-24s %-24s %s" % ("clip", "before (%s)" % k, "after (-r)", "extra pictures dropped"))
        for name, _ in futures:
            if name in self.quality:
                (kq, rq), extra = self.quality[name]
                print("  %-9s %-24s %-24s %d" % (name, "%d of %d, %d errors" % (kq[0], kq[2], kq[1]),
                                                 "%d of %d, %d errors" % (rq[0], rq[2], rq[1]), extra))
        if failures:
            print("where -r is off by more than %.0f ms (second: offset minus the undamaged one's, ms):"
                  % TOLERANCE_MS)
            print("\n".join(failures))


def moved_seconds(moved):
    """Runs of seconds moved alike, as '13 +40, 14-18 -8'."""
    runs = []
    for s in sorted(moved):
        value = round(moved[s] * 1000)
        if runs and runs[-1][1] == s - 1 and runs[-1][2] == value:
            runs[-1][1] = s
        else:
            runs.append([s, s, value])
    return ", ".join(("%d" % a if a == b else "%d-%d" % (a, b)) + " %+d" % v for a, b, v in runs)


def expand(runs):
    """'3-7 9' as {3, 4, 5, 6, 7, 9}; 'none' as nothing."""
    items = set()
    for run in runs.split():
        if run != "none":
            first, _, last = run.partition("-")
            items |= set(range(int(first), int(last or first) + 1))
    return items


def counted_note(*results):
    """The worst offsets again from counting pictures, where that differs."""
    differs = any(r[0][0] is not None and r[1][0] is not None and abs(r[0][0] - r[1][0]) > 0.0005 for r in results)
    if not differs:
        return ""
    return "  counting pictures: " + " / ".join(
        "n/a" if r[1][0] is None else "%.1f" % (r[1][0] * 1000) for r in results)


def verdict(result):
    value, n = result
    if value is None:
        return "%-16s" % "no seconds"
    return "%7.1f n=%-2d %-3s" % (value * 1000, n, "ok" if value * 1000 <= TOLERANCE_MS else "NO")


def recording_lead(recording):
    """Audio PTS of the first frame less the first picture's stamp, in ticks,
    read the way korvat reads them."""
    data = open(recording, "rb").read()
    picture = audio = None
    for offset, sid, flags, length in av_packets(data):
        payload = data[offset + 8:offset + 8 + length]
        if sid == 1 and picture is None and flags & 0x10:
            if payload.find(b"\x00\x00\x01\xb3", 4) >= 0:
                picture = int.from_bytes(payload[:4], "big")
        elif sid == 2 and audio is None and payload[3:4] == b"\xc0":
            if payload[9 + payload[8]:].startswith(b"\xff"):
                audio = pes_pts(payload)
        if picture is not None and audio is not None:
            return audio - picture
    raise RuntimeError("the probe recording has no stamped first picture or first audio frame")


if __name__ == "__main__":
    sys.exit(main())
