#!/usr/bin/env bash
# stfsctl report on a record disk with recordings, a deleted one, a backup and a recovery added
# to the report folder's export list: report.json holds the drive's SHA-256 as sha256sum gives
# it, the tables, every recording, every recovered piece and the exports with their hashes; the
# disk is left as it was; report.html has no outside assets and renders in headless Chromium
# (its screenshot is checked not blank).
#
#   stfsctl_report_test.sh /path/to/stfsctl
NAME=stfsctl_report_test
NEEDS="ffmpeg python3 sha256sum chromium"
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

make_clip
"$STFSCTL" mkimage disk.img --size 1G >/dev/null || fail "mkimage"
runx 0 format disk.img --file-mb 64
runx 0 record --channels 0-1 --input clip.h264 --audio clip.g726 --span @1767607200+20s \
  --span @1767610800+10s:event4
runx 0 delete --record 0 --channels 1 --from @1767610800
mkdir -p rep backups found

CASE="exports into the report folder"
runx 0 --json backup --type mp4 --out backups --channels 0 --report rep
cp out backup.json
runx 0 --json recover disk.img --out found --report rep
cp out recover.json
runx 2 recover disk.img --report rep

CASE="report"
HASH=$(sha256sum disk.img | cut -d' ' -f1)
runx 2 report disk.img
runx 2 report . --out rep
runx 0 --json report disk.img --out rep
[ "$(sha256sum disk.img | cut -d' ' -f1)" = "$HASH" ] || fail "the report changed the disk"
runx 0 --json search
cp out search.json
py "$HASH" <<'PY'
import json, sys
r = json.load(open('rep/report.json'))
d = r['drive']
assert d['sha256'] == sys.argv[1], (d['sha256'], sys.argv[1])
assert d['read_only'] and d['hashed_bytes'] == d['capacity_bytes'] == 1 << 30, d
assert d['vendor'] and d['sector_size'] == 512, d
assert r['tables']['gpt'] and r['tables']['stfs'] and r['tables']['partitions'], r['tables']
assert r['index']['record_files'] > 0, r['index']
search = json.load(open('search.json'))['records']
key = lambda x: (x['channel'], x['file_index'], x['start_ms'], x['end_ms'])
assert sorted(map(key, r['recordings'])) == sorted(map(key, search)), (r['recordings'], search)
pieces = json.load(open('recover.json'))['pieces']
assert len(pieces) == 1 and len(r['recovered']) == 1, (pieces, r['recovered'])
assert r['recovered'][0]['frames'] == pieces[0]['frames'] and r['recovered'][0]['reason'] == 'deleted'
written = json.load(open('backup.json'))['files'] + json.load(open('recover.json'))['files']
assert len(r['exports']) == len(written) == 2, (r['exports'], written)
by_hash = {f['sha256']: f for f in written}
for e in r['exports']:
    assert e['sha256'] in by_hash and e['size'] == by_hash[e['sha256']]['size'], e
    assert e['path'].startswith('/'), e
assert r['version'] and r['examined'].endswith('Z'), r
PY

CASE="report.html"
grep -Eqi '<(script|link|img|iframe)[^>]*(src|href)=|url\(' rep/report.html &&
  fail "report.html refers to outside assets"
grep -q "<svg" rep/report.html || fail "no timeline in report.html"
timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$PWD/chromium-profile" --window-size=1000,1400 \
  --screenshot="$PWD/report.png" "file://$PWD/rep/report.html" >chromium.log 2>&1 ||
  { cat chromium.log >err; fail "chromium did not render report.html"; }
ffmpeg -v error -i report.png -vf scale=250:350 -f rawvideo -pix_fmt gray -y report.gray ||
  fail "ffmpeg report.png"
py <<'PY'
data = open('report.gray', 'rb').read()
dark = sum(1 for b in data if b < 128)
coloured = len(set(data))
assert dark > len(data) // 200 and coloured > 8, (dark, coloured, len(data))
PY
echo "$NAME: all passed"
