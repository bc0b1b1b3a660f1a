# module_checks DIR BOOT FLASH IMAGE GUEST ENTRIES: the module's witness, its log and its
# flash dump after the run. BOOT is - when boot-select is not wired (low),
# high when it is strapped high; FLASH is
# "image" (IMAGE at the flash base, the rest erased), "erased", "untouched"
# (erased, and the module never in its boot loader), or "stopped" (erased,
# and the module, whose empty flash starts its boot loader whatever the pin,
# in its boot loader again after the release); GUEST b0 when the port
# was left at speed 0 before the run, again when a second update followed;
# ENTRIES how often the flasher entered the boot loader (3 when the module
# never answers; with again, in the second update).
module_checks() {
  local dir=$1 boot=$2 flash=$3 image=$4 guest=${5:-} entries=${6:-1} log=$1/module.log
  # check TEXT COMMAND...: under `if`, so that a failing check is printed
  # rather than ending the caller's errexit subshell.
  check() {
    local text=$1
    shift
    if "$@"; then echo "pass: $text"; else echo "FAIL: $text"; fi
  }
  # The simulated module's default flash is 256 pages of 1 KiB; a part's
  # shows in the size of its dump.
  local size expected=$dir/expected-flash.bin flash_bytes
  flash_bytes=$(stat -c %s "$dir/flash.bin")
  [ "$flash_bytes" -gt 0 ] || flash_bytes=262144
  size=$(stat -c %s "$image")
  if [ "$flash" = image ]; then
    { cat "$image"; head -c $((flash_bytes - size)) /dev/zero | tr '\0' '\377'; } >"$expected"
  else
    head -c "$flash_bytes" /dev/zero | tr '\0' '\377' >"$expected"
  fi
  check "flash holds $([ "$flash" = image ] && echo "the image ($size bytes) and the rest erased" || echo "nothing (all erased)")" \
    cmp -s "$expected" "$dir/flash.bin"

  local erases writes want_erases=0 want_writes=0
  erases=$(grep -c ' event erase' "$log" || true)
  writes=$(awk '$2 == "event" && $3 == "write" { n++; s += $5 } END { printf "%d %d", n, s }' "$log")
  local updates=1
  # A second update that enters once has flashed the image again.
  [ "$guest" != again ] || [ "$entries" != 1 ] || updates=2
  if [ "$flash" = image ]; then
    want_erases=$updates
    want_writes="$((updates * ((size + 255) / 256))) $((updates * size))"
  else
    want_writes="0 0"
  fi
  check "$erases erase(s), expected $want_erases" [ "$erases" = "$want_erases" ]
  check "writes (count, bytes): $writes, expected $want_writes" [ "$writes" = "$want_writes" ]
  # A probe after an option write meets a module that stayed synchronised:
  # it refuses the probe's two 0x7F as a pair, by design.
  local refusals
  refusals=$(awk '$2 == "rx" { rx = $3 " " $4 } $2 == "tx" && $3 == "1f" && rx != "7f 7f" { n++ } END { print n + 0 }' "$log")
  [ "$flash" != image ] || check "no refusal from the module (but of a probe's 0x7F pair)" [ "$refusals" = 0 ]
  local events
  events=$(awk '$2 == "event" && $3 == "restart" { printf " %s", $4 }' "$log")
  if [ "$flash" = untouched ]; then
    check "restarts:$events (never the boot loader)" [ "${events/boot/}" = "$events" ]
  elif [ "$flash" = stopped ]; then
    check "restarts:$events (the boot loader, and again after the release)" [ "$events" = " boot boot" ]
  elif [ "$boot" = - ]; then
    check "restarts:$events (the application only)" [ -n "$events" -a "${events/boot/}" = "$events" ]
  elif [ "$boot" = high ]; then
    check "restarts:$events (the boot loader each time)" [ "$events" = " boot boot" ]
  elif [ "$guest" = again ]; then
    local want=" boot app"
    for ((k = 0; k < entries; k++)); do want+=" $([ "$updates" = 2 ] && echo boot || echo app)"; done
    check "restarts:$events (the boot loader, then in the second update$([ "$updates" = 2 ] || echo " the application only"))" [ "$events" = "$want app" ]
  elif [ "$guest" = b0 ]; then
    # The guest's own open of the port raised DTR and RTS before it set speed
    # 0, and so does the kernel when the flasher's set-up leaves speed 0:
    # inverted lines release reset for that moment.
    check "restarts:$events (the boot loader, then the application last)" [ "${events% boot app}" != "$events" ]
  else
    local want=""
    for ((k = 0; k < entries; k++)); do want+=" boot"; done
    check "restarts:$events (the boot loader first, the application last)" [ "$events" = "$want app" ]
  fi
}
