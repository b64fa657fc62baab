#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Puts the licence identifier at the top of every source file, in the file's own comment syntax
# (after a #! line, which must stay first). Files that already carry it are left as they are, so
# running it again changes nothing.
#   scripts/spdx.sh [FILE ...]          the files named, or every source file git tracks
#   scripts/spdx.sh --check [FILE ...]  changes nothing; names each file without it, fails if any
# Files without a comment syntax (JSON, manifests, the licence and documentation) are not sources
# here and are skipped.
set -euo pipefail
license=LGPL-2.1-or-later
tag="SPDX-License-Identifier: $license"

check=0
if [ "${1:-}" = --check ]; then
  check=1
  shift
fi
if [ "${1:-}" = -h ] || [ "${1:-}" = --help ]; then
  sed -n '3,9p' "$0"
  exit 0
fi

# The line for a file, or nothing when the file is not a source with a comment syntax.
spdx_line() {
  case "$1" in
    *.c|*.cc|*.cpp|*.h|*.hpp|*.java) echo "// $tag" ;;
    *.sh|*.bash|*.py|*.cmake|*/CMakeLists.txt|CMakeLists.txt|*.cmake.in) echo "# $tag" ;;
    *.map) echo "/* $tag */" ;;
    *)
      # A script without an extension (.ci/run): its #! line says it takes # comments.
      local first=""
      [ -f "$1" ] && IFS= read -r first <"$1" || true
      if [[ $first == '#!'* ]]; then echo "# $tag"; fi
      ;;
  esac
}

# Whether the identifier is on the first line, or on the second after a #! line.
has_spdx() {
  local first second
  { IFS= read -r first || true; IFS= read -r second || true; } <"$1"
  [[ $first == *"$tag"* ]] || { [[ $first == '#!'* ]] && [[ $second == *"$tag"* ]]; }
}

if [ $# -gt 0 ]; then
  files=("$@")
elif cd "$(dirname "$0")/.." && git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files)
else
  # An unpacked release without git: every file but the build folders'.
  mapfile -t files < <(find . -type f -not -path './build*' -not -path './.git/*' | sed 's|^\./||' | sort)
fi

missing=0
for f in "${files[@]}"; do
  line=$(spdx_line "$f")
  [ -n "$line" ] && [ -f "$f" ] || continue
  has_spdx "$f" && continue
  if [ $check = 1 ]; then
    echo "no SPDX-License-Identifier line: $f"
    missing=$((missing + 1))
    continue
  fi
  tmp=$(mktemp "$f.spdx.XXXXXX")
  {
    IFS= read -r first || true
    if [[ $first == '#!'* ]]; then
      printf '%s\n%s\n' "$first" "$line"
    else
      printf '%s\n' "$line"
      [ -z "$first" ] && [ ! -s "$f" ] || printf '%s\n' "$first"
    fi
    cat
  } <"$f" >"$tmp"
  chmod --reference="$f" "$tmp"
  mv "$tmp" "$f"
  echo "added: $f"
done

if [ $check = 1 ] && [ $missing -gt 0 ]; then
  echo "$missing source file(s) without '$tag': scripts/spdx.sh adds it" >&2
  exit 1
fi
exit 0
