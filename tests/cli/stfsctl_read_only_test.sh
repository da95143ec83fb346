#!/usr/bin/env bash
# The recording a power loss cut is seen without writing: the simulated recorder is killed
# while it records, and nothing repairs the disk. Then a search, a replay and a backup of the
# cut recording, with the drive read-only and also (for the search, which only looks) without:
# the image's bytes are the same before and after, and the recording is listed, played and
# backed up over its whole written time.
#
#   stfsctl_read_only_test.sh /path/to/stfsctl
NAME=stfsctl_read_only_test
NEEDS="ffmpeg ffprobe python3 timeout"
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# The image's bytes, hashed over its data extents only (a sparse image is mostly holes).
cat >hash.py <<'PY'
import hashlib, os
h = hashlib.sha256()
fd = os.open('disk.img', os.O_RDONLY)
size = os.fstat(fd).st_size
at = 0
while at < size:
    try:
        at = os.lseek(fd, at, os.SEEK_DATA)
    except OSError:
        break
    end = os.lseek(fd, at, os.SEEK_HOLE)
    h.update(at.to_bytes(8, 'little'))
    while at < end:
        chunk = os.pread(fd, min(1 << 22, end - at), at)
        h.update(chunk)
        at += len(chunk)
print(h.hexdigest())
PY

CASE="clip"
make_clip
"$STFSCTL" mkimage disk.img --size 2G >/dev/null || fail "mkimage"
runx 0 format disk.img --file-mb 64
runx 0 --json table disk.img
cp out table.json

CASE="recording killed"
T0=1767607200
"$STFSCTL" --no-system-disks --image disk.img record --channels 0 --input clip.h264 \
  --span now+2h --realtime >/dev/null 2>&1 &
REC=$!
# Killed once the open file holds a few seconds of frames: two index entries on the disk.
python3 - <<'PY' || { kill -KILL "$REC"; fail "the recording never reached the disk"; }
import json, struct, time
t = json.load(open('table.json'))
first, sectors = t['first_record_lba'], t['record_file_sectors']
def ready():
    with open('disk.img', 'rb') as img:
        img.seek(first * 512)
        b = img.read(8192 + 20 * 3)
        return b[0:8] == b'STFSRECD' and b[8192 + 20:8192 + 24] == b'RIDX'
for _ in range(300):
    if ready():
        break
    time.sleep(0.1)
else:
    raise SystemExit(1)
PY
sleep 1
kill -KILL "$REC"
wait "$REC" 2>/dev/null
# What the file holds: its frames, read straight from the image (the reader walks the open file
# to its end; the last frame here is the last one written).
runx 0 --read-only --json frames disk.img --file-index 0
python3 -c "
import json
f = [x for x in json.load(open('out'))['frames'] if x['type'] != 'A']
json.dump({'first': f[0]['pts_ms'], 'last': f[-1]['pts_ms'], 'count': len(f)}, open('written.json', 'w'))
" || fail "no frames in the cut recording"
BEFORE=$(python3 hash.py)
# The recorder stamped its frames with the clock of the run: the range to play and back up.
FROM=$(python3 -c "import json; print(json.load(open('written.json'))['first'] // 1000)")
TO=$(python3 -c "import json; print(json.load(open('written.json'))['last'] // 1000 + 2)")

CASE="search"
for ro in --read-only ""; do
  # shellcheck disable=SC2086
  runx 0 $ro --json search
  python3 - <<'PY' || fail "the cut recording is not listed over its written time ($ro)"
import json
w = json.load(open('written.json'))
mine = [r for r in json.load(open('out'))['records'] if r['channel'] == 0 and r['file_index'] == 0]
assert mine, 'not listed'
start, end = min(r['start_ms'] for r in mine), max(r['end_ms'] for r in mine)
assert start == w['first'], (start, w)
assert w['last'] - 1400 <= end <= w['last'] + 40, (end, w)
assert not any(r['state'] & 0x80 for r in mine), mine
PY
  [ "$(python3 hash.py)" = "$BEFORE" ] || fail "search $ro wrote to the disk"
done

CASE="play"
runx 0 --read-only --json play --channel 0 --from @$FROM --to @$TO
python3 - <<'PY' || fail "the replay does not cover the written time"
import json
w = json.load(open('written.json'))
f = [x for x in json.load(open('out'))['frames'] if x['type'] != 'A']
assert f and f[0]['pts_ms'] == w['first'] and f[-1]['pts_ms'] == w['last'], (f[:1], f[-1:], w)
assert len(f) == w['count'], (len(f), w)
PY
[ "$(python3 hash.py)" = "$BEFORE" ] || fail "play wrote to the disk"

CASE="backup"
mkdir -p backups
runx 0 --read-only --json backup --type mp4 --out backups --channels 0 --from @$FROM --to @$TO
check "assert d['result'] == 0 and len(d['files']) >= 1, d"
python3 - <<'PY' || fail "the MP4 does not hold the written frames"
import json, subprocess
w = json.load(open('written.json'))
path = json.load(open('out'))['files'][0]['path']
n = subprocess.run(['ffprobe', '-v', 'error', '-select_streams', 'v', '-count_frames',
                    '-show_entries', 'stream=nb_read_frames', '-of', 'csv=p=0', path],
                   capture_output=True, text=True, check=True).stdout.strip()
assert int(n) == w['count'], (n, w)
PY
[ "$(python3 hash.py)" = "$BEFORE" ] || fail "backup wrote to the disk"
echo "stfsctl_read_only_test: all passed"
