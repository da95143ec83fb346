#!/usr/bin/env bash
# stfsctl record, disks, search, frames, lock, unlock, delete and repair on a formatted image:
# a simulated recorder writes 4 channels over three spans (manual, schedule, event) of an
# x264 clip with G.726 audio made by ffmpeg; the search finds the recordings with their
# channels, times and types, and the frames read back are the clip's pictures in order.
#
#   stfsctl_record_test.sh /path/to/stfsctl
NAME=stfsctl_record_test
NEEDS="ffmpeg python3"
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

CASE="clip"
make_clip

CASE="format"
"$STFSCTL" mkimage disk.img --size 2G >/dev/null || fail "mkimage"
runx 0 format disk.img --file-mb 64

CASE="record without a disk"
RC=0
"$STFSCTL" --no-system-disks record --channels 0 --input clip.h264 --span @1767607200+10s \
  >out 2>err || RC=$?
[ "$RC" -eq 1 ] || fail "recording without a record disk exited $RC"
runx 2 record --channels 0 --input clip.h264
runx 2 record --channels 0 --input clip.h264 --span @1767607200+10x

# 2026-01-05 10:00 UTC (a Monday): manual 60 s, schedule 30 s at 10:05, event 4 40 s at 10:10.
T0=1767607200
CASE="record"
runx 0 --json record --channels 0-3 --input clip.h264 --audio clip.g726 \
  --span @$T0+60s --span @$((T0 + 300))+30s:schedule --span @$((T0 + 600))+40s:event4
check "
recs = d['records']
assert not d['interrupted']
assert sorted({r['channel'] for r in recs}) == [0, 1, 2, 3], recs[:3]
for ch in range(4):
    for lo, hi, t in ((0, 60, 2), (300, 330, 1), (600, 640, 4)):
        mine = [r for r in recs if r['channel'] == ch and lo * 1000 <= r['start_ms'] - $T0 * 1000 < hi * 1000]
        assert mine, (ch, lo)
        assert {r['type_bits'] for r in mine} == {t}, (ch, lo, {r['type_bits'] for r in mine})
        assert min(r['start_ms'] for r in mine) == ($T0 + lo) * 1000, (ch, lo, min(r['start_ms'] for r in mine))
        assert max(r['end_ms'] for r in mine) >= ($T0 + hi - 2) * 1000, (ch, lo)
        assert max(r['end_ms'] for r in mine) < ($T0 + hi) * 1000, (ch, lo)
"

CASE="search"
runx 0 --json search --channels 1 --from @$T0 --to @$((T0 + 3600))
check "
recs = d['records']
assert recs and all(r['channel'] == 1 for r in recs)
assert {r['type_bits'] for r in recs} == {1, 2, 4}
open('file0', 'w').write(str(min(recs, key=lambda r: r['start_ms'])['file_index']))
"

CASE="frames read back"
runx 0 --json frames disk.img --file-index "$(cat file0)"
python3 - <<'PY' || fail "frames differ from the clip"
import json, re
d = json.load(open('out'))
clip = open('clip.h264', 'rb').read()
# The clip's pictures with every start code made 4 bytes, as the recorder writes them.
starts = [m.start() + 3 for m in re.finditer(b'\x00\x00\x01', clip)]
pics, cur, has_slice = [], b'', False
for i, s in enumerate(starts):
    e = starts[i + 1] - 3 if i + 1 < len(starts) else len(clip)
    while e > s and clip[e - 1] == 0:
        e -= 1
    t = clip[s] & 0x1F
    first = t in (1, 5) and clip[s + 1] & 0x80
    if has_slice and (first or t in (7, 9)):
        pics.append(cur); cur, has_slice = b'', False
    cur += b'\x00\x00\x00\x01' + clip[s:e]
    has_slice |= t in (1, 5)
pics.append(cur)
video = [f for f in d['frames'] if f['type'] != 'A']
audio = [f for f in d['frames'] if f['type'] == 'A']
assert len(video) >= 1400, len(video)
assert [f['size'] for f in video] == [224 + len(pics[k % len(pics)]) for k in range(len(video))]
assert all(f['size'] == 224 + 80 for f in audio) and len(audio) >= 1400, len(audio)
assert video[0]['type'] == 'I' and video[0]['pts_ms'] == 1767607200000
PY

CASE="disks"
runx 0 --json disks
check "
assert len(d['disks']) == 1 and d['disks'][0]['state'] == 0
assert 0 < d['disks'][0]['free_mb'] < d['disks'][0]['total_mb']
"

CASE="lock, unlock, delete"
runx 0 --json search
N=$(python3 -c "import json; print(len(json.load(open('out'))['records']))")
runx 0 --json lock --record 0
check "assert d['result'] == 0"
runx 0 --json unlock --record 0
runx 0 --json delete --record 1
runx 0 --json search
check "assert len(d['records']) == int(sys.argv[1]) - 1, len(d['records'])" "$N"
runx 1 --json lock --record 100000
runx 2 lock

CASE="a locked record is protected, and K follows the search's filters"
# K of a filtered search: record 0 among channel 2's recordings is not record 0 of all.
runx 0 --json search --channels 2
check "
r = d['records'][0]
assert r['record'] == 0 and r['channel'] == 2, r
assert [x['record'] for x in d['records']] == list(range(len(d['records'])))
"
FILE2=$(python3 -c "import json; print(json.load(open('out'))['records'][0]['file_index'])")
runx 0 --json lock --record 0 --channels 2
runx 0 --json search --channels 2
check "r = d['records'][0]; assert r['state'] & 2 and r['file_index'] == int(sys.argv[1]), r" "$FILE2"
runx 0 --json search
check "assert sum(1 for r in d['records'] if r['state'] & 2) == 1, 'one record locked'"
N=$(python3 -c "import json; print(len(json.load(open('out'))['records']))")
runx 0 search --channels 2
grep -E "^ +0  CH02 .*  locked$" out >/dev/null || fail "the text search does not show the lock: $(head -3 out)"
runx 1 delete --record 0 --channels 2
grep -q "is locked: unlock it first, or add --force" err || fail "delete of a locked record says: $(cat err)"
runx 0 --json search
check "assert len(d['records']) == int(sys.argv[1]), 'the locked record was deleted'" "$N"
runx 0 --json delete --record 0 --channels 2 --force
runx 0 --json search
check "assert len(d['records']) == int(sys.argv[1]) - 1, len(d['records'])" "$N"
runx 2 delete --record 0 --channels 40

CASE="real time records from now, and Ctrl-C reports what it wrote"
runx 2 record --channels 0 --input clip.h264 --span @$T0+10s --realtime
grep -q "records from now" err || fail "a START with --realtime says: $(cat err)"
runx 2 record --channels 0 --input clip.h264 --span now+10s
BEFORE=$(date +%s)
"$STFSCTL" --no-system-disks --image disk.img --json record --channels 0-1 --input clip.h264 \
  --span now+1h --realtime >rt.json 2>rt.err &
REC=$!
sleep 6
kill -INT "$REC"
RC=0
wait "$REC" || RC=$?
[ "$RC" -eq 0 ] || { cp rt.err err; fail "interrupted real-time recording exited $RC"; }
AFTER=$(date +%s)
runx 0 --json search --from @"$BEFORE"
py "$BEFORE" "$AFTER" <<'PY'
import json, sys
before, after = int(sys.argv[1]) * 1000, (int(sys.argv[2]) + 1) * 1000
said = json.load(open('rt.json'))
found = json.load(open('out'))['records']
assert said['interrupted'], said
key = lambda r: (r['channel'], r['file_index'], r['start_ms'], r['end_ms'])
assert said['records'] and sorted(map(key, said['records'])) == sorted(map(key, found)), (said, found)
assert {r['channel'] for r in found} == {0, 1}, found
for r in found:
    assert before <= r['start_ms'] < r['end_ms'] <= after, (before, r, after)
PY

CASE="repair"
runx 0 --json repair disk.img
check "assert d['repaired'] == [] and d['failed'] == []"
echo "stfsctl_record_test: all passed"
