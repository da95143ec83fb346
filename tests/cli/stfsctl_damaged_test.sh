#!/usr/bin/env bash
# A damaged record disk as investigators bring them: the simulated recorder is killed while it
# records, so its files stay open, and each open file gets a frame tag with header and payload
# length 0 a few frames after its last indexed key frame. disks, repair, play and backup each
# finish within 10 s, and every recording closed before the kill is still found by search.
#
#   stfsctl_damaged_test.sh /path/to/stfsctl
NAME=stfsctl_damaged_test
NEEDS="ffmpeg python3 timeout"
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# Runs stfsctl on disk.img, killed after 10 s: a hang is a failure, not a stuck suite.
within10() {
  RC=0
  timeout -s KILL 10 "$STFSCTL" --no-system-disks --image disk.img "$@" >out 2>err || RC=$?
  [ "$RC" -ne 137 ] || fail "did not finish within 10 s: $*"
}

CASE="clip"
make_clip
"$STFSCTL" mkimage disk.img --size 2G >/dev/null || fail "mkimage"
runx 0 format disk.img --file-mb 64

# A first span that closes, then a recording in real time killed part way: its files stay open.
# (The closed recordings are those search finds after the kill.)
T0=1767607200
CASE="closed recordings"
runx 0 --json record --channels 0-1 --input clip.h264 --audio clip.g726 --span @$T0+40s
CASE="recording killed"
"$STFSCTL" --no-system-disks --image disk.img record --channels 0-1 --input clip.h264 \
  --audio clip.g726 --span now+2h --realtime >/dev/null 2>&1 &
REC=$!
# Killed once an open file holds a few indexed key frames (read straight from the image).
runx 0 --json table disk.img
cp out table.json
python3 - <<'PY' || { kill -KILL "$REC"; fail "the recording never reached the disk"; }
import json, struct, time
t = json.load(open('table.json'))
first, sectors = t['first_record_lba'], t['record_file_sectors']
def ready():
    with open('disk.img', 'rb') as img:
        for n in range(64):
            img.seek((first + n * sectors) * 512)
            b = img.read(8192 + 20 * 3)
            if len(b) < 8192 + 60 or b[0:8] != b'STFSRECD':
                continue
            if struct.unpack_from('<H', b, 264)[0] == 0x1111 and b[8192 + 40:8192 + 44] == b'RIDX':
                return True
    return False
for _ in range(600):
    if ready():
        break
    time.sleep(0.1)
else:
    raise SystemExit(1)
PY
kill -KILL "$REC"
wait "$REC" 2>/dev/null
runx 0 --json search
python3 -c "
import json
d = json.load(open('out'))
closed = [r for r in d['records'] if not r['state'] & 0x80]
assert closed, d
json.dump({'records': closed}, open('closed.json', 'w'))
" || fail "no closed recording before the damage"

CASE="damage"
run --read-only --json index disk.img
cp out index.json
python3 - <<'PY' || fail "no open file to damage"
import json, struct
table = json.load(open('table.json'))
index = json.load(open('index.json'))
first, sectors = table['first_record_lba'], table['record_file_sectors']
damaged = 0
with open('disk.img', 'r+b') as img:
    for n in index['repair']:
        base = (first + n * sectors) * 512
        img.seek(base)
        head = img.read(0x2F000)
        assert head[0:8] == b'STFSRECD', n
        state = struct.unpack_from('<H', head, 264)[0]
        if state != 0x1111:
            continue
        # The last index entry's frame, then up to three frames on by their own lengths: the
        # last of them that is on the disk gets the damage.
        at = None
        for k in range(9216):
            e = head[8192 + 20 * k: 8192 + 20 * k + 20]
            if e[0:4] == b'RIDX':
                at = struct.unpack_from('<I', e, 12)[0]
        if at is None:
            continue
        for _ in range(3):
            img.seek(base + at)
            h = img.read(16)
            nxt = at + h[4] + struct.unpack_from('<I', h, 12)[0]
            img.seek(base + nxt)
            if img.read(4) != b'PTMF':
                break
            at = nxt
        img.seek(base + at)
        h = bytearray(img.read(24))
        if h[0:4] != b'PTMF':
            continue
        h[4] = 0
        h[12:16] = b'\0\0\0\0'
        img.seek(base + at)
        img.write(h)
        damaged += 1
assert damaged >= 1, index['repair']
print(damaged, file=open('damaged', 'w'))
PY

CASE="disks"
within10 --json disks
[ "$RC" -eq 0 ] || fail "disks exited $RC"
CASE="repair"
within10 --json repair disk.img
[ "$RC" -eq 0 ] || fail "repair exited $RC"
check "assert d['failed'] == [], d"
CASE="search"
within10 --json search
[ "$RC" -eq 0 ] || fail "search exited $RC"
python3 - <<'PY' || fail "a closed recording is missing"
import json
before = json.load(open('closed.json'))['records']
after = json.load(open('out'))['records']
key = lambda r: (r['channel'], r['file_index'], r['start_ms'])
missing = {key(r) for r in before} - {key(r) for r in after}
assert not missing, missing
PY
CASE="play"
for mode in normal fast back; do
  within10 --json play --channel 0 --from @$((T0 + 600)) --mode "$mode"
  [ "$RC" -eq 0 ] || fail "play --mode $mode exited $RC"
done
CASE="backup"

for type in bin mp4; do
  mkdir -p "backups/$type"
  within10 --json backup --type "$type" --out "backups/$type" --channels 0 --from @$((T0 + 600))
  [ "$RC" -eq 0 ] || fail "backup --type $type exited $RC"
done
echo "stfsctl_damaged_test: all passed"
