#!/usr/bin/env bash
# stfsctl's usage faults, table-driven: each is exit 2 with one plain line on stderr that names
# the file or option and says why, before any work starts (the disk image is not touched), and
# the same with --json, which also gives an error object. Then a folder that cannot be written,
# lock, unlock and delete on a read-only drive, and history's text output in local dates with
# its empty result.
#
#   stfsctl_errors_test.sh /path/to/stfsctl
NAME=stfsctl_errors_test
NEEDS="ffmpeg python3 sha256sum"
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

make_clip
"$STFSCTL" mkimage disk.img --size 1G >/dev/null || fail "mkimage"
runx 0 format disk.img --file-mb 64
T0=1767607200
runx 0 record --channels 0 --input clip.h264 --span "@$T0+10s"
touch a-file
mkdir -p backups
BEFORE=$(sha256sum disk.img | cut -d' ' -f1)

# Each row: the stderr text expected | the arguments (word-split).
while IFS='|' read -r want args; do
  [ -n "$want" ] || continue
  CASE="$args"
  # shellcheck disable=SC2086  # the row's arguments are words
  for json in "" --json; do
    run $json $args
    [ "$RC" -eq 2 ] || fail "exit $RC, expected 2 (with '${json:-text}')"
    [ "$(wc -l <err)" -ge 1 ] || fail "nothing on stderr"
    grep -Fq -- "$want" err || fail "stderr lacks '$want': $(cat err)"
    [ -z "$json" ] || check "assert d['error']['code'] == -101 and d['error']['message'], d"
  done
done <<'ROWS'
missing.h264: No such file or directory|record --channels 0 --input missing.h264 --span @1767607200+10s
missing.g726: No such file or directory|record --channels 0 --input clip.h264 --audio missing.g726 --span @1767607200+10s
missing.bin: No such file or directory|tomp4 missing.bin out.mp4
missing.asf: No such file or directory|frames missing.asf
--to lies before --from|search --from @1767607300 --to @1767607200
--to lies before --from|history --channel 0 --from @1767607300 --to @1767607200
--to lies before --from|play --channel 0 --from @1767607300 --to @1767607200
--to lies before --from|backup --type asf --out backups --from @1767607300 --to @1767607200
--to lies before --from|lock --record 0 --from @1767607300 --to @1767607200
--to lies before --from|delete --record 0 --from @1767607300 --to @1767607200
a-file is a file, not a folder|backup --type asf --out a-file
nowhere: No such file or directory|backup --type asf --out nowhere
file index 999 is past the last record file (|frames disk.img --file-index 999
file index 999 is past the last record file (|export disk.img --file-index 999 --out x.bin
ROWS
[ "$(sha256sum disk.img | cut -d' ' -f1)" = "$BEFORE" ] || fail "a refused command changed the disk"
[ ! -e out.mp4 ] || fail "a refused tomp4 left out.mp4"
[ ! -e x.bin ] || fail "a refused export left x.bin"

CASE="a folder that cannot be written"
mkdir -p locked-out
chmod 555 locked-out
AS=()
if [ "$(id -u)" -eq 0 ]; then  # root writes anywhere: the tool runs as nobody
  AS=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  chmod o+rx . && chmod o+r disk.img
fi
RC=0
"${AS[@]}" "$STFSCTL" --no-system-disks --read-only --image disk.img --json backup --type asf --out locked-out \
  >out 2>err || RC=$?
[ "$RC" -eq 2 ] || fail "exit $RC, expected 2"
grep -Fq "locked-out cannot be written: Permission denied" err || fail "says: $(cat err)"
check "assert d['error']['code'] and 'cannot be written' in d['error']['message'], d"

CASE="a common partition larger than the disk is named as such"
runx 1 format disk.img --file-mb 64 --common-mb 2048
grep -Fq "A common data partition of 2048 MB leaves no room for the record area" err ||
  fail "says: $(cat err)"
[ "$(sha256sum disk.img | cut -d' ' -f1)" = "$BEFORE" ] || fail "a refused format changed the disk"

CASE="a read-only drive is named as such"
for op in lock unlock delete; do
  for json in "" --json; do  # a failure says it on stderr, and --json adds the error object
    # shellcheck disable=SC2086
    runx 1 $json --read-only "$op" --record 0
    grep -Fq "is attached read-only: $op changes its index" err || fail "$op says: $(cat err)"
    [ -z "$json" ] || check "assert 'read-only' in d['error']['message'], d"
  done
done
[ "$(sha256sum disk.img | cut -d' ' -f1)" = "$BEFORE" ] || fail "a read-only drive was changed"

CASE="a folder format takes --size or --files, and asks before taking more than 10 GiB"
runx 2 format fold/ --file-mb 64 --size 1M
grep -Fq "holds no record file of 64 MiB" err || fail "says: $(cat err)"
runx 2 format fold/ --file-mb 64 --size 1G --files 3
runx 2 format disk.img --file-mb 64 --files 3
grep -Fq "are for a FOLDER" err || fail "says: $(cat err)"
runx 0 --json format fold/ --file-mb 64 --files 3
check "assert d['record_files'] == 3, d"
[ "$(find fold/Record -name '*.asf' | wc -l)" -eq 3 ] || fail "not 3 record files: $(ls fold/Record)"
runx 0 --json format fold2/ --file-mb 64 --size 200M
check "assert d['record_files'] == 3, d"
FREE_GB=$(df -P -k . | awk 'NR == 2 {print int($4 / 1048576)}')
if [ "$FREE_GB" -gt 12 ]; then
  runx 2 format fold3/ --file-mb 64
  grep -Fq "give --size or --files, or add --yes" err || fail "a large folder format says: $(cat err)"
  [ ! -e fold3/Record ] || fail "a refused folder format made files"
else
  echo "$NAME: skipping the --yes question: only $FREE_GB GiB free here" >&2
fi

CASE="history in local dates and times"
export TZ=Asia/Shanghai  # 8 hours ahead of UTC: the recording began at 18:00 there
runx 0 history --channel 0
grep -Eq "^2026-01-05 18:00:0[0-9] -- 2026-01-05 18:00:[01][0-9]$" out ||
  fail "history prints: $(cat out)"
runx 0 history --channel 5
grep -Fq "no recordings of channel 5" out || fail "an empty history prints: $(cat out)"
echo "stfsctl_errors_test: all passed"
