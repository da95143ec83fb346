#!/usr/bin/env bash
# stfsctl's command-line contract, checked against outside tools: sgdisk writes and prints the
# partition tables, python3 writes the STFS tables and parses every JSON document.
#
#   stfsctl_test.sh /path/to/stfsctl
#
# Stops at the first failure with a message on stderr and a non-zero status.
set -u

if [ $# -ne 1 ]; then
  echo "usage: $0 /path/to/stfsctl" >&2
  exit 2
fi
STFSCTL=$(realpath "$1") || { echo "stfsctl_test: no such file: $1" >&2; exit 1; }
[ -x "$STFSCTL" ] || { echo "stfsctl_test: not executable: $STFSCTL" >&2; exit 1; }
for tool in sgdisk python3 sha256sum du stat dd mdir fsck.fat; do
  command -v "$tool" >/dev/null 2>&1 ||
    { echo "stfsctl_test: needs $tool (sgdisk: gdisk, mdir: mtools, fsck.fat: dosfstools)" >&2; exit 1; }
done

T=$(mktemp -d "${TMPDIR:-/tmp}/stfsctl_test.XXXXXX") || exit 1
T=$(realpath "$T")
LOOP=""
cleanup() {
  if [ -n "$LOOP" ]; then losetup -d "$LOOP" 2>/dev/null; fi
  rm -rf "$T"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

CASE="start"
fail() {
  echo "stfsctl_test: FAIL [$CASE]: $*" >&2
  if [ -s "$T/out" ]; then echo "--- stdout:" >&2; head -c 4000 "$T/out" >&2; echo >&2; fi
  if [ -s "$T/err" ]; then echo "--- stderr:" >&2; head -c 4000 "$T/err" >&2; echo >&2; fi
  exit 1
}

# run ARGS...: runs stfsctl with stdout in $T/out, stderr in $T/err and the status in RC.
run() {
  RC=0
  "$STFSCTL" "$@" >"$T/out" 2>"$T/err" || RC=$?
}
expect_rc() {
  [ "$RC" -eq "$1" ] || fail "stfsctl ${LAST_ARGS:-} exited $RC, expected $1"
}
# runx RC ARGS...: run and check the exit status.
runx() {
  local want=$1
  shift
  LAST_ARGS="$*"
  run "$@"
  expect_rc "$want"
}

# The JSON checker: stdout must be exactly one JSON document (json.loads refuses anything
# after it); CODE runs with the document as d and asserts on it.
cat >"$T/jcheck.py" <<'PY'
import json, re, sys

def sgdisk_parts(path):
    """[(start, end - start)] for each partition line of `sgdisk -p`, in partition order."""
    parts, table = [], False
    for line in open(path):
        if line.lstrip().startswith("Number"):
            table = True
            continue
        m = re.match(r"\s*(\d+)\s+(\d+)\s+(\d+)\s", line)
        if table and m:
            parts.append((int(m.group(1)), int(m.group(2)), int(m.group(3))))
    parts.sort()
    return [(start, end - start) for _, start, end in parts]

def json_parts(d):
    return [(p["start_lba"], p["size"]) for p in d["partitions"]]

out, what, code = sys.argv[1], sys.argv[2], sys.argv[3]
args = sys.argv[4:]
text = open(out).read()
try:
    d = json.loads(text)
except ValueError as e:
    sys.exit(f"{what}: stdout is not exactly one JSON document ({e}): {text[:2000]!r}")
try:
    exec(code, {"d": d, "args": args, "sgdisk_parts": sgdisk_parts, "json_parts": json_parts})
except (AssertionError, KeyError, TypeError, IndexError) as e:
    sys.exit(f"{what}: {type(e).__name__}: {e}\n  document: {text.strip()[:2000]}")
PY
jcheck() {
  local code=$1
  shift
  python3 "$T/jcheck.py" "$T/out" "stfsctl ${LAST_ARGS:-}" "$code" "$@" >&2 ||
    fail "JSON check failed (see above)"
}
sha() { sha256sum "$1" | cut -d' ' -f1; }

cd "$T" || exit 1
MiB=$((1024 * 1024))

# ---- mkimage -------------------------------------------------------------------------------
CASE="mkimage"
runx 0 mkimage "$T/a.img" --size 64M
[ -f a.img ] || fail "mkimage did not create a.img"
size=$(stat -c %s a.img)
[ "$size" -eq $((64 * MiB)) ] || fail "a.img is $size bytes, expected $((64 * MiB))"
used=$(du -B1 a.img | cut -f1)
[ "$used" -lt $((1 * MiB)) ] || fail "a.img is not sparse: du shows $used bytes allocated"

runx 0 --json mkimage "$T/j.img" --size 2M
jcheck 'assert d["size"] == 2*1024*1024, "size"; assert d["path"] == args[0], "path"' "$T/j.img"
[ "$(stat -c %s j.img)" -eq $((2 * MiB)) ] || fail "j.img has the wrong size"

# A second mkimage keeps the file as it is (its data too).
printf 'KEEP-THIS' | dd of=a.img bs=1 seek=4096 conv=notrunc status=none
before=$(sha a.img)
runx 1 mkimage "$T/a.img" --size 64M
[ "$(sha a.img)" = "$before" ] || fail "a second mkimage changed the existing image"
[ "$(stat -c %s a.img)" -eq $((64 * MiB)) ] || fail "a second mkimage changed the size"

CASE="mkimage bad sizes"
for bad in 0 12Q -5 "" M 1.5G -512; do
  runx 2 mkimage "$T/bad.img" --size "$bad"
  [ ! -e bad.img ] || fail "mkimage --size '$bad' created the file"
done
runx 2 mkimage "$T/bad.img"
[ ! -e bad.img ] || fail "mkimage without --size created the file"
runx 2 mkimage "$T/bad.img" --size
[ ! -e bad.img ] || fail "mkimage with a bare --size created the file"
runx 2 mkimage --size 64M

# ---- table: GPT partitions against sgdisk --------------------------------------------------
CASE="table GPT 512"
runx 0 mkimage "$T/gpt.img" --size 64M
sgdisk -n 1:2048:+8M -n 2:0:+16M -n 3:0:0 gpt.img >"$T/sgdisk.log" 2>&1 ||
  { cat "$T/sgdisk.log" >&2; fail "sgdisk could not partition gpt.img"; }
sgdisk -p gpt.img >"$T/sg512.txt" 2>&1 || fail "sgdisk -p gpt.img failed"
python3 - "$T/sg512.txt" <<'PY' || fail "sgdisk -p does not list the three partitions"
import re, sys
n = sum(1 for l in open(sys.argv[1]) if re.match(r"\s*[123]\s+\d+\s+\d+\s", l))
sys.exit(0 if n == 3 else 1)
PY
sum_before=$(sha gpt.img)
runx 0 --no-system-disks --json table gpt.img
jcheck '
exp = sgdisk_parts(args[0])
assert len(exp) == 3, f"sgdisk lists {exp}"
assert d["gpt"] is True, "gpt should be true"
assert d["stfs"] is False, "stfs should be false"
assert json_parts(d) == exp, f"partitions {json_parts(d)} != sgdisk {exp} (start, end - start)"
assert "table_lba" not in d, "table_lba shown without an STFS table"
' "$T/sg512.txt"
[ "$(sha gpt.img)" = "$sum_before" ] || fail "table changed the image"

# Text mode lists the same partitions.
runx 0 --no-system-disks table gpt.img
grep -q "GPT, 3 partitions" "$T/out" || fail "text output does not report 3 GPT partitions"
grep -q "start LBA 18432" "$T/out" || fail "text output lacks partition 2's start"

CASE="table GPT 4096"
runx 0 mkimage "$T/gpt4k.img" --size 64M
if command -v losetup >/dev/null 2>&1 &&
    LOOP=$(losetup -f --show -b 4096 "$T/gpt4k.img" 2>/dev/null) && [ -n "$LOOP" ]; then
  sgdisk -n 1:256:+8M -n 2:0:+16M -n 3:0:0 "$LOOP" >"$T/sgdisk.log" 2>&1 ||
    { cat "$T/sgdisk.log" >&2; fail "sgdisk could not partition $LOOP"; }
  sgdisk -p "$LOOP" >"$T/sg4k.txt" 2>&1 || fail "sgdisk -p $LOOP failed"
  losetup -d "$LOOP" || fail "cannot detach $LOOP"
  LOOP=""
  grep -q "Sector size (logical.*): 4096" "$T/sg4k.txt" ||
    fail "the loop device did not have 4096-byte sectors: $(cat "$T/sg4k.txt")"
  runx 0 --no-system-disks --sector-size 4096 --json table gpt4k.img
  jcheck '
exp = sgdisk_parts(args[0])
assert len(exp) == 3, f"sgdisk lists {exp}"
assert d["gpt"] is True and d["stfs"] is False, "gpt true, stfs false expected"
assert json_parts(d) == exp, f"partitions {json_parts(d)} != sgdisk {exp} (start, end - start)"
assert d["sector_size"] == 4096, "sector_size %r" % d["sector_size"]
assert d["capacity"] == 64*1024*1024//4096 - 1, "capacity (last LBA) %r" % d["capacity"]
' "$T/sg4k.txt"
else
  LOOP=""
  echo "stfsctl_test: skipping the 4096-byte-sector partition case:" \
    "no loop device with 4096-byte sectors (losetup -b 4096) here" >&2
fi

# ---- table: a blank disk -------------------------------------------------------------------
CASE="table blank"
runx 0 mkimage "$T/blank.img" --size 64M
runx 1 --no-system-disks --json table blank.img
jcheck '
assert list(d) == ["error"], f"top level {list(d)}"
assert d["error"]["code"] == -1, "code %r" % d["error"]["code"]
assert "Not GPT parttion." in d["error"]["message"], "message"
'
runx 1 --no-system-disks -v table blank.img
grep -Fxq "Not GPT parttion." "$T/err" || fail "-v: stderr lacks the line 'Not GPT parttion.'"
[ ! -s "$T/out" ] || fail "a failed text-mode table printed on stdout"
runx 1 --no-system-disks table blank.img
grep -Fq "Not GPT parttion." "$T/err" || fail "the failure message is not on stderr"
grep -Fxq "Not GPT parttion." "$T/err" && fail "without -v the library's own lines reach stderr"
grep -q "CDiskTable" "$T/err" && fail "without -v the library's diagnostics reach stderr"
# With --json and -v: stdout still carries the one document, the diagnostics go to stderr.
runx 1 --no-system-disks --json -v table blank.img
jcheck 'assert d["error"]["code"] == -1, "code"'
grep -Fxq "Not GPT parttion." "$T/err" || fail "--json -v: stderr lacks 'Not GPT parttion.'"

# ---- table: STFS tables --------------------------------------------------------------------
CASE="table STFS"
runx 0 mkimage "$T/stfs.img" --size 64M
sgdisk -n 1:2048:0 stfs.img >"$T/sgdisk.log" 2>&1 ||
  { cat "$T/sgdisk.log" >&2; fail "sgdisk could not partition stfs.img"; }
# first record LBA above 4 GiB sectors catches a 32-bit cut; 256 MiB record files.
FIRST=$((0x123456789))
RECBYTES=$((256 * MiB))
COUNT=7
INDEX=$((0x100000800))
python3 - stfs.img "$FIRST" "$RECBYTES" "$COUNT" "$INDEX" <<'PY' || fail "cannot write the STFS tables"
import struct, sys
path, first, recbytes, count, index = sys.argv[1], *map(int, sys.argv[2:])
t = bytearray(512)
t[0:8] = b"STFSPART"
t[8:12] = b"0010"
t[16:24] = struct.pack("<Q", first)
t[24:28] = struct.pack("<I", recbytes)
t[28:32] = struct.pack("<I", count)
t[48:56] = struct.pack("<Q", index)
t[56:60] = struct.pack("<I", count * 4096)
t[60:64] = struct.pack("<I", 2)
with open(path, "r+b") as f:
    for lba in (64, 88):
        f.seek(lba * 512)
        f.write(t)
PY
# What every valid copy of the table must show; the partition is compared with sgdisk's.
sgdisk -p stfs.img >"$T/sgstfs.txt" 2>&1 || fail "sgdisk -p stfs.img failed"
STFS_FIELDS="
exp = sgdisk_parts(args[0])
assert len(exp) == 1 and exp[0][0] == 2048, 'sgdisk lists %r' % exp
assert d['gpt'] is True, 'gpt should be true'
assert json_parts(d) == exp, 'partitions %r != sgdisk %r' % (json_parts(d), exp)
assert d['stfs'] is True, 'stfs should be true'
assert d['first_record_lba'] == $FIRST, 'first_record_lba %r' % d['first_record_lba']
assert d['record_file_sectors'] == $((RECBYTES / 512)), 'record_file_sectors %r' % d['record_file_sectors']
assert d['index_lba'] == $INDEX, 'index_lba %r' % d['index_lba']
"
sum_before=$(sha stfs.img)
runx 0 --no-system-disks --json table stfs.img
jcheck "$STFS_FIELDS
assert d['table_lba'] == 64, 'table_lba %r' % d['table_lba']" "$T/sgstfs.txt"
runx 0 --read-only --no-system-disks table stfs.img
grep -q "STFS table at LBA 64" "$T/out" || fail "text output does not show the table at LBA 64"
[ "$(sha stfs.img)" = "$sum_before" ] || fail "table changed the STFS image"

CASE="table STFS copy"
printf 'X' | dd of=stfs.img bs=1 seek=$((64 * 512)) conv=notrunc status=none
runx 0 --no-system-disks --json table stfs.img
jcheck "$STFS_FIELDS
assert d['table_lba'] == 88, 'table_lba %r' % d['table_lba']" "$T/sgstfs.txt"

CASE="table STFS both bad"
printf 'X' | dd of=stfs.img bs=1 seek=$((88 * 512)) conv=notrunc status=none
runx 0 --no-system-disks --json table stfs.img
jcheck '
exp = sgdisk_parts(args[0])
assert d["gpt"] is True, "gpt should be true"
assert d["stfs"] is False, "stfs should be false"
assert json_parts(d) == exp, "partitions %r != sgdisk %r" % (json_parts(d), exp)
assert "table_lba" not in d, "table_lba shown without an STFS table"
' "$T/sgstfs.txt"
runx 0 --no-system-disks table stfs.img
grep -q "No STFS table" "$T/out" || fail "text output does not say there is no STFS table"

# ---- format and index: checked with sgdisk, mtools and fsck.fat ------------------------------
# fat_check IMAGE START_LBA SECTORS: fsck.fat -n on a sparse copy of one partition.
fat_check() {
  dd if="$1" of="$T/part.img" bs=512 skip="$2" count="$3" conv=sparse status=none ||
    fail "cannot copy the partition at $2"
  fsck.fat -n "$T/part.img" >"$T/fsck.txt" 2>&1 ||
    { cat "$T/fsck.txt" >&2; fail "fsck.fat -n reports errors on the partition at LBA $2"; }
  rm -f "$T/part.img"
}
for common in 0 300; do
  CASE="format common $common"
  rm -f rec.img
  runx 0 mkimage "$T/rec.img" --size 3G
  runx 0 --no-system-disks --json format rec.img --file-mb 128 --common-mb "$common"
  jcheck 'assert d["record_files"] > 10, "record_files %r" % d["record_files"]'
  FILES=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["record_files"])' "$T/out")
  sgdisk -v rec.img >"$T/sgv.txt" 2>&1 || { cat "$T/sgv.txt" >&2; fail "sgdisk -v failed"; }
  grep -q "No problems found" "$T/sgv.txt" || { cat "$T/sgv.txt" >&2; fail "sgdisk -v finds problems"; }
  sgdisk -p rec.img >"$T/sgp.txt" 2>&1 || fail "sgdisk -p failed"
  runx 0 --no-system-disks --json table rec.img
  jcheck '
exp = sgdisk_parts(args[0])
assert json_parts(d) == exp, "partitions %r != sgdisk %r" % (json_parts(d), exp)
assert d["stfs"] is True and d["table_lba"] == 64, "STFS table at 64 expected"
assert d["record_file_sectors"] == 128 * 2048, "record_file_sectors %r" % d["record_file_sectors"]
' "$T/sgp.txt"
  read -r RSTART RSIZE < <(python3 -c 'import json,sys; p=json.load(open(sys.argv[1]))["partitions"][-1]; print(p["start_lba"], p["size"])' "$T/out")
  mdir -i "rec.img@@$((RSTART * 512))" -a :: >"$T/mdir.txt" 2>&1 || { cat "$T/mdir.txt" >&2; fail "mdir failed"; }
  python3 - "$T/mdir.txt" "$FILES" <<'PY' || fail "mdir does not list the record files and the index"
import re, sys
text, files = open(sys.argv[1]).read(), int(sys.argv[2])
found = {m.group(1): int(m.group(2).replace(" ", "")) for m in
         re.finditer(r"^(\S+\s+\S+)\s+([\d ]+?)\s+\d{4}-\d\d-\d\d", text, re.M)}
names = {" ".join(k.split()): v for k, v in found.items()}
for n in range(files):
    assert names.get("%05d asf" % n) == 128 << 20, "record file %05d: %r" % (n, names.get("%05d asf" % n))
assert names.get("recindex bin") == (files + 64) * 4096, "recindex.bin %r" % names.get("recindex bin")
assert "Record" in text, "label"
PY
  fat_check rec.img "$RSTART" "$RSIZE"
  if [ "$common" -ne 0 ]; then
    mdir -i "rec.img@@$((2048 * 512))" :: 2>&1 | grep -q "commonData" || fail "commonData label missing"
    fat_check rec.img 2048 $((common * 2048))
  fi
  runx 0 --no-system-disks --json index rec.img
  jcheck '
n = int(args[0])
assert d["file_count"] == n and d["free"] == list(range(n)), "every file free"
assert d["repair"] == [] and d["recordings"] == 0, "nothing to repair, no recordings"
assert d["record_file_size"] == 128 << 20 and d["index_size"] == (n + 8) * 4096, "sizes"
' "$FILES"
done

CASE="format 4096-byte sectors"
rm -f rec4k.img
runx 0 mkimage "$T/rec4k.img" --size 3G
runx 1 --no-system-disks --sector-size 4096 --json format rec4k.img --file-mb 128 --common-mb 200
jcheck 'assert d["error"]["code"] == -101 and "too small" in d["error"]["message"], "a 200 MiB FAT32 of 4 KiB sectors has too few clusters"'
runx 0 --no-system-disks --sector-size 4096 --json format rec4k.img --file-mb 128 --common-mb 300
runx 0 --no-system-disks --sector-size 4096 --json table rec4k.img
read -r CSTART CSIZE RSTART4 RSIZE4 < <(python3 -c 'import json,sys; p=json.load(open(sys.argv[1]))["partitions"]; print(p[0]["start_lba"], p[0]["size"], p[1]["start_lba"], p[1]["size"])' "$T/out")
[ "$CSTART" -eq 256 ] || fail "the first partition of a 4096-byte-sector disk starts at $CSTART"
for part in "$CSTART $CSIZE" "$RSTART4 $RSIZE4"; do
  set -- $part
  dd if=rec4k.img of="$T/part.img" bs=4096 skip="$1" count="$2" conv=sparse status=none
  fsck.fat -n "$T/part.img" >"$T/fsck.txt" 2>&1 ||
    { cat "$T/fsck.txt" >&2; fail "fsck.fat -n reports errors on the 4096-byte-sector partition at $1"; }
done
rm -f "$T/part.img"

# ---- search, history, days over a hand-filled index ------------------------------------------
CASE="search"
rm -f srch.img
runx 0 mkimage "$T/srch.img" --size 2G
runx 0 --no-system-disks --json format srch.img --file-mb 64
runx 0 --no-system-disks --json table srch.img
INDEX_LBA=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["index_lba"])' "$T/out")
# Entries written at the documented offsets: kind, channel, segments, locked, state, zone, type,
# size, link, start, end, SN; segments: state, type bit, size, type, zone, start, end, data end.
python3 - srch.img "$INDEX_LBA" <<'PY' || fail "cannot write the index entries"
import struct, sys
path, lba = sys.argv[1], int(sys.argv[2])
T0 = 1700000000000
def entry(i, ch, start, end, size=5000000, segs=(), sn=1):
    e = bytearray(4096)
    struct.pack_into("<BBBBBBHiiqqI", e, 0, 1, ch, max(1, len(segs)), 0, 1, 8, 2, size, i,
                     start, end, sn)
    for k, (s, t, sz) in enumerate(segs):
        struct.pack_into("<BBBBiHHqqI", e, 256 + 60 * k, 1, 0, 0, 0, sz, 2, 8, s, t, 0x2F000 + sz)
    return e
with open(path, "r+b") as f:
    for i, e in enumerate([
        entry(0, 0, T0, T0 + 60000, sn=1),
        entry(1, 0, T0 + 120000, T0 + 180000, sn=2),
        entry(2, 1, T0, T0 + 60000, sn=3),                  # same times, other channel
        entry(3, 1, T0 + 200000, T0 + 200500, size=100, sn=4),  # short: left out
        entry(4, 0, T0 + 120000, T0 + 180000, sn=5),        # duplicate of file 1: dropped
        entry(5, 2, T0 + 300000, T0 + 420000, sn=6,
              segs=[(T0 + 300000, T0 + 360000, 3000000), (T0 + 360000, T0 + 420000, 3000000)]),
    ]):
        f.seek(lba * 512 + 0x8000 + 4096 * i)
        f.write(e)
PY
runx 0 --no-system-disks --image srch.img --json search
jcheck '
got = [(r["channel"], r["file_index"], r["segment"], r["start_ms"]) for r in d["records"]]
T0 = 1700000000000
exp = [(0, 1, 0, T0 + 120000), (0, 0, 0, T0), (1, 2, 0, T0),
       (2, 5, 1, T0 + 360000), (2, 5, 0, T0 + 300000)]
assert got == exp, "records %r != %r" % (got, exp)
assert d["records"][0]["sn"] == 2 and d["records"][0]["size"] == 5000000, "fields"
'
runx 0 --no-system-disks --image srch.img --json search --channels 1-2 --from @1700000370 --to 2023-11-14T22:30:00
jcheck '
got = [(r["channel"], r["file_index"], r["segment"]) for r in d["records"]]
assert got == [(2, 5, 1)], "records %r" % got
'
runx 0 --no-system-disks --image srch.img --json history --channel 2
jcheck 'assert d["spans"] == [{"start_s": 1700000300, "end_s": 1700000420}], "spans %r" % d["spans"]'
runx 0 --no-system-disks --image srch.img --json days --year 2023 --month 11
jcheck 'assert d["days"] == [14] and d["mask"] == 1 << 13, "days %r" % d'
runx 0 --no-system-disks --image srch.img --json days --year 2023 --month 10
jcheck 'assert d["days"] == [], "days %r" % d'
runx 2 --no-system-disks search --channels 40
runx 2 --no-system-disks search --from yesterday
runx 2 --no-system-disks history
runx 2 --no-system-disks days --year 2023

CASE="format refusals"
runx 0 mkimage "$T/tiny.img" --size 32M
runx 1 --no-system-disks --json format tiny.img --file-mb 128
jcheck 'assert d["error"]["code"] == -101, "code %r" % d["error"]["code"]'
before=$(sha rec.img)
runx 1 --read-only --no-system-disks --json format rec.img --file-mb 128
jcheck 'assert d["error"]["code"] == -2006, "code %r" % d["error"]["code"]'
[ "$(sha rec.img)" = "$before" ] || fail "a read-only format changed the image"
runx 2 --no-system-disks format rec.img
runx 2 --no-system-disks format --file-mb 128
runx 2 --no-system-disks format rec.img --file-mb x
runx 1 --no-system-disks --json index tiny.img

# The record partition mounted by Linux's vfat is a folder disk: recindex.bin in its root.
CASE="index on a mounted record partition"
mkdir -p "$T/mnt"
if LOOP=$(losetup -f --show -o $((RSTART * 512)) --sizelimit $((RSIZE * 512)) "$T/rec.img" 2>/dev/null) &&
    mount -t vfat -o ro "$LOOP" "$T/mnt" 2>/dev/null; then
  runx 0 --no-system-disks --json index "$T/mnt"
  umount "$T/mnt"
  losetup -d "$LOOP"
  LOOP=""
  jcheck 'assert d["file_count"] == int(args[0]) and len(d["free"]) == int(args[0]), "free files"' "$FILES"
else
  [ -z "$LOOP" ] || losetup -d "$LOOP"
  LOOP=""
  echo "stfsctl_test: skipping the mounted record partition: cannot mount a loop device here" >&2
fi

# ---- frames: a record file written here field by field --------------------------------------
CASE="frames"
python3 - "$T/rec.asf" <<'PY' || fail "cannot write the record file"
import struct, sys
path = sys.argv[1]
size = 4 << 20
T0 = 1700000000000
data, index, off = bytearray(), bytearray(), 0x2F000
for i in range(60):
    payload = bytes([i % 251]) * (1001 + 2 * (i % 3))
    kind = ord("I") if i % 20 == 0 else ord("P")
    hdr = bytearray(224)
    struct.pack_into("<4sBBBBII", hdr, 0, b"PTMF", 224, kind, 0, 25, i, len(payload))
    struct.pack_into("<I", hdr, 16, (T0 + 40 * i) & 0xFFFFFFFF)
    struct.pack_into("<H", hdr, 20, (T0 + 40 * i) >> 32)
    frame = bytes(hdr) + payload
    if kind == ord("I"):
        index += struct.pack("<4sHBBIII", b"RIDX", len(index) // 20 + 1, kind, 0,
                             (T0 + 40 * i) // 1000, off, (len(frame) + 1) & ~1)
    data += frame
    off += len(frame)
head = bytearray(268)
struct.pack_into("<4s4s4sIIHHIIqqIIIIII", head, 0, b"STFS", b"RECD", b"0200", size, off, 3, 0, 9,
                 0, T0, T0 + 40 * 59, 512, 1, 8192, len(index) // 20, 0x2F000, 0)
struct.pack_into("<H", head, 264, 0x6666)
seg = bytearray(64)
struct.pack_into("<IIII", seg, 0, 0, off - 0x2F000, 0, len(index) // 20)
seg[60:64] = b"RSEG"
with open(path, "wb") as f:
    f.truncate(size)
    f.seek(0); f.write(head)
    f.seek(512); f.write(seg)
    f.seek(8192); f.write(index)
    f.seek(0x2F000); f.write(data)
PY
runx 0 --no-system-disks --json frames "$T/rec.asf"
jcheck '
h = d["head"]
assert h["channel"] == 3 and h["file_index"] == 9 and h["state"] == 0x6666, "head %r" % h
assert h["index_count"] == 3 and h["head_offset"] == 0, "head %r" % h
assert [e["offset"] for e in d["index"]] == [f["offset"] for f in d["frames"] if f["type"] == "I"], "index offsets"
fr = d["frames"]
assert len(fr) == 60, "%d frames" % len(fr)
assert [f["pts_ms"] for f in fr] == [1700000000000 + 40 * i for i in range(60)], "pts"
assert fr[0]["offset"] == 0x2F000 and fr[1]["offset"] == 0x2F000 + fr[0]["size"], "offsets"
assert d["segments"][0]["data_length"] == sum(f["size"] for f in fr), "segment length"
'
runx 0 --no-system-disks --json frames "$T/rec.asf" --mode fast --speed 4
jcheck 'assert [f["type"] for f in d["frames"]] == ["I"] * 3, "key frames %r" % d["frames"]'
runx 0 --no-system-disks --json frames "$T/rec.asf" --mode back
jcheck '
pts = [f["pts_ms"] for f in d["frames"]]
assert pts == sorted(pts, reverse=True) and len(pts) == 3, "backwards %r" % pts
'
runx 2 --no-system-disks frames "$T/rec.asf" --mode sideways
runx 1 --no-system-disks --json frames "$T/blank.img"

# ---- drives --------------------------------------------------------------------------------
CASE="drives"
runx 0 mkimage "$T/b.img" --size 64M
runx 0 --image a.img --image b.img --no-system-disks --json drives
jcheck '
dr = d["drives"]
assert [x["number"] for x in dr] == [0, 1], "numbers %r" % [x["number"] for x in dr]
assert [x["path"] for x in dr] == args, "paths %r != %r" % ([x["path"] for x in dr], args)
for x in dr:
    assert x["name"] == "\\\\.\\PhysicalDrive%d" % x["number"], "name %r" % x["name"]
    assert x["sector_size"] == 512, "sector_size %r" % x["sector_size"]
    assert x["capacity_mb"] == 64, "capacity_mb %r" % x["capacity_mb"]
    assert x["read_only"] is False, "read_only should be false"
' "$T/a.img" "$T/b.img"

runx 0 --read-only --image a.img --image b.img --no-system-disks --json drives
jcheck '
dr = d["drives"]
assert len(dr) == 2, f"{len(dr)} drives"
assert all(x["read_only"] is True for x in dr), "read_only should be true"
'

runx 0 mkimage "$T/c.img" --size 64M
runx 0 --image a.img --sector-size 4096 --image c.img --no-system-disks --json drives
jcheck '
dr = d["drives"]
assert [x["number"] for x in dr] == [0, 1], "numbers"
assert [x["path"] for x in dr] == args, "paths %r" % [x["path"] for x in dr]
assert dr[0]["sector_size"] == 512, "a.img sector_size %r" % dr[0]["sector_size"]
assert dr[1]["sector_size"] == 4096, "c.img sector_size %r" % dr[1]["sector_size"]
assert dr[1]["capacity_mb"] == 64, "c.img capacity_mb %r" % dr[1]["capacity_mb"]
' "$T/a.img" "$T/c.img"

# With -v, stdout still holds only the document.
runx 0 -v --image a.img --no-system-disks --json drives
jcheck 'assert len(d["drives"]) == 1, "one drive"'
runx 0 --json -v --no-system-disks table gpt.img
jcheck 'assert len(d["partitions"]) == 3, "three partitions"'
[ -s "$T/err" ] || fail "-v showed none of the library's messages"

# ---- usage errors --------------------------------------------------------------------------
CASE="usage"
runx 2
runx 2 --json --no-system-disks
runx 2 frobnicate
runx 2 --no-system-disks frobnicate a.img
runx 2 --bogus-option drives
runx 2 --no-system-disks table
runx 2 --no-system-disks --json table
runx 2 --no-system-disks table a.img b.img
runx 2 --image
runx 2 --sector-size 1000 --no-system-disks drives
runx 2 drives extra

# ---- read-only -----------------------------------------------------------------------------
CASE="read-only"
for img in gpt.img stfs.img blank.img; do
  before=$(sha "$img")
  run --read-only --no-system-disks table "$img"
  [ "$RC" -le 1 ] || fail "--read-only table $img exited $RC"
  run --read-only --no-system-disks --json table "$img"
  [ "$(sha "$img")" = "$before" ] || fail "--read-only table changed $img"
done

echo "stfsctl_test: all checks passed"
