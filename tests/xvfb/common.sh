# What the Xvfb drivers share (sourced; $out is set): a work folder removed
# at the end with every process listed in $pids, and check(), which writes one
# line per check to $out/checks.txt and marks a failure in $fail.
mkdir -p "$out"
rm -f "$out"/*.png "$out"/*.txt
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail=0
check() {  # check DESCRIPTION ACTUAL EXPECTED
  if [ "$2" == "$3" ]; then echo "ok: $1 ($2)" >>"$out/checks.txt"
  else echo "FAIL: $1: got '$2', want '$3'" >>"$out/checks.txt"; fail=1; fi
}
