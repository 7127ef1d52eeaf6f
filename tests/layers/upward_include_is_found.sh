#!/bin/sh
# The layering check itself: on a copy of the driver's folders it passes, and it fails on
# each upward include planted there, one layer above the next and the top from the ground,
# in either spelling of an include, while a downward one passes.
# Usage: upward_include_is_found.sh CHECK LAYER... (bottom to top; run from the source root)
set -u

check=$1
shift
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT

fresh_copy() {
  rm -rf "$copy"/*
  for folder in "$@"; do cp -r "$folder" "$copy/"; done
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

fresh_copy "$@"
"$check" -C "$copy" "$@" || fail "the check refuses the tree as it stands"

# plant FOLDER LINE: a new file in FOLDER holding LINE, on a fresh copy.
plant() {
  into=$1
  line=$2
  shift 2
  fresh_copy "$@"
  printf '// planted\n%s\n' "$line" >"$copy/$into/planted.h"
}

top=
previous=
for layer in "$@"; do
  if [ -n "$previous" ]; then
    plant "$previous" "#include \"$layer/planted.h\"" "$@"
    if out=$("$check" -C "$copy" "$@" 2>&1); then
      fail "$previous/ including $layer/ passed"
    fi
    case $out in
      *"$previous/planted.h"*) ;;
      *) fail "the report does not name the planted file: $out" ;;
    esac
    # The same include the other way round is allowed.
    plant "$layer" "#include \"$previous/planted.h\"" "$@"
    "$check" -C "$copy" "$@" >/dev/null 2>&1 || fail "$layer/ including $previous/ failed"
  fi
  previous=$layer
  top=$layer
done

plant "$1" "  #  include <$top/handlers.h>" "$@"
"$check" -C "$copy" "$@" >/dev/null 2>&1 && fail "an indented, angle-bracket include of $top/ passed"

echo "every planted upward include was found"
