#!/usr/bin/env bash
# The recovery scan and the report's hashing against the plain tools, in one run:
#   scan   `stfsctl recover` of an 8 GiB record disk image (4 channels of a 4 Mbit/s clip
#          recorded onto part of it, two recordings deleted) against a plain sequential read
#          (dd, 8 MiB blocks) of the same bytes: the record files' area;
#   hash   the hashing of `stfsctl report` (its hash_ms) against `sha256sum` of the image.
# Before each timed run the image's pages are dropped from the page cache (dd iflag=nocache),
# so both sides read from the disk. Printed: the times and the ratios baseline time / ours
# (1.0: as fast as the baseline). Exits 1 when the scan's ratio is below 0.8 or the hash's
# below 0.9.
#
#   bench/recovery.sh STFSCTL [MINUTES]       (default 12 simulated minutes of recording)
set -euo pipefail

STFSCTL=$(realpath "${1:?usage: $0 STFSCTL [MINUTES]}")
MINUTES=${2:-12}
for tool in ffmpeg python3 dd sha256sum; do
  command -v "$tool" >/dev/null || { echo "recovery: needs $tool" >&2; exit 2; }
done
W=$(mktemp -d "${TMPDIR:-/tmp}/recovery.XXXXXX")
trap 'rm -rf "$W"' EXIT
cd "$W"

ffmpeg -v error -f lavfi -i "testsrc2=size=1280x720:rate=25" -vf "noise=alls=12:allf=t" \
  -frames:v 250 -c:v libx264 -preset ultrafast -b:v 4M -maxrate 4M -bufsize 4M -g 25 -bf 0 \
  -x264-params repeat-headers=1 -f h264 clip.h264
"$STFSCTL" mkimage disk.img --size 8G >/dev/null
"$STFSCTL" --no-system-disks --image disk.img format disk.img --file-mb 256 >/dev/null
T0=1767607200
"$STFSCTL" --no-system-disks --image disk.img record --channels 0-3 --input clip.h264 \
  --span "@$T0+${MINUTES}m" >/dev/null
for ch in 0 2; do  # something to recover
  "$STFSCTL" --no-system-disks --image disk.img delete --record 0 --channels "$ch" >/dev/null
done
"$STFSCTL" --no-system-disks --json table disk.img >table.json
"$STFSCTL" --no-system-disks --json index disk.img >index.json
read -r SKIP BYTES < <(python3 -c "
import json
t, i = json.load(open('table.json')), json.load(open('index.json'))
print(t['first_record_lba'] * 512, i['file_count'] * i['record_file_size'])")

drop() { dd if=disk.img iflag=nocache count=0 status=none; }
seconds() { python3 -c "import time; print(time.monotonic())"; }

drop
A=$(seconds)
dd if=disk.img of=/dev/null bs=8M iflag=skip_bytes,count_bytes skip="$SKIP" count="$BYTES" \
  status=none
B=$(seconds)
drop
"$STFSCTL" --no-system-disks --image disk.img --json recover disk.img >pieces.json
C=$(seconds)
drop
sha256sum disk.img >/dev/null
D=$(seconds)
drop
mkdir rep
"$STFSCTL" --no-system-disks --image disk.img --json report disk.img --out rep >report.json

python3 - "$A" "$B" "$C" "$D" "$BYTES" <<'PY'
import json, sys
a, b, c, d = map(float, sys.argv[1:5])
area = int(sys.argv[5])
pieces = json.load(open('pieces.json'))['pieces']
report = json.load(open('report.json'))
read_s, scan_s, sum_s, hash_s = b - a, c - b, d - c, report['hash_ms'] / 1000
scan_ratio, hash_ratio = read_s / scan_s, sum_s / max(hash_s, 1e-3)
print(f"record area {area / 2**30:.2f} GiB, {len(pieces)} pieces recovered")
print(f"sequential read (dd)  {read_s:7.2f} s   {area / read_s / 1e6:7.1f} MB/s")
print(f"recovery scan         {scan_s:7.2f} s   {area / scan_s / 1e6:7.1f} MB/s   ratio {scan_ratio:.2f} (aim 0.8)")
print(f"sha256sum             {sum_s:7.2f} s")
print(f"report's hashing      {hash_s:7.2f} s                   ratio {hash_ratio:.2f} (aim 0.9)")
assert pieces, "nothing was recovered after the deletes"
sys.exit(0 if scan_ratio >= 0.8 and hash_ratio >= 0.9 else 1)
PY
