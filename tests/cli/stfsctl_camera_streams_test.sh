#!/usr/bin/env bash
# The H.264 streams cameras really send, recorded and backed up: an access-unit delimiter
# before every access unit, an SEI before the SPS, SPS and PPS with nal_ref_idc 1 and 2, and
# several slices per picture, and a damaged SPS that the project's parser refuses while the
# decoder reads it (the picture size then comes from decoding the first key frame). Each clip (made by ffmpeg's x264, rewritten where x264 has no
# option for it) is recorded with stfsctl record and backed up as MP4, ASF and .bin. ffprobe
# must show the H.264 track with the recording's frame count and picture size (the .bin through
# stfsctl tomp4), and ffmpeg must decode it without an error.
#
#   stfsctl_camera_streams_test.sh /path/to/stfsctl
NAME=stfsctl_camera_streams_test
NEEDS="ffmpeg ffprobe python3"
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

FRAMES=100  # 4 s at 25 frames a second: the 50-picture clip twice
T0=1767607200

# clip NAME X264PARAMS: 50 pictures of 320x240, a key frame a second, parameter sets before each.
clip() {
  ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 50 -c:v libx264 -bf 0 \
    -g 25 -x264-params "repeat-headers=1${2:+:$2}" -f h264 "$1" || fail "ffmpeg $1"
}

# Rewrites an Annex-B stream NAL by NAL (python: in, out, mode).
cat >rewrite.py <<'PY'
import re, sys
src, dst, mode = sys.argv[1:4]
data = open(src, 'rb').read()
starts = [m.end() for m in re.finditer(b'\x00\x00\x01', data)]
nals = []
for i, s in enumerate(starts):
    e = starts[i + 1] - 3 if i + 1 < len(starts) else len(data)
    nal = data[s:e].rstrip(b'\x00') if i + 1 < len(starts) else data[s:e]
    nals.append(bytearray(nal))
out = []
if mode == 'damaged-sps':  # the profile byte says 134 (MFC High) over a Baseline body
    for n in nals:
        if n[0] & 0x1F == 7:
            n[1] = 134
        out.append(n)
elif mode.startswith('ref'):  # SPS and PPS with nal_ref_idc 1 or 2
    idc = int(mode[3:])
    for n in nals:
        if n[0] & 0x1F in (7, 8):
            n[0] = (idc << 5) | (n[0] & 0x1F)
        out.append(n)
elif mode == 'sei-first':  # each SEI moved before the SPS of its access unit
    i = 0
    while i < len(nals):
        t = nals[i][0] & 0x1F
        if t == 7:
            group = [nals[i]]
            j = i + 1
            while j < len(nals) and nals[j][0] & 0x1F in (8, 6):
                group.append(nals[j])
                j += 1
            out += [n for n in group if n[0] & 0x1F == 6] + [n for n in group if n[0] & 0x1F != 6]
            i = j
        else:
            out.append(nals[i])
            i += 1
    if not any(out[k][0] & 0x1F == 6 and out[k + 1][0] & 0x1F == 7 for k in range(len(out) - 1)):
        sys.exit('no SEI before an SPS')
with open(dst, 'wb') as f:
    for n in out:
        f.write(b'\x00\x00\x00\x01' + bytes(n))
PY

CASE="clips"
clip aud.h264 "aud=1"
clip slices.h264 "slices=4"
clip plain.h264 ""
python3 rewrite.py plain.h264 sei.h264 sei-first || fail "rewrite sei"
python3 rewrite.py plain.h264 ref1.h264 ref1 || fail "rewrite ref1"
python3 rewrite.py plain.h264 ref2.h264 ref2 || fail "rewrite ref2"
# The standard gives profile 134 the high profiles' chroma and bit-depth fields, so a strict
# reader finds them where the Baseline body has its frame number and sizes, and refuses the SPS;
# FFmpeg's parser, which does not list 134, reads the body as Baseline: 320x240.
ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 50 -pix_fmt yuv420p \
  -profile:v baseline -c:v libx264 -bf 0 -g 25 -x264-params repeat-headers=1 -f h264 base.h264 ||
  fail "ffmpeg base.h264"
python3 rewrite.py base.h264 damaged.h264 damaged-sps || fail "rewrite damaged-sps"

"$STFSCTL" mkimage disk.img --size 2G >/dev/null || fail "mkimage"
runx 0 format disk.img --file-mb 64

# probe FILE: "frames,width,height" of its H.264 track; nothing on stderr from a full decode.
probe() {
  local facts
  facts=$(ffprobe -v error -select_streams v -count_frames \
    -show_entries stream=codec_name,nb_read_frames,width,height -of csv=p=0 "$1") ||
    fail "ffprobe $1"
  [ "$facts" = "h264,320,240,$FRAMES" ] || fail "$1: ffprobe shows '$facts', not h264,320,240,$FRAMES"
  local errors
  errors=$(ffmpeg -v error -i "$1" -f null - 2>&1)
  [ -z "$errors" ] || fail "$1: ffmpeg decodes with errors: $errors"
}

CH=0
for kind in aud sei ref1 ref2 slices damaged; do
  CASE="$kind"
  START=$((T0 + CH * 60))
  runx 0 record --channels "$CH" --input "$kind.h264" --span "@$START+4s"
  for type in mp4 asf bin; do
    mkdir -p "backups/$kind/$type"
    runx 0 --json backup --type "$type" --out "backups/$kind/$type" --channels "$CH" \
      --from "@$START" --to "@$((START + 10))"
    check "assert d['result'] == 0 and len(d['files']) == 1, d"
    FILE=$(python3 -c "import json; print(json.load(open('out'))['files'][0]['path'])")
    if [ "$type" = bin ]; then
      runx 0 --json tomp4 "$FILE" "backups/$kind/bin.mp4"
      probe "backups/$kind/bin.mp4"
    else
      probe "$FILE"
    fi
  done
  CH=$((CH + 1))
done
echo "stfsctl_camera_streams_test: all passed"
