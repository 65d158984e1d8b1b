# Shared by the Xvfb test scripts (sourced): the tools check, a private work
# folder, the processes to end on exit, and the check log in "$out".
#   xvfb_setup OUT_DIR TOOL...   exits 77 (skipped) when a tool is missing
xvfb_setup() {
  out=$1
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
  done
  mkdir -p "$out"
  rm -f "$out"/*.png "$out"/*.txt
  work=$(mktemp -d)
  pids=()
  trap xvfb_cleanup EXIT
  fail=0
}
xvfb_cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
check() {  # check DESCRIPTION ACTUAL EXPECTED
  if [ "$2" == "$3" ]; then echo "ok: $1 ($2)" >>"$out/checks.txt"
  else echo "FAIL: $1: got '$2', want '$3'" >>"$out/checks.txt"; fail=1; fi
}
# xvfb_start WIDTHxHEIGHT: a private display with openbox as the window
# manager; DISPLAY points at it and xvfb_pid is the server. Xvfb picks the
# free display number itself (its lock file decides), so scripts run side by
# side never share a server.
xvfb_start() {
  local n="" number
  number=$(mktemp -p "$work")
  Xvfb -displayfd 9 -screen 0 "$1x24" -nolisten tcp -noreset 9>"$number" >>"$out/xvfb.log" 2>&1 &
  xvfb_pid=$!
  pids+=($xvfb_pid)
  # The number is written once the server accepts connections.
  for _ in $(seq 1 300); do
    n=$(head -n 1 "$number" 2>/dev/null)
    [ -n "$n" ] && break
    sleep 0.05
  done
  [ -n "$n" ] || { echo "Xvfb did not start"; exit 1; }
  export DISPLAY=:$n
  openbox >"$out/openbox.log" 2>&1 &
  pids+=($!)
  sleep 1
}
