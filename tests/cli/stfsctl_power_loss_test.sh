#!/usr/bin/env bash
# Power loss at scale: the simulated recorder (4 channels, in real time) is killed with SIGKILL
# at 20 different moments, each kill followed by the repair a recorder's next start runs
# (QVFS_Init, here through `stfsctl disks`). After each one:
#   - every recording closed before the kill is byte for byte unchanged: its index entry, its
#     head block and its frames;
#   - each recording open at the kill is repaired to a prefix of what was written (its frames
#     are the clip's pictures in order from the first, the same sequence on every channel), and
#     search shows it from its first frame to its last, within one progress interval;
#   - no other record file changes (every free file's head block and index area).
#
#   stfsctl_power_loss_test.sh /path/to/stfsctl
NAME=stfsctl_power_loss_test
NEEDS="ffmpeg python3 timeout"
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

KILLS=${POWER_LOSS_KILLS:-20}

CASE="clip"
make_clip
# 8 GiB sparse, 64 MiB files: room for every run's four recordings without recycling, so that
# each recording closed before a kill must stay as it is.
"$STFSCTL" mkimage disk.img --size 8G >/dev/null || fail "mkimage"
runx 0 format disk.img --file-mb 64
runx 0 --json table disk.img
cp out table.json
runx 0 --read-only --json index disk.img
cp out index.json

# The state of the disk as the checks need it, from the image itself: every index entry, every
# file's head block and index area, and the frames of every closed recording.
cat >state.py <<'PY'
import hashlib, json, struct, sys
table = json.load(open('table.json'))
count = json.load(open('index.json'))['file_count']
first, sectors, index_lba = table['first_record_lba'], table['record_file_sectors'], table['index_lba']
HEAD = 0x2F000
state = {}
with open('disk.img', 'rb') as img:
    for i in range(count):
        img.seek(index_lba * 512 + 0x8000 + i * 4096)
        entry = img.read(4096)
        kind, channel, segs, _, flags = struct.unpack_from('<BBBBB', entry, 0)
        size, link = struct.unpack_from('<ii', entry, 8)
        start, end = struct.unpack_from('<qq', entry, 16)
        base = (first + i * sectors) * 512
        img.seek(base)
        head = img.read(HEAD)
        data_end = struct.unpack_from('<I', head, 16)[0] if head[0:8] == b'STFSRECD' else 0
        closed = kind != 0 and not flags & 0x80 and link == i
        frames = ''
        if closed and HEAD < data_end <= sectors * 512:
            img.seek(base + HEAD)
            frames = hashlib.sha256(img.read(data_end - HEAD)).hexdigest()
        state[i] = {'kind': kind, 'channel': channel, 'closed': closed, 'flags': flags,
                    'size': size, 'start': start, 'end': end, 'data_end': data_end,
                    'entry': hashlib.sha256(entry).hexdigest(),
                    'head': hashlib.sha256(head).hexdigest(), 'frames': frames}
json.dump(state, open(sys.argv[1], 'w'))
PY
python3 state.py before.json || fail "state"

for k in $(seq 1 "$KILLS"); do
  CASE="kill $k"
  # Kill moments from 1 s to 7.7 s after the recording opened its first file: before the
  # first progress update, between updates and after several of them, while the write cache
  # holds frames and while it flushes.
  DELAY=$(python3 -c "print(1.0 + (($k * 7) % 20) * 0.35)")
  python3 - <<'PY'
import json
before = json.load(open('before.json'))
free = sorted((int(i) for i, b in before.items() if not b['kind']))
json.dump([str(i) for i in free[:4]], open('may_change.json', 'w'))
PY
  "$STFSCTL" --no-system-disks --image disk.img record --channels 0-3 --input clip.h264 \
    --span now+2h --realtime >record.log 2>&1 &
  REC=$!
  python3 - <<'PY' || { kill -KILL "$REC"; fail "the recording never opened a file"; }
import hashlib, json, time
table = json.load(open('table.json'))
first, sectors = table['first_record_lba'], table['record_file_sectors']
may = [int(i) for i in json.load(open('may_change.json'))]
before = json.load(open('before.json'))
def opened():
    with open('disk.img', 'rb') as img:
        for i in may:
            img.seek((first + i * sectors) * 512)
            head = img.read(0x2F000)

            if hashlib.sha256(head).hexdigest() != before[str(i)]['head']:
                return True
    return False
for _ in range(600):
    if opened():
        break
    time.sleep(0.05)
else:
    raise SystemExit(1)
PY
  sleep "$DELAY"
  kill -KILL "$REC" 2>/dev/null
  wait "$REC" 2>/dev/null
  # The next start's repair.
  RC=0
  timeout -s KILL 60 "$STFSCTL" --no-system-disks --image disk.img --json disks >out 2>err || RC=$?
  [ "$RC" -eq 0 ] || fail "the start after the kill exited $RC"
  python3 state.py after.json || fail "state"

  # The files this run may have recorded into (may_change.json): each channel takes the first
  # free file (in file order, as an index opens); the disk never recycles here. Of those, the
  # ones holding a recording now; the others either stayed free or were freed again by the
  # repair (a recording none of whose frames reached the disk).
  NEW=$(python3 - <<'PY'
import json
after, may = json.load(open('after.json')), json.load(open('may_change.json'))
print(' '.join(i for i in may if after[i]['kind']))
PY
)
  for f in $NEW; do
    runx 0 --read-only --json frames disk.img --file-index "$f"
    cp out "frames.$f.json"
  done
  runx 0 --read-only --json search
  cp out search.json

  python3 - "$k" $NEW <<'PY' || fail "after kill $k (delay ${DELAY}s)"
import json, sys
k, new = int(sys.argv[1]), sys.argv[2:]
before, after = json.load(open('before.json')), json.load(open('after.json'))
# Closed before the kill: not a byte changed.
for i, b in before.items():
    if b['closed']:
        a = after[i]
        for field in ('entry', 'head', 'frames'):
            assert a[field] == b[field], f'closed recording in file {i}: its {field} changed'
# Every other file: untouched (free ones included; the run's files that hold no recording now
# are free again, entry zero).
may = json.load(open('may_change.json'))
for i, b in before.items():
    if b['closed']:
        continue
    if i in may:
        assert after[i]['kind'] or after[i]['entry'] == b['entry'], f'file {i}: entry not zero'
        continue
    assert after[i]['head'] == b['head'] and after[i]['entry'] == b['entry'], \
        f'file {i}, not used by this run, changed'
# Every entry closed after the repair: nothing left open.
for i, a in after.items():
    assert not a['flags'] & 0x80, f'file {i} still open after the repair'
# This run's recordings: one per channel at most, each a prefix of what was written.
try:
    reference = json.load(open('reference.json'))
except FileNotFoundError:
    reference = []
records = json.load(open('search.json'))['records']
channels = set()
for i in new:
    a = after[i]
    assert a['closed'], f'file {i}: not a closed recording after the repair: {a}'
    assert a['channel'] not in channels, f'two recordings of channel {a["channel"]}'
    channels.add(a['channel'])
    frames = [f for f in json.load(open(f'frames.{i}.json'))['frames'] if f['type'] != 'A']
    assert frames and frames[0]['type'] == 'I', f'file {i}: does not begin with a key frame'
    seq = [(f['type'], f['size']) for f in frames]
    pts = [f['pts_ms'] for f in frames]
    assert all(0 < b - a < 5000 for a, b in zip(pts, pts[1:])), f'file {i}: times not in order'
    # Every channel wrote the clip's pictures in the same order: each file holds a prefix of
    # the longest sequence seen so far, or extends it.
    common = min(len(seq), len(reference))
    assert [tuple(x) for x in reference[:common]] == seq[:common], \
        f'file {i}: frame {next(n for n in range(common) if tuple(reference[n]) != seq[n])} ' \
        'is not the picture written there'
    if len(seq) > len(reference):
        reference = seq
    # The search shows it over its whole written time, within one progress interval (35
    # frames of 40 ms), and never past its last frame.
    mine = [r for r in records if r['file_index'] == int(i)]
    assert mine, f'file {i}: not listed by search'
    first_ms, last_ms = min(r['start_ms'] for r in mine), max(r['end_ms'] for r in mine)
    assert first_ms == pts[0], f'file {i}: listed from {first_ms}, first frame at {pts[0]}'
    assert pts[-1] - 1400 <= last_ms <= pts[-1] + 40, \
        f'file {i}: listed to {last_ms}, last frame at {pts[-1]}'
json.dump(reference, open('reference.json', 'w'))
print(f'kill {k}: {len(new)} recording(s) repaired, '
      f'{sum(1 for b in before.values() if b["closed"])} closed ones unchanged', file=sys.stderr)
PY
  mv after.json before.json
done
python3 -c "
import json
s = json.load(open('before.json'))
n = sum(1 for v in s.values() if v['closed'])
assert n >= $KILLS, f'only {n} recordings survived {$KILLS} kills'
" || fail "too few recordings kept"
echo "stfsctl_power_loss_test: all passed"
