#!/usr/bin/env bash
# stfsctl backup, export and tomp4 on an image recorded with stfsctl record: .asf and .mp4
# files ffprobe reads with every picture, .bin containers stfsctl frames reads back as the
# recording, an exported record file that reads back as the one on the disk and converts into
# MP4, names that never overwrite, and the SHA256SUMS manifest that `sha256sum -c` accepts.
#
#   stfsctl_backup_test.sh /path/to/stfsctl
NAME=stfsctl_backup_test
NEEDS="ffmpeg ffprobe python3 sha256sum"
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

CASE="recordings"
make_clip
"$STFSCTL" mkimage disk.img --size 2G >/dev/null || fail "mkimage"
runx 0 format disk.img --file-mb 64
T0=1767607200
runx 0 record --channels 0-1 --input clip.h264 --audio clip.g726 --span @$T0+20s
mkdir backups

CASE="asf"
runx 0 --json backup --type asf --out backups --channels 0
cp out asf.json
py <<'PY'
import json
d = json.load(open('asf.json'))
assert d['result'] == 0 and len(d['files']) == 1, d
f = d['files'][0]
assert f['path'].endswith('/CH01_2026-01-05_10_00_00__10_00_19.asf'), f['path']
assert len(f['sha256']) == 64 and f['size'] > 0
PY
ASF=$(python3 -c "import json; print(json.load(open('asf.json'))['files'][0]['path'])")
[ "$(ffprobe -v error -select_streams v -count_frames -show_entries \
  stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$ASF")" = "h264,320,240,500" ] ||
  fail "the .asf file does not hold the 500 pictures"
[ -z "$(ffmpeg -v error -i "$ASF" -f null - 2>&1)" ] || fail "ffmpeg reports errors in the .asf file"
[ "$(ffprobe -v error -select_streams a -show_entries stream=codec_name -of csv=p=0 "$ASF")" = \
  "adpcm_g726" ] || fail "the .asf file lacks the G.726 audio stream"

CASE="bin"
runx 0 --json backup --type bin --out backups --channels 1
BIN=$(python3 -c "import json; print(json.load(open('out'))['files'][0]['path'])")
runx 0 --json frames "$BIN"
cp out bin.json
runx 0 --json index disk.img
FILE=$(python3 -c "import json; print([r['file_index'] for r in json.load(open('out'))['time_map'] if r['channel'] == 1][0])")
runx 0 --json frames disk.img --file-index "$FILE"
cp out disk.json
py <<'PY'
import json
pick = lambda n: [(x['pts_ms'], x['type'], x['size']) for x in json.load(open(n))['frames']]
b, d = pick('bin.json'), pick('disk.json')
assert b == d, (len(b), len(d))
assert sum(1 for x in b if x[1] != 'A') == 500
PY

CASE="no overwriting"
runx 0 --json backup --type asf --out backups --channels 0
python3 -c "import json,sys; p=json.load(open('out'))['files'][0]['path']; sys.exit(not p.endswith('__10_00_19 (1).asf'))" ||
  fail "a second backup of the same recording did not get a new name"

CASE="export"
runx 0 --json export disk.img --file-index "$FILE" --out backups/record.bin
runx 0 --json table disk.img
python3 - "$FILE" <<'PY' || fail "the export is not the record file byte for byte"
import json, sys
t = json.load(open('out'))
k = int(sys.argv[1])
at = (t['first_record_lba'] + k * t['record_file_sectors']) * 512
size = t['record_file_sectors'] * 512
with open('disk.img', 'rb') as img, open('backups/record.bin', 'rb') as cp:
    img.seek(at)
    assert img.read(size) == cp.read(), 'bytes differ'
PY
runx 0 --json frames backups/record.bin
cp out exported.json
py <<'PY'
import json
pick = lambda n: [(x['pts_ms'], x['type'], x['size']) for x in json.load(open(n))['frames']]
assert pick('exported.json') == pick('disk.json')
PY
runx 1 export disk.img --file-index "$FILE" --out backups/record.bin

CASE="mp4"
runx 0 --json backup --type mp4 --out backups --channels 1
MP4=$(python3 -c "import json; print(json.load(open('out'))['files'][0]['path'])")
[ "$(ffprobe -v error -select_streams v -count_frames -show_entries \
  stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$MP4")" = "h264,320,240,500" ] ||
  fail "the .mp4 file does not hold the 500 pictures"
[ -z "$(ffmpeg -v error -i "$MP4" -f null - 2>&1)" ] || fail "ffmpeg reports errors in the .mp4 file"
[ "$(ffprobe -v error -select_streams a -show_entries stream=codec_name,sample_rate,channels \
  -of csv=p=0 "$MP4")" = "aac,8000,1" ] || fail "the .mp4 file lacks its AAC audio stream"
python3 - "$(ffprobe -v error -select_streams v -show_entries stream=duration -of csv=p=0 "$MP4")" <<'PY' ||
import sys
d = float(sys.argv[1])
assert abs(d - 20.0) <= 0.04, d  # 500 frames of 40 ms, within one frame interval
PY
  fail "the .mp4 video does not last as the recording does"
runx 0 --json tomp4 backups/record.bin backups/record.mp4
[ "$(ffprobe -v error -select_streams v -count_frames -show_entries stream=nb_read_frames \
  -of csv=p=0 backups/record.mp4)" = "500" ] || fail "the converted record file lacks pictures"
[ "$(ffprobe -v error -select_streams a -show_entries stream=codec_name,sample_rate,channels \
  -of csv=p=0 backups/record.mp4)" = "aac,8000,1" ] ||
  fail "the converted record file lacks the AAC audio a backup has"
[ -z "$(ffmpeg -v error -i backups/record.mp4 -f null - 2>&1)" ] ||
  fail "ffmpeg reports errors in the converted record file"
runx 1 tomp4 backups/record.bin backups/record.mp4
runx 1 tomp4 clip.g726 backups/noise.mp4
[ ! -e backups/noise.mp4 ] || fail "a failed conversion left a file behind"

CASE="manifest"
(cd backups && sha256sum -c --quiet SHA256SUMS) || fail "sha256sum -c does not accept SHA256SUMS"
[ "$(wc -l < backups/SHA256SUMS)" -eq 6 ] || fail "SHA256SUMS does not list the six files"

CASE="a backup that fails"
# No more than 64 KiB per file may be written (as on a full destination; the signal a write
# past the limit raises is ignored, so the write fails): each record's backup fails, leaves no
# file, and is not listed in SHA256SUMS; the JSON says which record failed and why.
mkdir -p failing
RC=0
(trap '' XFSZ; ulimit -f 64; "$STFSCTL" --no-system-disks --image disk.img --json backup \
  --type asf --out failing --channels 0) >out 2>err || RC=$?
[ "$RC" -eq 1 ] || fail "a failed backup exited $RC"
check "assert d['files'] == [] and d['result'] < 0, d"
check "f = d['failed']; assert len(f) == 1 and f[0]['record'] == 0 and f[0]['channel'] == 0, f"
check "f = d['failed'][0]; assert f['code'] in (-99, -1003) and 'output' in f['message'], f"
check "e = d['error']; assert e['code'] == d['result'] and 'not backed up' in e['message'], d"
RC=0
(trap '' XFSZ; ulimit -f 64; "$STFSCTL" --no-system-disks --image disk.img backup \
  --type asf --out failing --channels 0) >out 2>err || RC=$?
[ "$RC" -eq 1 ] || fail "a failed backup exited $RC"
grep -Eq "^stfsctl: record 0 \(CH00 from .*\) was not backed up: " err ||
  fail "a failed backup says on stderr: $(cat err)"
[ -z "$(ls -A failing | grep -v '^SHA256SUMS$')" ] || fail "a partial file was left: $(ls failing)"
[ ! -s failing/SHA256SUMS ] || fail "SHA256SUMS lists a file that was not written whole"

CASE="bad input"
runx 2 backup --type asf --out missing-folder --channels 0  # a usage fault, said before any work
grep -q "missing-folder: No such file or directory" err || fail "no clear message for a missing destination"
runx 2 backup --type avi --out backups
runx 2 backup --type asf
runx 1 backup --type asf --out backups --record 999
echo "stfsctl_backup_test: all passed"
