#!/usr/bin/env bash
# The Debian package as an operator gets it: installed with `apt-get install ./qvfs_*.deb` into
# a throw-away root, then used from there. Checked:
#   - the package's fields, its files, and that its Depends name the package of every library
#     its programs and library load;
#   - the installed stfsctl and stfs-player (--version; libqvfs found in /usr/lib after the
#     ldconfig trigger), the manual pages (man finds and renders them), the bash completion
#     (bash-completion loads it), the .desktop entry, pkg-config (a program built through it
#     runs) and the CMake package (find_package finds the library);
#   - a round trip with the installed stfsctl: mkimage, format, record two channels with audio,
#     search, back up as MP4 (files that sha256sum -c and ffprobe accept), and the installed
#     stfs-player's scripted tour (offscreen) on the same disk;
#   - `apt-get remove --purge` takes every file away again.
#
# The throw-away root is this machine's own system under an overlay in a private mount
# namespace (root, unshare and overlayfs needed): apt and dpkg install into it for real, and it
# is gone when the test ends. Where that cannot be had, the package is unpacked with dpkg-deb -x
# and its programs run from there, with the package's files only (no LD_LIBRARY_PATH).
#
#   package_install_test.sh out/qvfs_<version>_<architecture>.deb
#   UNPACKED=1 package_install_test.sh ...   (the dpkg-deb -x way, even where the other can be had)
NAME=package_install_test
set -u

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
say() { echo "$NAME: $*"; }
die() {
  echo "$NAME: FAIL: $*" >&2
  exit 1
}

# ---- the round trip, run as `$0 --round-trip STFSCTL STFS-PLAYER` -------------------------------
if [ "${1:-}" = --round-trip ]; then
  PLAYER=$3
  set -- "$2"
  NEEDS="ffmpeg ffprobe python3 sha256sum"
  # shellcheck source=common.sh
  . "$HERE/common.sh"
  CASE="format"
  make_clip
  "$STFSCTL" mkimage disk.img --size 1G >/dev/null || fail "mkimage"
  runx 0 --json format disk.img --file-mb 64
  check 'assert d["record_files"] > 0, d'
  CASE="record"
  T0=1767607200
  runx 0 --json record --channels 0-1 --input clip.h264 --audio clip.g726 --span @$T0+20s
  check 'assert sorted(r["channel"] for r in d["records"]) == [0, 1], d'
  CASE="search"
  runx 0 --json search --from @$T0 --to @$((T0 + 60))
  check 'r = d["records"]; assert sorted(x["channel"] for x in r) == [0, 1], r
assert all(x["start_ms"] == '$T0'000 and x["end_ms"] >= '$((T0 + 19))'000 for x in r), r'
  CASE="backup"
  mkdir backups
  runx 0 --json backup --type mp4 --out backups --channels 0-1
  check 'f = d["files"]; assert d["result"] == 0 and len(f) == 2, d
assert all(x["path"].endswith(".mp4") and len(x["sha256"]) == 64 for x in f), f'
  (cd backups && sha256sum --quiet -c SHA256SUMS) >err 2>&1 || fail "sha256sum -c SHA256SUMS"
  for f in backups/*.mp4; do
    [ "$(ffprobe -v error -select_streams v -count_frames -show_entries \
      stream=codec_name,nb_read_frames -of csv=p=0 "$f")" = "h264,500" ] ||
      fail "$f does not hold the 500 pictures of 20 s"
    [ "$(ffprobe -v error -select_streams a -show_entries stream=codec_name -of csv=p=0 "$f")" = \
      aac ] || fail "$f has no AAC audio"
  done
  CASE="player tour"
  RC=0
  QT_QPA_PLATFORM=offscreen "$PLAYER" --no-system-disks --image disk.img --tour tour \
    --tour-seconds 1 >out 2>err || RC=$?
  [ "$RC" -eq 0 ] || fail "the installed stfs-player's tour ended with $RC"
  grep -q "^disks: 1$" out || fail "the installed stfs-player does not list the disk"
  ls tour/backup/*.mp4 >/dev/null 2>&1 || fail "the installed stfs-player's tour backed nothing up"
  echo "$NAME: round trip (mkimage, format, record, search, backup, player tour): ok"
  exit 0
fi

# ---- checks of the installed package, run as `$0 --installed ROOT VERSION` -------------------------
# ROOT is empty for a real installation, or the folder the package was unpacked into.
if [ "${1:-}" = --installed ]; then
  R=$2
  VERSION=$3
  S=$(mktemp -d "${TMPDIR:-/tmp}/$NAME.XXXXXX") || exit 1
  trap 'rm -rf "$S"' EXIT
  unset LD_LIBRARY_PATH

  out=$("$R/usr/bin/stfsctl" --version 2>&1) || die "stfsctl --version: $out"
  [ "$out" = "stfsctl $VERSION" ] || die "stfsctl --version printed '$out'"
  out=$("$R/usr/bin/stfsctl" --json --version 2>&1) || die "stfsctl --json --version: $out"
  [ "$out" = "{\"version\":\"$VERSION\"}" ] || die "stfsctl --json --version printed '$out'"
  out=$("$R/usr/bin/stfs-player" --version 2>&1) || die "stfs-player --version: $out"
  [ "$out" = "stfs-player $VERSION" ] || die "stfs-player --version printed '$out'"
  for exe in "$R/usr/bin/stfsctl" "$R/usr/bin/stfs-player"; do
    lib=$(ldd "$exe" | awk '/libqvfs\.so/ {print $3}')
    [ "$(realpath -q "$lib")" = "$(realpath "$R/usr/lib/libqvfs.so.0")" ] ||
      die "$exe loads libqvfs from '$lib', not from the package"
  done
  if [ -z "$R" ]; then
    [ "$(command -v stfsctl)" = /usr/bin/stfsctl ] || die "stfsctl is not on PATH"
    cached=$(ldconfig -p | awk '$1 == "libqvfs.so.0" {print $NF; exit}')
    [ -n "$cached" ] && [ "$(realpath "$cached")" = "$(realpath /usr/lib/libqvfs.so.0)" ] ||
      die "the loader's cache does not list /usr/lib/libqvfs.so.0 (but '$cached'): the ldconfig trigger did not run"
  fi
  say "stfsctl and stfs-player $VERSION: ok"

  for page in stfsctl stfs-player; do
    file=$R/usr/share/man/man1/$page.1.gz
    if [ -z "$R" ]; then
      [ "$(man -w "$page" 2>&1)" = "$file" ] || die "man -w $page finds '$(man -w "$page" 2>&1)'"
    fi
    out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$file" \
      2>&1 >/dev/null) || die "man cannot render $page.1: $out"
    [ -z "$out" ] || die "man warns about $page.1: $out"
    LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$file" 2>/dev/null | grep -q "^NAME" ||
      die "man -l $file shows no NAME section"
  done
  say "manual pages: ok"

  # bash-completion loads the completion on first use from share/bash-completion/completions
  # of XDG_DATA_DIRS (by default /usr/local/share and /usr/share).
  data_dirs=
  [ -z "$R" ] || data_dirs=$R/usr/share
  out=$(XDG_DATA_DIRS=$data_dirs bash -c '
    source /usr/share/bash-completion/bash_completion || exit 1
    __load_completion stfsctl || exit 1
    complete -p stfsctl
    COMP_WORDS=(stfsctl --json ba); COMP_CWORD=2; COMP_LINE="stfsctl --json ba"
    COMP_POINT=${#COMP_LINE}
    _stfsctl stfsctl ba --json && echo "${COMPREPLY[*]}"' 2>&1) ||
    die "bash-completion does not load the completion of stfsctl: $out"
  [ "$out" = "complete -F _stfsctl stfsctl
backup" ] || die "completing 'stfsctl --json ba' gave: $out"
  desktop-file-validate "$R/usr/share/applications/stfs-player.desktop" ||
    die "the .desktop entry does not validate"
  say "bash completion and .desktop entry: ok"

  # A program built against the package's headers and library, through pkg-config; and the
  # CMake package found by find_package.
  export PKG_CONFIG_PATH=$R/usr/lib/pkgconfig
  [ "$(pkg-config --modversion qvfs)" = "$VERSION" ] || die "pkg-config qvfs: $(pkg-config --modversion qvfs 2>&1)"
  flags=$(pkg-config --cflags --libs qvfs)
  rpath=()
  [ -z "$R" ] || rpath=("-Wl,-rpath,$R/usr/lib")
  # shellcheck disable=SC2086  # the flags are words
  g++ -std=c++17 -o "$S/consumer" "$HERE/../install/consumer.cpp" $flags "${rpath[@]}" \
    >"$S/consumer.log" 2>&1 || { cat "$S/consumer.log" >&2; die "the pkg-config build failed"; }
  out=$(cd "$S" && TMPDIR=$S "$S/consumer" 2>&1) || die "the consumer failed: $out"
  echo "$out" | grep -qx "consumer: ok" || die "the consumer printed: $out"
  mkdir "$S/cmake"
  cat >"$S/cmake/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(qvfs_package_consumer CXX)
find_package(qvfs REQUIRED)
get_target_property(lib qvfs::qvfs LOCATION)
message(STATUS "qvfs ${qvfs_VERSION} at ${lib}")
EOF
  prefix_path=()
  [ -z "$R" ] || prefix_path=("-DCMAKE_PREFIX_PATH=$R/usr")
  cmake -S "$S/cmake" -B "$S/cmake/build" "${prefix_path[@]}" >"$S/cmake.log" 2>&1 ||
    { cat "$S/cmake.log" >&2; die "find_package(qvfs) failed"; }
  grep -q "qvfs $VERSION at $R/usr/lib/libqvfs.so" "$S/cmake.log" ||
    die "find_package(qvfs) found another: $(grep 'qvfs ' "$S/cmake.log")"
  say "pkg-config and CMake package: ok"

  (cd "$S" && TZ=UTC bash "$HERE/$(basename "$0")" --round-trip "$R/usr/bin/stfsctl" \
    "$R/usr/bin/stfs-player") || exit 1
  exit 0
fi

# ---- the package ----------------------------------------------------------------------------
[ $# -eq 1 ] || { echo "usage: $0 qvfs_VERSION_ARCH.deb" >&2; exit 2; }
DEB=$(realpath "$1") || exit 1
for tool in dpkg-deb readelf ldd; do
  command -v "$tool" >/dev/null 2>&1 || die "needs $tool"
done
T=$(mktemp -d "${TMPDIR:-/tmp}/$NAME.XXXXXX") || exit 1
trap 'rm -rf "$T"' EXIT

field() { dpkg-deb -f "$DEB" "$1"; }
VERSION=$(field Version)
[ "$(field Package)" = qvfs ] || die "the package is named '$(field Package)'"
[ "$(basename "$DEB")" = "qvfs_${VERSION}_$(field Architecture).deb" ] ||
  die "the file name $(basename "$DEB") is not qvfs_${VERSION}_$(field Architecture).deb"

# Its files.
dpkg-deb -x "$DEB" "$T/x" || die "dpkg-deb -x failed"
for f in usr/lib/libqvfs.so.0 usr/lib/libqvfs.so usr/include/qvfs/qvfs.h usr/include/qvfs/classes.h \
    usr/lib/pkgconfig/qvfs.pc usr/lib/cmake/qvfs/qvfsConfig.cmake \
    usr/lib/cmake/qvfs/qvfsConfigVersion.cmake usr/lib/cmake/qvfs/qvfsTargets.cmake \
    usr/bin/stfsctl usr/bin/stfs-player usr/share/applications/stfs-player.desktop \
    usr/share/man/man1/stfsctl.1.gz usr/share/man/man1/stfs-player.1.gz \
    usr/share/bash-completion/completions/stfsctl usr/share/doc/qvfs/copyright \
    usr/share/doc/qvfs/changelog.gz; do
  [ -e "$T/x/$f" ] || die "the package lacks /$f"
done

# Its Depends name the package of every library that its programs and library load (found here
# the way the loader finds them), libqvfs itself aside.
depends=$(field Depends)
[ -n "$depends" ] || die "the package has no Depends"
depends_names=$(echo "$depends" | tr ',|' '\n\n' | awk '{print $1}')
for elf in "$T/x/usr/bin/stfsctl" "$T/x/usr/bin/stfs-player" "$T/x/usr/lib/libqvfs.so.0"; do
  for needed in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ "$needed" != libqvfs.so.0 ] || continue
    path=$(ldconfig -p | awk -v n="$needed" '$1 == n && /x86-64|x32|64/ {print $NF; exit}')
    [ -n "$path" ] || path=$(ldconfig -p | awk -v n="$needed" '$1 == n {print $NF; exit}')
    [ -n "$path" ] || die "${elf##*/} needs $needed, which this machine does not have"
    owner=$(dpkg -S "$(realpath "$path")" 2>/dev/null | head -1 | cut -d: -f1) ||
      die "no package holds $path"
    [ -n "$owner" ] || owner=$(dpkg -S "$path" 2>/dev/null | head -1 | cut -d: -f1)
    [ -n "$owner" ] || die "no package holds $path ($needed)"
    echo "$depends_names" | grep -qxF "$owner" ||
      die "${elf##*/} needs $needed of $owner, which Depends does not name: $depends"
  done
done
say "qvfs $VERSION: fields, files and Depends: ok"

# Install it and run the checks.
mkdir -p "$T/run/cli" "$T/run/install"
cp "$HERE/$(basename "$0")" "$HERE/common.sh" "$T/run/cli/"
cp "$HERE/../install/consumer.cpp" "$T/run/install/"
TEST=cli/$(basename "$0")

if [ "${UNPACKED:-0}" != 1 ] && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null && command -v unshare >/dev/null &&
    grep -qw overlay /proc/filesystems &&
    unshare --mount --propagation private true 2>/dev/null; then
  say "installing with apt-get into an overlay of this system (a private mount namespace)"
  mkdir -p "$T/root"
  # The namespace ends with this command, and its mounts with it.
  unshare --mount --propagation private bash -s -- "$T" "$DEB" "$TEST" "$VERSION" <<'NS' || exit 1
set -u
T=$1 DEB=$2 TEST=$3 VERSION=$4
die() { echo "package_install_test: FAIL: $*" >&2; exit 1; }
mount -t tmpfs qvfs-package-test "$T/root" || die "no tmpfs"
mkdir -p "$T/root/upper" "$T/root/work" "$T/root/merged"
mount -t overlay qvfs-package-test \
  -o "lowerdir=/,upperdir=$T/root/upper,workdir=$T/root/work" "$T/root/merged" ||
  die "cannot lay an overlay over /"
M=$T/root/merged
for d in proc sys dev; do mount --rbind "/$d" "$M/$d" || die "cannot bind /$d"; done
# A fresh Debian installs every file of a package; container images often exclude manual
# pages and documents from dpkg (path-exclude), which would leave them out here.
grep -l '^path-exclude' "$M"/etc/dpkg/dpkg.cfg.d/* 2>/dev/null | xargs -r rm -f
mkdir -p "$M/tmp/qvfs-package-test"
cp -r "$T/run/." "$M/tmp/qvfs-package-test/"
cp "$DEB" "$M/tmp/qvfs-package-test/"
deb=/tmp/qvfs-package-test/$(basename "$DEB")
in_root() {
  (cd "$M" && chroot "$M" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@" </dev/null)
}  # (stdin is this script: nothing in the root may read it)
# The dependencies are this system's packages already (they build qvfs): apt fetches nothing.
in_root apt-get install -y "$deb" >"$T/apt-install.log" 2>&1 ||
  { cat "$T/apt-install.log" >&2; die "apt-get install $deb failed"; }
in_root dpkg-query -W -f='${Status} ${Version}\n' qvfs | grep -qx "install ok installed $VERSION" ||
  die "dpkg does not list qvfs $VERSION as installed"
in_root dpkg -L qvfs >"$T/files" || die "dpkg -L qvfs"
echo "package_install_test: apt-get install ./$(basename "$DEB"): ok"
in_root bash "/tmp/qvfs-package-test/$TEST" --installed "" "$VERSION" || exit 1
in_root apt-get remove --purge -y qvfs >"$T/apt-remove.log" 2>&1 ||
  { cat "$T/apt-remove.log" >&2; die "apt-get remove --purge qvfs failed"; }
while read -r f; do
  [ -d "$M$f" ] || [ ! -e "$M$f" ] || die "$f is left after apt-get remove --purge"
done <"$T/files"
! in_root ldconfig -p | grep -q libqvfs || die "the loader's cache still lists libqvfs"
echo "package_install_test: apt-get remove --purge qvfs leaves none of its files: ok"
NS
else
  say "running the package's files unpacked (dpkg-deb -x): no private mount namespace here, or UNPACKED=1"
  (cd "$T" && bash "$T/run/$TEST" --installed "$T/x" "$VERSION") || exit 1
fi
say "all checks passed"
