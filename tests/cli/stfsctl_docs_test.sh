#!/usr/bin/env bash
# stfsctl's manual page and bash completion against the tool itself: every command that
# `stfsctl --help` lists has an entry in stfsctl(1) that names each option its `--help` shows,
# every global option is in the page's GLOBAL OPTIONS, the page renders without a warning, and
# the completion offers every command, every global option and each command's options.
#
#   stfsctl_docs_test.sh /path/to/stfsctl [stfsctl.1 [stfsctl.bash-completion]]
# (the page and the completion default to the source tree's)
NAME=stfsctl_docs_test
NEEDS="python3 man"
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
PAGE=$(realpath "${2:-$SRC/docs/man/stfsctl.1}") || exit 1
COMPLETION=$(realpath "${3:-$SRC/tools/stfsctl/stfsctl.bash-completion}") || exit 1
[ $# -ge 1 ] && [ $# -le 3 ] || { echo "usage: $0 /path/to/stfsctl [PAGE [COMPLETION]]" >&2; exit 2; }
set -- "$1"
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
[ -f /usr/share/bash-completion/bash_completion ] || fail "needs bash-completion"

# ---- what the tool says it has --------------------------------------------------------------
CASE="help"
"$STFSCTL" --help >help.txt || fail "stfsctl --help"
COMMANDS=$(sed -n '/^Commands:/,/^$/s/^  \([a-z0-9]\+\) .*/\1/p' help.txt)
[ "$(echo "$COMMANDS" | wc -w)" -ge 19 ] || fail "stfsctl --help lists too few commands: $COMMANDS"
GLOBALS=$(sed -n '/^Global options:/,/^$/p' help.txt | grep -o -- '--\?-[a-z][a-z0-9-]*' | sort -u)
echo "$GLOBALS" | grep -qx -- --version || fail "--version is not among the global options"
for c in $COMMANDS; do
  "$STFSCTL" "$c" --help >"help-$c.txt" 2>&1 || fail "stfsctl $c --help exited $?"
  grep -o -- '--[a-z][a-z0-9-]*' "help-$c.txt" | grep -vx -- --help | sort -u >"options-$c.txt"
done

# ---- the manual page ------------------------------------------------------------------------
CASE="manual page"
out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$PAGE" \
  2>&1 >/dev/null) || fail "man cannot render $PAGE: $out"
[ -z "$out" ] || fail "man warns about $PAGE: $out"
LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$PAGE" 2>/dev/null | sed 's/.\x08//g' >page.txt
[ -s page.txt ] || fail "man -l $PAGE rendered nothing"
py "$COMMANDS" "$GLOBALS" <<'PY'
import re, sys
commands = sys.argv[1].split()
globals_ = sys.argv[2].split()
lines = open('page.txt', encoding='utf-8').read().splitlines()

def section(name):
    start = lines.index(name)
    end = next((i for i in range(start + 1, len(lines)) if re.match(r'^[A-Z]', lines[i])), len(lines))
    return lines[start + 1:end]

text = '\n'.join(section('GLOBAL OPTIONS'))
missing = [o for o in globals_ if not re.search(r'(?<![\w-])' + re.escape(o) + r'(?![\w-])', text)]
assert not missing, f'GLOBAL OPTIONS lacks {missing}'

# An entry of COMMANDS: its tag lines (indent 7, a command's name first) and the body below them
# (deeper), up to the next tag, paragraph or subsection. lock, unlock and delete share one body.
body = section('COMMANDS')
tag = re.compile(r'^ {7}[a-z][a-z0-9]*( |$)')
entries = {}
i = 0
while i < len(body):
    if not tag.match(body[i]):
        i += 1
        continue
    tags = []
    while i < len(body) and tag.match(body[i]):
        tags.append(body[i])
        i += 1
    chunk = list(tags)
    while i < len(body) and not re.match(r'^ {0,7}\S', body[i]):
        chunk.append(body[i])
        i += 1
    for t in tags:
        entries[t.split()[0]] = '\n'.join(chunk)
for c in commands:
    assert c in entries, f'stfsctl(1) has no entry for the command {c}'
    wanted = open(f'options-{c}.txt').read().split()
    missing = [o for o in wanted if not re.search(r'(?<![\w-])' + re.escape(o) + r'(?![\w-])', entries[c])]
    assert not missing, f'the entry of {c} in stfsctl(1) lacks {missing}'
extra = sorted(set(entries) - set(commands))
assert not extra, f'stfsctl(1) has entries for commands stfsctl does not know: {extra}'
PY
echo "$NAME: stfsctl(1) documents $(echo "$COMMANDS" | wc -w) commands and their options"

# ---- the completion -------------------------------------------------------------------------
CASE="completion"
complete_words() {
  bash -c '
    source /usr/share/bash-completion/bash_completion || exit 1
    source "$1" || exit 1
    shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _stfsctl stfsctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$COMPLETION" "$@"
}
complete_words stfsctl '' >got || fail "the completion failed"
for c in $COMMANDS; do grep -qx "$c" got || fail "completing a command does not offer $c"; done
complete_words stfsctl -- >got || fail "the completion failed"
for o in $GLOBALS; do
  case $o in --*) grep -qx -- "$o" got || fail "completing a global option does not offer $o" ;; esac
done
for c in $COMMANDS; do
  complete_words stfsctl --no-system-disks "$c" -- >got || fail "the completion of $c failed"
  while read -r o; do
    grep -qx -- "$o" got || fail "completing an option of $c does not offer $o"
  done <"options-$c.txt"
done
complete_words stfsctl backup --type '' >got && [ "$(sort got | xargs)" = "asf bin mp4" ] ||
  fail "completing backup --type gave: $(xargs <got)"
complete_words stfsctl play --mode '' >got && [ "$(sort got | xargs)" = "back fast normal slow" ] ||
  fail "completing play --mode gave: $(xargs <got)"
echo "$NAME: the completion offers every command and option"
echo "$NAME: all checks passed"
