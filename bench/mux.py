#!/usr/bin/env python3
"""Every audio track of korvat's output in sync, as the muxers users have put it.

Makes clips of its own with ffmpeg: 60 s of 25 fps PAL MPEG-2 video with
B-pictures, and one noise that every audio track is cut from (so no two
audio frames are alike): the MPEG audio (MP2, 48 kHz stereo), an AC3 5.1
track in private stream 1 and a second MP2 in stream 0xC2, each track
beginning at its own moment, cut from the noise that much later so that its
content stays in sync. korvat-pack packs them into a recording, korvat -r
splits it, and each recipe muxes the split with the delays korvat printed:

  ffmpeg -> vob  ffmpeg to an MPEG-2 program stream (.mpg)
  ffmpeg -> mkv  ffmpeg to Matroska
  mkvmerge       mkvmerge to Matroska, each track with its own --sync
  mplex -f 8     mplex to a DVD program stream; mplex has one offset for
                 all audio, so each track first loses whole frames with
                 ffmpeg until all start within half a frame of the latest
  dvdauthor      the DVD that dvdauthor makes of mplex's stream

Then it measures every audio packet of every audio stream of the mux: its
time in the mux against the time of the picture shown at its middle, less the
same in the clip as made. Audio packets are known by their MD5 (ffmpeg
copies them), pictures by the hash of the decoded picture, so damage that
breaks some of them leaves the rest measured. Prints per clip, recipe and
track the worst offset, how many frames are off by more than half a frame,
whether the packets are still the split's frames one each, the decoder's
errors and the tool's warnings. Program streams are timed twice: by their
PES stamps as written, and as ffmpeg's demuxer reads them. Clean clips
first, then the same clips having lost stretches of the recording, split
with -r.

  bench/mux.py [--korvat PATH] [--pack PATH] [--keep DIR] [--jobs N]

Run by hand; not part of the tests. Needs ffmpeg, ffprobe, mkvmerge,
mplex and dvdauthor (made for Debian 12's); about a minute on two cores.
"""

import argparse
import bisect
import concurrent.futures
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sync import frame_listing as listing  # noqa: E402  (the listings are read as sync.py reads them)

RATE = 48000
FPS = 25
SECONDS = 60
STEP_TIMEOUT = 300  # seconds for any one child process
MASTER_LEAD_MS = 1000  # the main audio starts this far into the noise, leaving room for tracks that start before it

ROUNDING = 0.0005  # seconds: Matroska keeps times to the millisecond
FF = ["ffmpeg", "-nostdin", "-nostats", "-hide_banner", "-v", "error", "-y"]
BITEXACT = ["-fflags", "+bitexact", "-flags", "+bitexact"]


RUNNING = set()  # the children now running, so that an interrupted run can end them
RUNNING_LOCK = threading.Lock()


def run(argv, cwd=None, check=True, env=None, timeout=STEP_TIMEOUT):
    """Runs argv to its end or the timeout; (exit status, stdout, stderr)."""
    argv = [str(a) for a in argv]
    with RUNNING_LOCK:
        proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True)
        RUNNING.add(proc)
    try:
        out, err = proc.communicate(timeout=timeout)
    except BaseException:
        end(proc)
        proc.communicate()
        raise
    finally:
        with RUNNING_LOCK:
            RUNNING.discard(proc)
    out, err = out.decode("utf-8", "replace"), err.decode("utf-8", "replace")
    if check and proc.returncode != 0:
        log = (err + out).strip().splitlines()
        said = [line for line in log if re.search(r"error", line, re.I)] or log[-3:]
        raise RuntimeError("%s failed (%d): %s" % (argv[0], proc.returncode, " / ".join(said)[-600:]))
    return proc.returncode, out, err


def end(proc):
    # Its own process group: whatever it started ends with it.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except OSError:
        pass


def end_all():
    with RUNNING_LOCK:
        for proc in RUNNING:
            end(proc)


# ---------------------------------------------------------------- the clips

class Plan:
    """A clip to make: the main audio's --audio-offset, the other tracks
    (stream id, file name, codec, ms after the main audio), and what the
    recording loses."""

    def __init__(self, name, audio_offset_ms, tracks, lose=()):
        # lose: (fraction of the clean recording's size where a stretch is lost, bytes)
        self.name, self.audio_offset_ms, self.tracks, self.lose = name, audio_offset_ms, tracks, list(lose)


def tracks(ac3_ms, c2_ms):
    return [(0xBD, "film.ac3", "ac3", ac3_ms), (0xC2, "second.mp2", "mp2", c2_ms)]


PLANS = [
    Plan("clean", 48, tracks(-64, 100)),
    # The audio before the first picture, and stream 0xC2 before 0xC0: korvat
    # takes the first MPEG audio stream for the audio file.
    Plan("audio first", -200, tracks(300, -40)),
    Plan("damaged", 48, tracks(-64, 100), lose=[(0.40, 60000), (0.75, 150000)]),
    Plan("damaged, audio first", -200, tracks(300, -40), lose=[(0.25, 40000), (0.60, 100000)]),
]

# codec -> (the filter that gives it its channels, encoder options)
AUDIO_CODECS = {
    "mp2": ("aformat=channel_layouts=stereo", ["-c:a", "mp2", "-b:a", "192k"]),
    "ac3": ("pan=5.1|FL=c0|FR=0.9*c0|FC=0.8*c0|LFE=0.5*c0|BL=0.7*c0|BR=0.6*c0", ["-c:a", "ac3", "-b:a", "448k"]),
}


def make_noise(path):
    # Pink noise, the same every run, long enough for every track's start.
    run(FF + ["-f", "lavfi", "-i", "anoisesrc=d=%d:c=pink:r=%d:a=0.3:seed=7" % (SECONDS + 4, RATE),
              "-c:a", "pcm_s16le", path])


def make_audio(noise, path, codec, start_ms):
    """SECONDS of the noise from MASTER_LEAD_MS + start_ms on, in the codec."""
    first = (MASTER_LEAD_MS + start_ms) * RATE // 1000
    channels, options = AUDIO_CODECS[codec]
    cut = "atrim=start_sample=%d:end_sample=%d,asetpts=N/SR/TB,%s" % (first, first + SECONDS * RATE, channels)
    run(FF + ["-i", noise, "-af", cut] + options + BITEXACT + ["-f", codec, path])


def make_video(path):
    # testsrc2 moves every picture, so no two decode alike; 4:3 as a DVD wants.
    run(FF + ["-f", "lavfi", "-i", "testsrc2=s=720x576:r=%d:d=%d" % (FPS, SECONDS),
              "-c:v", "mpeg2video", "-g", "12", "-bf", "2", "-sc_threshold", "1000000000", "-q:v", "5",
              "-maxrate", "9000k", "-bufsize", "1835k", "-aspect", "4:3"] + BITEXACT + ["-f", "mpeg2video", path])


# ------------------------------------------------------ the byte formats

LAYER2_KBITS = (0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384)
MPA_RATES = (44100, 48000, 32000)


def mp2_header(data, at):
    """(bytes, samples per second) of the MPEG-1 layer II frame whose header
    is at `at`; None if there is none."""
    if at + 4 > len(data) or data[at] != 0xFF or data[at + 1] & 0xFE != 0xFC:
        return None
    b2 = data[at + 2]
    if b2 >> 4 in (0, 15) or (b2 >> 2) & 3 == 3:
        return None
    rate = MPA_RATES[(b2 >> 2) & 3]
    return 144000 * LAYER2_KBITS[b2 >> 4] // rate + ((b2 >> 1) & 1), rate


AC3_KBITS = (32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640)
AC3_RATES = (48000, 44100, 32000)


def ac3_header(data, at):
    """(bytes, samples per second) of the AC3 sync frame at `at`; None if there is none."""
    if at + 5 > len(data) or data[at] != 0x0B or data[at + 1] != 0x77:
        return None
    code, size_code = data[at + 4] >> 6, data[at + 4] & 0x3F
    if code == 3 or size_code >> 1 >= len(AC3_KBITS):
        return None
    rate, kbits = AC3_RATES[code], AC3_KBITS[size_code >> 1]
    return 2 * (kbits * 96000 // rate + (size_code & 1 if rate == 44100 else 0)), rate


CODECS = {"mp2": (mp2_header, 0xFF, 1152), "ac3": (ac3_header, 0x0B, 1536)}  # header, sync byte, samples a frame


def codec_of(data):
    return "ac3" if data[:2] == b"\x0b\x77" else "mp2"


def frames_of(data, codec):
    """(offset, bytes) of every whole frame. A frame counts where the next
    header follows right after it (or the data ends there), so that damage
    costs only the frames it broke: past it the next header is sought."""
    header, sync, _ = CODECS[codec]
    out, at = [], 0
    while at < len(data):
        h = header(data, at)
        if h and at + h[0] <= len(data) and (at + h[0] == len(data) or header(data, at + h[0])):
            out.append((at, data[at:at + h[0]]))
            at += h[0]
        else:
            at = data.find(bytes([sync]), at + 1)
            if at < 0:
                break
    return out


def frame_seconds(data, codec):
    """The seconds of one frame, from the first header found."""
    header, _, samples = CODECS[codec]
    frames = frames_of(data[:1 << 16], codec)
    return samples / (header(data, frames[0][0])[1] if frames else RATE)


def md5(data):
    return hashlib.md5(data).hexdigest()


def audio_frames(path):
    """The MD5 of each whole frame of an MP2 or AC3 file, in order, and the seconds of one frame."""
    with open(path, "rb") as f:
        data = f.read()
    codec = codec_of(data)
    return [md5(f) for _, f in frames_of(data, codec)], frame_seconds(data, codec)


def first_picture_display_index(m2v):
    """The temporal reference of the stream's first picture: how many
    pictures show before it."""
    with open(m2v, "rb") as f:
        es = f.read(1 << 20)
    at = es.find(b"\x00\x00\x01\x00")
    return (es[at + 4] << 2) | (es[at + 5] >> 6)


def decoded_picture_hashes(m2v):
    _, out, _ = run(["ffmpeg", "-nostdin", "-v", "error", "-i", m2v, "-fps_mode", "passthrough",
                     "-f", "framehash", "-hash", "murmur3", "-"])
    return [line.split(",")[-1].strip() for line in out.splitlines() if line.strip() and not line.startswith("#")]


def unique(hashes):
    """Hash -> index, for the hashes that are there once only."""
    seen = {}
    for i, h in enumerate(hashes):
        seen[h] = None if h in seen else i
    return {h: i for h, i in seen.items() if i is not None}


class Truth:
    """Where each picture and each audio frame belongs in the clip's time, by
    how the clip was made: picture j at j/25 s, frame k of a track at its
    stamped start plus k frames. The packer stamps the first picture in
    stream order and the main audio --audio-offset after it, each other
    track its @MS after that."""

    def __init__(self, pictures, video_first, audio_offset_ms):
        self.picture_at = {h: j / FPS for h, j in unique(pictures).items()}
        self.start = video_first / FPS + audio_offset_ms / 1000
        self.tracks = {}  # label -> (hash -> seconds, seconds of a frame)

    def add_track(self, label, path, after_ms):
        hashes, duration = audio_frames(path)
        start = self.start + after_ms / 1000
        self.tracks[label] = ({h: start + k * duration for h, k in unique(hashes).items()}, duration)

    def source_of(self, hashes):
        """The label of the track that holds most of these frames."""
        return max(self.tracks, key=lambda label: len(hashes.intersection(self.tracks[label][0])))


# --------------------------------------------------------------- korvat

DELAY = r"([+-]\d+) ms$"


def parse_delays(err, audio_name):
    """The delay in ms that korvat printed for each audio file, by file name;
    None where it said unknown. Reads both forms of a track's line:
      audio track bd in 'rec.ac3'    followed by    audio delay: -16 ms
      audio delay of 'rec.ac3': -16 ms
    The first plain line without a track before it is the audio file's."""
    delays, pending = {}, None
    for line in err.splitlines():
        line = line.strip()
        track = re.match(r"audio track [0-9a-fA-F]+ in '(.*)'$", line)
        named = re.match(r"audio delay of '(.*)': (.*)$", line)
        plain = re.match(r"audio delay: (.*)$", line)
        if track:
            pending = os.path.basename(track.group(1))
        elif named:
            delays[os.path.basename(named.group(1))] = delay_value(named.group(2))
            pending = None
        elif plain:
            name = pending or audio_name
            if name not in delays:
                delays[name] = delay_value(plain.group(1))
            pending = None
    return delays


def delay_value(text):
    m = re.match(DELAY, text.strip())
    return int(m.group(1)) if m else None


def split(korvat, recording, outdir):
    """korvat -r RECORDING rec.mp2 rec.m2v in outdir: its stderr and the
    audio files it wrote, each with its delay."""
    os.makedirs(outdir)
    rc, _, err = run([korvat, "-r", os.path.abspath(recording), "rec.mp2", "rec.m2v"], cwd=outdir, check=False)
    if rc != 0:
        raise RuntimeError("korvat -r exited %d: %s" % (rc, err.strip()[-300:]))
    return err, parse_delays(err, "rec.mp2")


# ------------------------------------------------------------- recipes

class Split:
    """korvat's output: the video, and each audio file with its delay, the
    audio file first."""

    def __init__(self, folder, delays):
        self.folder = folder
        self.video = os.path.join(folder, "rec.m2v")
        names = ["rec.mp2"] + sorted(n for n in delays if n != "rec.mp2")
        self.audio = [(os.path.join(folder, n), delays[n]) for n in names]


def ms_arg(ms):
    return "%+dms" % ms


def ffmpeg_mux(s, out, container_options=()):
    """ffmpeg: the README's recipe with one -itsoffset input per audio file."""
    argv = ["ffmpeg", "-nostdin", "-hide_banner", "-v", "warning", "-y", "-fflags", "+genpts", "-i", s.video]
    for path, delay in s.audio:
        argv += ["-itsoffset", ms_arg(delay), "-i", path]
    argv += ["-map", "0:v"] + sum((["-map", "%d:a" % (i + 1)] for i in range(len(s.audio))), [])
    argv += ["-c", "copy", "-bsf:v", "setts=pts=PTS-STARTPTS:dts=DTS-STARTPTS"] + list(container_options) + [out]
    return warnings(run(argv)[2], r"Estimating duration from bitrate", pattern=".")


def ffmpeg_vob(s, out):
    # -f vob: the plain mpeg muxer writes MPEG-1 system streams, where it
    # warns that AC3 is not widely supported.
    return ffmpeg_mux(s, out, ["-f", "vob"])


def ffmpeg_mkv(s, out):
    return ffmpeg_mux(s, out)


def mkvmerge_mux(s, out):
    """mkvmerge: each audio file with --sync 0:DELAY; the video as it is."""
    argv = ["mkvmerge", "-q", "-o", out, s.video]
    for path, delay in s.audio:
        argv += ["--sync", "0:%+d" % delay, path]
    rc, stdout, stderr = run(argv, check=False)
    if rc not in (0, 1):  # 1: done, with warnings
        raise RuntimeError("mkvmerge failed (%d): %s" % (rc, (stdout + stderr).strip()[-600:]))
    return warnings(stdout + stderr)


def frame_ms(path):
    return round(audio_frames(path)[1] * 1000)


def trimmed_to_latest(s, folder):
    """Each audio file less the whole frames that bring its start nearest the
    latest start, by ffmpeg; and that start. mplex can only shift all audio
    at once."""
    latest = max(delay for _, delay in s.audio)
    out = []
    for path, delay in s.audio:
        frame = frame_ms(path)
        drop = (2 * (latest - delay) + frame) // (2 * frame)
        trimmed = os.path.join(folder, "trim." + os.path.basename(path))
        # Output -ss drops the packets stamped before it: half a frame
        # before frame `drop` starts.
        start = drop * frame - frame // 2 if drop else 0
        run(FF + ["-i", path, "-ss", "%dms" % start, "-c", "copy", trimmed])
        out.append(trimmed)
    return out, latest


def mplex_mux(s, out):
    """mplex -f 8 with -O, the video's offset against the audio, after the trim."""
    folder = os.path.join(os.path.dirname(out), "mplex-in")
    os.makedirs(folder, exist_ok=True)
    trimmed, latest = trimmed_to_latest(s, folder)
    _, stdout, stderr = run(["mplex", "-f", "8", "-O", "%dms" % -latest, "-o", out, s.video] + trimmed)
    shutil.rmtree(folder)
    return warnings(stdout + stderr)


def dvdauthor_vob(mpg, out_dir):
    """dvdauthor's title of the mplex stream, and its table of contents: the
    VOB it wrote, and the warnings of both runs."""
    env = dict(os.environ, VIDEO_FORMAT="PAL")
    _, o1, e1 = run(["dvdauthor", "-o", out_dir, "-t", mpg], env=env)
    _, o2, e2 = run(["dvdauthor", "-o", out_dir, "-T"], env=env)
    return os.path.join(out_dir, "VIDEO_TS", "VTS_01_1.VOB"), warnings(o1 + e1 + o2 + e2)


def warnings(log, ignore=None, pattern=r"warn|error"):
    """The lines of a tool's log that match pattern, each once, with how often."""
    seen = {}
    for line in log.replace("\r", "\n").splitlines():
        line = line.strip()
        if line and re.search(pattern, line, re.I) and not (ignore and re.search(ignore, line)):
            line = re.sub(r"'/[^']*/", "'", line)  # our work folder says nothing
            seen[line] = seen.get(line, 0) + 1
    return seen


# ------------------------------------------------------------ measuring

def audio_stream_count(mux):
    _, out, _ = run(["ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "stream=index",
                     "-of", "csv=p=0", mux])
    return len(out.split())


# The null muxer's complaint about audio stamped out of order: ffmpeg's
# reading, not the decoder's.
OUT_OF_ORDER = "non monotonically increasing dts"


def read_mux(mux, work):
    """As ffmpeg reads the mux: every picture decoded, with its time; every
    packet of each audio stream copied, with its time; and all audio decoded,
    for the decoder's error lines and the packets it finds out of order."""
    base = os.path.join(work, "listing")
    streams = audio_stream_count(mux)
    argv = ["ffmpeg", "-nostdin", "-nostats", "-hide_banner", "-loglevel", "level+error", "-y", "-copyts",
            "-i", mux, "-map", "0:v:0", "-fps_mode", "passthrough", "-enc_time_base:v", "1:90000",
            "-f", "framehash", "-hash", "murmur3", base + ".video"]
    for i in range(streams):
        argv += ["-map", "0:a:%d" % i, "-c:a", "copy", "-f", "framemd5", "%s.a%d" % (base, i)]
    argv += ["-map", "0:a", "-f", "null", "-"]
    log = run(argv)[2].splitlines()
    pictures = listing(base + ".video")
    packets = [listing("%s.a%d" % (base, i)) for i in range(streams)]
    for name in [base + ".video"] + ["%s.a%d" % (base, i) for i in range(streams)]:
        os.unlink(name)
    errors = [line for line in log if "[error]" in line or "[fatal]" in line]
    disorder = sum(1 for line in errors if OUT_OF_ORDER in line)
    return pictures, packets, len(errors) - disorder, disorder


def is_program_stream(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x00\x00\x01\xba"


def pes_stamp(b):
    return (((b[0] >> 1) & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1) / 90000


def pes_header(body):
    """The time stamp (seconds or None) and the length of the header of an
    MPEG-2 or MPEG-1 PES packet's body (the bytes after its length)."""
    if body[0] >> 6 == 2:
        return (pes_stamp(body[3:8]) if body[1] & 0x80 else None), 3 + body[2]
    at = 0
    while body[at] == 0xFF:  # stuffing
        at += 1
    if body[at] >> 6 == 1:  # buffer size
        at += 2
    if body[at] >> 4 in (2, 3):
        return pes_stamp(body[at:at + 5]), at + (10 if body[at] >> 4 == 3 else 5)
    return None, at + 1


def audio_pes(data):
    """(stream, seconds or None, payload) of every audio PES packet of an
    MPEG program stream. stream: the id, or for AC3 in private stream 1 the
    substream (0x80-0x87), whose 4-byte header the payload leaves out."""
    at, out = 0, []
    while at + 6 <= len(data):
        if data[at:at + 3] != b"\x00\x00\x01":
            at = data.find(b"\x00\x00\x01", at + 1)
            if at < 0:
                break
            continue
        code = data[at + 3]
        if code == 0xBA:  # pack header: MPEG-2 has stuffing, MPEG-1 does not
            at += 14 + (data[at + 13] & 7) if data[at + 4] >> 6 == 1 else 12
            continue
        if code == 0xB9:
            break
        length = (data[at + 4] << 8) | data[at + 5]
        body = data[at + 6:at + 6 + length]
        at += 6 + length
        if 0xC0 <= code <= 0xDF or code == 0xBD:
            stamp, header = pes_header(body)
            payload = body[header:]
            if code == 0xBD:
                if not payload or not 0x80 <= payload[0] <= 0x87:
                    continue  # subtitles, LPCM, DTS
                code, payload = payload[0], payload[4:]
            out.append((code, stamp, payload))
    return out


def program_stream_audio(path):
    """Each audio stream of a program stream timed by its own PES stamps: per
    stream, (seconds, MD5) of every frame. A stamp times the first frame that
    begins in its packet; a frame that begins in a packet after another one
    goes on from the frame before."""
    with open(path, "rb") as f:
        packets = audio_pes(f.read())
    out = []
    for stream in sorted(set(p[0] for p in packets)):
        mine = [(stamp, payload) for sid, stamp, payload in packets if sid == stream]
        data = b"".join(payload for _, payload in mine)
        ends, total = [], 0
        for _, payload in mine:
            total += len(payload)
            ends.append(total)
        codec = "ac3" if stream < 0xC0 else "mp2"
        duration = frame_seconds(data, codec)
        timed, packet, last_packet, t = [], 0, -1, None
        for offset, frame in frames_of(data, codec):
            while ends[packet] <= offset:
                packet += 1
            stamp = mine[packet][0]
            if stamp is not None and packet != last_packet:
                t = stamp
            elif t is not None:
                t += duration
            timed.append((t, md5(frame)))
            last_packet = packet
        out.append(timed)
    return out


class TrackSync:
    """One audio track of a mux against the clip: the offset at each of its
    frames that is one of the clip's, positive where the audio is late; and
    whether its packets are the split's frames, one each."""

    def __init__(self, name, delay, packets, pictures, truth, split_frames):
        self.source = truth.source_of(set(split_frames))
        frame_at, duration = truth.tracks[self.source]
        self.name, self.delay, self.half = name, delay, duration / 2
        shown = sorted((pts, truth.picture_at[h]) for pts, h in pictures if pts is not None and h in truth.picture_at)
        starts = [pts for pts, _ in shown]
        self.offsets = []
        for pts, h in packets:
            t = frame_at.get(h)
            if t is None or pts is None or not shown:
                continue  # a frame the repair made, or one that damage broke
            # The picture shown at the frame's middle; frames before the
            # first picture are measured from it all the same. A middle on
            # the start of a picture belongs to it, also where a container's
            # times, rounded to the millisecond, put it a little before.
            at, when = shown[max(bisect.bisect_right(starts, pts + duration / 2 + ROUNDING) - 1, 0)]
            self.offsets.append((pts - at) - (t - when))
        self.packets = len(packets)
        self.unstamped = sum(1 for pts, _ in packets if pts is None)
        in_split = set(split_frames)
        self.foreign = sum(1 for _, h in packets if h not in in_split)  # merged, cut or changed packets
        muxed = set(h for _, h in packets)
        missing = [k for k, h in enumerate(split_frames) if h not in muxed]
        self.missing = len(missing)
        self.missing_at = (missing[0], missing[-1]) if missing else None
        self.worst = max(self.offsets, key=abs, default=None)
        self.beyond = sum(1 for o in self.offsets if abs(o) > self.half + 1e-6)

    def frames_note(self):
        notes = []
        if self.foreign:
            notes.append("%d not a frame of the split" % self.foreign)
        if self.missing:
            notes.append("%d frames missing (#%d-#%d)" % ((self.missing,) + self.missing_at))
        if self.unstamped:
            notes.append("%d without a time" % self.unstamped)
        return "; ".join(notes) or "one frame each"


def track_syncs(streams, pictures, s, truth):
    """A TrackSync for each audio stream, matched to the split's audio file
    whose frames it holds most of, in the split's order."""
    frames = {os.path.basename(p): audio_frames(p)[0] for p, _ in s.audio}
    delays = {os.path.basename(p): d for p, d in s.audio}
    out = []
    for packets in streams:
        hashes = set(h for _, h in packets)
        name = max(frames, key=lambda n: len(hashes.intersection(frames[n])))
        out.append(TrackSync(name, delays[name], packets, pictures, truth, frames[name]))
    order = list(frames)
    return sorted(out, key=lambda t: order.index(t.name))


class Measured:
    """A mux measured: its tracks timed as the container stamps them, and
    for a program stream also as ffmpeg reads them (its demuxer times AC3
    frames itself); the decoder's error lines; the packets ffmpeg read out of
    order."""

    def __init__(self, mux, s, truth, work):
        pictures, streams, self.errors, self.disorder = read_mux(mux, work)
        self.read_by_ffmpeg = track_syncs(streams, pictures, s, truth)
        self.tracks = self.read_by_ffmpeg
        self.own = is_program_stream(mux)
        if self.own:
            self.tracks = track_syncs(program_stream_audio(mux), pictures, s, truth)


# --------------------------------------------------------------- a clip

RECIPES = [
    ("ffmpeg -> vob", "mux.mpg", ffmpeg_vob),
    ("ffmpeg -> mkv", "mux.mkv", ffmpeg_mkv),
    ("mkvmerge --sync", "mkvmerge.mkv", mkvmerge_mux),
    ("mplex -f 8", "mplex.mpg", mplex_mux),
]


class Sources:
    """The streams every clip is made of, made once."""

    def __init__(self, work):
        self.work = work
        self.noise = os.path.join(work, "noise.wav")
        self.video = os.path.join(work, "video.m2v")
        make_noise(self.noise)
        make_video(self.video)
        self.pictures = decoded_picture_hashes(self.video)
        self.video_first = first_picture_display_index(self.video)
        self.main = os.path.join(work, "audio.mp2")
        make_audio(self.noise, self.main, "mp2", 0)


class ClipRun:
    """One plan: packed, split by korvat -r, muxed by every recipe and measured."""

    def __init__(self, plan, sources, korvat, packer, work):
        self.plan, self.sources, self.korvat, self.packer = plan, sources, korvat, packer
        self.work = os.path.join(work, re.sub(r"\W+", "-", plan.name))
        os.makedirs(self.work)
        self.rows = []  # (recipe, Measured, warnings)
        self.failures = []  # (recipe, why)
        self.korvat_log = ""

    def path(self, name):
        return os.path.join(self.work, name)

    def make_tracks(self):
        """Each track cut from the noise its ms later than the main audio, so
        that its content is in sync, and the truth of where its frames go."""
        truth = Truth(self.sources.pictures, self.sources.video_first, self.plan.audio_offset_ms)
        truth.add_track("0xC0 mp2", self.sources.main, 0)
        options = ["--audio-offset", self.plan.audio_offset_ms]
        for sid, name, codec, after in self.plan.tracks:
            make_audio(self.sources.noise, self.path(name), codec, after)
            options += ["--track", "0x%02X:%s@%d" % (sid, self.path(name), after)]
            truth.add_track("0x%02X %s" % (sid, codec), self.path(name), after)
        return truth, options

    def pack(self, options, seed):
        """The recording of this seed, less the plan's lost stretches."""
        rec = self.path("rec.av")
        argv = [self.packer, "--seed", seed] + options + [self.sources.video, self.sources.main, rec]
        run(argv)
        if self.plan.lose:
            size = os.path.getsize(rec)
            lost = sum((["--lose", "%d:%d" % (size * at, count)] for at, count in self.plan.lose), [])
            os.unlink(rec)
            run(argv[:1] + lost + argv[1:])
        return rec

    def split_known(self, options):
        """The first seed whose recording lets korvat say every delay, packed and split."""
        for seed in range(1, 60):
            rec = self.pack(options, seed)
            folder = self.path("split-%d" % seed)
            err, delays = split(self.korvat, rec, folder)
            if len(delays) == 1 + len(self.plan.tracks) and None not in delays.values():
                self.korvat_log, self.seed = err, seed
                return Split(folder, delays)
            shutil.rmtree(folder)
        raise RuntimeError("%s: no seed gives every delay" % self.plan.name)

    def run(self):
        truth, options = self.make_tracks()
        s = self.split_known(options)
        for recipe, out_name, mux in RECIPES:
            out = self.path(out_name)
            try:
                warned = mux(s, out)
            except RuntimeError as e:
                self.failures.append((recipe, str(e)))
                continue
            self.rows.append((recipe, Measured(out, s, truth, self.work), warned))
            if mux is mplex_mux:
                self.dvd(out, s, truth)

    def dvd(self, mpg, s, truth):
        try:
            vob, warned = dvdauthor_vob(mpg, self.path("dvd"))
        except RuntimeError as e:
            self.failures.append(("dvdauthor", str(e)))
            return
        self.rows.append(("  its dvdauthor VOB", Measured(vob, s, truth, self.work), warned))


# ---------------------------------------------------------------- report

def ms(x):
    return "%+6.1f" % (round(x * 1000, 1) + 0.0) if x is not None else "   n/a"


def print_clip(c):
    plan = c.plan
    print("\n== %s: --audio-offset %d, %s%s (seed %d)" % (
        plan.name, plan.audio_offset_ms, ", ".join("0x%02X @%+d ms" % (t[0], t[3]) for t in plan.tracks),
        lost_note(plan.lose), c.seed))
    for line in c.korvat_log.strip().splitlines():
        print("   korvat: " + line)
    print("  %-19s %-18s %5s %6s %9s  %-20s %6s  %s" % ("recipe", "file (stream)", "delay", "worst", "beyond",
                                                     "ffmpeg reads", "errors", "packets"))
    for recipe, m, warned in c.rows:
        for i, (t, read) in enumerate(zip(m.tracks, m.read_by_ffmpeg)):
            print("  %-19s %-18s %+5d %6s %4d/%-4d  %-20s %6s  %s" % (
                recipe if i == 0 else "", "%s (%s)" % (t.name, t.source.split()[0]), t.delay, ms(t.worst),
                t.beyond, len(t.offsets), ffmpeg_note(t, read) if m.own else "the same",
                errors_note(m) if i == 0 else "", t.frames_note()))
        print("  %-19s warnings: %s" % ("", warning_note(warned)))
    for recipe, why in c.failures:
        print("  %-19s FAILED: %s" % (recipe, why))


def ffmpeg_note(t, read):
    if ms(read.worst) == ms(t.worst) and read.beyond == t.beyond:
        return "the same"
    return "%s, %d beyond" % (ms(read.worst).strip(), read.beyond)


def errors_note(m):
    return "%d" % m.errors + ("+%d" % m.disorder if m.disorder else "")


def lost_note(lose):
    return "".join(", %d bytes lost at %d%%" % (count, at * 100) for at, count in lose)


def warning_note(warned):
    if not warned:
        return "none"
    return "; ".join("%s (%dx)" % (line[:110], count) for line, count in sorted(warned.items()))


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--korvat", default=os.path.join(here, "build", "korvat"))
    parser.add_argument("--pack", default=os.path.join(here, "build", "korvat-pack"))
    parser.add_argument("--keep", metavar="DIR", help="work in DIR and keep everything there")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    for tool in ("ffmpeg", "ffprobe", "mkvmerge", "mplex", "dvdauthor"):
        if not shutil.which(tool):
            sys.exit("mux.py: needs %s" % tool)
    started = time.time()
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        work = os.path.abspath(args.keep)
    else:
        work = tempfile.mkdtemp(prefix="korvat-mux-")
    try:
        sources = Sources(work)
        korvat, packer = os.path.abspath(args.korvat), os.path.abspath(args.pack)
        runs = [ClipRun(p, sources, korvat, packer, work) for p in PLANS]
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            futures = [pool.submit(r.run) for r in runs]
            try:
                for future in futures:
                    future.result()
            except BaseException:
                for future in futures:
                    future.cancel()
                end_all()
                raise
        print("Offsets per audio frame, in ms: mux time from the picture shown at the frame's middle, less the")
        print("same in the clip; positive: the audio is late. beyond: frames off by more than half a frame, of")
        print("those measured. A program stream's frames are timed by its PES stamps; 'ffmpeg reads': as its")
        print("demuxer times them. errors: the decoder's error lines (+ packets ffmpeg read out of order).")
        print("packets: whether the mux holds the split's frames, one a packet, and which it left out.")
        for r in runs:
            print_clip(r)
        print("\n%.0f s" % (time.time() - started))
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
