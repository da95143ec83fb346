#!/usr/bin/env bash
# The player on a real X display (Xvfb, through xvfb-run) with the xcb platform: it opens a
# record disk that stfsctl formatted and recorded, and its scripted tour searches, plays, pauses,
# seeks, steps through the modes and backs a recording up through the windows' own controls,
# then plays the day's four channels in the grid and seeks on its timeline.
# Checked: what the tour printed, the screenshots (PNG, the video window not black, the grid's
# four tiles showing four different channels' pictures) and the backup (an MP4 that ffprobe
# reads with its H.264 stream).
#
#   player_display_test.sh /path/to/stfsctl /path/to/stfs-player
NAME=player_display_test
NEEDS="ffmpeg ffprobe python3 xvfb-run xauth"
[ $# -eq 2 ] || { echo "usage: $0 /path/to/stfsctl /path/to/stfs-player" >&2; exit 2; }
PLAYER=$(realpath "$2") || exit 1
set -- "$1"
# shellcheck source=../cli/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/../cli/common.sh"

CASE="record disk"
make_clip
"$STFSCTL" mkimage disk.img --size 1G >/dev/null || fail "mkimage"
runx 0 format disk.img --file-mb 64
runx 0 record --channels 0 --input clip.h264 --audio clip.g726 --span @1767607200+30s \
  --span @1767700000+20s
# Channels 1 to 3 record other pictures at the same times: the grid must show four channels.
sources=(x smptebars mandelbrot rgbtestsrc)
for ch in 1 2 3; do
  ffmpeg -v error -f lavfi -i "${sources[$ch]}=size=320x240:rate=25" -frames:v 50 -c:v libx264 \
    -bf 0 -g 25 -x264-params repeat-headers=1 -pix_fmt yuv420p -f h264 "clip$ch.h264" ||
    fail "ffmpeg"
  runx 0 record --channels "$ch" --input "clip$ch.h264" --audio clip.g726 \
    --span @1767607200+30s --span @1767700000+20s
done

CASE="tour on Xvfb"
unset WAYLAND_DISPLAY
RC=0
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1600x1200x24" \
  "$PLAYER" --no-system-disks --image disk.img --tour tour --tour-seconds 3 >out 2>err || RC=$?
[ "$RC" -eq 0 ] || fail "the tour ended with $RC"
grep -q "^tour done$" out || fail "no end of the tour"
grep -q "^disks: 1$" out || fail "the disk is not listed"
grep -q "all times: 2 records" out || fail "the search did not list channel 0's two recordings"
py <<'PY'
import re
out = open("out", encoding="utf-8").read()
m = re.search(r"^playing: (\d+) pictures painted, mode \"正常 X1\"", out, re.M)
assert m and int(m.group(1)) > 20, "too few pictures painted"
m = re.search(r"^paused: button \"播放\", (\d+) pictures during the pause, mode \"暂停 X1\"", out, re.M)
assert m and int(m.group(1)) <= 1, "pictures went on during the pause"
m = re.search(r"^seek to 500 per mille: .* slider (\d+)$", out, re.M)
assert m and int(m.group(1)) >= 450, "the seek did not move the position"
modes = re.findall(r"^fast forward press \d: mode \"([^\"]+)\"", out, re.M)
assert modes == ["快进 X2", "快进 X4", "快进 X8", "快进 X16", "正常 X1"], modes
assert re.search(r"^slow: mode \"慢放 X2\"", out, re.M)
assert re.search(r"^backup: progress 100$", out, re.M)
m = re.search(r"^grid: day 2026-01-05, layout 4, skew (\d+) ms, .* tiles CH00:(\d+) CH01:(\d+) CH02:(\d+) CH03:(\d+)$", out, re.M)
assert m and all(int(n) > 5 for n in m.groups()[1:]), "the grid's tiles did not all play"
assert re.search(r"^grid fast forward: .*mode \"快进 X2\"", out, re.M)
assert re.search(r"^timeline seek: (1[5-9]|2\d) s after", out, re.M), "the timeline did not seek"
PY

CASE="screenshots"
for shot in main-window search-window play-control-window grid timeline; do
  [ "$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "tour/$shot.png")" = png ] ||
    fail "$shot.png is not a PNG"
done
# The video window holds a decoded picture: not black.
ffmpeg -v error -i tour/main-window.png -f rawvideo -pix_fmt gray -y main.gray || fail "ffmpeg png"
py <<'PY'
data = open("main.gray", "rb").read()
bright = sum(1 for b in data[::7] if b > 40)
assert bright > len(data[::7]) // 4, "the main window is mostly black"
PY

# The grid's four tiles hold four different pictures: their average colours differ.
ffmpeg -v error -i tour/grid.png -vf scale=64:64 -f rawvideo -pix_fmt rgb24 -y grid.rgb ||
  fail "ffmpeg grid.png"
py <<'PY'
data = open("grid.rgb", "rb").read()
def mean(qx, qy):
    px = [data[3 * (y * 64 + x):3 * (y * 64 + x) + 3] for y in range(qy * 32 + 4, qy * 32 + 28)
          for x in range(qx * 32 + 4, qx * 32 + 28)]
    return [sum(p[c] for p in px) / len(px) for c in range(3)]
tiles = [mean(x, y) for y in (0, 1) for x in (0, 1)]
for i in range(4):
    for j in range(i + 1, 4):
        assert sum(abs(a - b) for a, b in zip(tiles[i], tiles[j])) > 12, (i, j, tiles)
PY

CASE="backup"
mp4=$(ls tour/backup/*.mp4 | head -1)
[ -n "$mp4" ] || fail "no MP4 backed up"
[ "$(ffprobe -v error -select_streams v -show_entries stream=codec_name -of csv=p=0 "$mp4")" = h264 ] ||
  fail "the backup has no H.264 stream"
echo "$NAME: ok"
