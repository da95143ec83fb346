#!/usr/bin/env bash
# Retention: how much of a record disk a recorder really uses. The simulated recorder
# (stfsctl record, the real engine) records CHANNELS channels of an H.264 clip of about
# 4 Mbit/s for MINUTES simulated minutes onto a sparse image formatted with 256 MiB record
# files. Then it prints, from the index:
#   - for each full file (every file of a channel but the one its recording ended in), the
#     bytes of frames it holds as a share of its data area;
#   - the files each channel used;
#   - the records `search` lists per file (a continuous recording: one per file it fills).
# Exits 1 when a full file holds less than 95 % of its data area or a file is listed as more
# than one record.
#
#   bench/retention.sh STFSCTL [CHANNELS [MINUTES]]     (defaults 16 channels, 30 minutes)
set -euo pipefail

STFSCTL=$(realpath "${1:?usage: $0 STFSCTL [CHANNELS [MINUTES]]}")
CHANNELS=${2:-16}
MINUTES=${3:-30}
FILE_MB=256
for tool in ffmpeg python3; do
  command -v "$tool" >/dev/null || { echo "retention: needs $tool" >&2; exit 2; }
done
W=$(mktemp -d "${TMPDIR:-/tmp}/retention.XXXXXX")
trap 'rm -rf "$W"' EXIT
cd "$W"

# 10 s of 1280x720 noise at 4 Mbit/s, a key frame a second, parameter sets before each.
ffmpeg -v error -f lavfi -i "testsrc2=size=1280x720:rate=25" -vf "noise=alls=12:allf=t" \
  -frames:v 250 -c:v libx264 -preset ultrafast -b:v 4M -maxrate 4M -bufsize 4M -g 25 -bf 0 \
  -x264-params repeat-headers=1 -f h264 clip.h264
CLIP_KBPS=$(python3 -c "import os; print(os.path.getsize('clip.h264') * 8 // 10 // 1000)")

# The image: what the recording needs, a third more, and at least 16 files (sparse: only what
# is written takes space).
GB=$(python3 -c "print(max(2, int($CHANNELS * $MINUTES * 60 * $CLIP_KBPS / 8 / 1e6 * 4 / 3) + 2))")
"$STFSCTL" mkimage disk.img --size "${GB}G" >/dev/null
"$STFSCTL" --no-system-disks --image disk.img format disk.img --file-mb "$FILE_MB" >/dev/null
LAST=$((CHANNELS - 1))
T0=1767607200
START=$(date +%s.%N)
"$STFSCTL" --no-system-disks --image disk.img -v --json record --channels "0-$LAST" \
  --input clip.h264 --span "@$T0+${MINUTES}m" >/dev/null 2>record.log
SECONDS_TAKEN=$(python3 -c "import time; print(f'{time.time() - $START:.1f}')")
"$STFSCTL" --no-system-disks --image disk.img --read-only --json table disk.img >table.json
"$STFSCTL" --no-system-disks --image disk.img --read-only --json index disk.img >index.json
"$STFSCTL" --no-system-disks --image disk.img --read-only --json search >search.json

# On a failure the library's own account of why a file ended early.
explain() {
  echo "retention: what the library said of files that ended or stalled:" >&2
  grep -E "is full|jump|JUMP|codeType|SPACE|bad sector|hardware|Wait time|Time out|fail|takes record file" \
    record.log | head -60 >&2 || true
}
python3 - "$CHANNELS" "$MINUTES" "$CLIP_KBPS" "$SECONDS_TAKEN" <<'PY' || { explain; exit 1; }
import collections, json, struct, sys
channels, minutes, kbps, taken = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
table, index = json.load(open('table.json')), json.load(open('index.json'))
records = json.load(open('search.json'))['records']
DATA_START = 0x2F000
file_bytes = index['record_file_size']
area = file_bytes - DATA_START
# Each used file's data end and channel, from the record index itself.
entries = {}
with open('disk.img', 'rb') as img:
    for i in range(index['file_count']):
        img.seek(table['index_lba'] * 512 + 0x8000 + i * 4096)
        e = img.read(64)
        kind, channel = e[0], e[1]
        size, link = struct.unpack_from('<ii', e, 8)
        start = struct.unpack_from('<q', e, 16)[0]
        if kind and link == i:
            entries[i] = (channel, start, size)
by_channel = collections.defaultdict(list)
for i, (ch, start, size) in entries.items():
    by_channel[ch].append((start, i, size))
per_file = collections.Counter(r['file_index'] for r in records)
shares, bad = [], []
print(f'retention: {channels} channels of a {kbps} kbit/s clip for {minutes} simulated minutes '
      f'({taken} s), {file_bytes >> 20} MiB files')
for ch in sorted(by_channel):
    files = sorted(by_channel[ch])
    full = files[:-1]  # the last file is the one the recording ended in
    line = []
    for _, i, size in full:
        share = size / area
        shares.append(share)
        line.append(f'{share * 100:.1f}%')
        if share < 0.95:
            bad.append(f'CH{ch:02d} file {i} holds {share * 100:.1f}% of its data area')
    for _, i, _ in files:
        if per_file[i] != 1:
            bad.append(f'CH{ch:02d} file {i} is listed as {per_file[i]} records')
    print(f'  CH{ch:02d}: {len(files)} files used, full files at {", ".join(line) or "-"}; '
          f'records per file: {[per_file[i] for _, i, _ in files]}')
if shares:
    print(f'full files: {len(shares)}, least {min(shares) * 100:.1f}%, '
          f'mean {sum(shares) / len(shares) * 100:.1f}% of the data area')
print(f'files used: {len(entries)}, records listed: {len(records)}')
for b in bad:
    print('FAIL:', b)
sys.exit(1 if bad or not shares else 0)
PY
