#!/usr/bin/env python3
"""Audio/video sync of korvat's output, measured on clips we make ourselves.

Every clip is black with a one-picture flash at each whole second and quiet
with a 40 ms beep starting at each whole second. The flash's grey level and
the beep's pitch say which second it is, so a second can still be told after
damage has shifted everything around it. The truth for the seconds is
ffmpeg's own program stream of the same sources, which keeps its time stamps
(its MP2 encoder stamps the first frame early by the codec's delay, so flash
and beep meet there to 0.1 ms).

Every other picture carries its number in a row of blocks, and faint noise
lies under the beeps, so that no two pictures decode alike and no two MP2
frames are alike: each picture and each audio frame of an output can be
traced to its place in the clip. The truth for those is how the clip was
made: picture j at j/25 s (at 29.97 fps after a change of frame rate), audio
frame k at the recording's audio lead plus k frames.

Prints the reference; the clean clips split by korvat and muxed by the
README's recipe and by variants of it, each against the reference; once
korvat-pack can lose stretches of a recording, how far damage moves each
second's offset from the same clip undamaged, before (-k) and after (-r);
a check of the per-frame measure on a mux made 40 ms off; and the offset at
every audio frame of every clip, undamaged and damaged, split with -r and
with -k: the clips above, and clips of the kinds broadcasts carry (outages of
seconds, sparse video stamps, a first group of one picture, a change of frame
rate, interlaced video, 44.1 kHz audio, an AC3 5.1 and a second MP2 track
beginning apart from the audio, a row for each track). Each row gives the worst offset, the
worst within a second of what damage took, how many frames are off by more
than half a frame, and the pictures that match none of the clip's.

  bench/sync.py [--korvat PATH] [--pack PATH] [--keep DIR] [--jobs N]

Run by hand; not part of the tests. Needs ffmpeg and ffprobe (made for
Debian 12's 5.1); about five minutes on two cores.
"""

import argparse
import array
import bisect
import concurrent.futures
import fractions
import hashlib
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
AUDIO_OFFSET_MS = 48  # how much later the packer is to stamp the audio, where it can be told

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

def video_source(seconds=SECONDS, rate=FPS, first=0, first_second=0, odd_first=False):
    # geq on a 16x16 frame and a scale up: geq on the full frame is slow.
    # Every picture but a flash carries its number, first+N, in binary in
    # eleven blocks along the bottom, so that no two decode alike; they keep
    # its mean under 30, where the flash detector passes it by.
    per_second = round(fractions.Fraction(rate))
    number = "(N+%d)" % first
    code = "if(eq(Y,15)*between(X,2,12),16+200*mod(floor(%s/pow(2,X-2)),2),16)" % number
    lum = "if(eq(mod(N,%d),0),40+3*(%d+floor(N/%d)),%s)" % (per_second, first_second, per_second, code)
    if odd_first:
        # A checkerboard, so that the scene changes at the second picture.
        lum = "if(eq(N,0),16+219*mod(X+Y,2),%s)" % lum
    return ("nullsrc=s=16x16:r=%s:d=%d,format=yuv420p,geq=lum='%s':cb=128:cr=128,scale=720x576"
            % (rate, seconds, lum))


NOISE = 0.02  # peak to peak: 1% of full scale, a tenth of what the beep detector hears


def audio_source(shift, rate=RATE, layout="stereo"):
    # Sample n of the stream is sample n+shift of the clip's timeline; the
    # sample count keeps the gate and the phase exact. The noise under it
    # (ffmpeg's random(), the same every run) makes every MP2 frame unlike
    # every other.
    m = "(n+%s)" % ("%.6f" % shift).rstrip("0").rstrip(".")
    expr = ("if(lt(mod(%s,%d),%d),0.5*sin(2*PI*(400+20*floor(%s/%d))*mod(%s,%d)/%d),0)+%g*(random(0)-0.5)"
            % (m, rate, BEEP, m, rate, m, rate, rate, NOISE))
    return "aevalsrc=exprs='%s':s=%d:d=%d:c=%s" % (expr, rate, SECONDS, layout)


def video_codec(bframes, scene_cuts=False):
    # GOPs of exactly 12 unless asked: a flash would otherwise start a GOP of
    # its own. The bigger buffer keeps the program stream muxer from
    # complaining about the sharp flash pictures.
    codec = ["-c:v", "mpeg2video", "-g", "12", "-bf", str(bframes)]
    if not scene_cuts:
        codec += ["-sc_threshold", "1000000000"]
    return codec + ["-q:v", "2", "-maxrate", "9000k", "-bufsize", "1835k"]


AUDIO_CODEC = ["-c:a", "mp2", "-b:a", "192k", "-ac", "2"]
EXACT = ["-fflags", "+bitexact", "-flags", "+bitexact"]


def make_video(path, bframes, low_delay=False, source=None, scene_cuts=False, flags="", extra=()):
    run(FF + ["-fflags", "+bitexact", "-f", "lavfi", "-i", source or video_source()]
        + video_codec(bframes, scene_cuts) + list(extra)
        + ["-flags", "+bitexact" + ("+low_delay" if low_delay else "") + flags, "-f", "mpeg2video", path])


def make_audio(path, shift, rate=RATE):
    run(FF + ["-fflags", "+bitexact", "-f", "lavfi", "-i", audio_source(shift, rate)] + AUDIO_CODEC
        + ["-flags", "+bitexact", "-f", "mp2", path])


def make_ac3(path, shift):
    """AC3 5.1 at 448 kbit/s, as films are broadcast: its noise makes every
    frame unlike every other."""
    run(FF + ["-fflags", "+bitexact", "-f", "lavfi", "-i", audio_source(shift, layout="5.1(side)"), "-c:a", "ac3",
              "-b:a", "448k"] + EXACT + ["-f", "ac3", path])


def make_reference(path, bframes):
    run(FF + ["-fflags", "+bitexact", "-f", "lavfi", "-i", video_source(), "-f", "lavfi", "-i", audio_source(0)]
        + video_codec(bframes) + AUDIO_CODEC + EXACT + ["-f", "vob", path])


def make_one_picture_group(path):
    """A scene that changes at the second picture, which ffmpeg's own scene
    detection answers with a closed group of that one I-picture and an open
    group after it; fails unless the stream starts so."""
    make_video(path, 2, source=video_source(odd_first=True), scene_cuts=True)
    es = open(path, "rb").read()
    pictures, _, _ = video_pictures(es)
    gops = groups(es)
    if len(gops) > 1:
        first = [p for p in pictures if p[0] < gops[1][0]]
        second = next((p for p in pictures if p[0] > gops[1][0]), None)
        if (gops[0][1] and len(first) == 1 and first[0][1] == "I" and not gops[1][1]
                and second and second[1] == "I" and second[2] > 0):
            return
    raise RuntimeError("%s does not start with a closed group of one I-picture and an open group: groups %s,"
                       " pictures %s" % (path, gops[:2], [p[1:3] for p in pictures[:6]]))


def make_interlaced(path):
    """Interlaced frame pictures, top field first; fails unless every picture says so."""
    make_video(path, 2, flags="+ildct+ilme", extra=["-top", "1"])
    es = open(path, "rb").read()
    coding = picture_coding(es)
    if len(coding) != len(video_pictures(es)[0]) or set(coding) != {(3, 1, 0)}:
        raise RuntimeError("%s is not interlaced frame pictures, top field first: (structure, top first,"
                           " progressive) %s" % (path, sorted(set(coding))))


CHANGE = SECONDS // 2 * FPS  # the first picture at 29.97 fps


def make_rate_change(path):
    """Two programmes in one stream, 25 fps then 29.97: two encodes one after
    the other, each from its own sequence header. Its pictures are numbered
    on across the change."""
    half = SECONDS // 2
    first, second = path + ".25", path + ".30"
    make_video(first, 2, source=video_source(half))
    make_video(second, 2, source=video_source(half, "30000/1001", first=CHANGE, first_second=half))
    es = open(first, "rb").read()
    count = len(video_pictures(es)[0])
    if count != CHANGE:
        raise RuntimeError("the 25 fps programme has %d pictures, not %d" % (count, CHANGE))
    # A broadcast goes on from one programme to the next without the
    # sequence end code an encode ends with.
    if es.endswith(b"\x00\x00\x01\xb7"):
        es = es[:-4]
    with open(path, "wb") as f:
        f.write(es + open(second, "rb").read())
    os.unlink(first)
    os.unlink(second)


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


def groups(es):
    """Stream position and closed_gop flag of every group header."""
    out = []
    at = es.find(b"\x00\x00\x01\xb8")
    while 0 <= at < len(es) - 8:
        out.append((at, (es[at + 7] >> 6) & 1))
        at = es.find(b"\x00\x00\x01\xb8", at + 4)
    return out


def picture_coding(es):
    """picture_structure, top_field_first and progressive_frame of every
    picture coding extension."""
    out = []
    at = es.find(b"\x00\x00\x01\xb5")
    while 0 <= at < len(es) - 9:
        if es[at + 4] >> 4 == 8:
            out.append((es[at + 6] & 3, es[at + 7] >> 7, es[at + 8] >> 7))
        at = es.find(b"\x00\x00\x01\xb5", at + 4)
    return out


LAYER2_KBITS = (0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384)
SAMPLE_RATES = (44100, 48000, 32000)


def mp2_frames(data):
    """Every MPEG-1 layer II frame of a stream, from its start as long as
    headers follow: its bytes, and the sample rate."""
    frames, at, rate = [], 0, None
    while at + 4 <= len(data):
        b1, b2 = data[at + 1], data[at + 2]
        if data[at] != 0xFF or b1 & 0xFE != 0xFC or b2 >> 4 in (0, 15) or (b2 >> 2) & 3 == 3:
            break
        rate = SAMPLE_RATES[(b2 >> 2) & 3]
        length = 144000 * LAYER2_KBITS[b2 >> 4] // rate + ((b2 >> 1) & 1)
        frames.append(data[at:at + length])
        at += length
    return frames, rate


AC3_KBITS = (32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640)
AC3_RATES = (48000, 44100, 32000)


def ac3_frames(data):
    """Every AC3 frame of a stream, from its start as long as sync words
    follow: its bytes, and the sample rate."""
    frames, at, rate = [], 0, None
    while at + 5 <= len(data) and data[at:at + 2] == b"\x0b\x77":
        code, size = data[at + 4] >> 6, data[at + 4] & 0x3F
        if code == 3 or size >= 38:
            break
        rate, kbits = AC3_RATES[code], AC3_KBITS[size // 2]
        words = 2 * kbits if code == 0 else 3 * kbits if code == 2 else kbits * 96000 // 44100 + (size & 1)
        frames.append(data[at:at + 2 * words])
        at += 2 * words
    return frames, rate


def audio_frames(data):
    """The frames of an MP2 or AC3 stream, their sample rate, and the samples in each."""
    if data[:2] == b"\x0b\x77":
        return ac3_frames(data) + (1536,)
    return mp2_frames(data) + (1152,)


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
    """Per second: flash time (decoder's time stamps and frame count), beep
    onset; and every decoded picture and audio packet, with its time."""

    def __init__(self):
        self.flash = {}   # s -> seconds, from the decoder's time stamps
        self.counted = {}  # s -> seconds, first picture's stamp plus 40 ms a picture
        self.beep = {}    # s -> seconds
        self.bad = set()  # seconds seen twice or malformed
        self.first_video = self.first_audio = None
        self.video_frames = 0
        self.pictures = []  # (seconds, hash) of each decoded picture, in display order
        self.packets = []  # (seconds, MD5) of each audio packet
        self.tracks = []  # the same for each audio stream, the first being packets
        self.errors = 0  # the decoder's error lines

    def offsets(self, counted=False):
        flash = self.counted if counted else self.flash
        return {s: self.beep[s] - flash[s] for s in flash if s in self.beep and s not in self.bad}


NOPTS = -(1 << 63)


# The hash of decoded pictures: as good as MD5 here, and as fast as decoding.
PICTURE_HASH = ["-f", "framehash", "-hash", "murmur3"]


def frame_listing(path):
    """(seconds, hash) of each frame or packet of a framehash listing; None
    for a frame without a time stamp."""
    num, den, out = 1, 90000, []
    with open(path) as f:
        for line in f:
            if line.startswith("#tb "):
                num, den = (int(x) for x in line.split(":")[1].split("/"))
            elif line.strip() and not line.startswith("#"):
                fields = [x.strip() for x in line.split(",")]
                pts = int(fields[2])
                out.append((None if pts == NOPTS else pts * num / den, fields[5]))
    return out


def decode(mux, listing, pcm_path=None, tracks=1):
    """Decodes the mux's video, every picture at the mux's own time (none
    dropped or repeated), and copies the packets of its `tracks` audio
    streams, each listed with its hash in listing.video and listing.audio0,
    listing.audio1...; with a pcm_path, also looks at every picture for the
    flashes and decodes the first audio. The log, each line tagged with its
    level."""
    argv = ["ffmpeg", "-nostdin", "-nostats", "-hide_banner", "-loglevel", "level+info", "-y", "-copyts", "-i", mux,
            "-map", "0:v:0"] + (["-vf", "showinfo"] if pcm_path else [])
    argv += ["-fps_mode", "passthrough", "-enc_time_base:v", "1:90000"] + PICTURE_HASH + [listing + ".video"]
    for i in range(tracks):
        argv += ["-map", "0:a:%d" % i, "-c:a", "copy", "-f", "framemd5", listing + ".audio%d" % i]
    if pcm_path:
        argv += ["-map", "0:a:0", "-af", "ashowinfo", "-c:a", "pcm_s16le", "-f", "s16le", pcm_path]
    return run(argv)[2]


def measure(mux, work, by_second=True, tracks=1):
    """Every picture and audio packet of the mux, each with its time; and
    by_second, the flash and the beep of every second."""
    base = os.path.join(work, os.path.basename(mux))
    pcm_path = base + ".pcm" if by_second else None
    log = decode(mux, base, pcm_path, tracks)
    m = Measured()
    m.pictures = frame_listing(base + ".video")
    m.tracks = [frame_listing(base + ".audio%d" % i) for i in range(tracks)]
    m.packets = m.tracks[0]
    for name in [".video"] + [".audio%d" % i for i in range(tracks)]:
        os.unlink(base + name)
    m.errors = sum(1 for line in log.splitlines() if "[error] " in line or "[fatal] " in line)
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
    if not by_second:
        return m
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


# ------------------------------------------------------- at every frame

def decoded_pictures(m2v):
    """Each decoded picture's hash, in display order: every picture, none
    dropped or repeated where the frame rate changes."""
    _, out, _ = run(["ffmpeg", "-nostdin", "-v", "error", "-i", m2v, "-fps_mode", "passthrough"] + PICTURE_HASH + ["-"])
    return [line.split(",")[-1].strip() for line in out.splitlines() if line.strip() and not line.startswith("#")]


def alike(items):
    """The items that are there more than once."""
    seen, twice = set(), set()
    for item in items:
        (twice if item in seen else seen).add(item)
    return twice


class Clip:
    """A clip as made: its two streams, and where each of its pictures and
    audio frames belongs in the clip's time, by construction; never by what
    korvat or the packer make of it."""

    def __init__(self, video, audio, truth, lead, first=0, change=None):
        # truth: the hash of each decoded picture, in display order, of the
        # stream the video was cut from; first: the display index there of
        # the video's first picture in display order; change: the first
        # picture at 29.97 fps; lead: how much later the recording stamps its
        # audio than its first picture, in seconds.
        self.video, self.audio, self.first, self.change = video, audio, first, change
        self.display = [p[3] for p in video_pictures(open(video, "rb").read())[0]]
        doubt = alike(truth)
        self.picture_at = {h: self.picture_time(j) for j, h in enumerate(truth) if h not in doubt}
        frames, self.rate = mp2_frames(open(audio, "rb").read())
        hashes = [hashlib.md5(f).hexdigest() for f in frames]
        doubt = alike(hashes)
        # Audio frame 0 goes with the first picture in stream order, the one
        # the recording stamps first.
        self.start = self.picture_time(first + self.display[0]) + lead
        self.samples = 1152
        self.frame_at = {h: self.frame_time(k) for k, h in enumerate(hashes) if h not in doubt}
        self.tracks = []  # the other audio tracks, as Track

    def picture_time(self, j):
        if self.change is not None and j >= self.change:
            return self.change / FPS + (j - self.change) * 1001 / 30000
        return j / FPS

    def frame_time(self, k):
        return self.start + k * 1152 / self.rate

    def shown(self, i):
        """The clip time of the video's picture i in stream order."""
        return self.picture_time(self.first + self.display[i])


class Track:
    """Another audio track of a clip, MP2 or AC3, packed to begin `start`
    seconds after the clip's audio: where each of its frames belongs."""

    def __init__(self, audio, clip, start, name):
        self.audio, self.name, self.start_ms = audio, name, round(start * 1000)
        frames, self.rate, self.samples = audio_frames(open(audio, "rb").read())
        hashes = [hashlib.md5(f).hexdigest() for f in frames]
        doubt = alike(hashes)
        self.start = clip.start + start
        self.frame_at = {h: self.frame_time(k) for k, h in enumerate(hashes) if h not in doubt}

    def frame_time(self, k):
        return self.start + k * self.samples / self.rate


class FrameSync:
    """The offset at every audio frame of a mux that is one of the clip's:
    how much longer after the picture shown at its middle the frame plays than it
    belongs. Positive: the audio is late."""

    def __init__(self, m, clip, cuts=(), track=0):
        # track: 0 for the audio file, else the clip's track before it.
        sound = clip.tracks[track - 1] if track else clip
        shown = sorted((pts, clip.picture_at[h]) for pts, h in m.pictures
                       if pts is not None and h in clip.picture_at)
        self.decoded = len(m.pictures)
        self.broken = sum(1 for _, h in m.pictures if h not in clip.picture_at)
        self.errors = m.errors
        packets = m.tracks[track] if m.tracks else m.packets
        self.packets = len(packets)
        starts = [pts for pts, _ in shown]
        self.offsets = []  # (clip time, offset) of each frame
        for pts, h in packets:
            t = sound.frame_at.get(h)
            if t is None or pts is None or not shown:
                continue  # a silent frame the repair made, or one damage broke
            # The picture shown at the middle of the frame, that is one of
            # the clip's: a frame that begins just before a cut is heard with
            # the pictures after it. A picture that matches none (damage
            # broke it) takes the time of the last one that did plus the time
            # shown since, which is what measuring from that one comes to.
            # Frames before the first picture are measured from it all the same.
            # A middle on the start of a picture belongs to it, also where
            # Matroska's times, to the millisecond, put it a little before.
            middle = pts + sound.samples / 2 / sound.rate + 0.0005
            at, when = shown[max(bisect.bisect_right(starts, middle) - 1, 0)]
            self.offsets.append((t, (pts - at) - (t - when)))
        self.half = sound.samples / sound.rate / 2
        near = [o for t, o in self.offsets if any(a - 1 <= t <= b + 1 for a, b in cuts)]
        self.worst = max((o for _, o in self.offsets), key=abs, default=None)
        self.worst_near = max(near, key=abs, default=None) if cuts else None
        self.beyond = sum(1 for _, o in self.offsets if abs(o) > self.half + 1e-6)

    def span(self):
        values = [o for _, o in self.offsets]
        return (min(values), max(values)) if values else (None, None)


def one_frame_per_packet(m, mp2):
    """Whether the mux's audio packets are the split's MP2 frames, one each
    and in order, as the per-frame measure takes them to be."""
    frames, _ = mp2_frames(open(mp2, "rb").read())
    return [h for _, h in m.packets] == [hashlib.md5(f).hexdigest() for f in frames]


# --------------------------------------------------------------- korvat

def delay_of(err):
    m = re.search(r"audio delay: ([+-]\d+) ms", err)
    return int(m.group(1)) if m else None


def track_delays(err):
    """The delay korvat tells for each other track's file, by its name."""
    return {name: int(ms) for name, ms in re.findall(r"audio delay of '([^']*)': ([+-]\d+) ms", err)}


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


def readme_mux_tracks(video, audio, delay_ms, tracks, out):
    """The README's recipe with every track, to Matroska: (file, delay) of
    each beside the audio file. Not to a program stream: ffmpeg's demuxer
    reads one AC3 frame in some hundreds there a frame late, which its PES
    stamps do not say."""
    argv = ["ffmpeg", "-nostdin", "-v", "error"] + GENPTS + ["-i", video, "-itsoffset", seconds_arg(delay_ms),
                                                             "-i", audio]
    for path, delay in tracks:
        argv += ["-itsoffset", seconds_arg(delay), "-i", path]
    argv += ["-map", "0:v"] + [x for i in range(len(tracks) + 1) for x in ("-map", "%d:a" % (i + 1))]
    run(argv + ["-c", "copy"] + TO_FIRST_PICTURE + [out])
    return out


def decoder_errors(path):
    """The lines ffmpeg's decoder logs as errors for a stream decoded alone."""
    return len([line for line in run(FF + ["-i", path, "-f", "null", "-"], check=False)[2].splitlines() if line])


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
    out = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", m2v] + PICTURE_HASH + ["-"],
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
        self.frames = {}  # (clip, "clean" or "damaged", flag): (delay, FrameSync or why there is none)
        self.damage = {}  # clip: what its damaged recording lost, in words
        self.one_frame = []  # (clip, whether its mux's audio packets are the split's MP2 frames)
        self.self_check = None
        self.agree = []  # (clean clip and recipe, median per frame less median per second)
        self.ac3_errors = {}  # (clip, "clean" or "damaged", flag): error lines decoding its split's AC3 file alone

    def path(self, name):
        return os.path.join(self.work, name)

    def all(self, *calls):
        futures = [self.pool.submit(*call) for call in calls]
        return [f.result() for f in futures]

    def pack(self, video, audio, recording, seed, options=()):
        pack(self.packer, video, audio, recording, seed, self.offset_option + list(options))

    def run(self):
        started = time.time()
        P = self.path
        _, out, err = run([self.packer], check=False)
        usage = out + err
        _, khelp, kerr = run([self.korvat, "--help"], check=False)
        damage = all(o in usage for o in ("--lose", "--pes-frames", "--report"))
        self.pes_frames_takes_number = bool(re.search(r"--pes-frames\s+N", usage))
        self.keep_flag = "-k" if re.search(r"^\s*-k\b", khelp + kerr, re.M) else "-r"
        self.flags = [self.keep_flag] if self.keep_flag == "-r" else [self.keep_flag, "-r"]
        # Told, the packer stamps the audio as late as we make it; else we ask
        # the recording how late it does.
        self.offset_option = ["--audio-offset", str(AUDIO_OFFSET_MS)] if "--audio-offset" in usage else []

        # The longest first.
        self.all((make_rate_change, P("v_change.m2v")), (make_reference, P("ref_bf2.vob"), 2),
                 (make_reference, P("ref_bf0.vob"), 0), (make_one_picture_group, P("v_one.m2v")),
                 (make_interlaced, P("v_interlaced.m2v")), (make_video, P("v_bf2.m2v"), 2),
                 (make_video, P("v_bf0.m2v"), 0), (make_video, P("v_bf0low.m2v"), 0, True),
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
        if self.offset_option:
            lead = AUDIO_OFFSET_MS * 90
        else:
            self.pack(P("v_bf2.m2v"), P("probe.mp2"), P("probe.av"), seed)
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
        videos = ["v_bf2.m2v", "v_bf0.m2v", "v_bf0low.m2v", "v_one.m2v", "v_interlaced.m2v", "v_change.m2v"]
        # The codec's delay is a count of samples, the same at 44.1 kHz; the
        # lead is not.
        made = self.all(*[(decoded_pictures, P(v)) for v in videos],
                        (make_audio, P("a.mp2"), shift),
                        (make_audio, P("a_open.mp2"), first_open[3] * RATE // FPS + shift),
                        (make_audio, P("a44.mp2"), lead * 44100 / 90000 + codec, 44100),
                        (make_ac3, P("t.ac3"), RATE // 3), (make_audio, P("t.c2.mp2"), RATE // 5))
        truth = dict(zip(videos, made))
        lead_s = lead / 90000
        tracked = Clip(P("v_bf2.m2v"), P("a.mp2"), truth["v_bf2.m2v"], lead_s)
        tracked.tracks = [Track(P(path), tracked, ms / 1000, label) for label, _, path, ms in self.TRACKS]
        self.clips = {
            "bf2": Clip(P("v_bf2.m2v"), P("a.mp2"), truth["v_bf2.m2v"], lead_s),
            "bf0": Clip(P("v_bf0.m2v"), P("a.mp2"), truth["v_bf0.m2v"], lead_s),
            "bf2-open": Clip(P("v_open.m2v"), P("a_open.mp2"), truth["v_bf2.m2v"], lead_s,
                             first=first_open[3] - first_open[2]),
            "bf0-low": Clip(P("v_bf0low.m2v"), P("a.mp2"), truth["v_bf0low.m2v"], lead_s),
            "one-pic": Clip(P("v_one.m2v"), P("a.mp2"), truth["v_one.m2v"], lead_s),
            "fps-change": Clip(P("v_change.m2v"), P("a.mp2"), truth["v_change.m2v"], lead_s, change=CHANGE),
            "interlaced": Clip(P("v_interlaced.m2v"), P("a.mp2"), truth["v_interlaced.m2v"], lead_s),
            "44k": Clip(P("v_bf2.m2v"), P("a44.mp2"), truth["v_bf2.m2v"], lead_s),
            "tracks": tracked,
        }
        broadcasts = [(b[0], self.pool.submit(self.broadcast_clip, *b, damage)) for b in self.BROADCAST]
        if damage:
            broadcasts += [(t[0], self.pool.submit(self.tracks_clip, *t)) for t in self.TRACKED]

        print("korvat: %s\nkorvat-pack: %s" % (self.korvat, self.packer))
        print("clips: %d s, 720x576 %d fps, GOP 12, MP2 48 kHz 192 kbit/s stereo, flash and beep at every second"
              % (SECONDS, FPS))
        print("the recording stamps its audio %+.0f ms after its first picture%s; ffmpeg's MP2 encoder stamps its"
              " first frame %d samples (%.1f ms) early" % (lead / 90.0, " (--audio-offset)" if self.offset_option
                                                            else "", codec, codec * 1000.0 / RATE))
        print("sources: %s" % "; ".join(self.sources_unlike(videos, truth, ["a.mp2", "a_open.mp2", "a44.mp2"])))
        print("\nreference (ffmpeg's program stream of the same sources): beep onset minus flash,"
              " median [min, max] ms")
        for k in ("bf2", "bf0"):
            med, lo, hi = spread(self.ref[k])
            print("  %-4s %s [%s, %s] over %d seconds%s" % (k, ms(med), ms(lo), ms(hi), len(self.ref[k]),
                                                          "" if len(self.ref[k]) == SECONDS else
                                                          "  WARNING: flash or beep not found in every second"))

        clean = [("bf2", "v_bf2.m2v", "a.mp2", "bf2"), ("bf0", "v_bf0.m2v", "a.mp2", "bf0"),
                 ("bf2-open", "v_open.m2v", "a_open.mp2", "bf2"), ("bf0-low", "v_bf0low.m2v", "a.mp2", "bf0")]
        self.recipe_study(clean, seed)
        if damage:
            self.damaged()
        else:
            print("\ndamaged clips: skipped, korvat-pack has no --lose, --pes-frames and --report yet")
        tracks = [t[0] + " " + label for t in self.TRACKED for label in ["mp2"] + [x[0] for x in self.TRACKS]]
        self.frame_table([c[0] for c in clean], [c[0] for c in self.DAMAGED] if damage else [], broadcasts,
                         tracks if damage else [])
        print("\n%.0f s" % (time.time() - started))

    def sources_unlike(self, videos, truth, audios):
        """Whether every source picture decodes unlike every other, and every
        MP2 frame is unlike every other, as the per-frame measure needs."""
        out = []
        for v in videos:
            count = len(video_pictures(open(self.path(v), "rb").read())[0])
            twice = alike(truth[v])
            if twice or len(truth[v]) != count:
                out.append("WARNING %s: %d pictures decoded of %d, %d of them more than once"
                           % (v, len(truth[v]), count, len(twice)))
        for a in audios:
            data = open(self.path(a), "rb").read()
            frames, _ = mp2_frames(data)
            twice = alike(hashlib.md5(f).digest() for f in frames)
            if twice or sum(len(f) for f in frames) != len(data):
                out.append("WARNING %s: %d of its %d MP2 frames more than once, %d bytes not in a frame"
                           % (a, len(twice), len(frames), len(data) - sum(len(f) for f in frames)))
        return out or ["every decoded picture and every MP2 frame unlike the others of its clip"]

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
                self.pack(video, audio, rec, seed, options)
                if split(self.korvat, rec, os.path.join(probe, "split"), "-r")[2] is not None:
                    return seed
            finally:
                shutil.rmtree(probe, ignore_errors=True)
        raise RuntimeError("no seed in %d..%d gives a known delay" % (start, start + tries - 1))

    def clean_clip(self, name, video, audio, seed):
        d = self.path("clean-" + name)
        os.makedirs(d)
        rec = os.path.join(d, "rec.av")
        clip = self.clips[name]
        self.pack(self.path(video), self.path(audio), rec, seed)
        v, a, delay, _ = split(self.korvat, rec, os.path.join(d, "split-r"), "-r")
        if delay is None:
            raise RuntimeError("korvat -r says the audio delay is unknown")
        late, tr, low_delay = ffmpeg_lateness_ms(v)
        stamps = stamp_check(rec, open(v, "rb").read())
        results = []
        for i, (_, vopts, extra, voff, oopts) in enumerate(VARIANTS):
            out = mux(v, a, delay, os.path.join(d, "mux%d.mpg" % i), vopts, extra * late,
                      None if voff is None else voff * late, oopts)
            results.append(measure(out, d))
        self.frames[name, "clean", "-r"] = ("%+d" % delay, FrameSync(results[-1], clip))
        self.one_frame.append((name, one_frame_per_packet(results[-1], a)))
        if name == "bf2":
            # The measure itself: the recipe made 40 ms late must read +40 ms.
            late40 = measure(readme_mux(v, a, delay + 40, os.path.join(d, "mux-late.mpg")), d, by_second=False)
            self.self_check = (FrameSync(late40, clip), self.frames[name, "clean", "-r"][1])
        kept = None
        if self.keep_flag != "-r":
            try:
                v, a, kdelay, _ = split(self.korvat, rec, os.path.join(d, "split-k"), self.keep_flag)
                if kdelay is None:
                    raise RuntimeError("%s says the audio delay is unknown" % self.keep_flag)
                kept = measure(readme_mux(v, a, kdelay, os.path.join(d, "mux-k.mpg")), d)
                self.frames[name, "clean", self.keep_flag] = ("%+d" % kdelay, FrameSync(kept, clip))
            except RuntimeError as e:
                if CHILDREN.stopping:
                    raise
                self.frames[name, "clean", self.keep_flag] = ("", str(e))
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
            try:
                delay, stamps, (late, tr, low_delay), results, kept = futures[name].result()
            except RuntimeError as e:
                if CHILDREN.stopping:
                    raise
                print("  %s: failed: %s" % (name, str(e)[:300]))
                self.frames.setdefault((name, "clean", "-r"), ("", str(e)))
                continue
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
                # The two measures share nothing but the decoder: they must agree.
                by_frame = sorted(o for _, o in FrameSync(m, self.clips[name]).offsets)
                if med is not None and by_frame:
                    self.agree.append(("%s %s" % (name, label), by_frame[len(by_frame) // 2] - med))
            self.clean[name] = (results[-1], results[-1] if self.keep_flag == "-r" else kept, refname)

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

    def pes_frames(self):
        return ["--pes-frames", "1"] if self.pes_frames_takes_number else ["--pes-frames"]

    def lose(self, name, d, clip, clean, seed, span, options):
        """Packs d/damaged.av as clean was packed, less `stretches` of it. The
        stretches, and the spans of clip time whose pictures, and whose audio
        frames, each took."""
        lost = self.stretches(open(clean, "rb").read(), seed, span)
        lose = []
        for offset, size, _ in lost:
            lose += ["--lose", "%d:%d" % (offset, size)]
        report = os.path.join(d, "report.txt")
        self.pack(clip.video, clip.audio, os.path.join(d, "damaged.av"), seed, options + lose + ["--report", report])
        self.damage[name] = "%d stretches, %.1f s" % (len(lost), sum(seconds for _, _, seconds in lost))
        cuts = []
        with open(report) as f:
            for line in f:
                m = re.match(r"stretch \d+: .*; pictures (.*); audio frames (.*)$", line.strip())
                if m:
                    for times in ([clip.shown(i) for i in expand(m.group(1)) if i < len(clip.display)],
                                  [clip.frame_time(k) for k in expand(m.group(2))]):
                        if times:
                            cuts.append((min(times), max(times)))
        return lost, cuts

    def split_all(self, name, d, clip, recordings, cuts, by_second=True):
        """Each recording split with each flag, muxed by the README's recipe
        and measured, each split's figures at every frame kept; the
        measurements, delays and videos of those that went through."""
        offsets, delays, videos = {}, {}, {}
        for flag in self.flags:
            for which, rec in recordings:
                try:
                    v, a, delay, _ = split(self.korvat, rec, os.path.join(d, "split%s-%s" % (flag, which)), flag)
                    videos[flag, which] = v
                    delays[flag, which] = delay
                    said = "?" if delay is None else "%+d" % delay
                    if delay is None:
                        # The recipe needs one; the damage is not at the start.
                        delay = delays.get((flag, "clean"))
                        if delay is None:
                            raise RuntimeError("korvat %s says the audio delay is unknown" % flag)
                        said += " (%+d)" % delay
                    out = readme_mux(v, a, delay, os.path.join(d, "mux%s-%s.mpg" % (flag, which)))
                    offsets[flag, which] = measure(out, d, by_second)
                    self.frames[name, which, flag] = (said, FrameSync(offsets[flag, which], clip,
                                                                      cuts if which == "damaged" else ()))
                except RuntimeError as e:
                    if CHILDREN.stopping:
                        raise
                    self.frames[name, which, flag] = ("", str(e))
        return offsets, delays, videos

    def damaged_clip(self, name, first_seed, span, pes_frames):
        d = self.path(name)
        os.makedirs(d)
        options = self.pes_frames() if pes_frames else []
        clip = self.clips["bf2"]
        seed = self.find_seed(clip.video, clip.audio, first_seed, options)
        clean, damaged = os.path.join(d, "clean.av"), os.path.join(d, "damaged.av")
        self.pack(clip.video, clip.audio, clean, seed, options)
        lost, cuts = self.lose(name, d, clip, clean, seed, span, options)
        offsets, delays, videos = self.split_all(name, d, clip, (("clean", clean), ("damaged", damaged)), cuts)
        for flag in self.flags:
            for which in ("clean", "damaged"):
                if (flag, which) not in offsets:
                    raise RuntimeError(self.frames[name, which, flag][1])

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

    # ------------------------------------------------------ broadcast clips

    BROADCAST = [  # name, clip, packer options, first seed to try, seconds lost per stretch (None: no damage)
        ("outage-1", "bf2", [], 901, (3.0, 6.0)), ("outage-2", "bf2", [], 1001, (3.0, 6.0)),
        ("prefix-20", "bf2", ["--prefix", "20"], 1101, (0.1, 2.0)), ("one-pic", "one-pic", [], 1201, (0.1, 2.0)),
        ("fps-change", "fps-change", [], 1301, None), ("interlaced", "interlaced", [], 1401, (0.1, 2.0)),
        ("44k", "44k", [], 1501, (0.1, 2.0)),
    ]

    def broadcast_clip(self, name, clip_name, options, first_seed, span, damage):
        """A clip of a kind broadcasts carry, in PES packets of whole frames
        as receivers write them, undamaged and damaged, measured at every
        frame."""
        d = self.path(name)
        os.makedirs(d)
        clip = self.clips[clip_name]
        options = options + (self.pes_frames() if damage else [])
        seed = self.find_seed(clip.video, clip.audio, first_seed, options)
        recordings = [("clean", os.path.join(d, "clean.av"))]
        self.pack(clip.video, clip.audio, recordings[0][1], seed, options)
        cuts = []
        if span and damage:
            cuts = self.lose(name, d, clip, recordings[0][1], seed, span, options)[1]
            recordings.append(("damaged", os.path.join(d, "damaged.av")))
        offsets = self.split_all(name, d, clip, recordings, cuts, by_second=False)[0]
        if ("-r", "clean") in offsets:
            self.one_frame.append((name, one_frame_per_packet(offsets["-r", "clean"],
                                                              os.path.join(d, "split-r-clean", "rec.mp2"))))
        return seed

    # ------------------------------------------------------- every track

    TRACKS = [  # name, stream id, source, begins so many ms after the audio file's
        ("ac3", 0xBD, "t.ac3", -64), ("c2", 0xC2, "t.c2.mp2", 100)]
    TRACKED = [  # name, first seed to try, seconds lost per stretch
        ("tracks", 1601, (0.1, 2.0)), ("tracks-outage", 1701, (3.0, 6.0))]

    def tracks_clip(self, name, first_seed, span):
        """The clip with an AC3 5.1 track and a second MP2 track beside its
        audio, each beginning at a moment of its own, undamaged and damaged,
        every track muxed with its delay and measured at every frame."""
        d = self.path(name)
        os.makedirs(d)
        clip = self.clips["tracks"]
        options = self.pes_frames()
        for label, sid, path, ms in self.TRACKS:
            options += ["--track", "0x%X:%s@%d" % (sid, self.path(path), ms)]
        seed = self.find_seed(clip.video, clip.audio, first_seed, options)
        clean = os.path.join(d, "clean.av")
        self.pack(clip.video, clip.audio, clean, seed, options)
        cuts = self.lose(name, d, clip, clean, seed, span, options)[1]
        labels = ["mp2"] + [t[0] for t in self.TRACKS]
        for flag in self.flags:
            for which, rec in (("clean", clean), ("damaged", os.path.join(d, "damaged.av"))):
                try:
                    out = os.path.join(d, "split%s-%s" % (flag, which))
                    v, a, delay, err = split(self.korvat, rec, out, flag)
                    delays = track_delays(err)
                    names = ["rec.ac3" if sid == 0xBD else "rec.%02x.mp2" % sid for _, sid, _, _ in self.TRACKS]
                    if delay is None or any(n not in delays for n in names):
                        raise RuntimeError("korvat %s says no delay for a track: %s" % (flag, err.strip()[-300:]))
                    tracks = [(os.path.join(out, n), delays[n]) for n in names]
                    muxed = readme_mux_tracks(v, a, delay, tracks, os.path.join(d, "mux%s-%s.mkv" % (flag, which)))
                    m = measure(muxed, d, by_second=False, tracks=len(labels))
                    said = ["%+d" % delay] + ["%+d" % delays[n] for n in names]
                    for i, label in enumerate(labels):
                        self.frames[name + " " + label, which, flag] = (
                            said[i], FrameSync(m, clip, cuts if which == "damaged" else (), i))
                    self.ac3_errors[name, which, flag] = decoder_errors(tracks[0][0])
                except RuntimeError as e:
                    if CHILDREN.stopping:
                        raise
                    for label in labels:
                        self.frames[name + " " + label, which, flag] = ("", str(e))
        return seed

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
            if name not in self.clean:
                continue
            recipe, kept, refname = self.clean[name]
            ref = self.ref[refname]
            print("  %-9s %5s  %-32s %-11s  %s  %s" % ("clean-" + name, "", "none, against the reference", "",
                                                      "%-16s" % "failed" if kept is None else
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


    # ---------------------------------------------------- at every frame

    def frame_table(self, clean, damaged, broadcasts, tracks):
        failed = {}
        for name, future in broadcasts:
            try:
                future.result()
            except RuntimeError as e:
                if CHILDREN.stopping:
                    raise
                failed[name] = str(e)
        print("\nchecks of the per-frame measure, on undamaged clips split with -r and muxed by the README's recipe:")
        if self.self_check is None:
            print("  self-check: not made, clean bf2 failed")
        else:
            late, right = self.self_check
            (lo, hi), (rlo, rhi) = late.span(), right.span()
            ok = lo is not None and rlo is not None and max(abs(lo - 0.040), abs(hi - 0.040), abs(rlo), abs(rhi)) < 1e-4
            print("  self-check: clean bf2 muxed +40 ms reads %s .. %s ms at %d frames; muxed right, %s .. %s ms at"
                  " %d frames: %s" % (frame_ms(lo), frame_ms(hi), len(late.offsets), frame_ms(rlo), frame_ms(rhi),
                                      len(right.offsets), "ok" if ok else "WRONG, the measure is off"))
        apart = ["%s %+.1f ms" % (label, d * 1000) for label, d in self.agree if abs(d) > 0.0005]
        print("  the median offset per frame and per second agree to 0.5 ms on %d of the %d muxes of clean clips"
              " above%s" % (len(self.agree) - len(apart), len(self.agree),
                            ": ok" if self.agree and not apart else "; apart: " + ", ".join(apart)))
        same = dict(self.one_frame)
        print("  the mux's audio packets are the split's MP2 frames, one a packet and in order: %s"
              % ", ".join("%s %s" % (name, "yes" if same[name] else "NO")
                          for name in clean + [b[0] for b in self.BROADCAST] if name in same))

        print("\nsync at every audio frame: each audio frame of the mux traced to the clip's by its bytes, each picture"
              " by its decoded hash (a picture that matches none goes on from the last that did); offset: how much"
              " longer after the picture shown at its middle the frame plays than it belongs, in ms, + when the audio is"
              " late")
        print("(matched: frames traced, of the mux's audio packets; worst: the largest offset; near a cut: the"
              " largest within 1 s of what a lost stretch took; beyond: frames off by more than half a frame, 12 ms"
              " at 48 kHz, 13.1 ms at 44.1 kHz; broken: decoded pictures that match none of the clip's, and the"
              " decoder's error lines)")
        print("(clips: outage: 5 stretches of 3-6 s lost; prefix-20: a fifth of the video packets stamped; one-pic:"
              " a closed group of one I-picture first, then an open one; fps-change: 25 fps, from %d s 29.97 fps,"
              " undamaged only; interlaced: frame pictures, top field first; 44k: MP2 at 44.1 kHz; tracks: bf2 with an"
              " AC3 5.1 track (448 kbit/s) beginning %+d ms and a second MP2 track beginning %+d ms after its audio,"
              " every track muxed with its delay, a row each; these are in PES packets of whole frames)"
              % (CHANGE // FPS, self.TRACKS[0][3], self.TRACKS[1][3]))
        print("  %-10s %-19s %-4s %-10s %-10s %8s %10s  %-7s %s" % ("clip", "damage", "flag", "delay", "matched",
                                                                 "worst", "near a cut", "beyond", "broken"))
        off = []
        for name in clean + damaged + [b[0] for b in self.BROADCAST] + tracks:
            clip = name.split(" ")[0] if name in tracks else name
            if clip in failed and (clip == name or name.endswith(" mp2")):
                print("  %-10s failed: %s" % (name, failed[clip][:200]))
            for which in ("clean", "damaged"):
                for flag in self.flags:
                    if (name, which, flag) not in self.frames:
                        continue
                    said, result = self.frames[name, which, flag]
                    damage = self.damage.get(clip, "?") if which == "damaged" else "none"
                    head = "  %-10s %-19s %-4s " % (name, damage, flag)
                    if isinstance(result, str):
                        print(head + "failed: %s" % result[:200])
                        continue
                    print(head + "%-10s %-10s %8s %10s  %-7d %s" % (
                        said, "%d/%d" % (len(result.offsets), result.packets), frame_ms(result.worst),
                        "-" if which == "clean" else frame_ms(result.worst_near), result.beyond,
                        "%d of %d, %d errors" % (result.broken, result.decoded, result.errors)))
                    if flag == "-r" and result.beyond:
                        off.append("  %s %s: %s" % (name, "damaged" if which == "damaged" else "undamaged",
                                                    runs_beyond(result)))
        if off:
            print("where -r is off by more than half a frame: runs of frames in a row, by their clip time, and"
                  " their offsets in ms")
            print("\n".join(off))
        if self.ac3_errors:
            print("the split's AC3 file decoded alone, error lines: %s" % ", ".join(
                "%s %s %s %d" % (clip, which, flag, n) for (clip, which, flag), n in sorted(self.ac3_errors.items())))


def runs_beyond(result, most=6):
    """The runs of frames in a row that are off by more than half a frame,
    as '9.72-10.54 s -312..-792'."""
    runs = []
    inside = False
    for t, o in result.offsets:
        if abs(o) <= result.half + 1e-6:
            inside = False
        elif inside:
            runs[-1][1] = t
            runs[-1][2].append(o)
        else:
            runs.append([t, t, [o]])
            inside = True
    text = ["%.2f-%.2f s %s" % (a, b, frame_ms(o[0]) if min(o) == max(o) else "%s..%s" % (frame_ms(o[0]),
                                                                                          frame_ms(o[-1])))
            for a, b, o in runs[:most]]
    return ", ".join(text) + (", and %d runs more" % (len(runs) - most) if len(runs) > most else "")


def frame_ms(x):
    return "n/a" if x is None else "%+.1f" % (round(x * 1000, 1) + 0.0)  # no "-0.0"


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
