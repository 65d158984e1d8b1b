#!/usr/bin/env bash
# The layering check itself: it passes on a tree whose includes point down and
# fails, naming the line, on each planted upward or sideways include.
set -euo pipefail
check="$1/scripts/check-layering.sh"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

plant() {  # plant <file> <include line>
  mkdir -p "$(dirname "$tmp/$1")"
  printf '#pragma once\n%s\n' "$2" > "$tmp/$1"
}

mkdir -p "$tmp/src/core" "$tmp/src/platform" "$tmp/src/app" "$tmp/tools/kxtool"
plant src/core/ok.h '#include "platform/platform.h"'
plant src/app/ok.cpp '#include "sound/sound_thread.h"'
plant tools/kxtool/ok.cpp '#include "app/startup.h"'
"$check" "$tmp" >/dev/null || { echo "a clean tree was refused"; exit 1; }

expect_refused() {  # expect_refused <file> <include line> <text the report must hold>
  local case_root
  case_root=$(mktemp -d -p "$tmp")
  cp -r "$tmp/src" "$tmp/tools" "$case_root/"
  mkdir -p "$(dirname "$case_root/$1")"
  printf '#pragma once\n%s\n' "$2" > "$case_root/$1"
  if out=$("$check" "$case_root"); then
    echo "not refused: $1: $2"
    exit 1
  fi
  grep -qF "$3" <<<"$out" || { echo "report lacks '$3': $out"; exit 1; }
}

expect_refused src/core/up.cpp '#include "app/startup.h"' 'src/core/up.cpp:2: core includes app'
expect_refused src/platform/sdl/up.cpp '#include "core/sjis.h"' 'platform includes core'
expect_refused src/graphics/up.h '  #  include "image/cg_picture.h"' 'graphics includes image'
expect_refused src/sound/side.cpp '#include "save/save_data.h"' 'sound includes save'
expect_refused src/newfolder/x.cpp '#include "core/sjis.h"' "folder 'newfolder' has no place"
echo "the layering check refuses every planted include"
