#!/usr/bin/env bash
# stfsctl recover on a record disk that stfsctl formats and records: two channels each with a
# recording of two segments (manual, then event) and a later one in the same file. Nothing to
# recover at first; then a segment of each channel's first recording and channel 0's later one
# are deleted, and recover finds each with its exact frames and times (from the
# frames read before the delete), lists no frame a remaining record covers, leaves the disk as
# it was, and backs each piece up into an MP4 that ffprobe reads, listed in SHA256SUMS. Then a
# full disk of two record files recycles its oldest: the older recording's tail is found whole.
#
#   stfsctl_recover_test.sh /path/to/stfsctl
NAME=stfsctl_recover_test
NEEDS="ffmpeg ffprobe python3 sha256sum"
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

make_clip
"$STFSCTL" mkimage disk.img --size 1G >/dev/null || fail "mkimage"
runx 0 format disk.img --file-mb 64
T0=1767607200
runx 0 record --channels 0-1 --input clip.h264 --audio clip.g726 --span "@$T0+20s" \
  --span "@$((T0 + 20))+20s:event4" --span "@$((T0 + 3600))+10s"

CASE="nothing to recover"
runx 0 recover disk.img
grep -qx "nothing to recover" out || fail "says: $(cat out)"
runx 0 --json recover disk.img
check "assert d == {'pieces': []}, d"

CASE="the recordings before the delete"
runx 0 --json search
cp out before.json
for f in $(python3 -c "import json; print(' '.join(sorted({str(r['file_index']) for r in json.load(open('before.json'))['records']})))"); do
  runx 0 --json frames disk.img --file-index "$f"
  cp out "frames.$f.json"
done

CASE="delete"
# Channel 0's event segment, channel 1's first manual segment and channel 0's later recording
# (the recorder kept the file open: a third segment of the same file).
py <<'PY'
import json
recs = json.load(open('before.json'))['records']
t0 = 1767607200000
wanted = [(0, lambda r: r['type_bits'] == 4), (1, lambda r: r['type_bits'] == 2 and r['start_ms'] < t0 + 3600000),
          (0, lambda r: r['start_ms'] >= t0 + 3600000)]
deletes, deleted = [], []
for ch, cond in wanted:
    mine = [r for r in recs if r['channel'] == ch]
    k = [i for i, r in enumerate(mine) if cond(r)]
    assert len(k) == 1, (ch, k, mine)
    deletes.append((ch, k[0]))
    deleted.append(mine[k[0]])
json.dump(deleted, open('deleted.json', 'w'))
open('deletes', 'w').write(''.join(f"{ch} {k}\n" for ch, k in deletes))
PY
# Later deletes first: K counts in the search of the channel, which a delete shortens.
sort -k2 -nr deletes | while read -r ch k; do
  runx 0 --json delete --record "$k" --channels "$ch"
done
runx 0 --json search
cp out after.json
BEFORE=$(sha256sum disk.img | cut -d' ' -f1)

CASE="recover"
runx 0 --json recover disk.img
cp out pieces.json
[ "$(sha256sum disk.img | cut -d' ' -f1)" = "$BEFORE" ] || fail "recover changed the disk"
py <<'PY'
import json
pieces = json.load(open('pieces.json'))['pieces']
deleted = json.load(open('deleted.json'))
after = json.load(open('after.json'))['records']
assert len(pieces) == len(deleted) == 3, (pieces, deleted)
for d in deleted:
    frames = json.load(open(f"frames.{d['file_index']}.json"))['frames']
    mine = [f for f in frames if d['start_ms'] <= f['pts_ms'] <= d['end_ms']]
    while mine and mine[0]['type'] != 'I':
        mine.pop(0)
    p = [p for p in pieces if p['file_index'] == d['file_index'] and p['channel'] == d['channel']
         and p['start_ms'] <= d['end_ms'] and p['end_ms'] >= d['start_ms']]
    assert len(p) == 1, (d, pieces)
    p = p[0]
    assert p['reason'] == 'deleted', p
    assert p['frames'] == len(mine), (p, len(mine))
    assert p['key_frames'] == sum(f['type'] == 'I' for f in mine), p
    assert p['bytes'] == sum(f['size'] for f in mine), (p, sum(f['size'] for f in mine))
    assert (p['start_ms'], p['end_ms']) == (mine[0]['pts_ms'], mine[-1]['pts_ms']), (p, mine[0], mine[-1])
# No piece overlaps what a remaining record shows.
for p in pieces:
    for r in after:
        if r['file_index'] == p['file_index'] and r['channel'] == p['channel']:
            assert p['end_ms'] < r['start_ms'] or p['start_ms'] > r['end_ms'], (p, r)
PY
runx 0 recover disk.img --channels 1
[ "$(grep -c " deleted$" out)" = 1 ] || fail "the channel filter: $(cat out)"

CASE="recover --out"
mkdir -p recovered
runx 0 --json recover disk.img --out recovered --type mp4
check "assert len(d['files']) == 3 and d['result'] == 0, d"
(cd recovered && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not check"
for f in recovered/*.mp4; do
  [ "$(ffprobe -v error -select_streams v -show_entries stream=codec_name -of csv=p=0 "$f")" = h264 ] ||
    fail "$f has no H.264 stream"
done
[ "$(sha256sum disk.img | cut -d' ' -f1)" = "$BEFORE" ] || fail "recover --out changed the disk"
runx 2 recover
runx 2 recover disk.img --type mkv

CASE="a full disk recycles its oldest file"
# Two 64 MiB record files: 150 s of a 4 Mbit/s clip fill the first and part of the second;
# a later recording then recycles the first, and what it did not overwrite is found again.
ffmpeg -v error -f lavfi -i "testsrc2=size=640x360:rate=25" -vf "noise=alls=12:allf=t" \
  -frames:v 100 -c:v libx264 -preset ultrafast -b:v 4M -maxrate 4M -bufsize 4M -g 25 -bf 0 \
  -x264-params repeat-headers=1 -f h264 big.h264 || fail "ffmpeg"
"$STFSCTL" mkimage full.img --size 160M >/dev/null || fail "mkimage"
full() { RC=0; "$STFSCTL" --no-system-disks --image full.img "$@" >out 2>err || RC=$?; }
full format full.img --file-mb 64 --common-mb 0
[ "$RC" -eq 0 ] || fail "format exited $RC"
full --json index full.img
check "assert d['file_count'] == 2, d['file_count']"
full record --channels 0 --input big.h264 --span "@$T0+150s"
[ "$RC" -eq 0 ] || fail "record exited $RC"
full --json frames full.img --file-index 0
cp out oldest.json
full --json record --channels 0 --input big.h264 --span "@$((T0 + 3600))+20s"
check "assert [r['file_index'] for r in d['records']] == [0], d"
full --json recover full.img
py "$T0" <<'PY'
import json, sys
t0 = int(sys.argv[1]) * 1000
pieces = json.load(open('out'))['pieces']
old = json.load(open('oldest.json'))['frames']
assert len(pieces) == 1 and pieces[0]['reason'] == 'recycled-tail', pieces
p = pieces[0]
k = next(i for i, f in enumerate(old) if f['pts_ms'] == p['start_ms'])
assert old[k]['type'] == 'I', old[k]
tail = old[k:]
assert p['frames'] == len(tail) and p['bytes'] == sum(f['size'] for f in tail), (p, len(tail))
assert p['key_frames'] == sum(f['type'] == 'I' for f in tail), p
assert p['end_ms'] == tail[-1]['pts_ms'] and p['start_ms'] > t0, (p, tail[-1])
PY
echo "$NAME: all passed"
