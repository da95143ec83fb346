#!/usr/bin/env bash
# stfsctl play on an image recorded with stfsctl record: two channels over several files with a
# gap, and on channel 1 a second recording that overlaps the first. A session replays each
# channel frame for frame as the record files hold them (checked against stfsctl frames), from
# a start time in the middle, in fast forward and backward (key frames in order), stops at the
# range end, and --decode decodes every picture (the snapshot read back by ffprobe).
#
#   stfsctl_play_test.sh /path/to/stfsctl
NAME=stfsctl_play_test
NEEDS="ffmpeg ffprobe python3"
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

CASE="recordings"
make_clip
"$STFSCTL" mkimage disk.img --size 2G >/dev/null || fail "mkimage"
runx 0 format disk.img --file-mb 64
T0=1767607200
# Channels 0 and 1: 200 s in two runs (each run's recording fills a file of its own, so the
# replay crosses from one file to the next), a gap, 30 s in a third file.
runx 0 record --channels 0-1 --input clip.h264 --audio clip.g726 --span @$T0+100s
runx 0 record --channels 0-1 --input clip.h264 --audio clip.g726 --span @$((T0 + 100))+100s
runx 0 record --channels 0-1 --input clip.h264 --audio clip.g726 --span @$((T0 + 300))+30s
# Channel 1 again from 320 s to 360 s: it overlaps the first recording's last 10 s.
runx 0 record --channels 1 --input clip.h264 --audio clip.g726 --span @$((T0 + 320))+40s

# What the files hold, by the record reader: frames of each file of a channel in start order.
CASE="ground truth"
runx 0 --json index disk.img
cp out index.json
for f in $(python3 -c "import json; print(' '.join(str(r['file_index']) for r in json.load(open('index.json'))['time_map']))"); do
  runx 0 --json frames disk.img --file-index "$f"
  cp out "file$f.json"
done

play() { local name=$1; shift; runx 0 --json play "$@"; cp out "$name.json"; }

CASE="normal play, channel 0"
play ch0 --channel 0 --from @$T0
play ch0mid --channel 0 --from @$((T0 + 95)) --to @$((T0 + 3600))
play ch0end --channel 0 --from @$T0 --to @$((T0 + 120))
py $T0 <<'PY'
import json, sys
t0 = int(sys.argv[1]) * 1000
idx = json.load(open('index.json'))['time_map']
def files(ch):
    return [r['file_index'] for r in sorted(idx, key=lambda r: r['start_ms']) if r['channel'] == ch]
def frames(f):
    return [(x['pts_ms'], x['type'], x['size']) for x in json.load(open('file%d.json' % f))['frames']]
def played(name):
    d = json.load(open(name + '.json'))
    return [(x['pts_ms'], x['type'], x['size']) for x in d['frames']], d['end']
truth = [fr for f in files(0) for fr in frames(f)]
assert len(files(0)) >= 3, files(0)
got, end = played('ch0')
assert end == 'play list done', end
assert got == truth, (len(got), len(truth))
assert sum(1 for x in got if x[1] != 'A') == 230 * 25
# From 95 s: the key frame at 95 s and everything after it, across the next file.
got, _ = played('ch0mid')
start = [i for i, x in enumerate(truth) if x[0] == t0 + 95000 and x[1] == 'I'][0]
assert got == truth[start:], (got[:2], truth[start:start + 2])
# To 120 s: every frame up to 120 s, then the range end.
got, end = played('ch0end')
assert end == 'range end', end
assert got == [x for x in truth if x[0] <= t0 + 120000], (len(got), got[-1])
PY

CASE="normal play, channel 1 with an overlap"
play ch1 --channel 1 --from @$T0
py $T0 <<'PY'
import json, sys
t0 = int(sys.argv[1]) * 1000
idx = sorted(json.load(open('index.json'))['time_map'], key=lambda r: r['start_ms'])
mine = [r for r in idx if r['channel'] == 1]
frames = lambda f: [(x['pts_ms'], x['type'], x['size']) for x in json.load(open('file%d.json' % f))['frames']]
first, last = mine[:-1], mine[-1]
assert last['start_ms'] < first[-1]['end_ms']  # the overlap
# The first recording whole, then the second from its key frame at or before the first's end.
truth = [fr for r in first for fr in frames(r['file_index'])]
join = max(x[0] for x in frames(last['file_index']) if x[1] == 'I' and x[0] <= first[-1]['end_ms'])
truth += [x for x in frames(last['file_index']) if x[0] >= join]
got = [(x['pts_ms'], x['type'], x['size']) for x in json.load(open('ch1.json'))['frames']]
assert got == truth, (len(got), len(truth))
PY

CASE="fast forward and backward"
play fast --channel 1 --from @$T0 --mode fast --speed 16
play back --channel 1 --from @$((T0 + 50)) --to @$((T0 + 3600)) --mode back
py $T0 <<'PY'
import json, sys
t0 = int(sys.argv[1]) * 1000
idx = sorted(json.load(open('index.json'))['time_map'], key=lambda r: r['start_ms'])
keys = lambda f: [x['pts_ms'] for x in json.load(open('file%d.json' % f))['frames'] if x['type'] == 'I']
mine = [r['file_index'] for r in idx if r['channel'] == 1]
fast = json.load(open('fast.json'))['frames']
assert {x['type'] for x in fast} == {'I'}
# Every 16th key frame of each file, files one after the other.
want = [k for f in mine[:-1] for k in keys(f)[::16]]
assert [x['pts_ms'] for x in fast][:len(want)] == want, ([x['pts_ms'] for x in fast], want)
back = [x['pts_ms'] for x in json.load(open('back.json'))['frames']]
# In order; a time twice only where the two recordings meet (a key frame of each).
assert back == sorted(back, reverse=True) and len(back) - len(set(back)) <= 1
assert back[0] == max(k for f in mine for k in keys(f)), back[:3]
assert min(back) == t0 + 50000, min(back)
allkeys = {k for f in mine for k in keys(f)}
assert set(back) == {k for k in allkeys if k >= t0 + 50000}, len(back)
PY

CASE="decode"
play dec --channel 0 --from @$((T0 + 290)) --to @$((T0 + 310)) --decode --snapshot snap.png
py <<'PY'
import json
d = json.load(open('dec.json'))
video = [x for x in d['frames'] if x['type'] != 'A']
assert len(video) > 200 and d['video_frames'] == len(video), (len(video), d['video_frames'])
assert d['decoded'] == len(video) and d['refused'] == 0, d
PY
[ "$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 snap.png)" = "320,240" ] ||
  fail "snapshot is not a 320x240 picture"

CASE="bad input"
runx 1 play --channel 5 --from @$T0
grep -q "no recording of channel 5" err || fail "no clear message for a channel without recordings"
runx 2 play --channel 0 --from @$T0 --client 5
runx 2 play --channel 0 --from @$T0 --speed 33
runx 2 play --channel 0
runx 2 play --channel 0 --from @$((T0 + 10)) --to @$T0
echo "stfsctl_play_test: all passed"
