#!/usr/bin/env bash
# The idle measurements: the hand-off costs (new and old builds, interleaved) and N synchronized timers.
set -u
out=/work/soak/bench; mkdir -p $out
M=/work/main/build; O=/work/wt/old/build
costs=(--quick --count -1 --no-scale --kinds bare-sleep --ticks1 10 --ticks10 5 --repeats 3)
oldcosts=(--no-scale --kinds bare-sleep --ticks1 10 --ticks10 5 --repeats 3)
log() { echo "$(date -u +%T) $*" | tee -a $out/log.txt; uptime >> $out/log.txt; }
for round in 1 2; do
  log "linux new costs $round"; $M/linux/bin/qev-bench "${costs[@]}" --out $out/linux-costs-$round > $out/linux-costs-$round.txt 2>&1
  log "linux old costs $round"; $O/linux/bin/bench "${oldcosts[@]}" --out $out/linux-old-$round > $out/linux-old-$round.txt 2>&1
  log "win64 new costs $round"; $M/win64/wine-run $M/win64/bin/qev-bench.exe "${costs[@]}" --out "Z:$out/win64-costs-$round" > $out/win64-costs-$round.txt 2>&1
  log "win64 old costs $round"; $M/win64/wine-run $O/win64/bin/bench.exe "${oldcosts[@]}" --out "Z:$out/win64-old-$round" > $out/win64-old-$round.txt 2>&1
done
log "win32 new costs"; $M/win32/wine-run $M/win32/bin/qev-bench.exe "${costs[@]}" --out "Z:$out/win32-costs" > $out/win32-costs.txt 2>&1
for c in linux win64 win32; do
  log "$c count"
  if [[ $c == linux ]]; then $M/linux/bin/qev-bench --count-only --repeats 3 --out $out/$c-count > $out/$c-count.txt 2>&1
  else $M/$c/wine-run $M/$c/bin/qev-bench.exe --count-only --repeats 3 --out "Z:$out/$c-count" > $out/$c-count.txt 2>&1; fi
done
log done
