# What the stfsctl command-line tests share, sourced after NAME is set:
#   - the tool's path from $1, the tools the test needs checked ($NEEDS), a scratch folder
#     (removed at the end) as the working folder;
#   - fail, run (stfsctl on disk.img, output in out and err, exit status in RC), runx (run and
#     check the exit status), check (a Python condition on the JSON in out), py (a Python
#     script on stdin);
#   - make_clip: clip.h264 (50 pictures of x264, 320x240, a key frame a second, SPS and PPS
#     before each) and clip.g726 (2 s of a 440 Hz tone at 16 kbit/s), made with ffmpeg.
# shellcheck shell=bash
set -u

[ $# -eq 1 ] || { echo "usage: $0 /path/to/stfsctl" >&2; exit 2; }
STFSCTL=$(realpath "$1") || exit 1
for tool in ${NEEDS:-python3}; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$NAME: needs $tool" >&2; exit 1; }
done
T=$(mktemp -d "${TMPDIR:-/tmp}/$NAME.XXXXXX") || exit 1
trap 'rm -rf "$T"' EXIT
cd "$T" || exit 1

CASE=start
fail() {
  echo "$NAME: FAIL [$CASE]: $*" >&2
  [ -s out ] && { echo "--- stdout:" >&2; head -c 3000 out >&2; echo >&2; }
  [ -s err ] && { echo "--- stderr:" >&2; tail -c 3000 err >&2; echo >&2; }
  exit 1
}
run() { RC=0; "$STFSCTL" --no-system-disks --image disk.img "$@" >out 2>err || RC=$?; }
runx() { local want=$1; shift; run "$@"; [ "$RC" -eq "$want" ] || fail "exit $RC, expected $want: $*"; }
check() { python3 -c "import json,sys; d=json.load(open('out')); $1" "${@:2}" || fail "JSON check: $1"; }
py() { python3 - "$@" || fail "check failed"; }

make_clip() {
  ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 50 -c:v libx264 -bf 0 \
    -g 25 -x264-params repeat-headers=1 -f h264 clip.h264 || fail "ffmpeg video"
  ffmpeg -v error -f lavfi -i sine=frequency=440:sample_rate=8000 -t 2 -c:a g726 -b:a 16k \
    -f g726 clip.g726 || fail "ffmpeg audio"
}
